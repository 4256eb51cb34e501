#pragma once
// Shared helpers of the companion tests: real DICOM files, DCMTK's tools, and a check that
// the image store is consistent (every image row has its file, every file its row).
#include "TestStation.h"
#include "Wait.h"
#include "core/Database.h"
#include "core/Station.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

namespace kit {

inline QString testFile(const QString &name) { return QDir(pydicomTestFiles()).filePath(name); }

// Runs a DCMTK tool; returns its exit code (-1 when it could not run).
inline int runTool(const QString &tool, const QStringList &args, QString *output = nullptr, int timeoutMs = 60000)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(tool, args);
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    if (output)
        *output = QString::fromLocal8Bit(p.readAll());
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

// The "Error" lines dciodvfy reports for a file, sorted, each once; one line saying so
// when dciodvfy did not run.
inline QStringList dciodvfyErrors(const QString &file)
{
    QString out;
    if (runTool(QStringLiteral("dciodvfy"), {file}, &out) < 0 || out.trimmed().isEmpty())
        return {QStringLiteral("dciodvfy did not run")};
    QStringList errors;
    for (const QString &line : out.split(QLatin1Char('\n')))
        if (line.startsWith(QStringLiteral("Error")))
            errors << line.trimmed();
    errors.sort();
    errors.removeDuplicates();
    return errors;
}

// Sets or inserts elements in a file ("(0010,0010)=Doe^Jane"), without a backup copy.
inline bool modify(const QString &file, const QStringList &assignments)
{
    QStringList args{QStringLiteral("-nb")};
    for (const QString &a : assignments)
        args << QStringLiteral("-i") << a;
    args << file;
    return runTool(QStringLiteral("dcmodify"), args) == 0;
}

inline bool eraseElement(const QString &file, const QString &tag)
{
    return runTool(QStringLiteral("dcmodify"), {QStringLiteral("-nb"), QStringLiteral("-ea"), tag, file}) == 0;
}

inline qint64 count(Station &s, const QString &sql, const QVariantList &binds = {})
{
    Database db = Database::openData(s.paths());
    return db.scalar(sql, binds).toLongLong();
}

// Every file below Images, as "<StudyUID>/<SOPUID>".
inline QSet<QString> storeFiles(Station &s)
{
    QSet<QString> out;
    QDirIterator it(s.paths().imagesDir(), {QStringLiteral("*")}, QDir::Files | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo fi(it.next());
        out << fi.dir().dirName() + QLatin1Char('/') + fi.fileName();
    }
    return out;
}

// Problems of the store, empty when it is consistent.
inline QStringList storeProblems(Station &s)
{
    QStringList problems;
    QSet<QString> rows;
    Database db = Database::openData(s.paths());
    QSqlQuery q = db.exec(QStringLiteral("SELECT i.ImageUID, st.StudyUID FROM tblImages i"
                                         " LEFT JOIN tblSeries se ON i.FKeySeriesID = se.SeriesID"
                                         " LEFT JOIN tblStudies st ON se.FKeyStudyID = st.StudyID"));
    while (q.next()) {
        const QString key = q.value(1).toString() + QLatin1Char('/') + q.value(0).toString() + QStringLiteral(".dcm");
        if (rows.contains(key))
            problems << QStringLiteral("duplicate row %1").arg(key);
        rows << key;
    }
    const QSet<QString> files = storeFiles(s);
    for (const QString &r : rows)
        if (!files.contains(r))
            problems << QStringLiteral("row without file: %1").arg(r);
    for (const QString &f : files)
        if (!rows.contains(f))
            problems << QStringLiteral("file without row: %1").arg(f);
    if (db.scalar(
              QStringLiteral("SELECT COUNT(*) FROM tblSeries se LEFT JOIN tblStudies st ON se.FKeyStudyID = st.StudyID"
                             " WHERE st.StudyID IS NULL"))
            .toLongLong()
        > 0)
        problems << QStringLiteral("series without study");
    if (db.scalar(QStringLiteral("SELECT COUNT(*) FROM tblStudies st LEFT JOIN tblPatienten p ON st.FKeyPATID = p.PatID"
                                 " WHERE p.PatID IS NULL"))
            .toLongLong()
        > 0)
        problems << QStringLiteral("study without patient");
    return problems;
}

inline QString readAll(const QString &path) { return QString::fromUtf8(readFile(path)); }
inline QByteArray bytes(const QString &path) { return readFile(path); }

} // namespace kit

#include "ScriptedPrompter.h"
#include "StationProcess.h"
#include "core/Companions.h"
#include "store/Schema.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <memory>

namespace kit {

// A station whose settings file is the one the companions read: XDG_CONFIG_HOME of this
// process (and so of every companion it starts) points into the station's temporary
// folder, and the receiver gets a free port.
struct LiveStation {
    explicit LiveStation(quint16 receiverPort, const QString &aet = QStringLiteral("CXRECEIVER"))
        : port(receiverPort), aeTitle(aet)
    {
        configHome = dir.path() + QStringLiteral("/config");
        QDir().mkpath(configHome + QStringLiteral("/Lumetra"));
        qputenv("XDG_CONFIG_HOME", configHome.toLocal8Bit());
        home = dir.path() + QStringLiteral("/home");
        QDir().mkpath(home);
        auto store = std::make_unique<SettingsStore>(configHome + QStringLiteral("/Lumetra/TqStation.conf"));
        store->writeValue(QStringLiteral("Com/IR_AET"), aeTitle);
        store->writeValue(QStringLiteral("Com/IR_Port"), QString::number(port));
        station = std::make_unique<Station>(home, std::move(store), prompter);
        station->loadSettings();
        station->paths().createFolders();
        Schema::ensureDatabases(station->paths());
    }
    ~LiveStation() { killStationProcesses(home); }

    QProcessEnvironment environment() const { return stationEnvironment(home, configHome); }

    // Starts a companion as a child of the test (so its exit code can be read).
    std::unique_ptr<QProcess> startChild(const QString &name) const
    {
        auto p = std::make_unique<QProcess>();
        p->setProcessEnvironment(environment());
        p->setProcessChannelMode(QProcess::ForwardedChannels);
        p->start(Companions::executablePath(name), {});
        p->waitForStarted(10000);
        return p;
    }

    // True once the data manager holds its lock, that is, past making its folders.
    bool waitForDataManager(int timeoutMs = 15000) const
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < timeoutMs) {
            if (QFileInfo::exists(station->paths().dataDir() + QStringLiteral("/TqDataMgr.lock")))
                return true;
            QThread::msleep(50);
        }
        return false;
    }

    // True once the receiver answers C-ECHO.
    bool waitForReceiver(int timeoutMs = 15000) const
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < timeoutMs) {
            if (runTool(QStringLiteral("echoscu"),
                        {QStringLiteral("-aec"), aeTitle, QStringLiteral("127.0.0.1"), QString::number(port)}, nullptr,
                        5000)
                == 0)
                return true;
            QThread::msleep(100);
        }
        return false;
    }

    int send(const QStringList &files, QString *output = nullptr) const
    {
        return runTool(QStringLiteral("dcmsend"),
                       QStringList{QStringLiteral("-aec"), aeTitle, QStringLiteral("127.0.0.1"), QString::number(port)}
                           + files,
                       output, 120000);
    }

    Station &operator*() { return *station; }
    Station *operator->() { return station.get(); }

    QTemporaryDir dir;
    ScriptedPrompter prompter;
    std::unique_ptr<Station> station;
    QString home;
    QString configHome;
    quint16 port;
    QString aeTitle;
};

// Ends a child politely; true when it ended on its own with exit code 0.
inline bool terminateChild(QProcess &p, int timeoutMs = 10000)
{
    if (p.state() == QProcess::NotRunning)
        return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    p.terminate();
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return false;
    }
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

} // namespace kit

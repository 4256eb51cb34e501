#include "core/Companions.h"
#include "core/Station.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <sys/types.h>

namespace {

QByteArray readProcFile(qint64 pid, const char *what)
{
    QFile f(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(what)));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.read(4096);
}

// The one-letter state of /proc/<pid>/stat: after the last ')' of the command field.
char processState(qint64 pid)
{
    const QByteArray stat = readProcFile(pid, "stat");
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0 || close + 2 >= stat.size())
        return 0;
    return stat.at(close + 2);
}

bool sameFolder(const QString &a, const QString &b)
{
    const QString ca = QFileInfo(a).canonicalFilePath(), cb = QFileInfo(b).canonicalFilePath();
    if (!ca.isEmpty() && !cb.isEmpty())
        return ca == cb;
    return QDir::cleanPath(a) == QDir::cleanPath(b);
}

bool startCompanion(Station &station, const QString &name, qint64 &pid)
{
    // A companion already started by us and still running is not started twice.
    if (pid != 0 && Companions::IsProcessAlive(pid) && Companions::processName(pid).contains(name, Qt::CaseInsensitive))
        return false;
    const QString exe = Companions::executablePath(name);
    if (!QFileInfo(exe).isExecutable())
        return false;
    QProcess p;
    p.setProgram(exe);
    p.setWorkingDirectory(station.paths().appPath());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("CALVAREX_HOME"), station.paths().appPath());
    p.setProcessEnvironment(env);
    p.setStandardInputFile(QProcess::nullDevice());
    p.setStandardOutputFile(QProcess::nullDevice());
    qint64 started = 0;
    if (!p.startDetached(&started))
        return false;
    pid = started;
    return true;
}

} // namespace

namespace Companions {

QString receiverName()
{
#ifdef Q_OS_WIN
    return QStringLiteral("TqReceiver.exe");
#else
    return QStringLiteral("TqReceiver");
#endif
}

QString dataManagerName()
{
#ifdef Q_OS_WIN
    return QStringLiteral("TqDataMgr.exe");
#else
    return QStringLiteral("TqDataMgr");
#endif
}

QString executableDir()
{
    const QByteArray env = qgetenv("CALVAREX_BIN_DIR");
    if (!env.isEmpty())
        return QString::fromLocal8Bit(env);
    return QCoreApplication::applicationDirPath();
}

QString executablePath(const QString &name) { return QDir(executableDir()).filePath(name); }

QString processName(qint64 pid)
{
    if (pid <= 0)
        return {};
    // The executable's file name; for processes of other users only the (short) command
    // name is readable.
    QString exe = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid));
    if (!exe.isEmpty()) {
        exe = QFileInfo(exe).fileName();
        if (exe.endsWith(QLatin1String(" (deleted)")))
            exe.chop(10);
        return exe;
    }
    return QString::fromLocal8Bit(readProcFile(pid, "comm")).trimmed();
}

QString processStationFolder(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/environ").arg(pid));
    if (f.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> vars = f.readAll().split('\0');
        for (const QByteArray &v : vars)
            if (v.startsWith("CALVAREX_HOME=") && v.size() > 14)
                return QDir::cleanPath(QString::fromLocal8Bit(v.mid(14)));
    } else {
        return {};
    }
    const QString exe = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid));
    return exe.isEmpty() ? QString() : QFileInfo(exe).absolutePath();
}

qint64 FindProcess(const QString &name, const QString &stationFolder)
{
    if (name.isEmpty())
        return 0;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QList<qint64> pids;
    for (const QString &e : entries) {
        bool ok = false;
        const qint64 pid = e.toLongLong(&ok);
        if (ok && pid > 0)
            pids << pid;
    }
    std::sort(pids.begin(), pids.end());
    for (qint64 pid : pids) {
        if (!processName(pid).contains(name, Qt::CaseInsensitive) || !IsProcessAlive(pid))
            continue;
        if (!stationFolder.isEmpty()) {
            // A process whose folder cannot be read (one that is ending, another user's)
            // is not taken for this station's: starting ours then is safe, since a second
            // companion of one folder gives way to the first through the folder's lock.
            const QString served = processStationFolder(pid);
            if (served.isEmpty() || !sameFolder(served, stationFolder))
                continue;
        }
        return pid;
    }
    return 0;
}

bool IsProcessAlive(qint64 pid)
{
    if (pid <= 0)
        return false;
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM)
        return false;
    const char state = processState(pid);
    return state != 0 && state != 'Z' && state != 'X';
}

void terminate(qint64 pid, const QString &expectedName, int graceMs)
{
    if (!IsProcessAlive(pid))
        return;
    if (!processName(pid).contains(expectedName, Qt::CaseInsensitive))
        return; // the id now belongs to another program
    ::kill(static_cast<pid_t>(pid), SIGTERM);
    QElapsedTimer t;
    t.start();
    while (IsProcessAlive(pid) && t.elapsed() < graceMs)
        QThread::msleep(20);
    if (IsProcessAlive(pid))
        ::kill(static_cast<pid_t>(pid), SIGKILL);
}

void StartReceiver(Station &station)
{
    if (station.settings().irPort.trimmed().isEmpty())
        return;
    startCompanion(station, receiverName(), station.receiverPid);
}

void StartDataManager(Station &station) { startCompanion(station, dataManagerName(), station.dataManagerPid); }

void StopReceiver(Station &station)
{
    terminate(station.receiverPid, receiverName());
    station.receiverPid = 0;
}

void StopDataManager(Station &station)
{
    terminate(station.dataManagerPid, dataManagerName());
    station.dataManagerPid = 0;
}

QString ensureDataManager(Station &station)
{
    if (RefreshCompanionStatus(station).dataManagerAlive)
        return {};
    StartDataManager(station);
    if (IsProcessAlive(station.dataManagerPid))
        return QStringLiteral("The data manager %1 was not running and has been started: it files the images from the "
                              "input folder now.")
            .arg(dataManagerName());
    const QString why = stopReason(station.paths().logsDir(), dataManagerName());
    return QStringLiteral("The data manager %1 is not running and could not be started%2. The images wait in the input "
                          "folder %3 until it runs (View > Options > Communication).")
        .arg(dataManagerName(), why.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(why),
             station.paths().tempDir());
}

Status RefreshCompanionStatus(Station &station)
{
    if (station.receiverPid == 0)
        station.receiverPid = FindProcess(receiverName(), station.paths().appPath());
    if (station.dataManagerPid == 0)
        station.dataManagerPid = FindProcess(dataManagerName(), station.paths().appPath());
    Status s;
    s.receiverAlive = IsProcessAlive(station.receiverPid);
    s.dataManagerAlive = IsProcessAlive(station.dataManagerPid);
    return s;
}

void startAtStartup(Station &station)
{
    if (FindProcess(receiverName(), station.paths().appPath()) == 0)
        StartReceiver(station);
    if (FindProcess(dataManagerName(), station.paths().appPath()) == 0)
        StartDataManager(station);
}

namespace {
QString stopReasonFile(const QString &logsDir, const QString &name)
{
    return logsDir + QLatin1Char('/') + name + QStringLiteral(".stopped");
}
} // namespace

void writeStopReason(const QString &logsDir, const QString &name, const QString &reason)
{
    QDir().mkpath(logsDir);
    QFile f(stopReasonFile(logsDir, name));
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(reason.toUtf8());
}

void clearStopReason(const QString &logsDir, const QString &name) { QFile::remove(stopReasonFile(logsDir, name)); }

QString stopReason(const QString &logsDir, const QString &name)
{
    QFile f(stopReasonFile(logsDir, name));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).trimmed() : QString();
}

} // namespace Companions

#pragma once
// Helpers for the dose capture tests: a pseudo-terminal pair as the serial line, the
// X-ray unit simulator as a process, and the dose controls of the main window.
#include "TestStation.h"
#include "core/AppError.h"
#include "core/Database.h"
#include "dose/DoseCapturePanel.h"
#include "dose/DoseState.h"
#include "net/WorklistEntry.h"
#include "ui/CommandTable.h"
#include "ui/MainCommands.h"
#include "ui/MainHooks.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSqlRecord>
#include <QStatusBar>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <QWidget>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

// A pseudo-terminal: the station opens the slave path as its serial port, the test
// plays the unit on the master side.
class PtyPair {
public:
    PtyPair()
    {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
            return;
        const char *name = ::ptsname(m_master);
        if (name)
            m_slave = QString::fromLocal8Bit(name);
        // Keep the line up while the station closes and reopens it, raw from the start.
        m_keep = ::open(name, O_RDWR | O_NOCTTY);
        if (m_keep >= 0) {
            termios t{};
            ::tcgetattr(m_keep, &t);
            ::cfmakeraw(&t);
            ::tcsetattr(m_keep, TCSANOW, &t);
        }
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    }
    ~PtyPair()
    {
        if (m_keep >= 0)
            ::close(m_keep);
        if (m_master >= 0)
            ::close(m_master);
    }
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool ok() const { return m_master >= 0 && !m_slave.isEmpty(); }
    const QString &slavePath() const { return m_slave; }

    // The unit sends: bytes onto the line.
    void send(const QByteArray &bytes) const
    {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
            if (n > 0)
                done += n;
            else
                QThread::msleep(5);
        }
    }
    // What the station sent, waiting up to ms for it.
    QByteArray receive(int ms = 1000, const QByteArray &until = {}) const
    {
        QByteArray got;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) {
            pollfd p{m_master, POLLIN, 0};
            if (::poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
                char buf[512];
                const ssize_t n = ::read(m_master, buf, sizeof buf);
                if (n > 0)
                    got.append(buf, n);
                if (!until.isEmpty() && got.contains(until))
                    break;
            }
        }
        return got;
    }
    int master() const { return m_master; }

private:
    int m_master = -1;
    int m_keep = -1;
    QString m_slave;
};

// The X-ray unit simulator, driven through its standard input.
class XraySim {
public:
    bool start(const QStringList &args = {})
    {
        const QString exe = binDir() + QStringLiteral("/xray-sim");
        if (!QFile::exists(exe))
            return false;
        m_proc.start(exe, args);
        if (!m_proc.waitForStarted(5000))
            return false;
        const QString first = waitFor(QStringLiteral("PTY "), 5000);
        if (first.isEmpty())
            return false;
        m_device = first.mid(4).trimmed();
        return true;
    }
    ~XraySim()
    {
        if (m_proc.state() != QProcess::NotRunning) {
            m_proc.write("quit\n");
            if (!m_proc.waitForFinished(2000)) {
                m_proc.kill();
                m_proc.waitForFinished(2000);
            }
        }
    }
    const QString &device() const { return m_device; }
    void command(const QString &line) { m_proc.write((line + QLatin1Char('\n')).toLatin1()); m_proc.waitForBytesWritten(1000); }
    // The next output line starting with prefix (lines read before it are dropped),
    // empty on time-out. Events keep running while it waits.
    QString waitFor(const QString &prefix, int ms = 5000)
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) {
            while (m_proc.canReadLine()) {
                const QString line = QString::fromLatin1(m_proc.readLine()).trimmed();
                m_lines.append(line);
                if (line.startsWith(prefix))
                    return line;
            }
            m_proc.waitForReadyRead(10);
            QCoreApplication::processEvents();
        }
        return {};
    }
    const QStringList &lines() const { return m_lines; }

private:
    QProcess m_proc;
    QString m_device;
    QStringList m_lines;
};

// The dose capture panel without the main window: its controls on a widget of their own,
// the real command table and the dose state, counting the dose list refills it asks for.
struct CaptureWidgets {
    QWidget host;
    MainHooks hooks;
    DoseState state;
    CommandTable commands;
    // The panel's controls, once make() built it.
    QPlainTextEdit *txtcInput = nullptr;
    QPlainTextEdit *Text4 = nullptr;
    QListWidget *List1 = nullptr;
    QPushButton *cmdLorad = nullptr;
    QLabel *lblPending = nullptr;
    QTimer *serTimer = nullptr;
    int fills = 0;        // lvDosis_Fill calls
    int lastFillMode = -1;

    CaptureWidgets()
    {
        MainCommands::build(commands, &host);
        QObject::connect(&state, &DoseState::recordsStored, &host, [this] {
            ++fills;
            lastFillMode = int(state.assignmentMode);
        });
    }
    std::unique_ptr<DoseCapturePanel> make(Station &station)
    {
        auto panel = std::make_unique<DoseCapturePanel>(station, state, commands, hooks, &host);
        txtcInput = panel->inputBox();
        Text4 = panel->receiveBox();
        List1 = panel->tokenList();
        cmdLorad = panel->loradButton();
        lblPending = panel->pendingLabel();
        serTimer = panel->serTimer();
        return panel;
    }
    // The worklist patient, as the worklist's "Apply" on the dose panel leaves it (the
    // study open: "Get Dose Product" enabled).
    void choosePatient(const QString &id, const QString &first, const QString &last, const QString &birth,
                       const QString &bodypart = QStringLiteral("BREAST"))
    {
        WorklistEntry e;
        e.columns[WorklistEntry::PatientId] = id;
        e.columns[WorklistEntry::GivenName] = first;
        e.columns[WorklistEntry::FamilyName] = last;
        e.columns[WorklistEntry::BirthDate] = birth;
        e.columns[WorklistEntry::BodyPart] = bodypart;
        state.takeWorklistPatient(e);
        state.setStudyOpen(true);
    }
};

// Dose records as rows of column texts, by ID.
inline QList<QVariantMap> doseRows(Station &s, const QString &where = QStringLiteral("1=1"))
{
    QList<QVariantMap> out;
    Database db = Database::openData(s.paths());
    QSqlQuery q = db.exec(QStringLiteral("SELECT * FROM tblDosis WHERE ") + where + QStringLiteral(" ORDER BY ID"));
    while (q.next()) {
        QVariantMap m;
        const QSqlRecord rec = q.record();
        for (int i = 0; i < rec.count(); ++i)
            m.insert(rec.fieldName(i), q.value(i));
        out.append(m);
    }
    return out;
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Waits, with events running, until cond holds or ms passed.
template <typename F> bool waitUntil(F cond, int ms = 5000)
{
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

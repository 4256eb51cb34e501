// The station killed (as by a power cut) around an exposure of the HFE 501, at the moments
// that hurt most: while the unit's bytes wait in the port, right after the last byte, after
// the hand-over file is written, inside the database write, and between the commit and the
// journal's note of it. The real main window runs in a child process of this test on a
// pseudo-terminal; after each kill it starts again on the same station folder. Every
// exposure must then be stored once, with its own number and its own values, and the
// examination must be open again for the same patient.
#include "CaptureTestKit.h"

#include "app/MainForm.h"
#include "core/SettingsStore.h"
#include "net/WorklistEntry.h"
#include "store/Schema.h"
#include "ui/WidgetPrompter.h"

#include <QApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdio>

namespace {

const QByteArray Sq("\xB2", 1);

QByteArray hfe(int n)
{
    return QByteArray::number(n) + ".25cGyCm" + Sq + ";" + QByteArray::number(26 + n) + "kV;"
           + QByteArray::number(50 + n) + "mAs;W/Rh;" + QByteArray::number(300 + n) + "ms;40mm\r\n";
}

// The child: the station's main window on the station folder and serial device the
// settings file names. With a patient ID it takes that worklist patient, as "Apply" in the
// worklist does, unless an examination is open already (one restored after a kill).
int runRoom(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QString home = QString::fromLocal8Bit(argv[2]);
    const QString patient = argc > 3 ? QString::fromLocal8Bit(argv[3]) : QString();
    qputenv("CALVAREX_UNATTENDED", "1");
    WidgetPrompter prompter;
    Station station(home, std::make_unique<SettingsStore>(home + QStringLiteral("/settings.ini")), prompter);
    station.loadSettings();
    MainForm form(station);
    form.hooks().startCompanions.clear();
    form.formLoad();
    form.show();
    form.activateWindow();
    QApplication::setActiveWindow(&form);
    if (!patient.isEmpty() && !form.doseState().hasPatient())
        applyWorklistPatient(form.doseState(), patient, QStringLiteral("ANN"), QStringLiteral("SMITH"),
                             QStringLiteral("1960-12-31"));
    QTimer::singleShot(300, [&] {
        std::printf("READY %s\n", qPrintable(form.doseState().row(1)));
        std::fflush(stdout);
    });
    return app.exec();
}

struct Child {
    QProcess proc;
    QString readyLine;
    bool start(const QString &home, const QString &crashAt, const QString &patient = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (!crashAt.isEmpty())
            env.insert(QStringLiteral("CALVAREX_CRASH_AT"), crashAt);
        proc.setProcessEnvironment(env);
        proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList args{QStringLiteral("--room"), home};
        if (!patient.isEmpty())
            args << patient;
        proc.start(QCoreApplication::applicationFilePath(), args);
        if (!proc.waitForStarted(5000))
            return false;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 15000) {
            proc.waitForReadyRead(100);
            while (proc.canReadLine()) {
                const QString line = QString::fromLatin1(proc.readLine()).trimmed();
                if (line.startsWith(QStringLiteral("READY"))) {
                    readyLine = line;
                    return true;
                }
            }
            if (proc.state() == QProcess::NotRunning)
                return false;
        }
        return false;
    }
    void signal(int sig) const { ::kill(pid_t(proc.processId()), sig); }
    bool waitDead(int ms = 10000) { return proc.state() == QProcess::NotRunning || proc.waitForFinished(ms); }
    ~Child()
    {
        if (proc.state() != QProcess::NotRunning) {
            signal(SIGKILL);
            proc.waitForFinished(5000);
        }
    }
};

int recordCount(Station &s)
{
    try {
        return int(doseRows(s).size());
    } catch (const std::exception &) {
        return -1;
    }
}

} // namespace

class TestCaptureKill : public QObject {
    Q_OBJECT
private slots:
    void everyExposureOnceAfterAKill_data();
    void everyExposureOnceAfterAKill();
};

void TestCaptureKill::everyExposureOnceAfterAKill_data()
{
    QTest::addColumn<QString>("moment");
    QTest::addColumn<QString>("crashAt");
    // The first exposure passes each point once; the kill comes with the second.
    QTest::newRow("bytes waiting in the port") << "port" << QString();
    QTest::newRow("right after the last byte") << "last byte" << QString();
    QTest::newRow("after the hand-over file is written") << "point"
                                                         << "dose-handover:2";
    QTest::newRow("during the database write") << "point"
                                               << "dose-db-write:2";
    QTest::newRow("after the commit, before the journal knows") << "point"
                                                                << "dose-db-committed:2";
}

void TestCaptureKill::everyExposureOnceAfterAKill()
{
    QFETCH(QString, moment);
    QFETCH(QString, crashAt);
    PtyPair pty;
    QVERIFY(pty.ok());
    TestStation ts;
    useHfeOn(*ts, pty);

    {
        Child first;
        QVERIFY(first.start(ts.root(), crashAt, QStringLiteral("4711")));
        QCOMPARE(first.readyLine, QStringLiteral("READY 4711"));
        pty.send(hfe(1));
        QVERIFY(waitUntil([&] { return recordCount(*ts) == 1; }, 10000));

        if (moment == QLatin1String("port")) {
            // The station does not read (stopped), the unit sends, the power goes.
            first.signal(SIGSTOP);
            pty.send(hfe(2));
            QThread::msleep(200);
            first.signal(SIGKILL);
        } else if (moment == QLatin1String("last byte")) {
            // Most of the message is read and gathered; the kill follows the last byte.
            const QByteArray m = hfe(2);
            pty.send(m.left(m.size() - 3));
            QThread::msleep(400);
            pty.send(m.right(3));
            first.signal(SIGKILL);
        } else {
            pty.send(hfe(2));
        }
        QVERIFY2(first.waitDead(), "the station was not killed");
        QCOMPARE(first.proc.exitStatus(), QProcess::CrashExit);
    }

    // The station starts again: the examination is open again for the same patient, and
    // what the kill interrupted is stored.
    Child second;
    QVERIFY(second.start(ts.root(), QString()));
    QCOMPARE(second.readyLine, QStringLiteral("READY 4711"));
    QVERIFY2(waitUntil([&] { return recordCount(*ts) == 2; }, 10000), qPrintable(QString::number(recordCount(*ts))));
    pty.send(hfe(3));
    QVERIFY(waitUntil([&] { return recordCount(*ts) == 3; }, 10000));
    QTest::qWait(1500); // nothing stored twice later on

    const auto rows = doseRows(*ts);
    QCOMPARE(rows.size(), 3);
    QSet<QString> uids;
    for (int i = 0; i < 3; ++i) {
        const int n = i + 1;
        QCOMPARE(rows[i]["ImgNo"].toInt(), n);
        QCOMPARE(rows[i]["mGy1"].toString(), QString::number(n) + ".25");
        QCOMPARE(rows[i]["mGy2"].toString(), QString::number(26 + n));
        QCOMPARE(rows[i]["expTime"].toString(), QString::number(300 + n));
        QCOMPARE(rows[i]["WorklistPatID"].toString(), QStringLiteral("4711"));
        QCOMPARE(rows[i]["Status"].toString(), QStringLiteral("0"));
        uids << rows[i]["RecordUID"].toString();
    }
    QCOMPARE(uids.size(), 3);
    QVERIFY(!QFile::exists(ts->paths().file("cInput.txt")));
    QVERIFY(!QFile::exists(ts->paths().logsDir() + "/unstored.txt"));
    // The restart says what it took up from the journal (bytes in the port or gathered
    // text are simply read on).
    if (moment == QLatin1String("point"))
        QVERIFY(readFile(ts->log().errorLogPath()).contains("taken up again after the station ended unexpectedly"));
}

int main(int argc, char **argv)
{
    if (argc > 2 && QByteArray(argv[1]) == "--room")
        return runRoom(argc, argv);
    QApplication app(argc, argv);
    TestCaptureKill test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_capture_kill.moc"

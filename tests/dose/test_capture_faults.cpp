// The dose capture under the faults a room sees, through the real main window with the
// unit on a pseudo-terminal: a database held locked by another program while exposures
// arrive, a disk that fills up, and a channel unit whose values wait for "Fill".
#include "CaptureTestKit.h"
#include "PanelHost.h"
#include "StoreFixture.h"

#include "app/MainForm.h"
#include "dose/DoseRecords.h"
#include "net/Destinations.h"
#include "net/SendCommands.h"
#include "ui/CommandIds.h"

#include <QApplication>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

namespace {

const QByteArray Sq("\xB2", 1);

QByteArray hfe(int n)
{
    return QByteArray::number(n) + ".50cGyCm" + Sq + ";" + QByteArray::number(26 + n) + "kV;"
           + QByteArray::number(40 + n) + "mAs;W/Rh;" + QByteArray::number(350 + n) + "ms;45mm\r\n";
}

// How long the event loop went without running, while it is watched.
struct Responsiveness {
    QTimer timer;
    QElapsedTimer since;
    qint64 longest = 0;
    Responsiveness()
    {
        timer.setInterval(20);
        QObject::connect(&timer, &QTimer::timeout, [this] { longest = std::max(longest, since.restart()); });
        since.start();
        timer.start();
    }
};

} // namespace

class TestCaptureFaults : public QObject {
    Q_OBJECT
private slots:
    void lockedDatabaseDelaysNeverDrops();
    void fullDiskKeepsExposuresAndSaysSo();
    void channelUnitOffersFillInThePanel();
    void settingThatStopsCaptureIsNamed_data();
    void settingThatStopsCaptureIsNamed();
};

void TestCaptureFaults::lockedDatabaseDelaysNeverDrops()
{
    PtyPair pty;
    QVERIFY(pty.ok());
    TestStation ts;
    useHfeOn(*ts, pty);
    // The study of patient 4711 is in the store already, and open in the viewer.
    StoreFixture fx(*ts);
    const auto study = fx.addStudyWithImages(fx.addPatient("4711", "SMITH", "ANN", {}, "1960-12-31"), 3);
    Destinations d(*ts);
    d.makeDefault(d.add("PACS", "PACS", "127.0.0.1", "104"));
    PanelHost room(*ts, takeSmithFromWorklist);
    {
        // Set up as the browser leaves it, without the panels reacting to the pick.
        StoreSelection &sel = room.form->selection();
        const QSignalBlocker quiet(&sel);
        sel.setPatient(0, "4711", "SMITH, ANN", QString());
        sel.setStudyUid(study.studyUid);
        sel.setViewerFiles(study.files);
    }
    MainHooks::run(room.form->hooks().updateSendToEntries);

    // Another program holds the write lock for 20 s.
    QProcess holder;
    holder.setProcessChannelMode(QProcess::MergedChannels);
    holder.start("python3", {"-c",
                             "import sqlite3, sys, time\n"
                             "c = sqlite3.connect(sys.argv[1], isolation_level=None, timeout=0)\n"
                             "c.execute('BEGIN IMMEDIATE')\n"
                             "print('LOCKED', flush=True)\n"
                             "time.sleep(20)\n"
                             "c.execute('COMMIT')\n",
                             ts->paths().dataDb()});
    QVERIFY(holder.waitForReadyRead(10000));
    QVERIFY(holder.readAll().contains("LOCKED"));
    QElapsedTimer locked;
    locked.start();

    Responsiveness watch;
    for (int n = 1; n <= 3; ++n) {
        pty.send(hfe(n));
        QTest::qWait(700);
    }
    QVERIFY(waitUntil([&] { return room.label("lblUnstored")->text() == "3 exposures waiting to be stored"; }, 5000));
    QVERIFY(room.label("lblUnstored")->isVisible());
    QVERIFY(doseRows(*ts).isEmpty());

    // The merge waits for them.
    ts.prompter.clear();
    room.form->commands().run(Cmd::MergeImages);
    QVERIFY2(
        ts.prompter.lastText().startsWith("Exposure(s) 1, 2, 3 of SMITH, ANN (ID 4711) are still waiting to be stored"),
        qPrintable(ts.prompter.lastText()));
    QVERIFY(locked.elapsed() < 15000); // all of this while the lock held

    QVERIFY(waitUntil([&] { return holder.state() == QProcess::NotRunning; }, 30000));
    QVERIFY(waitUntil([&] { return doseRows(*ts).size() == 3; }, 5000));
    QVERIFY(waitUntil([&] { return room.label("lblUnstored")->isHidden(); }, 2000));
    // The window never stood still while the lock held.
    QVERIFY2(watch.longest < 1000, qPrintable(QString::number(watch.longest)));

    const auto rows = doseRows(*ts);
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(rows[i]["ImgNo"].toInt(), i + 1);
        QCOMPARE(rows[i]["mGy1"].toString(), QString::number(i + 1) + ".50");
        QCOMPARE(rows[i]["mGy2"].toString(), QString::number(27 + i));
    }
    QVERIFY(!QFile::exists(ts->paths().logsDir() + "/unstored.txt"));
    // The list shows them as soon as they are stored.
    QCOMPARE(room.form->findChild<QTreeWidget *>("lvDosis")->topLevelItemCount(), 3);
}

void TestCaptureFaults::fullDiskKeepsExposuresAndSaysSo()
{
    PtyPair pty;
    QVERIFY(pty.ok());
    TestStation ts;
    useHfeOn(*ts, pty);
    PanelHost room(*ts, takeSmithFromWorklist);
    pty.send(hfe(1));
    QVERIFY(waitUntil([&] { return doseRows(*ts).size() == 1; }, 5000));

    // No file may grow any more: the disk is full (a file size limit stands in for it, on
    // every file of this process: the journal, the database, the logs).
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    const QString journal = ts->paths().dataDir() + "/Exposures.journal";
    rlimit full = old;
    full.rlim_cur = rlim_t(QFileInfo(journal).size());
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &full), 0);
    ts.prompter.clear();
    pty.send(hfe(2));
    QTest::qWait(400);
    pty.send(hfe(3));
    QVERIFY(waitUntil([&] { return room.label("lblUnstored")->text().contains("held in memory only"); }, 5000));
    QTest::qWait(1500);
    // One box for the outage, not one for each exposure or each retry.
    QCOMPARE(ts.prompter.shown.size(), 1);
    QVERIFY2(ts.prompter.shown[0].text.startsWith("Datenverlust!\n\nThe exposure journal cannot be written"),
             qPrintable(ts.prompter.shown[0].text));

    // Space again: every exposure is stored, once, with its own number.
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &old), 0);
    QVERIFY(waitUntil([&] { return doseRows(*ts).size() == 3; }, 5000));
    QVERIFY(waitUntil([&] { return room.label("lblUnstored")->isHidden(); }, 3000));
    const auto rows = doseRows(*ts);
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(rows[i]["ImgNo"].toInt(), i + 1);
        QCOMPARE(rows[i]["mGy1"].toString(), QString::number(i + 1) + ".50");
    }
    // The journal holds them too now: a later crash would not lose them either.
    const QByteArray written = readFile(journal);
    QVERIFY(written.contains("2.50cGyCm"));
    QVERIFY(written.contains("3.50cGyCm"));
    QCOMPARE(ts.prompter.shown.size(), 1);
}

void TestCaptureFaults::channelUnitOffersFillInThePanel()
{
    PtyPair pty;
    QVERIFY(pty.ok());
    TestStation ts;
    ts->settings().comDevice = pty.slavePath();
    ts->settings().xrayComm = XrayUnit::Giotto;
    ts->saveSettings();
    PanelHost room(*ts, takeSmithFromWorklist);
    auto *fill = room.form->findChild<QPushButton *>("cmdFill");
    QVERIFY(fill);
    QVERIFY(fill->isHidden());
    pty.send("CH1: 1.34 mGy AEC 410ms\r\nCH2: 28 kV W/Ag 0\r\nCH3: 63 mAs 0 0\r\n");
    QVERIFY(waitUntil([&] { return fill->isVisible(); }, 3000));
    QVERIFY(room.label("lblFill")->isVisible());
    QCOMPARE(room.label("lblFill")->text(), QStringLiteral("Values from the unit wait to be stored:"));
    fill->click();
    QCOMPARE(doseRows(*ts).size(), 1);
    QCOMPARE(doseRows(*ts)[0]["mGy1"].toString(), QStringLiteral("1.34"));
    QVERIFY(fill->isHidden());
}

void TestCaptureFaults::settingThatStopsCaptureIsNamed_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<int>("unit");
    QTest::addColumn<QString>("told");
    QTest::newRow("a device that is not there")
        << "/nonexistent/ttyUSB9" << int(XrayUnit::Hfe501)
        << "The serial port /nonexistent/ttyUSB9 (Options &gt; Comm Port, Device) cannot be opened:";
    QTest::newRow("an unknown unit type")
        << QString() << 7 << "Unit type 7 (General\\XrayComm) is not one of the known units";
}

void TestCaptureFaults::settingThatStopsCaptureIsNamed()
{
    QFETCH(QString, device);
    QFETCH(int, unit);
    QFETCH(QString, told);
    PtyPair pty;
    QVERIFY(pty.ok());
    TestStation ts;
    ts->settings().comDevice = device.isEmpty() ? pty.slavePath() : device;
    ts->settings().xrayComm = qint16(unit);
    ts->saveSettings();
    PanelHost room(*ts, takeSmithFromWorklist);
    QLabel *note = room.label("lblPort");
    QVERIFY(waitUntil([&] { return note->isVisible(); }, 3000));
    QVERIFY2(note->text().startsWith(told), qPrintable(note->text()));
    // Put right in the Options: the note goes at the next activation.
    ts->settings().comDevice = pty.slavePath();
    ts->settings().xrayComm = XrayUnit::Hfe501;
    room.form->findChild<DoseCapturePanel *>()->Initialise_cPort();
    QVERIFY(note->isHidden());
}

QTEST_MAIN(TestCaptureFaults)
#include "test_capture_faults.moc"

// The serial link to the X-ray unit on a real pseudo-terminal: configuration, opening,
// the debug lines, the polling timer's gathering and the HFE end-of-message rule.
#include "CaptureTestKit.h"
#include "dose/DoseCapturePanel.h"
#include "dose/SerialLink.h"
#include "ui/CommandIds.h"

#include <QTest>

#include <termios.h>

static const QByteArray Sq("\xB2", 1);

class TestSerial : public QObject {
    Q_OBJECT
private slots:
    void settingsString_data();
    void settingsString();
    void settingsOutsideListsFail();
    void deviceNaming_data();
    void deviceNaming();
    void opensPseudoTerminalWithDebugLines();
    void noDebugLinesWithoutDebug();
    void everySpeedOpensOrIsLogged_data();
    void everySpeedOpensOrIsLogged();
    void portThatCannotOpenIsLogged_data();
    void portThatCannotOpenIsLogged();
    void bothHandshakes();
    void keepsWhatWaitedBeforeOpening();
    void hfeMessageCompleteOnlyWithMs();
    void twoHfeMessagesInOneTickAreBothStored();
    void otherUnitsOnlyGather_data();
    void otherUnitsOnlyGather();
    void reinitialiseKeepsHalfMessage();
    void dataLossEvents_data();
    void dataLossEvents();
    void receiveEventGoesToText4();
    void fullReceiveBufferIsDataLoss();
    void unparsableHfeMessageKeepsCapturing();
    void simulatorHfeExposuresInPieces();
    void lostLineIsLoggedAndClosed();
};

void TestSerial::settingsString_data()
{
    QTest::addColumn<int>("speed");
    QTest::addColumn<int>("parity");
    QTest::addColumn<int>("bits");
    QTest::addColumn<int>("stop");
    QTest::addColumn<QString>("text");
    QTest::newRow("defaults") << 5 << 2 << 4 << 0 << "4800,N,8,1";
    QTest::newRow("lowest") << 0 << 0 << 0 << 0 << "110,E,4,1";
    QTest::newRow("speed 12") << 12 << 2 << 4 << 0 << "128000,N,8,1";
    QTest::newRow("highest") << 13 << 4 << 3 << 2 << "256000,S,7,2";
    QTest::newRow("mark, 1.5 stop") << 6 << 1 << 2 << 1 << "9600,M,6,1.5";
    QTest::newRow("odd") << 11 << 3 << 1 << 2 << "56000,O,5,2";
}

void TestSerial::settingsString()
{
    TestStation ts(false);
    Settings &s = ts->settings();
    QFETCH(int, speed);
    QFETCH(int, parity);
    QFETCH(int, bits);
    QFETCH(int, stop);
    s.comSpeed = qint16(speed);
    s.comParity = qint16(parity);
    s.comBitGet = qint16(bits);
    s.comBitPut = qint16(stop);
    QTEST(SerialLink::settingsString(s), "text");
}

void TestSerial::settingsOutsideListsFail()
{
    QCOMPARE(SerialLink::speeds().size(), 14);
    QVERIFY(!SerialLink::speeds().contains("57600"));
    QVERIFY(!SerialLink::speeds().contains("115200"));
    TestStation ts(false);
    Settings s = ts->settings();
    s.comSpeed = 14;
    QVERIFY_THROWS_EXCEPTION(AppError, SerialLink::settingsString(s));
    s = ts->settings();
    s.comBitPut = 3;
    QVERIFY_THROWS_EXCEPTION(AppError, SerialLink::settingsString(s));
}

void TestSerial::deviceNaming_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("expected");
    QTest::newRow("port 1") << 1 << ""
                            << "/dev/ttyS0";
    QTest::newRow("port 8") << 8 << ""
                            << "/dev/ttyS7";
    QTest::newRow("device wins") << 3 << "/dev/ttyUSB0"
                                 << "/dev/ttyUSB0";
    QTest::newRow("blank device") << 2 << "  "
                                  << "/dev/ttyS1";
}

void TestSerial::deviceNaming()
{
    TestStation ts(false);
    QFETCH(int, port);
    QFETCH(QString, device);
    ts->settings().comPort = qint16(port);
    ts->settings().comDevice = device;
    QTEST(SerialLink::deviceFor(ts->settings()), "expected");
}

void TestSerial::opensPseudoTerminalWithDebugLines()
{
    PtyPair pty;
    QVERIFY(pty.ok());
    TestStation ts(false);
    ts->settings().comDevice = pty.slavePath();
    ts->settings().debug = 1;
    SerialLink link(*ts);
    link.initialise();
    QVERIFY(link.isOpen());
    const QString debug = QString::fromUtf8(readFile(ts->log().debugLogPath()));
    QVERIFY2(debug.contains("Initialise_cPort Port Open True"), qPrintable(debug));
    QVERIFY2(debug.contains("Initialize_cPort 4800,N,8,1"), qPrintable(debug));
    QVERIFY(!QFile::exists(ts->log().errorLogPath()));

    // Both ways over the line.
    pty.send("CH1 1.5 mGy");
    QVERIFY(waitUntil([&] { return link.waiting() >= 11; }));
    QCOMPARE(link.readAll(), QStringLiteral("CH1 1.5 mGy"));
    link.write(QStringLiteral("%PRT\r\n"));
    QCOMPARE(pty.receive(1000, "\r\n"), QByteArray("%PRT\r\n"));

    // Reinitialising closes and reopens the same port.
    link.initialise();
    QVERIFY(link.isOpen());
}

void TestSerial::noDebugLinesWithoutDebug()
{
    PtyPair pty;
    QVERIFY(pty.ok());
    TestStation ts(false);
    ts->settings().comDevice = pty.slavePath();
    ts->settings().debug = 0;
    SerialLink link(*ts);
    link.initialise();
    QVERIFY(link.isOpen());
    QVERIFY(!readFile(ts->log().debugLogPath()).contains("Port Open"));
}

void TestSerial::everySpeedOpensOrIsLogged_data()
{
    QTest::addColumn<int>("index");
    for (int i = 0; i < SerialLink::speeds().size(); ++i)
        QTest::newRow(qPrintable(SerialLink::speeds().at(i))) << i;
}

void TestSerial::everySpeedOpensOrIsLogged()
{
    QFETCH(int, index);
    PtyPair pty;
    QVERIFY(pty.ok());
    TestStation ts(false);
    ts->settings().comDevice = pty.slavePath();
    ts->settings().comSpeed = qint16(index);
    ts->settings().debug = 1;
    SerialLink link(*ts);
    link.initialise();
    const QString speed = SerialLink::speeds().at(index);
    if (link.isOpen()) {
        QVERIFY(readFile(ts->log().debugLogPath()).contains(("Initialize_cPort " + speed + ",N,8,1").toLatin1()));
    } else {
        // A speed the platform refuses: the failure is in the error log, the station runs on.
        QVERIFY(readFile(ts->log().errorLogPath()).contains("[Initialise_cPort]"));
        QVERIFY(readFile(ts->log().debugLogPath()).contains("Initialise_cPort Port Open False"));
    }
}

void TestSerial::portThatCannotOpenIsLogged_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<int>("bits");
    QTest::newRow("no such device") << "/nonexistent/ttyX9" << 4;
    QTest::newRow("4 data bits") << "" << 0;
}

void TestSerial::portThatCannotOpenIsLogged()
{
    QFETCH(QString, device);
    QFETCH(int, bits);
    PtyPair pty;
    QVERIFY(pty.ok());
    TestStation ts(false);
    ts->settings().comDevice = device.isEmpty() ? pty.slavePath() : device;
    ts->settings().comBitGet = qint16(bits);
    SerialLink link(*ts);
    link.initialise(); // must not throw
    QVERIFY(!link.isOpen());
    const QString err = QString::fromUtf8(readFile(ts->log().errorLogPath()));
    QVERIFY2(err.contains("[Initialise_cPort]"), qPrintable(err));
    QVERIFY(readFile(ts->log().debugLogPath()).contains("Initialise_cPort Port Open False"));
    QCOMPARE(link.readAll(), QString());
}

void TestSerial::bothHandshakes()
{
    PtyPair pty;
    QVERIFY(pty.ok());
    TestStation ts(false);
    ts->settings().comDevice = pty.slavePath();
    const int flags[4][2] = {{0, 0}, {IXON | IXOFF, 0}, {0, int(CRTSCTS)}, {IXON | IXOFF, int(CRTSCTS)}};
    for (int mode = 0; mode < 4; ++mode) {
        ts->settings().comFlux = qint16(mode);
        SerialLink link(*ts);
        link.initialise();
        QVERIFY(link.isOpen());
        termios t{};
        QCOMPARE(::tcgetattr(int(link.handle()), &t), 0);
        QCOMPARE(int(t.c_iflag & (IXON | IXOFF)), flags[mode][0]);
        QCOMPARE(int(t.c_cflag & CRTSCTS), flags[mode][1]);
    }
}

void TestSerial::keepsWhatWaitedBeforeOpening()
{
    // What the unit sent while the port was closed may be an exposure: it is read.
    PtyPair pty;
    QVERIFY(pty.ok());
    TestStation ts(false);
    ts->settings().comDevice = pty.slavePath();
    pty.send("12.5cGyCm\xB2;28kV;56mAs;W;350ms\r\n");
    QThread::msleep(50);
    SerialLink link(*ts);
    link.initialise();
    QVERIFY(link.isOpen());
    QTest::qWait(100);
    QCOMPARE(link.readAll(), QString::fromLatin1("12.5cGyCm\xB2;28kV;56mAs;W;350ms\r\n"));
}

// The area on a pseudo-terminal, with the timer driven by hand.
struct AreaOnPty {
    PtyPair pty;
    TestStation ts;
    CaptureWidgets cw;
    std::unique_ptr<DoseCapturePanel> area;

    explicit AreaOnPty(int unit)
    {
        ts->settings().comDevice = pty.slavePath();
        ts->settings().xrayComm = qint16(unit);
        area = cw.make(*ts);
        cw.serTimer->stop(); // ticks by hand below
        MainHooks::run(cw.hooks.activate);
    }
    // The unit sends, then one tick after the bytes arrived.
    void sendAndTick(const QByteArray &bytes)
    {
        cw.serTimer->stop();
        pty.send(bytes);
        waitUntil([&] { return area->link().waiting() >= bytes.size(); }, 2000);
        area->serTimerTick();
    }
    QString handOver() { return ts->paths().file("cInput.txt"); }
    QString done() { return ts->paths().file("done.txt"); }
};

void TestSerial::hfeMessageCompleteOnlyWithMs()
{
    AreaOnPty a(XrayUnit::Hfe501);
    QVERIFY(a.area->link().isOpen());
    a.cw.choosePatient("P1", "ANN", "SMITH", "1960-12-31");

    // Dose-area value, its unit and the kilovolts, but no exposure time yet.
    a.sendAndTick("12.50cGyCm" + Sq + ";28kV;56mAs;W/Rh;");
    QVERIFY(!QFile::exists(a.handOver()));
    QVERIFY(!QFile::exists(a.done()));
    QVERIFY(doseRows(*a.ts).isEmpty());
    QCOMPARE(a.area->inputText(), QString::fromLatin1("12.50cGyCm" + Sq + ";28kV;56mAs;W/Rh;"));
    QVERIFY(a.cw.txtcInput->toPlainText().startsWith("12.50cGyCm\u00B2;28kV"));

    // The exposure time arrives: the whole text goes over in one piece.
    a.sendAndTick("350ms;18mm\r\n");
    QCOMPARE(readFile(a.done()), "12.50cGyCm" + Sq + ";28kV;56mAs;W/Rh;350ms;18mm\r\n");
    QVERIFY(!QFile::exists(a.handOver()));
    const auto rows = doseRows(*a.ts);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0]["mGy1"].toString(), QStringLiteral("12.50"));
    QCOMPARE(rows[0]["expTime"].toString(), QStringLiteral("350"));
    QCOMPARE(a.area->inputText(), QString());
    QCOMPARE(a.cw.txtcInput->toPlainText(), QString());
    QVERIFY(a.cw.serTimer->isActive()); // dbFill ended normally and enabled it again
    QCOMPARE(a.cw.fills, 1);
    QCOMPARE(a.cw.List1->count(), 6);
}

void TestSerial::twoHfeMessagesInOneTickAreBothStored()
{
    AreaOnPty a(XrayUnit::Hfe501);
    QVERIFY(a.area->link().isOpen());
    a.cw.choosePatient("P1", "ANN", "SMITH", "1960-12-31");
    a.sendAndTick("12.50cGyCm" + Sq
                  + ";28kV;56mAs;W/Rh;350ms;18mm\r\n"
                    "13.75cGyCm"
                  + Sq + ";29kV;63mAs;W/Rh;410ms;19mm\r\n");
    const auto rows = doseRows(*a.ts);
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows[0]["mGy1"].toString(), QStringLiteral("12.50"));
    QCOMPARE(rows[0]["expTime"].toString(), QStringLiteral("350"));
    QCOMPARE(rows[1]["mGy1"].toString(), QStringLiteral("13.75"));
    QCOMPARE(rows[1]["expTime"].toString(), QStringLiteral("410"));
    QCOMPARE(rows[1]["ImgNo"].toInt(), 2);
    QCOMPARE(a.area->inputText(), QString());
    QVERIFY(a.cw.serTimer->isActive());
}

void TestSerial::otherUnitsOnlyGather_data()
{
    QTest::addColumn<int>("unit");
    QTest::newRow("Sophie") << int(XrayUnit::Sophie);
    QTest::newRow("Giotto") << int(XrayUnit::Giotto);
    QTest::newRow("Lorad M4") << int(XrayUnit::LoradM4);
}

void TestSerial::otherUnitsOnlyGather()
{
    QFETCH(int, unit);
    AreaOnPty a(unit);
    a.cw.choosePatient("P1", "ANN", "SMITH", "1960-12-31");
    const QByteArray msg = "CH1 1.31 mGy 445 ms\r\nCH2 29 kV Mo Rh\r\nCH3 55 mAs 83 N\r\n";
    a.sendAndTick(msg);
    QCOMPARE(a.area->inputText(), QString::fromLatin1(msg));
    QVERIFY(!QFile::exists(a.handOver()));
    QVERIFY(doseRows(*a.ts).isEmpty());

    // "Fill" hands the gathered text over.
    QVERIFY(a.cw.commands.run(Cmd::Fill));
    const auto rows = doseRows(*a.ts);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0]["mGy1"].toString(), QStringLiteral("1.31"));
    QCOMPARE(rows[0]["mGy2"].toString(), QStringLiteral("29"));
    QCOMPARE(rows[0]["mGy3"].toString(), QStringLiteral("55"));
}

void TestSerial::reinitialiseKeepsHalfMessage()
{
    AreaOnPty a(XrayUnit::Hfe501);
    a.cw.choosePatient("P1", "ANN", "SMITH", "1960-12-31");
    a.sendAndTick("12.50cGyCm" + Sq + ";28kV;");
    QVERIFY(!a.area->inputText().isEmpty());
    // A modal dialog closed: the port is opened again, what was gathered stays.
    MainHooks::run(a.cw.hooks.activate);
    QVERIFY(a.area->link().isOpen());
    QCOMPARE(a.area->inputText(), QString::fromLatin1("12.50cGyCm" + Sq + ";28kV;"));
    QVERIFY(doseRows(*a.ts).isEmpty());
    // The rest of the message arrives: one whole record.
    a.sendAndTick("56mAs;W/Rh;350ms;18mm\r\n");
    const auto rows = doseRows(*a.ts);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0]["mGy2"].toString(), QStringLiteral("28"));
    QCOMPARE(rows[0]["expTime"].toString(), QStringLiteral("350"));
}

void TestSerial::dataLossEvents_data()
{
    QTest::addColumn<int>("code");
    QTest::newRow("overrun") << 1006;
    QTest::newRow("buffer overflow") << 1008;
}

void TestSerial::dataLossEvents()
{
    QFETCH(int, code);
    AreaOnPty a(XrayUnit::Hfe501);
    a.sendAndTick("12.50cGyCm" + Sq);
    a.area->onCommEvent(code);
    QCOMPARE(a.ts.prompter.shown.size(), 1);
    QCOMPARE(a.ts.prompter.shown[0].text, QStringLiteral("Datenverlust!"));
    QCOMPARE(a.ts.prompter.shown[0].icon, MsgIcon::None);
    QCOMPARE(a.ts.prompter.shown[0].title, QStringLiteral("Calvarex"));
    // What was gathered stays.
    QCOMPARE(a.area->inputText(), QString::fromLatin1("12.50cGyCm" + Sq));
}

void TestSerial::receiveEventGoesToText4()
{
    AreaOnPty a(XrayUnit::Sophie);
    a.area->link().setReceiveThreshold(1);
    a.pty.send("CH1 2.0");
    QVERIFY(waitUntil([&] { return a.area->text4() == QStringLiteral("CH1 2.0"); }));
    QCOMPARE(a.cw.Text4->toPlainText(), QStringLiteral("CH1 2.0"));
    a.area->serTimerTick();
    QCOMPARE(a.area->inputText(), QString());
    // Other event codes change nothing.
    a.area->onCommEvent(3);
    QCOMPARE(a.area->text4(), QStringLiteral("CH1 2.0"));
    QVERIFY(a.ts.prompter.shown.isEmpty());
}

void TestSerial::fullReceiveBufferIsDataLoss()
{
    AreaOnPty a(XrayUnit::Sophie);
    a.area->link().setReceiveBufferSize(64);
    a.pty.send(QByteArray(200, 'x'));
    QVERIFY(waitUntil([&] { return a.area->link().waiting() >= 64; }));
    a.area->serTimerTick();
    QCOMPARE(a.ts.prompter.texts_shown(), QStringList{"Datenverlust!"});
    // The characters already gathered stay.
    QVERIFY(a.area->inputText().startsWith(QString(64, 'x')));
}

void TestSerial::unparsableHfeMessageKeepsCapturing()
{
    AreaOnPty a(XrayUnit::Hfe501);
    a.cw.choosePatient("P1", "ANN", "SMITH", "1960-12-31");
    // Line noise that holds "ms" but no dose value.
    a.sendAndTick("E17 tube warm;350ms\r\n");
    QVERIFY(readFile(a.ts->log().errorLogPath()).contains("Incomplete dose message"));
    QVERIFY(doseRows(*a.ts).isEmpty());
    QVERIFY(readFile(a.ts->paths().logsDir() + "/unstored.txt").contains("E17 tube warm;350ms"));
    QCOMPARE(a.area->inputText(), QString());

    // The next exposure is captured as usual.
    a.sendAndTick("9.75cGyCm" + Sq + ";27kV;44mAs;W;310ms;36mm\r\n");
    const auto rows = doseRows(*a.ts);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0]["mGy1"].toString(), QStringLiteral("9.75"));
    QCOMPARE(rows[0]["ImgNo"].toInt(), 1);
}

void TestSerial::simulatorHfeExposuresInPieces()
{
    // The unit's messages arrive in small pieces over several timer ticks.
    XraySim sim;
    QVERIFY(sim.start());
    TestStation ts;
    ts->settings().comDevice = sim.device();
    ts->settings().xrayComm = XrayUnit::Hfe501;
    CaptureWidgets cw;
    auto panel = cw.make(*ts);
    DoseCapturePanel &area = *panel;
    MainHooks::run(cw.hooks.activate);
    QVERIFY(area.link().isOpen());
    cw.choosePatient("4711", "ANN", "SMITH", "1960-12-31");
    QVERIFY(cw.serTimer->isActive());

    sim.command("chunk 7 40");
    const char *commands[3] = {"hfe 12.50 28 56 W/Rh 350 18mm", "hfe 123.45 30 80 Mo/Rh 410 40mm",
                               "hfe 9.75 27 44 W 310 36mm"};
    for (int i = 0; i < 3; ++i) {
        // One exposure after the other, as the unit makes them.
        sim.command(QString::fromLatin1(commands[i]));
        QVERIFY(!sim.waitFor("SENT hfe").isEmpty());
        QVERIFY(waitUntil([&] { return doseRows(*ts).size() == i + 1; }, 10000));
    }
    const auto rows = doseRows(*ts);
    const char *expect[3][4] = {
        {"12.50", "28", "56", "350"}, {"123.45", "30", "80", "410"}, {"9.75", "27", "44", "310"}};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(rows[i]["ImgNo"].toInt(), i + 1);
        QCOMPARE(rows[i]["mGy1"].toString(), QString::fromLatin1(expect[i][0]));
        QCOMPARE(rows[i]["mGy2"].toString(), QString::fromLatin1(expect[i][1]));
        QCOMPARE(rows[i]["mGy3"].toString(), QString::fromLatin1(expect[i][2]));
        QCOMPARE(rows[i]["expTime"].toString(), QString::fromLatin1(expect[i][3]));
    }
    QVERIFY(!QFile::exists(ts->log().errorLogPath()));
}

void TestSerial::lostLineIsLoggedAndClosed()
{
    TestStation ts(false);
    auto pty = std::make_unique<PtyPair>();
    QVERIFY(pty->ok());
    ts->settings().comDevice = pty->slavePath();
    SerialLink link(*ts);
    link.initialise();
    QVERIFY(link.isOpen());
    pty.reset(); // the other end goes away
    QVERIFY(waitUntil([&] { return !link.isOpen(); }, 3000));
    QVERIFY(readFile(ts->log().errorLogPath()).contains("[MSComm1_OnComm]"));
    QCOMPARE(link.readAll(), QString());
}

QTEST_MAIN(TestSerial)
#include "test_serial.moc"

// The Lorad M4 dose-product poll, against the X-ray unit simulator on a
// pseudo-terminal.
#include "CaptureTestKit.h"
#include "dose/DoseCapturePanel.h"
#include "dose/LoradPoll.h"
#include "dose/SerialLink.h"

#include <QTest>

class TestLorad : public QObject {
    Q_OBJECT
private slots:
    void ltrim0_data();
    void ltrim0();
    void cleaning_data();
    void cleaning();
    void pollStoresDoseProduct();
    void pollWithoutAnswerLogsAndStoresNothing();
    void pollWithoutPortShowsError();
    void acknowledgementSendsFile();
};

void TestLorad::ltrim0_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::newRow("leading zeros") << "00CH1 1.5"
                                   << "CH1 1.5";
    QTest::newRow("zeros only") << "000"
                                << "";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("no zeros") << "CH1 0.05"
                              << "CH1 0.05";
    QTest::newRow("zeros after a line break stay") << "0\r\n00CH1"
                                                   << "\r\n00CH1";
    QTest::newRow("blank first") << " 0CH1"
                                 << " 0CH1";
}

void TestLorad::ltrim0()
{
    QFETCH(QString, text);
    QString arg = text;
    QTEST(LoradPoll::LTrim0(arg), "expected");
    QTEST(arg, "expected");
}

void TestLorad::cleaning_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("handedOver");
    // Percent signs go first, then the leading zeros.
    QTest::newRow("zeros, percent, CH1") << "00%CH1 1.52 mGy\r\nCH2 28 kV"
                                         << "CH1 1.52 mGy\r\nCH2 28 kV\r\n\r\n";
    QTest::newRow("percent inside") << "0%0%CH1 5%"
                                    << "CH1 5\r\n\r\n";
    QTest::newRow("nothing waiting") << ""
                                     << "\r\n\r\n";
    QTest::newRow("zeros on a later line") << "CH1 1\r\n007 x"
                                           << "CH1 1\r\n007 x\r\n\r\n";
}

void TestLorad::cleaning()
{
    QFETCH(QString, answer);
    QTEST(LoradPoll::cleanAnswer(answer), "handedOver");
}

struct LoradRoom {
    XraySim sim;
    TestStation ts;
    CaptureWidgets cw;
    std::unique_ptr<DoseCapturePanel> area;

    bool start(const QStringList &simArgs = {})
    {
        if (!sim.start(simArgs))
            return false;
        ts->settings().comDevice = sim.device();
        ts->settings().xrayComm = XrayUnit::LoradM4;
        area = cw.make(*ts);
        MainHooks::run(cw.hooks.activate);
        return area->link().isOpen();
    }
};

void TestLorad::pollStoresDoseProduct()
{
    LoradRoom room;
    QVERIFY2(room.start(), "xray-sim did not start or the port did not open");
    room.cw.choosePatient("4711", "ANN", "SMITH", "1960-12-31");
    room.sim.command("lorad 1.52 29 71");
    QVERIFY(!room.sim.waitFor("OK lorad").isEmpty());

    room.cw.cmdLorad->click();
    QCOMPARE(int(room.cw.state.assignmentMode), 5);
    // The unit's answer, cleaned: it starts with "CH1".
    QVERIFY2(room.area->text4().startsWith("CH1 1.52 mGy"), qPrintable(room.area->text4()));
    QVERIFY(room.area->text4().endsWith("\r\n\r\n"));
    const QByteArray done = readFile(room.ts->paths().file("done.txt"));
    QVERIFY(done.startsWith("CH1 1.52 mGy"));
    QVERIFY(!QFile::exists(room.ts->paths().file("cInput.txt")));

    const auto rows = doseRows(*room.ts);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0]["mGy1"].toString(), QStringLiteral("1.52"));
    QCOMPARE(rows[0]["mGy2"].toString(), QStringLiteral("29"));
    QCOMPARE(rows[0]["mGy3"].toString(), QStringLiteral("71"));
    QCOMPARE(rows[0]["ImgNo"].toInt(), 1);
    QCOMPARE(room.cw.lastFillMode, 5);
    QVERIFY(!room.sim.waitFor("RECV %PRT\\r\\n", 1000).isEmpty());

    // A second poll: the next exposure number.
    room.sim.command("lorad 0.98");
    QVERIFY(!room.sim.waitFor("OK lorad").isEmpty());
    room.cw.cmdLorad->click();
    QCOMPARE(doseRows(*room.ts).size(), 2);
    QCOMPARE(doseRows(*room.ts).last()["mGy1"].toString(), QStringLiteral("0.98"));
    QCOMPARE(doseRows(*room.ts).last()["ImgNo"].toInt(), 2);
}

void TestLorad::pollWithoutAnswerLogsAndStoresNothing()
{
    LoradRoom room;
    QVERIFY(room.start());
    room.cw.choosePatient("4711", "ANN", "SMITH", "1960-12-31");
    room.sim.command("lorad-silent");
    QVERIFY(!room.sim.waitFor("OK lorad-silent").isEmpty());
    room.cw.cmdLorad->click();
    // No answer is no message: nothing is handed over, the log says so.
    QVERIFY(!QFile::exists(room.ts->paths().file("done.txt")));
    QVERIFY(!QFile::exists(room.ts->paths().file("cInput.txt")));
    QVERIFY(readFile(room.ts->log().errorLogPath()).contains("[MainForm cmdLorad_Click]"));
    QVERIFY(doseRows(*room.ts).isEmpty());
    QCOMPARE(room.area->records().nextImageNo(), 1);
    QVERIFY(room.cw.serTimer->isActive());
}

void TestLorad::pollWithoutPortShowsError()
{
    TestStation ts;
    ts->settings().comDevice = QStringLiteral("/nonexistent/ttyLorad");
    ts->settings().xrayComm = XrayUnit::LoradM4;
    CaptureWidgets cw;
    auto panel = cw.make(*ts);
    MainHooks::run(cw.hooks.activate);
    cw.choosePatient("4711", "ANN", "SMITH", "1960-12-31");
    cw.cmdLorad->click();
    QVERIFY(readFile(ts->log().errorLogPath()).contains("[MainForm cmdLorad_Click]"));
    QCOMPARE(ts.prompter.shown.size(), 1);
    QVERIFY(ts.prompter.shown[0].text.startsWith("Error #"));
    QCOMPARE(ts.prompter.shown[0].icon, MsgIcon::Critical);
    QVERIFY(!QFile::exists(ts->paths().file("cInput.txt")));
    QVERIFY(doseRows(*ts).isEmpty());
}

void TestLorad::acknowledgementSendsFile()
{
    PtyPair pty;
    QVERIFY(pty.ok());
    TestStation ts(false);
    ts->settings().comDevice = pty.slavePath();
    SerialLink link(*ts);
    link.initialise();
    QVERIFY(link.isOpen());
    // Missing file: fails.
    QVERIFY_THROWS_EXCEPTION(AppError, LoradPoll::setLoradOK(*ts, link));
    const QByteArray ack("ACK\x06\xB2\r\n", 7);
    QFile f(ts->paths().file("ACKMSG.TXT"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(ack);
    f.close();
    // The port may be closed: the acknowledgement opens it.
    link.close();
    LoradPoll::setLoradOK(*ts, link);
    QCOMPARE(pty.receive(1000, "\r\n"), ack);
}

QTEST_MAIN(TestLorad)
#include "test_lorad.moc"

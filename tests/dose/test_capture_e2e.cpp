// The whole main window capturing from a faulty line: raw bytes on a pseudo-terminal as
// the HFE 501 sends them, with an empty field, two messages in one write (CR LF and CR
// only), a noise byte, a message cut short, a lost line end, and a restart of the
// station in the middle of the study. Every whole exposure is stored once with each value
// in its column and its number in order; what was cut short is kept aside.
#include "CaptureTestKit.h"

#include "app/MainForm.h"
#include "net/WorklistEntry.h"

#include <QApplication>
#include <QTest>
#include <memory>

namespace {

const QByteArray Sq("\xB2", 1);

QByteArray hfe(const char *dose, const char *kv, const char *mas, const char *ms)
{
    return QByteArray(dose) + "cGyCm" + Sq + ";" + kv + ";" + mas + ";W/Rh;" + ms + ";18mm";
}

// The main window of a station whose serial line is the pseudo-terminal.
struct Room {
    Station &station;
    std::unique_ptr<MainForm> form;
    explicit Room(Station &s) : station(s) { open(); }
    void open()
    {
        form = std::make_unique<MainForm>(station);
        form->hooks().startCompanions.clear(); // no companion processes from this test
        form->formLoad();
        form->show();
        form->activateWindow();
        QApplication::setActiveWindow(form.get());
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        WorklistEntry e;
        e.columns[WorklistEntry::PatientId] = "4711";
        e.columns[WorklistEntry::GivenName] = "ANN";
        e.columns[WorklistEntry::FamilyName] = "SMITH";
        e.columns[WorklistEntry::BirthDate] = "1960-12-31";
        form->doseState().takeWorklistPatient(e);
    }
    void restart()
    {
        form->exitProgram();
        form.reset();
        open();
    }
};

} // namespace

class TestCaptureE2E : public QObject {
    Q_OBJECT
private slots:
    void faultyLineNeverMixesOrLosesExposures()
    {
        PtyPair pty;
        QVERIFY(pty.ok());
        TestStation ts;
        ts->settings().comDevice = pty.slavePath();
        ts->settings().xrayComm = XrayUnit::Hfe501;
        ts->settings().debug = 0;
        ts->saveSettings();
        Room room(*ts);

        auto sendAndWait = [&](const QByteArray &bytes, int records) {
            pty.send(bytes);
            return waitUntil([&] { return doseRows(*ts).size() == records; }, 5000);
        };
        // An empty kV field.
        QVERIFY(sendAndWait(QByteArray("12.50cGyCm") + Sq + ";;56mAs;W/Rh;350ms;18mm\r\n", 1));
        // Two in one write, CR LF and CR only.
        QVERIFY(sendAndWait(hfe("2.00", "28kV", "50mAs", "300ms") + "\r\n" + hfe("3.00", "29kV", "51mAs", "310ms") + "\r\n", 3));
        QVERIFY(sendAndWait(hfe("4.00", "30kV", "52mAs", "320ms") + "\r" + hfe("5.00", "31kV", "53mAs", "330ms") + "\r", 5));
        // A noise byte in front of a message.
        QVERIFY(sendAndWait("\xff" + hfe("6.00", "32kV", "54mAs", "340ms") + "\r\n", 6));
        // A message cut short, then a whole one.
        QVERIFY(sendAndWait(QByteArray("9.10cGyCm") + Sq + ";27kV;4\r\n" + hfe("7.00", "33kV", "55mAs", "350ms") + "\r\n", 7));
        // A lost line end between two.
        QVERIFY(sendAndWait(hfe("8.00", "34kV", "56mAs", "360ms") + hfe("9.00", "35kV", "57mAs", "370ms") + "\r\n", 9));
        // The station restarts in the middle of the study.
        room.restart();
        QVERIFY(sendAndWait(hfe("10.00", "36kV", "58mAs", "380ms") + "\r\n", 10));

        const auto rows = doseRows(*ts);
        QCOMPARE(rows.size(), 10);
        QCOMPARE(rows[0]["mGy2"].toString(), QString());
        QCOMPARE(rows[0]["mGy3"].toString(), QStringLiteral("56"));
        QCOMPARE(rows[0]["expTime"].toString(), QStringLiteral("350"));
        for (int i = 1; i < 10; ++i) {
            QCOMPARE(rows[i]["mGy1"].toString(), QStringLiteral("%1.00").arg(i + 1));
            QCOMPARE(rows[i]["mGy2"].toString(), QString::number(27 + i));
            QCOMPARE(rows[i]["mGy3"].toString(), QString::number(49 + i));
            QCOMPARE(rows[i]["expTime"].toString(), QString::number(290 + 10 * i));
        }
        for (int i = 0; i < 10; ++i)
            QCOMPARE(rows[i]["ImgNo"].toInt(), i + 1);
        const QByteArray unstored = readFile(ts->paths().logsDir() + "/unstored.txt");
        QVERIFY2(unstored.contains("9.10cGyCm" + Sq + ";27kV;4"), unstored.constData());
        QVERIFY(unstored.contains("\xff"));
        room.form->exitProgram();
    }
};

QTEST_MAIN(TestCaptureE2E)
#include "test_capture_e2e.moc"

// The whole main window capturing from a faulty line: raw bytes on a pseudo-terminal as
// the HFE 501 sends them, with an empty field, two messages in one write (CR LF and CR
// only), a noise byte, a message cut short, a lost line end, and a restart of the
// station in the middle of the study. Every whole exposure is stored once with each value
// in its column and its number in order; what was cut short is kept aside.
#include "CaptureTestKit.h"
#include "PanelHost.h"

#include "app/MainForm.h"
#include "dose/SerialLink.h"
#include "net/WorklistEntry.h"
#include "store/Schema.h"

#include <QApplication>
#include <QEventLoop>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <memory>
#include <unistd.h>

namespace {

const QByteArray Sq("\xB2", 1);

QByteArray hfe(const char *dose, const char *kv, const char *mas, const char *ms)
{
    return QByteArray(dose) + "cGyCm" + Sq + ";" + kv + ";" + mas + ";W/Rh;" + ms + ";18mm";
}

// A prompter whose boxes stay open a while, as a modal box does while the operator reads
// it: the event loop runs on meanwhile, so the serial timer keeps ticking.
class SlowBoxPrompter : public ScriptedPrompter {
public:
    int holdMs = 600;
    int open = 0;     // boxes open now
    int mostOpen = 0; // most boxes open at one time
    void message(const QString &text, MsgIcon icon, const QString &title) override
    {
        ScriptedPrompter::message(text, icon, title);
        mostOpen = std::max(mostOpen, ++open);
        QEventLoop loop;
        QTimer::singleShot(holdMs, &loop, &QEventLoop::quit);
        loop.exec();
        --open;
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
        useHfeOn(*ts, pty);
        PanelHost room(*ts, takeSmithFromWorklist);

        auto sendAndWait = [&](const QByteArray &bytes, int records) {
            pty.send(bytes);
            return waitUntil([&] { return doseRows(*ts).size() == records; }, 5000);
        };
        // An empty kV field.
        QVERIFY(sendAndWait(QByteArray("12.50cGyCm") + Sq + ";;56mAs;W/Rh;350ms;18mm\r\n", 1));
        // Two in one write, CR LF and CR only.
        QVERIFY(sendAndWait(
            hfe("2.00", "28kV", "50mAs", "300ms") + "\r\n" + hfe("3.00", "29kV", "51mAs", "310ms") + "\r\n", 3));
        QVERIFY(sendAndWait(hfe("4.00", "30kV", "52mAs", "320ms") + "\r" + hfe("5.00", "31kV", "53mAs", "330ms") + "\r",
                            5));
        // A noise byte in front of a message.
        QVERIFY(sendAndWait("\xff" + hfe("6.00", "32kV", "54mAs", "340ms") + "\r\n", 6));
        // A message cut short, then a whole one.
        QVERIFY(sendAndWait(
            QByteArray("9.10cGyCm") + Sq + ";27kV;4\r\n" + hfe("7.00", "33kV", "55mAs", "350ms") + "\r\n", 7));
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

    // Noise on the line that overflows the port's buffer again and again: one
    // "Datenverlust!" box, the further losses counted in the log.
    void serialNoiseShowsOneDataLossBoxAtATime()
    {
        PtyPair pty;
        QVERIFY(pty.ok());
        QTemporaryDir dir;
        SlowBoxPrompter prompter;
        Station station(dir.path(), std::make_unique<SettingsStore>(dir.path() + "/settings.ini"), prompter);
        station.loadSettings();
        station.paths().createFolders();
        Schema::ensureDatabases(station.paths());
        station.settings().comDevice = pty.slavePath();
        station.settings().xrayComm = XrayUnit::Hfe501;
        station.settings().debug = 0;
        station.saveSettings();
        PanelHost room(station, takeSmithFromWorklist);
        auto *panel = room.form->findChild<DoseCapturePanel *>();
        QVERIFY(panel);
        // A small port buffer: every poll finds it full while the noise lasts.
        panel->link().setReceiveBufferSize(256);

        QTimer noise;
        noise.setInterval(20);
        // What does not fit into the line's buffer is lost, as on a real line (a blocking
        // write would wait for the reader on this very thread).
        const QByteArray burst(512, char(0xAA));
        QObject::connect(&noise, &QTimer::timeout,
                         [&] { [[maybe_unused]] auto n = ::write(pty.master(), burst.constData(), burst.size()); });
        noise.start();
        QTest::qWait(3000); // boxes open and close in here, as they would on screen
        noise.stop();
        QVERIFY(waitUntil([&] { return prompter.open == 0; }, 5000));

        QCOMPARE(prompter.mostOpen, 1);
        // One box for the whole burst: the operator is not made to close one box after
        // another while the noise lasts.
        QCOMPARE(prompter.texts_shown().count(QStringLiteral("Datenverlust!")), 1);
        room.form->exitProgram(); // the log's held-back repeat counts are written

        // The losses after the box are in the log: one line, and one with their count.
        const QStringList lines =
            QString::fromUtf8(readFile(station.log().errorLogPath())).split('\n', Qt::SkipEmptyParts);
        const QStringList losses = lines.filter(QStringLiteral("Datenverlust!"));
        QVERIFY2(losses.size() >= 2 && losses.size() <= 3, qPrintable(lines.join('\n')));
        static const QRegularExpression counted(QStringLiteral("\\(repeated (\\d+) times\\)$"));
        const QRegularExpressionMatch m = counted.match(losses.last().trimmed());
        QVERIFY2(m.hasMatch() && m.captured(1).toInt() >= 5, qPrintable(losses.join('\n')));
    }
};

QTEST_MAIN(TestCaptureE2E)
#include "test_capture_e2e.moc"

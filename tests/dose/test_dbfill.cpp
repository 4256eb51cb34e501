// dbFill on a real data database: the hand-over files, the exposure counter, the
// record's columns, exposures without a patient, failures.
#include "CaptureTestKit.h"
#include "core/DateText.h"
#include "dose/DoseCapturePanel.h"
#include "dose/DoseList.h"
#include "dose/DoseRecords.h"
#include "dose/SerialLink.h"
#include "store/Schema.h"
#include "ui/CommandIds.h"

#include <QDir>
#include <QRegularExpression>
#include <QTest>

static const QByteArray Sq("\xB2", 1);

static void writeHandOver(Station &s, const QByteArray &bytes)
{
    QFile f(s.paths().file("cInput.txt"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

struct Capture {
    TestStation ts;
    CaptureWidgets cw;
    std::unique_ptr<DoseCapturePanel> area;
    explicit Capture(int unit)
    {
        ts->settings().xrayComm = qint16(unit);
        ts->settings().comDevice = QStringLiteral("/nonexistent/tty"); // no port needed here
        area = cw.make(*ts);
    }
    void patient() { cw.choosePatient("4711", "ANN", "SMITH", "1960-12-31", "BREAST"); }
};

class TestDbFill : public QObject {
    Q_OBJECT
private slots:
    void hfeRecordsFromHandOverFile();
    void channelFormatFromReceiveBuffer_data();
    void channelFormatFromReceiveBuffer();
    void nothingToParseStoresNothing();
    void unitTypeAboveFiveStoresNothing();
    void namesAreBoundNotPasted();
    void recordIdsBeyond16Bits();
    void exposureWithoutPatientWaits();
    void waitingExposureDeclinedStaysWaiting();
    void waitingExposuresSurviveRestart();
    void databaseFailureKeepsMessage();
    void editedDebugBufferIsParsed();
    void channelMessagesGatheredBeforeFillAreEachStored();
    void exposureNumbersComeFromTheDatabase();
    void patientMeansAPatientId();
    void missingValuesAreEmptyText();
    void failedHandOverNeverServesAnOldMessage();
};

void TestDbFill::hfeRecordsFromHandOverFile()
{
    Capture c(XrayUnit::Hfe501);
    c.patient();
    const QByteArray msgs[3] = {"12.50cGyCm" + Sq + ";28kV;56mAs;W/Rh;350ms;18mm\r\n",
                                "123.45cGyCm" + Sq + ";30kV;80mAs;Mo/Rh;410ms\r\n",
                                "9.75cGyCm" + Sq + ";27kV;44mAs;W;310ms;36mm\r\n"};
    for (const QByteArray &m : msgs) {
        writeHandOver(*c.ts, m);
        QVERIFY(c.cw.commands.run(Cmd::Fill));
        QVERIFY(!QFile::exists(c.ts->paths().file("cInput.txt")));
        // done.txt holds the last message taken over, and only that.
        QCOMPARE(readFile(c.ts->paths().file("done.txt")), m);
    }
    const auto rows = doseRows(*c.ts);
    QCOMPARE(rows.size(), 3);
    const char *expect[3][4] = {
        {"12.50", "28", "56", "350"}, {"123.45", "30", "80", "410"}, {"9.75", "27", "44", "310"}};
    for (int i = 0; i < 3; ++i) {
        const QVariantMap &r = rows[i];
        QCOMPARE(r["mGy1"].toString(), QString::fromLatin1(expect[i][0]));
        QCOMPARE(r["mGy2"].toString(), QString::fromLatin1(expect[i][1]));
        QCOMPARE(r["mGy3"].toString(), QString::fromLatin1(expect[i][2]));
        QCOMPARE(r["expTime"].toString(), QString::fromLatin1(expect[i][3]));
        QCOMPARE(r["ImgNo"].toInt(), i + 1);
        QCOMPARE(r["Status"].toString(), QStringLiteral("0"));
        QCOMPARE(r["PatFirstname"].toString(), QStringLiteral("ANN"));
        QCOMPARE(r["PatLastname"].toString(), QStringLiteral("SMITH"));
        QCOMPARE(r["PatBirthdate"].toString(), QStringLiteral("1960-12-31"));
        QCOMPARE(r["Bodypart"].toString(), QStringLiteral("BREAST"));
        QCOMPARE(r["Date"].toString(), DateText::today());
        QVERIFY(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d$").match(r["Time"].toString()).hasMatch());
        QVERIFY(r["FKeyPatID"].isNull());
    }
    QCOMPARE(c.area->records().nextImageNo(), 4);
    QCOMPARE(c.cw.fills, 3);
    QCOMPARE(c.cw.lastFillMode, 1);
    QVERIFY(c.ts.prompter.shown.isEmpty());

    // "New Study" closed the study: the patient's next record is number 1 again.
    DoseList(*c.ts, c.cw.state).newStudy();
    c.patient();
    writeHandOver(*c.ts, msgs[0]);
    c.area->dbFill();
    QCOMPARE(doseRows(*c.ts).last()["ImgNo"].toInt(), 1);
}

void TestDbFill::channelFormatFromReceiveBuffer_data()
{
    QTest::addColumn<int>("unit");
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QString>("v1");
    QTest::addColumn<QString>("v6");
    QTest::addColumn<QString>("v11");
    QTest::newRow("Sophie") << int(XrayUnit::Sophie)
                            << QByteArray("CH1 1.31 mGy 445 ms\r\nCH2 29 kV Mo Rh\r\nCH3 55 mAs 83 N\r\n") << "1.31"
                            << "29"
                            << "55";
    QTest::newRow("Giotto") << int(XrayUnit::Giotto)
                            << QByteArray("CH1: 2.05 mGy AEC 400ms\r\nCH2: 28 kV W/Ag 0\r\nCH3: 71 mAs 50 mm\r\n")
                            << "2.05"
                            << "28"
                            << "71";
    QTest::newRow("short message") << int(XrayUnit::Sophie) << QByteArray("CH1 0.8 mGy\r\n") << "0.8"
                                   << ""
                                   << "";
}

void TestDbFill::channelFormatFromReceiveBuffer()
{
    QFETCH(int, unit);
    QFETCH(QByteArray, message);
    PtyPair pty;
    QVERIFY(pty.ok());
    Capture c(unit);
    c.ts->settings().comDevice = pty.slavePath();
    MainHooks::run(c.cw.hooks.activate);
    c.patient();
    c.cw.serTimer->stop();
    pty.send(message);
    QVERIFY(waitUntil([&] { return c.area->link().waiting() >= message.size(); }));
    c.area->serTimerTick();
    QVERIFY(doseRows(*c.ts).isEmpty());
    // No hand-over file: "Fill" parses what the polling timer gathered.
    QVERIFY(c.cw.commands.run(Cmd::Fill));
    const auto rows = doseRows(*c.ts);
    QCOMPARE(rows.size(), 1);
    QTEST(rows[0]["mGy1"].toString(), "v1");
    QTEST(rows[0]["mGy2"].toString(), "v6");
    QTEST(rows[0]["mGy3"].toString(), "v11");
    QCOMPARE(rows[0]["expTime"].toString(), QString());
    QCOMPARE(rows[0]["ImgNo"].toInt(), 1);
    QCOMPARE(c.area->inputText(), QString());
    QCOMPARE(c.cw.List1->item(0)->text().left(3), QStringLiteral("CH1"));
}

void TestDbFill::nothingToParseStoresNothing()
{
    Capture c(XrayUnit::Sophie);
    c.patient();
    c.cw.serTimer->stop();
    c.area->dbFill();
    QVERIFY(doseRows(*c.ts).isEmpty());
    QCOMPARE(c.cw.fills, 1); // the list is refreshed all the same
    QVERIFY(c.cw.serTimer->isActive());
    QCOMPARE(c.area->records().nextImageNo(), 1);
    QVERIFY(!QFile::exists(c.ts->log().errorLogPath()));
}

void TestDbFill::unitTypeAboveFiveStoresNothing()
{
    Capture c(6);
    c.patient();
    writeHandOver(*c.ts, "12.50cGyCm" + Sq + ";28kV;56mAs;W/Rh;350ms\r\n");
    c.area->dbFill();
    QVERIFY(doseRows(*c.ts).isEmpty());
    QVERIFY(QFile::exists(c.ts->paths().file("done.txt")));
    QCOMPARE(c.cw.fills, 1);
}

void TestDbFill::namesAreBoundNotPasted()
{
    Capture c(XrayUnit::Hfe501);
    c.cw.choosePatient("X'1", "ANN'; DROP TABLE tblDosis; --", "O\u00B4NEIL", "1971-02-03", "");
    writeHandOver(*c.ts, "1.0cGyCm" + Sq + ";25kV;20mAs;W;200ms\r\n");
    c.area->dbFill();
    const auto rows = doseRows(*c.ts);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0]["PatFirstname"].toString(), QStringLiteral("ANN'; DROP TABLE tblDosis; --"));
    QCOMPARE(rows[0]["PatLastname"].toString(), QStringLiteral("O\u00B4NEIL"));
    QCOMPARE(rows[0]["Bodypart"].toString(), QStringLiteral("Unknown"));
}

void TestDbFill::recordIdsBeyond16Bits()
{
    Capture c(XrayUnit::Hfe501);
    c.patient();
    {
        Database db = Database::openData(c.ts->paths());
        db.exec("INSERT INTO tblDosis (ID, Status) VALUES (40000, '1')");
    }
    DoseRecords records(*c.ts, c.cw.state);
    QString text = QString::fromLatin1("7.5cGyCm" + Sq + ";26kV;30mAs;W;250ms\r\n");
    const DoseRecords::Result r = records.fill(text);
    QCOMPARE(r.outcome, DoseRecords::Outcome::Stored);
    QCOMPARE(r.id, qint64(40001));
    QCOMPARE(doseRows(*c.ts, "ID = 40001").size(), 1);
}

void TestDbFill::exposureWithoutPatientWaits()
{
    Capture c(XrayUnit::Hfe501);
    c.cw.serTimer->stop();
    writeHandOver(*c.ts, "12.50cGyCm" + Sq + ";28kV;56mAs;W/Rh;350ms;18mm\r\n");
    c.area->dbFill();

    QCOMPARE(c.ts.prompter.shown.size(), 1);
    QCOMPARE(c.ts.prompter.shown[0].text, QStringLiteral("Please select a patient from your worklist first!"));
    QCOMPARE(c.ts.prompter.shown[0].icon, MsgIcon::Information);
    QVERIFY(doseRows(*c.ts).isEmpty());
    QCOMPARE(c.area->records().nextImageNo(), 1);
    QCOMPARE(c.cw.state.pendingExposures, 1);
    QVERIFY(!c.cw.lblPending->isHidden());
    QVERIFY(c.cw.lblPending->text().contains("1 exposure is waiting for a patient"));
    // Capture goes on.
    QVERIFY(c.cw.serTimer->isActive());

    // A second one waits as well.
    writeHandOver(*c.ts, "9.75cGyCm" + Sq + ";27kV;44mAs;W;310ms;36mm\r\n");
    c.area->dbFill();
    QCOMPARE(c.cw.state.pendingExposures, 2);
    QVERIFY(c.cw.lblPending->text().contains("2 exposures are waiting for a patient"));

    // The operator chooses a patient and is asked, seeing which patient.
    c.ts.prompter.clear();
    c.ts.prompter.yesNo = {true};
    c.cw.choosePatient("4711", "ANN", "SMITH", "1960-12-31");
    QVERIFY(waitUntil([&] { return !c.ts.prompter.shown.isEmpty(); }, 2000));
    QCOMPARE(c.ts.prompter.shown.size(), 1);
    const QString q = c.ts.prompter.shown[0].text;
    QCOMPARE(c.ts.prompter.shown[0].kind, QStringLiteral("yesno"));
    QVERIFY2(q.contains("2 exposures were captured while no patient was chosen"), qPrintable(q));
    QVERIFY(q.contains("SMITH, ANN"));
    QVERIFY(q.contains("1960-12-31"));
    QVERIFY(q.contains("4711"));

    const auto rows = doseRows(*c.ts);
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows[0]["mGy1"].toString(), QStringLiteral("12.50"));
    QCOMPARE(rows[1]["mGy1"].toString(), QStringLiteral("9.75"));
    QCOMPARE(rows[0]["ImgNo"].toInt(), 1);
    QCOMPARE(rows[1]["ImgNo"].toInt(), 2);
    QCOMPARE(rows[0]["PatLastname"].toString(), QStringLiteral("SMITH"));
    QCOMPARE(rows[0]["Status"].toString(), QStringLiteral("0"));
    QCOMPARE(c.cw.state.pendingExposures, 0);
    QVERIFY(c.cw.lblPending->isHidden());
    QCOMPARE(c.area->records().pendingCount(), 0);

    // The next exposure follows on.
    writeHandOver(*c.ts, "1.0cGyCm" + Sq + ";25kV;20mAs;W;200ms\r\n");
    c.area->dbFill();
    QCOMPARE(doseRows(*c.ts).last()["ImgNo"].toInt(), 3);
}

void TestDbFill::waitingExposureDeclinedStaysWaiting()
{
    Capture c(XrayUnit::Hfe501);
    writeHandOver(*c.ts, "12.50cGyCm" + Sq + ";28kV;56mAs;W/Rh;350ms\r\n");
    c.area->dbFill();
    c.ts.prompter.clear();
    c.ts.prompter.yesNo = {false};
    c.cw.choosePatient("4711", "ANN", "SMITH", "1960-12-31");
    QVERIFY(waitUntil([&] { return !c.ts.prompter.shown.isEmpty(); }, 2000));
    QTest::qWait(50);
    QCOMPARE(c.ts.prompter.shown.size(), 1); // asked once, not again and again
    QVERIFY(doseRows(*c.ts).isEmpty());
    QCOMPARE(c.cw.state.pendingExposures, 1);
    QCOMPARE(c.area->records().nextImageNo(), 1);
    // The label offers to store them for the patient now chosen.
    QVERIFY(c.cw.lblPending->text().contains("store for the current patient"));
    c.ts.prompter.yesNo = {true};
    emit c.cw.lblPending->linkActivated("store");
    QCOMPARE(doseRows(*c.ts).size(), 1);
    QCOMPARE(c.cw.state.pendingExposures, 0);
}

void TestDbFill::waitingExposuresSurviveRestart()
{
    TestStation ts;
    ts->settings().xrayComm = XrayUnit::Hfe501;
    DoseState state;
    {
        DoseRecords records(*ts, state);
        QString text = QString::fromLatin1("12.50cGyCm" + Sq + ";28kV;56mAs;W/Rh;350ms\r\n");
        QCOMPARE(records.fill(text).outcome, DoseRecords::Outcome::Pending);
        QCOMPARE(text, QString());
    }
    DoseState afterRestart;
    DoseRecords records(*ts, afterRestart);
    QCOMPARE(afterRestart.pendingExposures, 1);
    const QList<PendingExposure> p = records.pending();
    QCOMPARE(p.size(), 1);
    QCOMPARE(p[0].values.mGy1, QStringLiteral("12.50"));
    QCOMPARE(p[0].values.expTime, QStringLiteral("350"));
    QCOMPARE(p[0].date, DateText::today());
    // Never stored without a patient.
    QVERIFY_THROWS_EXCEPTION(AppError, records.storePending());
    QCOMPARE(records.pendingCount(), 1);
}

void TestDbFill::databaseFailureKeepsMessage()
{
    Capture c(XrayUnit::Hfe501);
    c.patient();
    {
        Database db = Database::openData(c.ts->paths());
        db.exec("DROP TABLE tblDosis");
    }
    c.cw.serTimer->stop();
    const QByteArray msg = "12.50cGyCm" + Sq + ";28kV;56mAs;W/Rh;350ms;18mm\r\n";
    writeHandOver(*c.ts, msg);
    c.area->dbFill();
    // The exposure waits in the journal, the operator sees it, the log says why.
    QVERIFY(readFile(c.ts->log().errorLogPath()).contains("Dose record not stored yet"));
    QVERIFY(!c.area->unstoredLabel()->isHidden());
    QCOMPARE(c.area->unstoredLabel()->text(), QStringLiteral("1 exposure waiting to be stored"));
    QCOMPARE(c.cw.state.unstoredExposures.size(), 1);
    QVERIFY(!QFile::exists(c.area->records().unstoredFile()));
    QVERIFY(c.cw.serTimer->isActive());

    // The table is back: the retry stores it, with its own number, once.
    {
        Database db = Database::openData(c.ts->paths());
        Schema::createDataTables(db);
    }
    QVERIFY(waitUntil([&] { return doseRows(*c.ts).size() == 1; }, 5000));
    QTest::qWait(3 * DoseCapturePanel::StoreRetryMs);
    const auto rows = doseRows(*c.ts);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0]["mGy1"].toString(), QStringLiteral("12.50"));
    QCOMPARE(rows[0]["ImgNo"].toInt(), 1);
    QVERIFY(c.area->unstoredLabel()->isHidden());
    QVERIFY(readFile(c.ts->log().errorLogPath()).contains("The dose records that waited are stored"));
}

void TestDbFill::editedDebugBufferIsParsed()
{
    // In debug mode the operator can paste a message into txtcInput and use "Fill".
    Capture c(XrayUnit::Sophie);
    c.patient();
    c.cw.txtcInput->setPlainText("CH1 3.3 mGy 0 0\nCH2 31 kV 0 0\nCH3 90 mAs");
    c.area->dbFill();
    const auto rows = doseRows(*c.ts);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0]["mGy1"].toString(), QStringLiteral("3.3"));
    QCOMPARE(rows[0]["mGy2"].toString(), QStringLiteral("31"));
    QCOMPARE(rows[0]["mGy3"].toString(), QStringLiteral("90"));
}

void TestDbFill::channelMessagesGatheredBeforeFillAreEachStored()
{
    Capture c(XrayUnit::Sophie);
    c.patient();
    c.cw.txtcInput->setPlainText("CH1 1.1 mGy 0 0\nCH2 31 kV 0 0\nCH3 90 mAs\n"
                                 "CH1 2.2 mGy 0 0\nCH2 32 kV 0 0\nCH3 91 mAs\n"
                                 "CH1 3.3 mGy 0 0\nCH2 33 kV 0 0\nCH3 92 mAs");
    c.area->dbFill();
    const auto rows = doseRows(*c.ts);
    QCOMPARE(rows.size(), 3);
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(rows[i]["mGy1"].toString(), QStringLiteral("%1.%1").arg(i + 1));
        QCOMPARE(rows[i]["mGy2"].toString(), QString::number(31 + i));
        QCOMPARE(rows[i]["ImgNo"].toInt(), i + 1);
    }
}

void TestDbFill::exposureNumbersComeFromTheDatabase()
{
    const QByteArray msg = "12.50cGyCm" + Sq + ";28kV;56mAs;W/Rh;350ms\r\n";
    TestStation ts;
    ts->settings().xrayComm = XrayUnit::Hfe501;
    ts->settings().comDevice = QStringLiteral("/nonexistent/tty");
    {
        CaptureWidgets cw;
        auto area = cw.make(*ts);
        cw.choosePatient("4711", "ANN", "SMITH", "1960-12-31");
        for (int i = 0; i < 2; ++i) {
            writeHandOver(*ts, msg);
            area->dbFill();
        }
        // Another worklist patient in between: its own numbers, from 1.
        cw.choosePatient("4712", "BEA", "JONES", "1970-01-01");
        writeHandOver(*ts, msg);
        area->dbFill();
    }
    // The station restarted in the middle of ANN's study: her next exposure is number 3.
    CaptureWidgets cw;
    auto area = cw.make(*ts);
    cw.choosePatient("4711", "ANN", "SMITH", "1960-12-31");
    writeHandOver(*ts, msg);
    area->dbFill();
    QStringList numbers;
    for (const auto &r : doseRows(*ts))
        numbers << r["PatFirstname"].toString() + QString::number(r["ImgNo"].toInt());
    QCOMPARE(numbers, (QStringList{"ANN1", "ANN2", "BEA1", "ANN3"}));
}

void TestDbFill::patientMeansAPatientId()
{
    Capture c(XrayUnit::Hfe501);
    // A panel with a name but no Patient ID is no chosen patient.
    c.cw.state.setRow(2, "ANN");
    c.cw.state.setRow(3, "SMITH");
    c.cw.state.notify();
    QVERIFY(!c.cw.state.hasPatient());
    writeHandOver(*c.ts, "12.50cGyCm" + Sq + ";28kV;56mAs;W/Rh;350ms\r\n");
    c.area->dbFill();
    QVERIFY(doseRows(*c.ts).isEmpty());
    QCOMPARE(c.cw.state.pendingExposures, 1);
}

void TestDbFill::missingValuesAreEmptyText()
{
    Capture c(XrayUnit::Hfe501);
    c.cw.choosePatient("4711", "ANN", "SMITH", QString());
    writeHandOver(*c.ts, "12.50cGyCm" + Sq + ";;56mAs\r\n");
    c.area->dbFill();
    const auto rows = doseRows(*c.ts, "mGy2 = '' AND expTime = '' AND PatBirthdate = ''");
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0]["mGy3"].toString(), QStringLiteral("56"));
}

void TestDbFill::failedHandOverNeverServesAnOldMessage()
{
    Capture c(XrayUnit::Hfe501);
    c.patient();
    // done.txt cannot be replaced: a folder stands in its place.
    QVERIFY(QDir().mkpath(c.ts->paths().file("done.txt") + "/blocked"));
    const QByteArray first = "11.11cGyCm" + Sq + ";28kV;56mAs;W;350ms";
    const QByteArray second = "22.22cGyCm" + Sq + ";29kV;57mAs;W;360ms";
    for (const QByteArray &m : {first, second}) {
        QVERIFY(c.area->records().handOver(QString::fromLatin1(m)));
        c.area->dbFill();
    }
    const auto rows = doseRows(*c.ts);
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows[0]["mGy1"].toString(), QStringLiteral("11.11"));
    QCOMPARE(rows[1]["mGy1"].toString(), QStringLiteral("22.22"));
    QVERIFY(!QFile::exists(c.ts->paths().file("cInput.txt")));
    QVERIFY(readFile(c.ts->log().errorLogPath()).contains("Cannot rename"));

    // The hand-over file itself cannot be written: logged, and dbFill stores the message it
    // is given, never an older one.
    QVERIFY(QDir().mkpath(c.ts->paths().file("cInput.txt") + "/blocked"));
    const QByteArray third = "33.33cGyCm" + Sq + ";30kV;58mAs;W;370ms";
    QVERIFY(!c.area->records().handOver(QString::fromLatin1(third)));
    QVERIFY(readFile(c.ts->log().errorLogPath()).contains("Cannot write"));
    QDir(c.ts->paths().file("cInput.txt")).removeRecursively();
    c.cw.txtcInput->setPlainText(QString::fromLatin1(third));
    c.area->dbFill();
    QCOMPARE(doseRows(*c.ts).size(), 3);
    QCOMPARE(doseRows(*c.ts).last()["mGy1"].toString(), QStringLiteral("33.33"));
}

QTEST_MAIN(TestDbFill)
#include "test_dbfill.moc"

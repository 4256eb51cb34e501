// "Merge Images", "Manually" and the sends of the main window through the send panel,
// against storescp: each image gets its own record's dose, mismatches send nothing,
// staged files of other patients never go, what was not sent is never removed.
#include "../companions/CompanionTestKit.h"
#include "StoreFixture.h"
#include "StorePeers.h"
#include "TestStation.h"
#include "Wait.h"

#include "core/AppError.h"
#include "core/Database.h"
#include "core/Station.h"
#include "dicom/Image.h"
#include "dose/DoseMerge.h"
#include "dose/DoseReports.h"
#include "dose/DoseState.h"
#include "edit/EditSession.h"
#include "edit/ModifyImage.h"
#include "net/Destinations.h"
#include "net/SendCommands.h"
#include "net/SendTransfer.h"
#include "store/ImageFiler.h"
#include "store/Schema.h"
#include "store/StoreSelection.h"
#include "ui/CommandIds.h"
#include "ui/CommandTable.h"
#include "ui/EditForm.h"
#include "ui/MainCommands.h"
#include "ui/MainHooks.h"

#include <QDir>
#include <QMainWindow>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QTest>

namespace {

struct SendHarness {
    TestStation ts;
    QMainWindow window;
    CommandTable *commands = nullptr;
    MainHooks hooks;
    StoreSelection selection;
    DoseState dose;
    EditSession edits;
    SendCommands *panel = nullptr;
    std::vector<qint64> listed;
    QString shown;
    int windows = 0;

    SendHarness()
    {
        commands = new CommandTable(&window);
        MainCommands::build(*commands, &window);
        panel = new SendCommands(
            *ts, selection, dose, edits, *commands, hooks, [this] { return listed; }, &window);
        panel->execDialog = [this](QDialog &d) {
            auto &f = static_cast<EditForm &>(d);
            ++windows;
            f.show();
            if (!waitUntil([&] { return f.isDone(); }, 60000))
                return -1;
            shown = f.progressText();
            f.findChild<QPushButton *>("cmdOK")->click();
            return f.result();
        };
    }

    void defaultTo(quint16 port, const QString &aet = QStringLiteral("ARCHIVE"))
    {
        Destinations d(*ts);
        d.makeDefault(d.add(QStringLiteral("Archive"), aet, QStringLiteral("127.0.0.1"), QString::number(port)));
        panel->UpdateSendToEntries();
    }

    void pick(qint64 patId, const QString &patId1, const QStringList &viewerFiles = {})
    {
        selection.setPatient(patId, patId1, patId1 + QStringLiteral(", TEST"), QString());
        selection.setViewerFiles(viewerFiles);
    }

    // A closed record of the picked patient, as the capture stores it.
    qint64 addDose(int imgNo, const QString &value, int unit)
    {
        Database db = Database::openData(ts->paths());
        QSqlQuery q =
            db.exec(QStringLiteral("INSERT INTO tblDosis (PatFirstname, PatLastname, mGy1, Status, ImgNo, XrayComm,"
                                   " WorklistPatID) VALUES ('JANE', 'DOE', ?, '2', ?, ?, ?)"),
                    {value, imgNo, unit, selection.patId1()});
        return db.lastInsertId(q);
    }

    QString errorLog() { return QString::fromUtf8(readFile(ts->log().errorLogPath())); }
};

// What dciodvfy calls an error in a file.
QStringList verifierErrors(const QString &file)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("dciodvfy"), {file});
    p.waitForFinished(60000);
    QStringList errors;
    for (const QString &line : QString::fromLatin1(p.readAll()).split(QLatin1Char('\n')))
        if (line.startsWith(QStringLiteral("Error")))
            errors << line.trimmed();
    return errors;
}

QStringList stagingLeftovers(Station &s)
{
    return QDir(s.paths().binDir()).entryList({SendCommands::StagePrefix + "*"}, QDir::Dirs);
}

} // namespace

class TestMerge : public QObject {
    Q_OBJECT
private slots:
    void mergeGivesEachImageItsOwnDose_data();
    void mergeGivesEachImageItsOwnDose();
    void mismatchedDosesSendNothing_data();
    void mismatchedDosesSendNothing();
    void mergedStudyGoesWithItsDoseReport();
    void doseReportOfRecordsWithoutImages();
    void mergedStudyGoesTheOtherStays();
    void staleStagedFilesOfAnotherPatientStay();
    void closedPortShowsErrorWithoutWindow();
    void deletedDefaultIsForgotten();
    void manuallySendsTheModifiedImage();
    void oldDatabasesGetTheUnitColumn();
    void removalTakesOnlyWhatWasSent_data();
    void removalTakesOnlyWhatWasSent();
    void brokenAssociationIsOneLogLine();
    void undoneTasksAskedBeforeConnecting();
    void destinationsInAliasOrder();
    void refusalsSayWhatIsWrong_data();
    void refusalsSayWhatIsWrong();
};

void TestMerge::mergeGivesEachImageItsOwnDose_data()
{
    QTest::addColumn<int>("unit");
    QTest::addColumn<QStringList>("entrance");
    QTest::addColumn<QStringList>("areaProduct");
    QTest::newRow("HFE 501: dose-area product / 10")
        << 5 << QStringList{"-", "-", "-"} << QStringList{"1.05", "2", "3.025"};
    QTest::newRow("Sophie: entrance dose") << 1 << QStringList{"10.5", "20", "30.25"} << QStringList{"-", "-", "-"};
    QTest::newRow("Lorad M4: entrance dose") << 3 << QStringList{"10.5", "20", "30.25"} << QStringList{"-", "-", "-"};
}

void TestMerge::mergeGivesEachImageItsOwnDose()
{
    QFETCH(int, unit);
    QFETCH(QStringList, entrance);
    QFETCH(QStringList, areaProduct);
    SendHarness h;
    StoreScp scp;
    QVERIFY(scp.start());
    h.defaultTo(scp.port());
    StoreFixture fx(*h.ts);
    const qint64 pat = fx.addPatient("P1", "DOE", "JANE");
    const auto made = fx.addStudyWithImages(pat, 3, QSize(200, 240));
    // The viewer shows the images in another order than the exposures were numbered.
    h.pick(pat, "P1", {made.files[2], made.files[0], made.files[1]});
    const QStringList values{"10.5", "20", "30.25"};
    for (int i = 0; i < 3; ++i)
        h.listed.push_back(h.addDose(i + 1, values[i], unit));
    h.commands->run(Cmd::MergeImages);
    QCOMPARE(h.windows, 1);
    QVERIFY2(h.shown.contains("3 of 3 images successfully sent."), qPrintable(h.shown));
    QVERIFY(h.shown.endsWith("Tasks done!"));
    QVERIFY(waitUntil([&] { return scp.files().size() == 3; }));
    QTest::qWait(200);
    for (const QString &f : scp.files()) {
        const ObjectFacts got = objectFacts(f);
        const int n = instanceNumber(f);
        QVERIFY(n >= 1 && n <= 3);
        QCOMPARE(got.entranceDose, entrance[n - 1]);
        QCOMPARE(got.areaDoseProduct, areaProduct[n - 1]);
        const ObjectFacts own = objectFacts(made.files[n - 1]);
        QCOMPARE(got.sopUid, own.sopUid);
        QCOMPARE(got.sopClass, own.sopClass);
        QCOMPARE(got.pixelHash, own.pixelHash);
        // The dose adds no fault to the object.
        for (const QString &e : verifierErrors(f))
            QVERIFY2(verifierErrors(made.files[n - 1]).contains(e), qPrintable(e));
        // The store's own file carries no dose.
        QCOMPARE(own.entranceDose, QString("-"));
        QCOMPARE(own.areaDoseProduct, QString("-"));
    }
    QVERIFY(stagingLeftovers(*h.ts).isEmpty());
}

void TestMerge::mismatchedDosesSendNothing_data()
{
    QTest::addColumn<QList<int>>("numbers");
    QTest::addColumn<QStringList>("values");
    QTest::addColumn<QString>("told");
    QTest::newRow("missing")
        << QList<int>{1, 2, 4} << QStringList{"1", "2", "3"}
        << QString("Image #%1 (Instance Number 3) has no dose record.\nExposure number 4 has no image.");
    QTest::newRow("duplicate") << QList<int>{1, 2, 2} << QStringList{"1", "2", "3"}
                               << QString("Exposure number 2 is doubled (dose records 2, 3).\n"
                                          "Image #%1 (Instance Number 3) has no dose record.");
    QTest::newRow("comma") << QList<int>{1, 2, 3} << QStringList{"1", "12,5", "3"}
                           << QString("the dose \"12,5\" is not a valid number.");
    QTest::newRow("too long") << QList<int>{1, 2, 3} << QStringList{"1", "2", "12345678901234567"}
                              << QString("the dose \"12345678901234567\" is not a valid number.");
}

void TestMerge::mismatchedDosesSendNothing()
{
    QFETCH(QList<int>, numbers);
    QFETCH(QStringList, values);
    QFETCH(QString, told);
    SendHarness h;
    StoreScp scp;
    QVERIFY(scp.start());
    h.defaultTo(scp.port());
    StoreFixture fx(*h.ts);
    const qint64 pat = fx.addPatient("P1", "DOE", "JANE");
    const auto made = fx.addStudyWithImages(pat, 3);
    h.pick(pat, "P1", made.files);
    for (int i = 0; i < 3; ++i)
        h.listed.push_back(h.addDose(numbers[i], values[i], 1));
    h.commands->run(Cmd::MergeImages);
    QCOMPARE(h.windows, 0);
    QVERIFY2(h.ts.prompter.lastText().contains(told.contains("%1") ? told.arg(3) : told),
             qPrintable(h.ts.prompter.lastText()));
    QVERIFY(h.ts.prompter.lastText().startsWith("The doses do not match the images; nothing was sent."));
    QVERIFY(h.errorLog().contains("MainForm cmdAll_Click"));
    QTest::qWait(300);
    QVERIFY(scp.files().isEmpty());
    QVERIFY(stagingLeftovers(*h.ts).isEmpty());

    // Nor while a study is being loaded.
    h.ts.prompter.clear();
    h.ts->busy = true;
    h.commands->run(Cmd::MergeImages);
    h.ts->busy = false;
    QCOMPARE(h.ts.prompter.lastText(), QString("Please wait until the images are loaded."));
    QCOMPARE(h.windows, 0);
}

void TestMerge::mergedStudyGoesWithItsDoseReport()
{
    SendHarness h;
    StoreScp scp, registry(false, QStringLiteral("REGISTRY"));
    QVERIFY(scp.start());
    QVERIFY(registry.start());
    h.defaultTo(scp.port());
    {
        Destinations d(*h.ts);
        d.setDoseReports(d.add("Dose registry", "REGISTRY", "127.0.0.1", QString::number(registry.port())), true);
    }
    StoreFixture fx(*h.ts);
    const qint64 pat = fx.addPatient("P1", "DOE", "JANE");
    const auto made = fx.addStudyWithImages(pat, 4, QSize(64, 80));
    h.pick(pat, "P1", {made.files[3], made.files[1], made.files[0], made.files[2]});
    h.selection.setStudy(QString::number(made.studyId), made.studyUid, 0);
    const QStringList values{"9.60", "10.25", "11.5", "12"};
    {
        Database db = Database::openData(h.ts->paths());
        for (int i = 0; i < 4; ++i) {
            const qint64 id = h.addDose(i + 1, values[i], 5);
            db.exec("UPDATE tblDosis SET mGy2 = '28', mGy3 = '80', expTime = '450', \"Date\" = '2026-12-10',"
                    " \"Time\" = '10:00:0"
                        + QString::number(i) + "' WHERE ID = ?",
                    {id});
            h.listed.push_back(id);
        }
    }
    h.commands->run(Cmd::MergeImages);
    QVERIFY2(h.shown.contains("4 of 4 images successfully sent."), qPrintable(h.shown));
    QVERIFY2(h.shown.contains("Sending dose report ... OK"), qPrintable(h.shown));
    QVERIFY(waitUntil([&] { return scp.files().size() == 5 && registry.files().size() == 1; }));
    QTest::qWait(200);

    const QString kept = DoseReports(*h.ts).keptFile(made.studyUid);
    QVERIFY(!kept.isEmpty());
    const DoseReportFacts report = DoseReports::read(kept);
    QCOMPARE(report.studyUid, made.studyUid);
    QCOMPARE(report.events.size(), 4);
    int images = 0;
    for (const QString &f : scp.files()) {
        auto img = dicom::Image::readFile(f);
        if (img->sopClassUid() == "1.2.840.10008.5.1.4.1.1.88.67") {
            QCOMPARE(img->sopInstanceUid(), report.sopUid);
            continue;
        }
        ++images;
        // Each image names the event of its own exposure, whose dose-area product is that
        // exposure's record in Gy*m2.
        const int n = img->value(0x0020, 0x0013).value().toInt();
        const QString event = img->value(0x0008, 0x3010).value_or(QString());
        const auto it = std::find_if(report.events.begin(), report.events.end(),
                                     [&](const DoseEvent &e) { return e.eventUid == event; });
        QVERIFY2(it != report.events.end(), qPrintable(event));
        QCOMPARE(it->imageNo, n);
        QCOMPARE(it->laterality, img->value(0x0020, 0x0062).value_or(QString()));
        QCOMPARE(it->view, img->value(0x0018, 0x5101).value_or(QString()));
        QVERIFY(qAbs(it->dap.value() - values[n - 1].toDouble() * 1e-6) < 1e-15);
    }
    QCOMPARE(images, 4);
    QCOMPARE(dicom::Image::readFile(registry.files().first())->sopInstanceUid(), report.sopUid);

    // A second merge sends the same report again, not a second one.
    h.shown.clear();
    h.commands->run(Cmd::MergeImages);
    QVERIFY2(h.shown.contains("Sending dose report ... OK"), qPrintable(h.shown));
    QCOMPARE(DoseReports::read(kept).sopUid, report.sopUid);
    QCOMPARE(QDir(h.ts->paths().doseReportsDir()).entryList(QDir::Files).size(), 1);
}

void TestMerge::doseReportOfRecordsWithoutImages()
{
    // The images were rejected or never arrived: the records are reported all the same,
    // to the default destination and the registries; an unreachable registry is named.
    SendHarness h;
    StoreScp scp;
    QVERIFY(scp.start());
    h.defaultTo(scp.port());
    {
        Destinations d(*h.ts);
        d.setDoseReports(d.add("Gone registry", "GONE", "127.0.0.1", QString::number(freeTcpPort())), true);
    }
    h.panel->timeouts.connectSeconds = 3;
    h.selection.setPatient(0, "P7", "DOE, JANE", QString());
    {
        Database db = Database::openData(h.ts->paths());
        for (int i = 0; i < 2; ++i) {
            QSqlQuery q = db.exec("INSERT INTO tblDosis (PatFirstname, PatLastname, PatBirthdate, mGy1, \"Date\","
                                  " \"Time\", Status, ImgNo, XrayComm, WorklistPatID) VALUES ('JANE', 'DOE',"
                                  " '1960-12-31', ?, '2026-12-10', '09:00:00', '2', ?, 2, 'P7')",
                                  {QString::number(4.5 + i), i + 1});
            h.listed.push_back(db.lastInsertId(q));
        }
    }
    QStringList shownReports;
    h.panel->showReport = [&](const QString &file) { shownReports << file; };
    h.commands->run(Cmd::DoseReport);
    QVERIFY(!h.panel->lastReport.isEmpty());
    QCOMPARE(shownReports, QStringList{h.panel->lastReport});
    QVERIFY(waitUntil([&] { return scp.files().size() == 1; }));
    const DoseReportFacts f = DoseReports::read(h.panel->lastReport);
    QCOMPARE(f.patientId, QString("P7"));
    QCOMPARE(f.events.size(), 2);
    QCOMPARE(f.events[1].entranceDose.value(), 5.5);
    QCOMPARE(dicom::Image::readFile(scp.files().first())->sopInstanceUid(), f.sopUid);
    QVERIFY2(h.ts.prompter.lastText().contains("Gone registry"), qPrintable(h.ts.prompter.lastText()));
    QVERIFY(h.errorLog().contains("MainForm DoseReport"));
    // Asked again, the same report: no second one.
    h.commands->run(Cmd::DoseReport);
    QCOMPARE(DoseReports::read(h.panel->lastReport).sopUid, f.sopUid);
    QCOMPARE(QDir(h.ts->paths().doseReportsDir()).entryList(QDir::Files).size(), 1);
}

void TestMerge::mergedStudyGoesTheOtherStays()
{
    SendHarness h;
    h.ts->settings().sentAndKeep = 0;
    StoreScp scp;
    QVERIFY(scp.start());
    h.defaultTo(scp.port());
    StoreFixture fx(*h.ts);
    const qint64 pat = fx.addPatient("P1", "DOE", "JANE");
    const auto merged = fx.addStudyWithImages(pat, 2);
    const auto other = fx.addStudyWithImages(pat, 2);
    h.pick(pat, "P1", merged.files);
    h.listed = {h.addDose(1, "5", 1), h.addDose(2, "6", 1)};
    h.commands->run(Cmd::MergeImages);
    QCOMPARE(h.windows, 1);
    QVERIFY2(h.shown.contains(
                 "2 of 4 images successfully sent.\nRemoving database entries ... skipped (not all files send)"),
             qPrintable(h.shown));
    QVERIFY(waitUntil([&] { return scp.files().size() == 2; }));
    QTest::qWait(300);
    QCOMPARE(scp.files().size(), 2); // each file once
    Database db = Database::openData(h.ts->paths());
    QCOMPARE(db.scalar("SELECT COUNT(*) FROM tblStudies WHERE StudyID = ?", {merged.studyId}).toInt(), 0);
    QCOMPARE(db.scalar("SELECT COUNT(*) FROM tblStudies WHERE StudyID = ?", {other.studyId}).toInt(), 1);
    QCOMPARE(db.scalar("SELECT COUNT(*) FROM tblPatienten WHERE PatID = ?", {pat}).toInt(), 1);
    for (const QString &f : other.files)
        QVERIFY(QFile::exists(f));
    for (const QString &f : merged.files)
        QVERIFY(!QFile::exists(f));
}

void TestMerge::staleStagedFilesOfAnotherPatientStay()
{
    SendHarness h;
    h.ts->settings().sentAndKeep = 0;
    StoreScp scp;
    QVERIFY(scp.start());
    h.defaultTo(scp.port());
    StoreFixture fx(*h.ts);
    const auto x = fx.addStudyWithImages(fx.addPatient("X", "XAVER"), 1);
    const qint64 y = fx.addPatient("Y", "YOUNG");
    const auto ys = fx.addStudyWithImages(y, 1);
    const QString bin = h.ts->paths().binDir();
    QDir().mkpath(bin);
    const QString staleX = bin + "/" + x.sopUids[0] + ".dcm";
    QVERIFY(QFile::copy(x.files[0], staleX));
    QVERIFY(QFile::copy(ys.files[0], bin + "/" + ys.sopUids[0] + ".dcm"));
    h.pick(y, "Y");
    h.commands->run(Cmd::ToolbarSend);
    QCOMPARE(h.windows, 1);
    QVERIFY2(h.shown.contains("1 of 1 images successfully sent."), qPrintable(h.shown));
    QVERIFY(waitUntil([&] { return scp.files().size() == 1; }));
    QTest::qWait(300);
    QCOMPARE(scp.files().size(), 1);
    QCOMPARE(objectFacts(scp.files().first()).sopUid, ys.sopUids[0]);
    QVERIFY(QFile::exists(staleX));
    QVERIFY(QFile::exists(x.files[0]));
}

void TestMerge::closedPortShowsErrorWithoutWindow()
{
    SendHarness h;
    h.defaultTo(freeTcpPort());
    StoreFixture fx(*h.ts);
    const qint64 pat = fx.addPatient("P1", "DOE", "JANE");
    fx.addStudyWithImages(pat, 1);
    h.pick(pat, "P1");
    h.commands->run(Cmd::ToolbarSend);
    QCOMPARE(h.windows, 0);
    QVERIFY2(h.ts.prompter.lastText().startsWith("Error #"), qPrintable(h.ts.prompter.lastText()));
    QVERIFY(h.errorLog().contains("MainForm SCPOnline"));
}

void TestMerge::deletedDefaultIsForgotten()
{
    SendHarness h;
    QMenu *patientMenu = h.commands->menu(Menu::PatientSendTo);
    h.panel->UpdateSendToEntries();
    QVERIFY(!patientMenu->menuAction()->isVisible());
    Destinations d(*h.ts);
    const qint64 id = d.add("Zeta", "ZETA", "127.0.0.1", "104");
    d.add("Alpha", "ALPHA", "127.0.0.1", "105");
    d.makeDefault(id);
    h.panel->UpdateSendToEntries();
    QVERIFY(patientMenu->menuAction()->isVisible());
    QCOMPARE(patientMenu->actions().size(), 2);
    QCOMPARE(patientMenu->actions()[0]->text(), QString("Alpha"));
    QCOMPARE(h.commands->menu(Menu::SeriesSendTo)->actions()[1]->data().toString(),
             QString("ZETA!++!127.0.0.1!++!104"));
    QCOMPARE(h.panel->defaultDestination().aet, QString("ZETA"));

    d.remove(id);
    h.panel->UpdateSendToEntries();
    h.pick(1, "P1");
    h.commands->run(Cmd::ToolbarSend);
    QCOMPARE(h.ts.prompter.lastText(), QString("No default SCP configured!"));
    QCOMPARE(h.windows, 0);

    // An entry with a part missing says which.
    h.ts.prompter.clear();
    h.panel->sendTo(SendTransfer::Level::Patient, "AET!++!!++!104");
    QCOMPARE(h.ts.prompter.lastText(), QString("Incomplete Storage Class Provider values!\nAET: AET\nIP: \nPort: 104"));
}

void TestMerge::manuallySendsTheModifiedImage()
{
    SendHarness h;
    StoreScp scp;
    QVERIFY(scp.start());
    h.defaultTo(scp.port());
    StoreFixture fx(*h.ts);
    const qint64 pat = fx.addPatient("P1", "DOE", "JANE");
    const auto made = fx.addStudyWithImages(pat, 2, QSize(200, 240));
    h.pick(pat, "P1", made.files);
    h.selection.setCurrentImage(1, made.files[0]);
    h.commands->run(Cmd::Manually);
    QCOMPARE(h.windows, 1);
    QCOMPARE(h.dose.assignmentMode, AssignmentMode::SelectedRow);
    QVERIFY2(h.shown.contains("1 of 2 images successfully sent."), qPrintable(h.shown));
    QVERIFY(waitUntil([&] { return scp.files().size() == 1; }));
    const ObjectFacts got = objectFacts(scp.files().first());
    QCOMPARE(got.sopUid, made.sopUids[0]);
    QCOMPARE(got.sopClass, ModifyImage::MammoSopClass);
    QVERIFY(stagingLeftovers(*h.ts).isEmpty());
}

void TestMerge::oldDatabasesGetTheUnitColumn()
{
    TestStation ts;
    {
        Database db = Database::openData(ts->paths());
        db.exec("DROP TABLE tblDosis");
        db.exec("CREATE TABLE tblDosis (ID INTEGER PRIMARY KEY AUTOINCREMENT, PatFirstname TEXT, PatLastname TEXT,"
                " PatBirthdate TEXT, mGy1 TEXT, ImgNo INTEGER, Status TEXT)");
        db.exec("INSERT INTO tblDosis (mGy1, ImgNo, Status) VALUES ('7', 1, '2')");
    }
    Schema::ensureDatabases(ts->paths());
    ts->settings().xrayComm = 5;
    DoseMerge merge(*ts);
    const auto records = merge.records({1});
    // A record from before the column: taken as the unit configured now.
    QCOMPARE(records.first().unit, qint16(5));
    Database db = Database::openData(ts->paths());
    db.exec("UPDATE tblDosis SET XrayComm = 1");
    QCOMPARE(DoseMerge(*ts).records({1}).first().unit, qint16(1));
    // The worklist patient's ID and the exposure's UID: empty in the old record, unique
    // for the new ones.
    QCOMPARE(DoseMerge(*ts).records({1}).first().patientId, QString());
    db.exec(
        "INSERT INTO tblDosis (mGy1, ImgNo, Status, WorklistPatID, RecordUID) VALUES ('8', 2, '0', 'P1', '2.25.1')");
    QVERIFY_THROWS_EXCEPTION(AppError, db.exec("INSERT INTO tblDosis (mGy1, RecordUID) VALUES ('9', '2.25.1')"));
}

void TestMerge::removalTakesOnlyWhatWasSent_data()
{
    QTest::addColumn<bool>("patientSend");
    QTest::newRow("series (Send to)") << false;
    QTest::newRow("patient (toolbar Send)") << true;
}

void TestMerge::removalTakesOnlyWhatWasSent()
{
    // A removing send: the peer pauses at the second image, and meanwhile two images
    // arrive in the study being sent and one in a new study of the patient. They were
    // never sent: they stay, and the progress says so.
    QFETCH(bool, patientSend);
    SendHarness h;
    h.ts->settings().sentAndKeep = 0;
    RefusingScp scp({});
    QVERIFY(scp.start());
    h.defaultTo(scp.port(), "REFUSER");
    StoreFixture fx(*h.ts);
    const qint64 pat = fx.addPatient("P1", "DOE", "JANE");
    const auto made = fx.addStudyWithImages(pat, 3);
    QString seriesUid;
    {
        Database db = Database::openData(h.ts->paths());
        seriesUid = db.scalar("SELECT SeriesUID FROM tblSeries WHERE SeriesID = ?", {made.seriesId}).toString();
    }
    QStringList arrived;
    const QString newStudy = fx.newUid();
    scp.beforeAnswer[2] = [&] {
        ImageFiler filer(h.ts->paths(), h.ts->log());
        for (const auto &[study, series] : {std::pair{made.studyUid, seriesUid}, std::pair{made.studyUid, seriesUid},
                                            std::pair{newStudy, fx.newUid()}}) {
            arrived << fx.newUid();
            const QString file = h.ts->paths().tempDir() + "/" + arrived.last() + ".dcm";
            StoreFixture::writeSmallImage(file, study, series, arrived.last(), 10 + int(arrived.size()), 24, 32, "P1");
            filer.fileBatch({file});
        }
    };
    h.pick(pat, "P1");
    h.selection.setStudyUid(made.studyUid);
    if (patientSend) {
        const QString bin = h.ts->paths().binDir();
        QDir().mkpath(bin);
        for (int i = 0; i < 3; ++i)
            QVERIFY(QFile::copy(made.files[i], bin + "/" + made.sopUids[i] + ".dcm"));
        h.commands->run(Cmd::ToolbarSend);
    } else {
        h.selection.setPopupSeriesId(made.seriesId);
        h.panel->sendTo(SendTransfer::Level::Series,
                        Destinations::tag("REFUSER", "127.0.0.1", QString::number(scp.port())));
    }
    QCOMPARE(h.windows, 1);
    QCOMPARE(arrived.size(), 3);
    QVERIFY2(h.shown.contains("3 of 3 images successfully sent."), qPrintable(h.shown));
    // The series keeps the two filed into it; the patient all three.
    const QString stayed =
        QString("%1 image(s) filed while the send ran stay in the store (not sent).").arg(patientSend ? 3 : 2);
    QVERIFY2(h.shown.contains(stayed), qPrintable(h.shown));
    QCOMPARE(h.shown.count("filed while the send ran"), 1);
    for (const QString &uid : made.sopUids)
        QCOMPARE(kit::count(*h.ts, "SELECT COUNT(*) FROM tblImages WHERE ImageUID = ?", {uid}), 0);
    for (const QString &uid : arrived)
        QCOMPARE(kit::count(*h.ts, "SELECT COUNT(*) FROM tblImages WHERE ImageUID = ?", {uid}), 1);
    QCOMPARE(kit::count(*h.ts, "SELECT COUNT(*) FROM tblPatienten WHERE PatID1 = 'P1'"), 1);
    QVERIFY(kit::storeProblems(*h.ts).isEmpty());
}

void TestMerge::brokenAssociationIsOneLogLine()
{
    // The peer goes away after the first of 40 images: one line for the failure that broke
    // the association, one with the count of what it left unsent.
    SendHarness h;
    auto scp = std::make_unique<RefusingScp>(std::map<int, Uint16>{});
    QVERIFY(scp->start());
    h.defaultTo(scp->port(), "REFUSER");
    scp->abortAt = 2;
    StoreFixture fx(*h.ts);
    const qint64 pat = fx.addPatient("P1", "DOE", "JANE");
    const auto made = fx.addStudyWithImages(pat, 40);
    h.pick(pat, "P1");
    h.selection.setStudyUid(made.studyUid);
    h.selection.setPopupSeriesId(made.seriesId);
    h.panel->sendTo(SendTransfer::Level::Series,
                    Destinations::tag("REFUSER", "127.0.0.1", QString::number(scp->port())));
    QVERIFY2(h.shown.contains(" of 40 images successfully sent."), qPrintable(h.shown));
    const QStringList lines = h.errorLog().split('\n', Qt::SkipEmptyParts).filter("SerieSenden");
    QVERIFY2(lines.size() <= 3, qPrintable(lines.join('\n')));
    QVERIFY2(lines.last().contains("The association was broken:") && lines.last().contains("more file(s) left unsent"),
             qPrintable(lines.join('\n')));
}

void TestMerge::undoneTasksAskedBeforeConnecting()
{
    // "No" to the question: no association was ever opened (the peer saw no one).
    SendHarness h;
    SilentPeer peer;
    QVERIFY(peer.start());
    h.defaultTo(peer.port());
    StoreFixture fx(*h.ts);
    const qint64 pat = fx.addPatient("P1", "DOE", "JANE");
    const auto made = fx.addStudyWithImages(pat, 1);
    h.pick(pat, "P1");
    h.selection.setStudyUid(made.studyUid);
    h.selection.setPopupSeriesId(made.seriesId);
    h.edits.setPendingTasks(2);
    h.ts.prompter.yesNo = {false};
    QElapsedTimer t;
    t.start();
    h.panel->sendTo(SendTransfer::Level::Series,
                    Destinations::tag("ARCHIVE", "127.0.0.1", QString::number(peer.port())));
    QCOMPARE(h.ts.prompter.lastText(), QString("Undone tasks in list!\nContinue?"));
    QVERIFY(t.elapsed() < 2000); // not after waiting on the silent peer
    QTest::qWait(200);
    QCOMPARE(peer.connections(), 0);
    QCOMPARE(h.windows, 0);
    QCOMPARE(h.edits.pendingTasks(), 2);
}

void TestMerge::destinationsInAliasOrder()
{
    SendHarness h;
    Destinations d(*h.ts);
    for (const char *alias : {"zeta", "Archive", "beta", "Alpha"})
        d.add(alias, "AE", "127.0.0.1", "104");
    h.panel->UpdateSendToEntries();
    QStringList shown;
    for (QAction *a : h.commands->menu(Menu::StudySendTo)->actions())
        shown << a->text();
    QCOMPARE(shown, (QStringList{"Alpha", "Archive", "beta", "zeta"}));
}

void TestMerge::refusalsSayWhatIsWrong_data()
{
    // The study open is DOE, JANE (ID P1); records are given as "patientId/last/number".
    QTest::addColumn<QStringList>("records");
    QTest::addColumn<int>("images");
    QTest::addColumn<QList<int>>("unstored");
    QTest::addColumn<int>("arriving");
    QTest::addColumn<int>("pending");
    QTest::addColumn<QStringList>("told");
    const QStringList own{"P1/DOE/1", "P1/DOE/2", "P1/DOE/3"};
    QTest::newRow("fits") << own << 3 << QList<int>{} << 0 << 0 << QStringList{};
    QTest::newRow("another patient's records")
        << QStringList{"P2/ROE/1", "P2/ROE/2", "P2/ROE/3"} << 3 << QList<int>{} << 0 << 0
        << QStringList{
               "The dose list shows dose records of ROE, JANE (ID P2), but the study open is of DOE, JANE (ID P1).",
               "Nothing was sent. Pick DOE, JANE in the patient list"};
    QTest::newRow("one of them another's") << QStringList{"P1/DOE/1", "P2/ROE/2"} << 2 << QList<int>{} << 0 << 0
                                           << QStringList{"dose records of ROE, JANE (ID P2)"};
    QTest::newRow("older record, same name and birth date")
        << QStringList{"/DOE/1", "P1/DOE/2"} << 2 << QList<int>{} << 0 << 0 << QStringList{};
    QTest::newRow("older record, another name") << QStringList{"/ROE/1", "P1/DOE/2"} << 2 << QList<int>{} << 0 << 0
                                                << QStringList{"dose records of ROE, JANE,"};
    QTest::newRow("waiting to be stored")
        << own << 4 << QList<int>{4} << 0 << 0
        << QStringList{"Exposure(s) 4 of DOE, JANE (ID P1) are still waiting to be stored",
                       "Nothing was sent; try again in a moment."};
    QTest::newRow("no records") << QStringList{} << 4 << QList<int>{} << 0 << 2
                                << QStringList{
                                       "There are no closed dose records of DOE, JANE (ID P1) in the dose list.",
                                       "2 exposure(s) wait for a patient", "Nothing was sent."};
    QTest::newRow("more records than images")
        << own << 2 << QList<int>{} << 1 << 0
        << QStringList{"There are not all images on the system please wait a few second and try again!",
                       "3 dose record(s) of DOE, JANE (ID P1) for 2 image(s).",
                       "Images are still arriving: 1 file(s) wait to be filed into the store."};
}

void TestMerge::refusalsSayWhatIsWrong()
{
    QFETCH(QStringList, records);
    QFETCH(int, images);
    QFETCH(QList<int>, unstored);
    QFETCH(int, arriving);
    QFETCH(int, pending);
    QFETCH(QStringList, told);
    DoseMerge::Situation s;
    s.studyPatient = {"P1", "JANE", "DOE", "1960-01-01"};
    s.studyPatientName = "DOE, JANE";
    for (const QString &r : records) {
        const QStringList f = r.split('/');
        DoseMerge::Record rec;
        rec.patientId = f[0];
        rec.lastName = f[1];
        rec.firstName = "JANE";
        rec.birthDate = "1960-01-01";
        rec.imgNo = f[2];
        s.records << rec;
    }
    s.images = images;
    s.unstoredNumbers = unstored;
    s.arriving = arriving;
    s.pendingExposures = pending;
    const QString text = DoseMerge::refusal(s);
    if (told.isEmpty())
        QVERIFY2(text.isEmpty(), qPrintable(text));
    for (const QString &t : told)
        QVERIFY2(text.contains(t), qPrintable(text));
}

QTEST_MAIN(TestMerge)
#include "test_merge.moc"

// Two patients in a row, as a radiographer runs them: patient A's study is open in the
// viewer when patient B is taken from the worklist and B's four exposures come in over
// the serial line. "Merge Images" and "Manually" must not put B's doses into A's images,
// a send's OK must not give B's records to A, and B's own merge afterwards gives each of
// B's images its own dose. The real main window, the HFE 501 on a pseudo-terminal, the
// store with real files, storescp as the PACS.
#include "CaptureTestKit.h"
#include "StoreFixture.h"
#include "StorePeers.h"

#include "app/MainForm.h"
#include "dicom/Image.h"
#include "dicom/SrDocument.h"
#include "dose/DoseList.h"
#include "dose/DoseReports.h"
#include "net/Destinations.h"
#include "net/SendCommands.h"
#include "ui/CommandIds.h"
#include "ui/EditForm.h"

#include <QApplication>
#include <QTest>

#include <dcmtk/dcmdata/dctk.h>

namespace {

const QByteArray Sq("\xB2", 1);

QByteArray hfe(const QByteArray &dose, int n)
{
    return dose + "cGyCm" + Sq + ";" + QByteArray::number(27 + n) + "kV;" + QByteArray::number(60 + n) + "mAs;W/Rh;"
           + QByteArray::number(400 + n) + "ms;50mm\r\n";
}

void clickRow(QTreeWidget *list, QTreeWidgetItem *item)
{
    list->scrollToItem(item);
    const QRect r = list->visualItemRect(item);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, QPoint(r.left() + 10, r.center().y()));
}

QTreeWidgetItem *rowOf(QTreeWidget *list, const QString &text)
{
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        if (list->topLevelItem(i)->text(0) == text)
            return list->topLevelItem(i);
    return nullptr;
}

QString doseOf(const QString &file, DcmTagKey key)
{
    DcmFileFormat ff;
    if (ff.loadFile(QFile::encodeName(file).constData()).bad())
        return {};
    OFString v;
    ff.getDataset()->findAndGetOFString(key, v);
    return QString::fromLatin1(v.c_str());
}

} // namespace

class TestTwoPatients : public QObject {
    Q_OBJECT
private slots:
    void eachDoseInItsOwnPatientsImage();
};

void TestTwoPatients::eachDoseInItsOwnPatientsImage()
{
    PtyPair pty;
    QVERIFY(pty.ok());
    StoreScp pacs;
    QVERIFY(pacs.start());
    TestStation ts;
    ts->settings().comDevice = pty.slavePath();
    ts->settings().xrayComm = XrayUnit::Hfe501;
    ts->saveSettings();
    Destinations d(*ts);
    d.makeDefault(d.add("PACS", pacs.aet(), "127.0.0.1", QString::number(pacs.port())));

    // A's study is in the store, with A's four closed records.
    StoreFixture fx(*ts);
    const qint64 a = fx.addPatient("A100", "ALPHA", "ANNA", {}, "1950-01-01");
    const auto aStudy = fx.addStudyWithImages(a, 4);
    {
        Database db = Database::openData(ts->paths());
        for (int n = 1; n <= 4; ++n)
            db.exec("INSERT INTO tblDosis (PatFirstname, PatLastname, PatBirthdate, mGy1, Status, ImgNo, XrayComm, "
                    "WorklistPatID)"
                    " VALUES ('ANNA', 'ALPHA', '1950-01-01', ?, '2', ?, 5, 'A100')",
                    {QString::number(n) + ".11", n});
    }

    MainForm form(*ts);
    form.hooks().startCompanions.clear();
    form.formLoad();
    form.show();
    form.activateWindow();
    QApplication::setActiveWindow(&form);
    QVERIFY(QTest::qWaitForWindowActive(&form));
    auto *send = form.findChild<SendCommands *>();
    QVERIFY(send);
    int windows = 0;
    send->execDialog = [&](QDialog &dlg) {
        auto &f = static_cast<EditForm &>(dlg);
        ++windows;
        f.show();
        if (!waitUntil([&] { return f.isDone(); }, 60000))
            return -1;
        f.findChild<QPushButton *>("cmdOK")->click();
        return f.result();
    };
    auto *patients = form.findChild<QTreeWidget *>("lvPatients");
    auto *studies = form.findChild<QTreeWidget *>("lvStudien");
    auto *doses = form.findChild<QTreeWidget *>("lvDosis");
    auto *caption = form.findChild<QLabel *>("lblDoseList");

    // The operator opens A's study.
    form.commands().run(Cmd::RefreshList);
    QVERIFY(waitUntil([&] { return rowOf(patients, "A100"); }));
    clickRow(patients, rowOf(patients, "A100"));
    QVERIFY(waitUntil([&] { return studies->topLevelItemCount() == 1; }));
    clickRow(studies, studies->topLevelItem(0));
    QVERIFY(waitUntil([&] { return form.selection().viewerFiles().size() == 4; }, 10000));

    // Then takes B from the worklist; B's four exposures come in.
    applyWorklistPatient(form.doseState(), "B200", "BEN", "BETA", "1970-07-07");
    for (int n = 1; n <= 4; ++n) {
        pty.send(hfe(QByteArray::number(n) + ".22", n));
        QVERIFY(waitUntil([&] { return doses->topLevelItemCount() == n; }, 5000));
    }
    QVERIFY2(caption->text().contains("BETA, BEN"), qPrintable(caption->text()));
    QCOMPARE(form.selection().viewerFiles().size(), 4); // A's study still open

    // "Merge Images": refused, saying whose records are listed and whose study is open.
    ts.prompter.clear();
    form.commands().run(Cmd::MergeImages);
    QCOMPARE(windows, 0);
    const QString told = ts.prompter.lastText();
    QVERIFY2(
        told.contains(
            "The dose list shows dose records of BETA, BEN (ID B200), but the study open is of ALPHA, ANNA (ID A100)."),
        qPrintable(told));
    QVERIFY(told.contains("Nothing was sent."));

    // "Manually" on an image of A: refused as well.
    form.selection().setCurrentImage(1, aStudy.files[0]);
    ts.prompter.clear();
    form.commands().run(Cmd::Manually);
    QCOMPARE(windows, 0);
    QVERIFY2(ts.prompter.lastText().contains("dose records of BETA, BEN (ID B200)"),
             qPrintable(ts.prompter.lastText()));
    QTest::qWait(300);
    QVERIFY(pacs.files().isEmpty());

    // A's series is sent as it is (no doses merged, "Send to" on the series); the
    // progress window's OK gives none of B's records to A.
    form.selection().setPopupSeriesId(aStudy.seriesId);
    send->sendTo(SendTransfer::Level::Series, Destinations::tag(pacs.aet(), "127.0.0.1", QString::number(pacs.port())));
    QCOMPARE(windows, 1);
    QVERIFY2(waitUntil([&] { return pacs.files().size() == 4; }, 10000),
             qPrintable(send->lastProgressText + ts.prompter.lastText()));
    for (const auto &r : doseRows(*ts, "WorklistPatID = 'B200'")) {
        QCOMPARE(r["Status"].toString(), QStringLiteral("0"));
        QVERIFY(r["FKeyPatID"].toString().isEmpty());
    }
    QVERIFY(readFile(ts->log().errorLogPath())
                .contains("belongs to another patient; not assigned to ALPHA, ANNA (ID A100)"));

    // B's examination closes; B's images arrive; B's own merge gives each its dose.
    form.findChild<QPushButton *>("cmdNew")->click();
    const qint64 bPat = fx.addPatient("B200", "BETA", "BEN", {}, "1970-07-07");
    const auto bStudy = fx.addStudyWithImages(bPat, 4);
    form.commands().run(Cmd::RefreshList);
    QVERIFY(waitUntil([&] { return rowOf(patients, "B200"); }));
    clickRow(patients, rowOf(patients, "B200"));
    QVERIFY(waitUntil([&] { return studies->topLevelItemCount() == 1; }));
    clickRow(studies, studies->topLevelItem(0));
    QVERIFY(waitUntil([&] { return form.selection().viewerFiles().size() == 4; }, 10000));
    QCOMPARE(doses->topLevelItemCount(), 4);
    const QStringList before = pacs.files();
    ts.prompter.clear();
    form.commands().run(Cmd::MergeImages);
    QVERIFY2(windows == 2, qPrintable(ts.prompter.lastText()));
    // B's four images and B's dose report.
    QVERIFY(waitUntil([&] { return pacs.files().size() == 9; }, 10000));
    int merged = 0, reports = 0;
    for (const QString &f : pacs.files()) {
        if (before.contains(f))
            continue;
        if (dicom::Image::readFile(f)->sopClassUid() == dicom::XRayRadiationDoseSrClass) {
            const DoseReportFacts report = DoseReports::read(f);
            QCOMPARE(report.studyUid, bStudy.studyUid);
            QCOMPARE(report.events.size(), 4);
            for (const DoseEvent &e : report.events)
                QVERIFY(qAbs(e.dap.value() - (e.imageNo + 0.22) * 1e-6) < 1e-12);
            ++reports;
            continue;
        }
        const int n = instanceNumber(f);
        // cGy*cm2 from the unit, dGy*cm2 in the image.
        QCOMPARE(doseOf(f, DCM_ImageAndFluoroscopyAreaDoseProduct).toDouble(), (n + 0.22) / 10.0);
        ++merged;
    }
    QCOMPARE(merged, 4);
    QCOMPARE(reports, 1);
    // A's images went without any dose.
    for (const QString &f : before)
        QVERIFY(doseOf(f, DCM_ImageAndFluoroscopyAreaDoseProduct).isEmpty());
    form.exitProgram();
}

QTEST_MAIN(TestTwoPatients)
#include "test_two_patients.moc"

// One examination from end to end: the worklist provider (wlmscpfs) serves the day's
// list, "Worklist" applies the patient, the X-ray unit (xray-sim on a pseudo-terminal)
// sends three exposures, the dose list shows them, "New Study" closes them, and the
// image of that patient, filed into the store, finds them by name and birth date.
#include "CaptureTestKit.h"
#include "PanelHost.h"
#include "Requires.h"
#include "dose/DoseCapturePanel.h"
#include "dose/DoseListPanel.h"
#include "net/WorklistEntry.h"
#include "ui/CommandIds.h"
#include "ui/MainCommands.h"

#include "WorklistProvider.h"
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include "dose/DoseCapturePanel.h"
#include "dose/SerialLink.h"
#include "net/WorklistForm.h"
#include "store/ImageFiler.h"

#include <QApplication>
#include <QTest>

class TestDoseE2E : public QObject {
    Q_OBJECT
private slots:
    void hfeExaminationFromWorklistToStorePatient();
    void channelUnitThroughFill();
    void loradThroughGetDoseProduct();
};

namespace {
const QString Oneil = QString::fromUtf8("O\u00B4NEIL");

// Clicks "Apply" of the worklist dialog once its list is filled.
void applyWhenListed()
{
    auto *timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, timer, [timer] {
        auto *form = qobject_cast<WorklistForm *>(QApplication::activeModalWidget());
        if (!form || form->list()->topLevelItemCount() == 0)
            return;
        timer->stop();
        timer->deleteLater();
        QTest::mouseClick(form->findChild<QPushButton *>(QStringLiteral("cmdOK")), Qt::LeftButton);
    });
    timer->start(50);
}

// An image of the patient as the modality sends it: name with the apostrophe.
bool writeImage(const QString &folder, const QString &file)
{
    const QString dump = folder + QStringLiteral("/img.dump");
    QFile f(dump);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    f.write("(0008,0016) UI [1.2.840.10008.5.1.4.1.1.1.2]\n"
            "(0008,0018) UI [1.2.826.0.1.3680043.2.1143.77.1.1.1]\n"
            "(0008,0020) DA [20261208]\n"
            "(0008,0060) CS [MG]\n"
            "(0010,0010) PN [O'NEIL^ANN]\n"
            "(0010,0020) LO [P200]\n"
            "(0010,0030) DA [19620704]\n"
            "(0010,0040) CS [F]\n"
            "(0020,000d) UI [1.2.826.0.1.3680043.2.1143.77.1]\n"
            "(0020,000e) UI [1.2.826.0.1.3680043.2.1143.77.1.1]\n"
            "(0020,0011) IS [1]\n"
            "(0020,0013) IS [1]\n"
            "(0028,0002) US 1\n"
            "(0028,0004) CS [MONOCHROME2]\n"
            "(0028,0010) US 2\n"
            "(0028,0011) US 2\n"
            "(0028,0100) US 16\n"
            "(0028,0101) US 12\n"
            "(0028,0102) US 11\n"
            "(0028,0103) US 0\n"
            "(7fe0,0010) OW 0000\\0100\\0200\\0300\n");
    f.close();
    return QProcess::execute(QStringLiteral("dump2dcm"), {QStringLiteral("+te"), dump, file}) == 0;
}
} // namespace

void TestDoseE2E::hfeExaminationFromWorklistToStorePatient()
{
    if (!QFile::exists(binDir() + QStringLiteral("/xray-sim")))
        CALVAREX_MISSING("xray-sim is not built");

    WorklistProvider wl;
    QVERIFY(wl.add({.name = "O'NEIL^ANN",
                    .patientId = "P200",
                    .birthDate = "19620704",
                    .sex = "F",
                    .accession = "A200",
                    .stationAet = "MAMMO1",
                    .time = "081500"}));
    QVERIFY(wl.add({.name = "DOE^JANE",
                    .patientId = "P100",
                    .birthDate = "19550315",
                    .sex = "F",
                    .accession = "A100",
                    .stationAet = "MAMMO1",
                    .time = "143000"}));
    QVERIFY(wl.start());
    XraySim sim;
    QVERIFY(sim.start());

    PanelHost h;
    Station &st = h.station();
    wl.configure(st.settings(), QStringLiteral("MAMMO1"));
    st.settings().comDevice = sim.device();
    st.settings().xrayComm = XrayUnit::Hfe501;
    DoseCapturePanel &capture = *h.capture;
    MainHooks::run(h.hooks.activate);
    QVERIFY(capture.link().isOpen());
    h.window.show();

    // "Worklist": the dialog queries the provider; the first (08:15) entry is applied.
    QVERIFY(h.w.cmdWorklist->isEnabled());
    applyWhenListed();
    QTest::mouseClick(h.w.cmdWorklist, Qt::LeftButton);
    QCOMPARE(h.dose.row(1), QStringLiteral("P200"));
    QCOMPARE(h.dose.row(3), Oneil);
    QCOMPARE(int(h.dose.assignmentMode), 1);
    QVERIFY(h.w.SerTimer->isActive());
    QVERIFY(h.w.cmdNew->isEnabled());

    // Three exposures on the line, one after the other as the operator makes them.
    const char *exposures[] = {"hfe 12.50 28 56 W/Rh 350 18mm", "hfe 123.45 30 80 Mo/Rh 410 40mm",
                               "hfe 9.75 27 44 W/Rh 310 36mm"};
    for (int i = 0; i < 3; ++i) {
        sim.command(QString::fromLatin1(exposures[i]));
        QVERIFY2(waitUntil([&] { return h.w.lvDosis->topLevelItemCount() == i + 1; }, 10000),
                 qPrintable(QStringLiteral("records %1, list %2, log %3")
                                .arg(doseRows(st).size())
                                .arg(h.w.lvDosis->topLevelItemCount())
                                .arg(QString::fromUtf8(readFile(st.log().errorLogPath())))));
    }
    QCOMPARE(h.column(DoseList::ColImageNo), (QStringList{"1", "2", "3"}));
    QCOMPARE(h.column(DoseList::ColDap), (QStringList{"12.50", "123.45", "9.75"}));
    QCOMPARE(h.column(DoseList::ColKv), (QStringList{"28", "30", "27"}));
    QCOMPARE(h.column(DoseList::ColMas), (QStringList{"56", "80", "44"}));
    QCOMPARE(h.column(DoseList::ColExpTime), (QStringList{"350", "410", "310"}));
    QCOMPARE(h.column(DoseList::ColLastName), (QStringList{Oneil, Oneil, Oneil}));
    QCOMPARE(h.column(DoseList::ColStatus), (QStringList{"0", "0", "0"}));
    const QStringList ids = h.column(DoseList::ColId);

    // "New Study" closes the examination.
    QTest::mouseClick(h.w.cmdNew, Qt::LeftButton);
    for (const QString &id : ids)
        QCOMPARE(h.record(id.toLongLong()).value(0), QStringLiteral("2"));
    QVERIFY(!h.dose.hasPatient());
    QVERIFY(h.w.cmdWorklist->isEnabled());

    // The image arrives and is filed as the data manager files it.
    const QString image = st.paths().tempDir() + QStringLiteral("/1.2.826.0.1.3680043.2.1143.77.1.1.1.dcm");
    QVERIFY(writeImage(h.ts().root(), image));
    ImageFiler filer(st.paths(), st.log());
    QCOMPARE(filer.fileInput().filed, 1);

    // The patient list row as the browser shows it, picked: its closed records appear.
    Database db = Database::openData(st.paths());
    QSqlQuery q = db.exec(QStringLiteral("SELECT PatID1, PatNachname, PatVorname, PatGebDatum FROM tblPatienten"));
    QVERIFY(q.next());
    QCOMPARE(q.value(1).toString(), QStringLiteral("O'NEIL"));
    h.pickStorePatient(q.value(0).toString(), q.value(1).toString() + QStringLiteral(", ") + q.value(2).toString(),
                       q.value(3).toString());
    h.fill(5);
    QCOMPARE(h.column(DoseList::ColId), ids);
    QCOMPARE(h.column(DoseList::ColStatus), (QStringList{"2", "2", "2"}));

    // A click on a row hands its dose value on for the merge.
    h.w.lvDosis->setCurrentItem(h.w.lvDosis->topLevelItem(1));
    emit h.w.lvDosis->itemClicked(h.w.lvDosis->topLevelItem(1), 0);
    QCOMPARE(h.dose.currentDoseValue, QStringLiteral("123.45"));
    QVERIFY2(!QFile::exists(st.log().errorLogPath()), readFile(st.log().errorLogPath()).constData());
}

void TestDoseE2E::channelUnitThroughFill()
{
    if (!QFile::exists(binDir() + QStringLiteral("/xray-sim")))
        CALVAREX_MISSING("xray-sim is not built");
    WorklistProvider wl;
    QVERIFY(wl.add({.name = "DOE^JANE",
                    .patientId = "P100",
                    .birthDate = "19550315",
                    .sex = "F",
                    .accession = "A100",
                    .stationAet = "MAMMO1",
                    .time = "143000"}));
    QVERIFY(wl.start());
    XraySim sim;
    QVERIFY(sim.start());

    PanelHost h;
    Station &st = h.station();
    wl.configure(st.settings(), QStringLiteral("MAMMO1"));
    st.settings().comDevice = sim.device();
    st.settings().xrayComm = XrayUnit::Sophie;
    DoseCapturePanel &capture = *h.capture;
    MainHooks::run(h.hooks.activate);
    QVERIFY(capture.link().isOpen());
    h.window.show();

    applyWhenListed();
    QTest::mouseClick(h.w.cmdWorklist, Qt::LeftButton);
    QCOMPARE(h.dose.row(1), QStringLiteral("P100"));

    // The Sophie message is gathered by the polling timer; "Fill" stores it.
    sim.command("sophie 1.25 28 63");
    QVERIFY(waitUntil([&] { return h.w.txtcInput->toPlainText().contains(QStringLiteral("CH3")); }, 5000));
    QTest::qWait(300);
    h.w.commands->run(Cmd::Fill);
    QVERIFY(waitUntil([&] { return h.w.lvDosis->topLevelItemCount() == 1; }, 5000));
    QCOMPARE(h.column(DoseList::ColDap), QStringList{"1.25"});
    QCOMPARE(h.column(DoseList::ColKv), QStringList{"28"});
    QCOMPARE(h.column(DoseList::ColMas), QStringList{"63"});
    QCOMPARE(h.column(DoseList::ColImageNo), QStringList{"1"});

    QTest::mouseClick(h.w.cmdNew, Qt::LeftButton);
    h.pickStorePatient("P100", "DOE, JANE", "1955-03-15");
    h.fill(5);
    QCOMPARE(h.column(DoseList::ColStatus), QStringList{"2"});
}

void TestDoseE2E::loradThroughGetDoseProduct()
{
    if (!QFile::exists(binDir() + QStringLiteral("/xray-sim")))
        CALVAREX_MISSING("xray-sim is not built");
    WorklistProvider wl;
    QVERIFY(wl.add({.name = "DOE^JANE",
                    .patientId = "P100",
                    .birthDate = "19550315",
                    .sex = "F",
                    .accession = "A100",
                    .stationAet = "MAMMO1",
                    .time = "143000"}));
    QVERIFY(wl.start());
    XraySim sim;
    QVERIFY(sim.start());
    sim.command("lorad 2.35 29 71");
    QVERIFY(!sim.waitFor(QStringLiteral("OK lorad")).isEmpty());

    PanelHost h;
    Station &st = h.station();
    wl.configure(st.settings(), QStringLiteral("MAMMO1"));
    st.settings().comDevice = sim.device();
    st.settings().xrayComm = XrayUnit::LoradM4;
    DoseCapturePanel &capture = *h.capture;
    MainHooks::run(h.hooks.activate);
    QVERIFY(capture.link().isOpen());
    h.window.show();
    // The patient whose images are on the station is picked in the browser.
    h.pickStorePatient("P100", "DOE, JANE", "1955-03-15");

    applyWhenListed();
    QTest::mouseClick(h.w.cmdWorklist, Qt::LeftButton);
    QVERIFY(h.w.cmdLorad->isEnabled());
    QTest::mouseClick(h.w.cmdLorad, Qt::LeftButton);
    QVERIFY(waitUntil([&] { return doseRows(st).size() == 1; }, 5000));
    const auto rows = doseRows(st);
    QCOMPARE(rows[0]["mGy1"].toString(), QStringLiteral("2.35"));
    QCOMPARE(rows[0]["PatLastname"].toString(), QStringLiteral("DOE"));
    // The poll keeps the assignment mode of the store patient, and the record it took is
    // in the list at once, under its patient's name.
    QCOMPARE(int(h.dose.assignmentMode), 5);
    QCOMPARE(h.column(DoseList::ColDap), QStringList{"2.35"});
    QVERIFY(h.doseList->doseCaption()->text().startsWith("Open dose records of DOE, JANE (worklist"));

    QTest::mouseClick(h.w.cmdNew, Qt::LeftButton);
    QVERIFY(!h.w.cmdLorad->isEnabled());
    h.fill(5);
    QCOMPARE(h.column(DoseList::ColDap), QStringList{"2.35"});
    QCOMPARE(h.column(DoseList::ColStatus), QStringList{"2"});
}

QTEST_MAIN(TestDoseE2E)
#include "test_dose_e2e.moc"

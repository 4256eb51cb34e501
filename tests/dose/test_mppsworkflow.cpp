// The performed procedure step of an examination as the RIS sees it, against an
// independent provider (dcmjs-dimse): the worklist's scheduled step in N-CREATE at the
// first exposure, "COMPLETED" at "New Study" with the images by series and one dose item
// per exposure, "DISCONTINUED" with its reason at "Delete Dosislist", and nothing lost or
// sent twice while the provider is away, across a restart.
#include "Requires.h"
#include "StoreFixture.h"
#include "TestStation.h"

#include "core/Database.h"
#include "core/Station.h"
#include "core/StationPaths.h"
#include "dose/DoseList.h"
#include "dose/DoseReports.h"
#include "dose/DoseState.h"
#include "dose/MppsWorkflow.h"
#include "net/MppsOutbox.h"
#include "peers/MppsProvider.h"
#include "peers/Ports.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

namespace {

const QString PatientId = QStringLiteral("MP-1001");
const QString StudyUid = QStringLiteral("1.2.826.0.1.3680043.2.1143.4711");
const QString MgClass = QStringLiteral("1.2.840.10008.5.1.4.1.1.1.2");

dicom::WorklistAnswer answer(const QString &patientId = PatientId, const QString &studyUid = StudyUid)
{
    dicom::WorklistAnswer a;
    a.patientName = QStringLiteral("Ní Bhriain^Siobhán");
    a.patientId = patientId;
    a.birthDate = QStringLiteral("19640212");
    a.sex = QStringLiteral("F");
    a.accessionNumber = QStringLiteral("ACC-77");
    a.studyUid = studyUid;
    a.requestedProcedureId = QStringLiteral("RP-77");
    a.requestedProcedureDescription = QStringLiteral("Screening mammography");
    a.stepId = QStringLiteral("SPS-77");
    a.stepDescription = QStringLiteral("Mammo 4 views");
    a.procedureCodes = {{"MAMMO-SCR", "99LOCAL", "Screening mammography"}};
    a.protocolCodes = {{"MG4", "99LOCAL", "Four views"}};
    return a;
}

void configure(Station &s, quint16 port)
{
    s.settings().mpps = {QStringLiteral("127.0.0.1"), QStringLiteral("MPPS"), QString::number(port)};
    s.settings().irAet = QStringLiteral("MAMMO1");
    s.settings().worklistLocalAet = QStringLiteral("MAMMO1");
}

// An HFE 501 record as the capture stores it: dose-area product cGy*cm2, kV, mAs, ms.
void addRecord(Station &s, const QString &patientId, int imageNo, const QString &dap, const QString &kv,
               const QString &mas, const QString &ms, const QString &time)
{
    Database db = Database::openData(s.paths());
    db.exec(
        QStringLiteral("INSERT INTO tblDosis (PatFirstname, PatLastname, PatBirthdate, mGy1, mGy2, mGy3, expTime,"
                       " \"Date\", \"Time\", Status, ImgNo, XrayComm, WorklistPatID)"
                       " VALUES ('Siobhán', 'Ní Bhriain', '1964-02-12', ?, ?, ?, ?, '2026-12-10', ?, '0', ?, 5, ?)"),
        {dap, kv, mas, ms, time, imageNo, patientId});
}

// The examination's images as the data manager files them: one series of four.
QStringList fileImages(Station &s, const QString &patientId, const QString &studyUid)
{
    StoreFixture f(s);
    const qint64 pat = f.addPatient(patientId, QStringLiteral("Ní Bhriain"), QStringLiteral("Siobhán"));
    const qint64 study = f.addStudy(pat, studyUid, QStringLiteral("2026-12-10"));
    const qint64 series = f.addSeries(study, studyUid + QStringLiteral(".1"), 1);
    QStringList uids;
    for (int i = 1; i <= 4; ++i) {
        const QString uid = studyUid + QStringLiteral(".1.%1").arg(i);
        f.addImage(series, uid, i, QStringLiteral("2026-12-10"));
        uids << uid;
    }
    Database db = Database::openData(s.paths());
    db.exec(QStringLiteral("UPDATE tblImages SET SOPClassUID = ?"), {MgClass});
    return uids;
}

void deliver(Station &s)
{
    MppsDelivery d(s);
    QSignalSpy done(&d, &MppsDelivery::statusChanged);
    d.deliverSoon();
    QVERIFY(done.wait(30000));
}

QJsonArray items(const QJsonObject &o, const char *keyword) { return o[QLatin1String(keyword)].toArray(); }

} // namespace

class TestMppsWorkflow : public QObject {
    Q_OBJECT
private slots:
    void doseItemNamesEachQuantity_data();
    void doseItemNamesEachQuantity();
    void examinationReachesTheRis();
    void providerAwayForThreeExposures();
    void deletedDoseListDiscontinues();
    void nothingWithoutExposureOrProvider();
};

void TestMppsWorkflow::doseItemNamesEachQuantity_data()
{
    QTest::addColumn<int>("unit");
    QTest::addColumn<QStringList>("values");   // mGy1, mGy2, mGy3, expTime
    QTest::addColumn<QStringList>("expected"); // tag=value, tag absent as tag=
    QTest::newRow("HFE 501: dose-area product, kV, time, current")
        << 5 << QStringList{"12.5", "28", "80", "400"}
        << QStringList{"0018115E=1.25", "00180060=28", "00181150=400", "00188151=200000", "00408302="};
    QTest::newRow("HFE 501 without time: no current")
        << 5 << QStringList{"3", "30", "63", ""} << QStringList{"0018115E=0.3", "00181150=", "00188151="};
    QTest::newRow("channel unit: the entrance dose in mGy, nothing else")
        << 1 << QStringList{"4.2", "27", "71", "390"}
        << QStringList{"00408302=4.2", "0018115E=", "00180060=", "00181150="};
}

void TestMppsWorkflow::doseItemNamesEachQuantity()
{
    QFETCH(int, unit);
    QFETCH(QStringList, values);
    QFETCH(QStringList, expected);
    DoseEvent e;
    e.imageNo = 3;
    DoseReports::setValues(e, qint16(unit), values[0], values[1], values[2], values[3]);
    const dicom::DataSet item = MppsWorkflow::doseItem(e);
    for (const QString &x : expected) {
        const uint tag = x.left(8).toUInt(nullptr, 16);
        const QString want = x.mid(9);
        const std::optional<QString> got = item.value(quint16(tag >> 16), quint16(tag & 0xFFFF));
        if (want.isEmpty())
            QVERIFY2(!got, qPrintable(x + " is " + got.value_or("")));
        else
            QCOMPARE(got.value_or("(absent)"), want);
    }
    QCOMPARE(item.value(0x0040, 0x0310).value_or(""), QString("Exposure 3"));
}

void TestMppsWorkflow::examinationReachesTheRis()
{
    peers::MppsProvider mpps;
    if (!mpps.start())
        CALVAREX_MISSING("the MPPS provider cannot run: node or dcmjs-dimse is missing (scripts/deps)");
    TestStation ts;
    configure(*ts, mpps.port());
    DoseState state;
    DoseList list(*ts, state);
    MppsWorkflow flow(*ts);
    QObject::connect(&state, &DoseState::examinationClosing, [&](const QString &id) { flow.examinationCompleted(id); });

    flow.patientChosen(answer());
    QCOMPARE(flow.openStep(PatientId)->state, MppsWorkflow::Scheduled);
    // The first exposure opens the step; the next ones add nothing.
    addRecord(*ts, PatientId, 1, "12.5", "28", "80", "400", "10:15:07");
    flow.recordsStored(PatientId);
    for (int i = 2; i <= 4; ++i) {
        addRecord(*ts, PatientId, i, QString::number(10 + i), "29", "90", "450",
                  QStringLiteral("10:1%1:00").arg(5 + i));
        flow.recordsStored(PatientId);
    }
    QCOMPARE(flow.openStep(PatientId)->state, MppsWorkflow::InProgress);
    const QStringList images = fileImages(*ts, PatientId, StudyUid);

    // "New Study" through the dose list, as the operator presses it.
    state.takePatientRows({PatientId, "Siobhán", "Ní Bhriain", "", "1964-02-12", "F", "ACC-77", "BREAST"});
    QCOMPARE(list.newStudy(), 4);
    QVERIFY(!flow.openStep(PatientId));
    deliver(*ts);

    const QJsonArray messages = mpps.messages();
    QCOMPARE(messages.size(), 2);
    const QJsonObject create = messages[0].toObject();
    QCOMPARE(create["type"].toString(), QString("N-CREATE"));
    QCOMPARE(create["calling"].toString(), QString("MAMMO1"));
    const QJsonObject c = create["attributes"].toObject();
    QCOMPARE(c["PerformedProcedureStepStatus"].toString(), QString("IN PROGRESS"));
    QCOMPARE(c["PerformedProcedureStepStartDate"].toString(), QString("20261210"));
    QCOMPARE(c["PerformedProcedureStepStartTime"].toString(), QString("101507"));
    QCOMPARE(c["PerformedStationAETitle"].toString(), QString("MAMMO1"));
    QCOMPARE(c["Modality"].toString(), QString("MG"));
    QCOMPARE(c["PatientID"].toString(), PatientId);
    QCOMPARE(c["PatientName"].toArray()[0].toObject()["Alphabetic"].toString(), QString("Ní Bhriain^Siobhán"));
    const QJsonObject ssa = items(c, "ScheduledStepAttributesSequence")[0].toObject();
    QCOMPARE(ssa["StudyInstanceUID"].toString(), StudyUid);
    QCOMPARE(ssa["AccessionNumber"].toString(), QString("ACC-77"));
    QCOMPARE(ssa["RequestedProcedureID"].toString(), QString("RP-77"));
    QCOMPARE(ssa["RequestedProcedureDescription"].toString(), QString("Screening mammography"));
    QCOMPARE(ssa["ScheduledProcedureStepID"].toString(), QString("SPS-77"));
    QCOMPARE(ssa["ScheduledProcedureStepDescription"].toString(), QString("Mammo 4 views"));
    QCOMPARE(items(ssa, "ScheduledProtocolCodeSequence")[0].toObject()["CodeValue"].toString(), QString("MG4"));
    QCOMPARE(items(c, "ProcedureCodeSequence")[0].toObject()["CodeValue"].toString(), QString("MAMMO-SCR"));

    const QJsonObject set = messages[1].toObject();
    QCOMPARE(set["type"].toString(), QString("N-SET"));
    QCOMPARE(set["uid"].toString(), create["uid"].toString());
    const QJsonObject s = set["attributes"].toObject();
    QCOMPARE(s["PerformedProcedureStepStatus"].toString(), QString("COMPLETED"));
    QCOMPARE(s["PerformedProcedureStepEndDate"].toString().size(), 8);
    const QJsonArray series = items(s, "PerformedSeriesSequence");
    QCOMPARE(series.size(), 1);
    QCOMPARE(series[0].toObject()["SeriesInstanceUID"].toString(), StudyUid + ".1");
    QCOMPARE(series[0].toObject()["ProtocolName"].toString(), QString("Mammo 4 views"));
    const QJsonArray refs = items(series[0].toObject(), "ReferencedImageSequence");
    QCOMPARE(refs.size(), 4);
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(refs[i].toObject()["ReferencedSOPInstanceUID"].toString(), images[i]);
        QCOMPARE(refs[i].toObject()["ReferencedSOPClassUID"].toString(), MgClass);
    }
    const QJsonArray doses = items(s, "ExposureDoseSequence");
    QCOMPARE(doses.size(), 4);
    const QJsonObject first = doses[0].toObject();
    QCOMPARE(first["KVP"].toDouble(), 28.0);
    QCOMPARE(first["ExposureTime"].toDouble(), 400.0);
    QCOMPARE(first["XRayTubeCurrentInuA"].toDouble(), 200000.0);
    QCOMPARE(first["ImageAndFluoroscopyAreaDoseProduct"].toDouble(), 1.25);
    QCOMPARE(doses[3].toObject()["ImageAndFluoroscopyAreaDoseProduct"].toDouble(), 1.4);
    // The step's total: 12.5 + 12 + 13 + 14 cGy*cm2 = 5.15 dGy*cm2.
    QCOMPARE(s["ImageAndFluoroscopyAreaDoseProduct"].toDouble(), 5.15);
    QCOMPARE(mpps.steps()[create["uid"].toString()].toObject()["PerformedProcedureStepStatus"].toString(),
             QString("COMPLETED"));
}

void TestMppsWorkflow::providerAwayForThreeExposures()
{
    peers::MppsProvider mpps;
    TestStation ts;
    configure(*ts, peers::freePort()); // nobody answers there
    {
        MppsWorkflow flow(*ts);
        flow.patientChosen(answer());
        for (int i = 1; i <= 3; ++i) {
            addRecord(*ts, PatientId, i, "10", "28", "80", "400", QStringLiteral("09:0%1:00").arg(i));
            flow.recordsStored(PatientId);
            MppsDelivery d(*ts);
            QSignalSpy done(&d, &MppsDelivery::statusChanged);
            d.deliverSoon();
            QVERIFY(done.wait(30000));
            QCOMPARE(d.status(), QString("MPPS: 1 waiting"));
            QVERIFY2(d.problems().value(0).contains("127.0.0.1"), qPrintable(d.problems().join('|')));
        }
        flow.examinationCompleted(PatientId);
        QCOMPARE(MppsOutbox(ts->paths()).waitingCount(), 2);
    }
    // The station starts again; the provider is back.
    if (!mpps.start())
        CALVAREX_MISSING("the MPPS provider cannot run: node or dcmjs-dimse is missing (scripts/deps)");
    configure(*ts, mpps.port());
    MppsDelivery d(*ts);
    QSignalSpy done(&d, &MppsDelivery::statusChanged);
    d.deliverSoon();
    QVERIFY(done.wait(30000));
    QCOMPARE(d.status(), QString());
    d.deliverSoon();
    QVERIFY(done.wait(30000));

    const QJsonArray messages = mpps.messages();
    QCOMPARE(messages.size(), 2);
    QCOMPARE(messages[0].toObject()["type"].toString(), QString("N-CREATE"));
    QCOMPARE(messages[0].toObject()["attributes"].toObject()["PerformedProcedureStepStartTime"].toString(),
             QString("090100"));
    QCOMPARE(messages[1].toObject()["type"].toString(), QString("N-SET"));
    QCOMPARE(items(messages[1].toObject()["attributes"].toObject(), "ExposureDoseSequence").size(), 3);
    QCOMPARE(MppsOutbox(ts->paths()).waitingCount(), 0);
}

void TestMppsWorkflow::deletedDoseListDiscontinues()
{
    peers::MppsProvider mpps;
    if (!mpps.start())
        CALVAREX_MISSING("the MPPS provider cannot run: node or dcmjs-dimse is missing (scripts/deps)");
    TestStation ts;
    configure(*ts, mpps.port());
    DoseState state;
    DoseList list(*ts, state);
    MppsWorkflow flow(*ts);
    QObject::connect(&state, &DoseState::doseListDeleting, [&] { flow.everythingDiscontinued(); });
    flow.patientChosen(answer());
    addRecord(*ts, PatientId, 1, "10", "28", "80", "400", "11:00:00");
    flow.recordsStored(PatientId);
    ts.prompter.yesNo.push_back(true); // "Delete all 1 dose records ...?" Yes
    QVERIFY(list.deleteAll());
    deliver(*ts);

    const QJsonArray messages = mpps.messages();
    QCOMPARE(messages.size(), 2);
    const QJsonObject s = messages[1].toObject()["attributes"].toObject();
    QCOMPARE(s["PerformedProcedureStepStatus"].toString(), QString("DISCONTINUED"));
    const QJsonObject reason = items(s, "PerformedProcedureStepDiscontinuationReasonCodeSequence")[0].toObject();
    QCOMPARE(reason["CodeValue"].toString(), QString("110513"));
    QCOMPARE(reason["CodingSchemeDesignator"].toString(), QString("DCM"));
    QCOMPARE(reason["CodeMeaning"].toString(), QString("Discontinued for unspecified reason"));
    // A step always names a series, though no image arrived.
    QCOMPARE(items(s, "PerformedSeriesSequence").size(), 1);
    QCOMPARE(items(s, "ExposureDoseSequence").size(), 1);
}

void TestMppsWorkflow::nothingWithoutExposureOrProvider()
{
    TestStation ts;
    {
        // No provider in the settings: no step is even kept.
        MppsWorkflow flow(*ts);
        flow.patientChosen(answer());
        QVERIFY(flow.steps().isEmpty());
    }
    configure(*ts, peers::freePort());
    MppsWorkflow flow(*ts);
    // Chosen, then "New Study" without an exposure: the RIS hears nothing.
    flow.patientChosen(answer());
    flow.examinationCompleted(PatientId);
    QVERIFY(flow.steps().isEmpty());
    QCOMPARE(MppsOutbox(ts->paths()).waitingCount(), 0);
    // Chosen twice for the same scheduled step: one step.
    flow.patientChosen(answer());
    flow.patientChosen(answer());
    QCOMPARE(flow.steps().size(), 1);
    // A worklist entry without a study gets one, kept for the step.
    flow.patientChosen(answer("MP-2002", QString()));
    const QString made = flow.openStep("MP-2002")->scheduled.studyUid;
    QVERIFY2(isValidUid(made) && made != StudyUid, qPrintable(made));
}

QTEST_MAIN(TestMppsWorkflow)
#include "test_mppsworkflow.moc"

// The performed procedure step messages against an independent provider (dcmjs-dimse):
// what it records is what the station sent, its refusals come back with their reason, and
// a provider away is an answer-less result, never a hang.
#include "Requires.h"
#include "TestStation.h"

#include "dicom/MppsSender.h"
#include "peers/MppsProvider.h"
#include "peers/Ports.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QTest>

namespace {

dicom::MppsSender mppsSender(const peers::MppsProvider &p, const QString &port = {})
{
    return dicom::MppsSender({"127.0.0.1", port.isEmpty() ? QString::number(p.port()) : port, "MAMMO1", p.aet()},
                             {3, 10, 10});
}

dicom::DataSet inProgress()
{
    dicom::DataSet scheduled;
    scheduled.set(0x0020, 0x000D, "1.2.826.0.1.3680043.2.1143.7");
    scheduled.set(0x0008, 0x0050, "ACC1001");
    scheduled.set(0x0040, 0x0009, "SPS1001");
    dicom::DataSet a;
    a.setSequence(0x0040, 0x0270, {scheduled});
    a.set(0x0010, 0x0010, "O'Brien^Siobhan");
    a.set(0x0010, 0x0020, "DEMO001");
    a.set(0x0008, 0x0060, "MG");
    a.set(0x0040, 0x0241, "MAMMO1");
    a.set(0x0040, 0x0252, "IN PROGRESS");
    a.set(0x0040, 0x0244, "20261210");
    a.set(0x0040, 0x0245, "101500");
    a.setSequence(0x0040, 0x0340, {});
    return a;
}

} // namespace

class TestMpps : public QObject {
    Q_OBJECT
private slots:
    void stepCreatedAndCompleted();
    void providerAwayIsNoAnswer();
};

void TestMpps::stepCreatedAndCompleted()
{
    peers::MppsProvider mpps;
    if (!mpps.start())
        CALVAREX_MISSING("the MPPS provider cannot run: node or dcmjs-dimse is missing (scripts/deps)");
    const QString uid = "1.2.826.0.1.3680043.2.1143.99";
    const dicom::MppsSender::Result created = mppsSender(mpps).create(uid, inProgress());
    QVERIFY2(created.ok(), qPrintable(created.problem));

    dicom::DataSet done;
    done.set(0x0040, 0x0252, "COMPLETED");
    done.set(0x0040, 0x0250, "20261210");
    done.set(0x0040, 0x0251, "102000");
    const dicom::MppsSender::Result completed = mppsSender(mpps).set(uid, done);
    QVERIFY2(completed.ok(), qPrintable(completed.problem));

    // A step that is no longer in progress cannot be changed: the reason comes back.
    const dicom::MppsSender::Result again = mppsSender(mpps).set(uid, done);
    QVERIFY(again.answered);
    QVERIFY(!again.ok());
    QCOMPARE(again.status, quint16(0x0110));
    QVERIFY2(again.problem.contains("may no longer be updated"), qPrintable(again.problem));

    const QJsonArray messages = mpps.messages();
    QCOMPARE(messages.size(), 3);
    const QJsonObject create = messages[0].toObject();
    QCOMPARE(create["type"].toString(), QString("N-CREATE"));
    QCOMPARE(create["uid"].toString(), uid);
    QCOMPARE(create["calling"].toString(), QString("MAMMO1"));
    const QJsonObject a = create["attributes"].toObject();
    // dcmjs gives a person name as its component groups.
    QCOMPARE(a["PatientName"].toArray()[0].toObject()["Alphabetic"].toString(), QString("O'Brien^Siobhan"));
    QCOMPARE(a["PerformedStationAETitle"].toString(), QString("MAMMO1"));
    const QJsonObject scheduled = a["ScheduledStepAttributesSequence"].toArray()[0].toObject();
    QCOMPARE(scheduled["AccessionNumber"].toString(), QString("ACC1001"));
    QCOMPARE(scheduled["ScheduledProcedureStepID"].toString(), QString("SPS1001"));
    const QJsonObject step = mpps.steps()[uid].toObject();
    QCOMPARE(step["PerformedProcedureStepStatus"].toString(), QString("COMPLETED"));
    QCOMPARE(step["PerformedProcedureStepEndTime"].toString(), QString("102000"));
}

void TestMpps::providerAwayIsNoAnswer()
{
    peers::MppsProvider mpps;
    QElapsedTimer t;
    t.start();
    const dicom::MppsSender::Result r =
        mppsSender(mpps, QString::number(peers::freePort())).create("1.2.3.4", inProgress());
    QVERIFY(!r.answered);
    QVERIFY(!r.ok());
    QVERIFY2(r.problem.startsWith("No association with MPPS at 127.0.0.1"), qPrintable(r.problem));
    QVERIFY(t.elapsed() < 15000);
}

QTEST_GUILESS_MAIN(TestMpps)
#include "test_mpps.moc"

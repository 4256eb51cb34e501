// The waiting performed procedure step messages: written before they go, sent in order
// exactly once when the provider answers again (also by a new station), a refused one
// named with its reason while the rest go on.
#include "Requires.h"
#include "TestStation.h"

#include "core/Station.h"
#include "dicom/MppsSender.h"
#include "net/MppsOutbox.h"
#include "peers/MppsProvider.h"
#include "peers/Ports.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTest>

namespace {

dicom::DataSet status(const QString &s)
{
    dicom::DataSet d;
    d.set(0x0040, 0x0252, s);
    return d;
}

} // namespace

class TestMppsOutbox : public QObject {
    Q_OBJECT
private slots:
    void attributesKeepTheirShape();
    void providerAwayThenBack();
};

void TestMppsOutbox::attributesKeepTheirShape()
{
    dicom::DataSet item;
    item.set(0x0020, 0x000D, "1.2.3");
    item.set(0x0008, 0x0050, "");
    dicom::DataSet d;
    d.set(0x0010, 0x0010, "Müller^Zoë");
    d.setSequence(0x0040, 0x0270, {item, item});
    d.setSequence(0x0040, 0x0340, {});
    const dicom::DataSet back = MppsOutbox::fromJson(MppsOutbox::toJson(d));
    QCOMPARE(back.value(0x0010, 0x0010).value(), QString("Müller^Zoë"));
    QCOMPARE(back.sequence(0x0040, 0x0270)->size(), size_t(2));
    QCOMPARE(back.sequence(0x0040, 0x0270)->at(1).value(0x0020, 0x000D).value(), QString("1.2.3"));
    QVERIFY(back.sequence(0x0040, 0x0270)->at(1).exists(0x0008, 0x0050));
    QVERIFY(back.sequence(0x0040, 0x0340) && back.sequence(0x0040, 0x0340)->empty());
}

void TestMppsOutbox::providerAwayThenBack()
{
    TestStation ts;
    peers::MppsProvider mpps;
    quint16 port = peers::freePort(); // nobody listens there yet
    auto send = [&](const MppsOutbox::Waiting &w) {
        dicom::MppsSender s({"127.0.0.1", QString::number(port), "MAMMO1", mpps.aet()}, {2, 10, 10});
        return w.kind == MppsOutbox::Kind::Create ? s.create(w.stepUid, w.attributes) : s.set(w.stepUid, w.attributes);
    };
    {
        MppsOutbox box(ts->paths());
        dicom::DataSet created = status("IN PROGRESS");
        created.set(0x0010, 0x0020, "P1");
        box.add("1.2.826.0.1.3680043.2.1143.1", MppsOutbox::Kind::Create, created);
        box.add("1.2.826.0.1.3680043.2.1143.1", MppsOutbox::Kind::Set, status("IN PROGRESS"));
        box.add("1.2.826.0.1.3680043.2.1143.1", MppsOutbox::Kind::Set, status("COMPLETED"));
        // A step the provider never heard of: refused, named, and the rest goes on.
        box.add("1.2.826.0.1.3680043.2.1143.2", MppsOutbox::Kind::Set, status("COMPLETED"));
        box.add("1.2.826.0.1.3680043.2.1143.3", MppsOutbox::Kind::Create, status("IN PROGRESS"));
        QCOMPARE(box.deliver(send), 0);
        QCOMPARE(box.waitingCount(), 5);
    }
    if (!mpps.start())
        CALVAREX_MISSING("the MPPS provider cannot run: node or dcmjs-dimse is missing (scripts/deps)");
    port = mpps.port();
    // A new station (a restart) finds them and sends them in order.
    MppsOutbox box(ts->paths());
    QCOMPARE(box.deliver(send), 4);
    QCOMPARE(box.waitingCount(), 0);
    QCOMPARE(box.deliver(send), 0);
    const QJsonArray messages = mpps.messages();
    QCOMPARE(messages.size(), 5);
    const char *const order[] = {"N-CREATE", "N-SET", "N-SET", "N-SET", "N-CREATE"};
    for (int i = 0; i < 5; ++i)
        QCOMPARE(messages[i].toObject()["type"].toString(), QString(order[i]));
    QCOMPARE(mpps.steps()["1.2.826.0.1.3680043.2.1143.1"].toObject()["PerformedProcedureStepStatus"].toString(),
             QString("COMPLETED"));
    const QStringList failures = box.failures();
    QCOMPARE(failures.size(), 1);
    QVERIFY2(failures.first().startsWith("N-SET 1.2.826.0.1.3680043.2.1143.2: 0112H"), qPrintable(failures.first()));
}

QTEST_GUILESS_MAIN(TestMppsOutbox)
#include "test_mppsoutbox.moc"

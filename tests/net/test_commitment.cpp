// Storage commitment against Orthanc as the archive: a study sent and committed, an
// object the archive does not hold, a report that comes after the station was restarted
// (the receiver was down when the archive first reported), and images kept only until
// the archive has committed them. The archive reports on an association of its own to
// the station's receiver, which runs here on a free loopback port.
#include "RecordingProgress.h"
#include "StoreFixture.h"
#include "StorePeers.h"
#include "TestStation.h"

#include "core/Database.h"
#include "core/Progress.h"
#include "core/Station.h"
#include "core/StationPaths.h"
#include "dicom/CommitmentRequester.h"
#include "dicom/StorageReceiver.h"
#include "dicom/StoreSender.h"
#include "net/SendTransfer.h"
#include "peers/Orthanc.h"
#include "peers/Ports.h"
#include "peers/StationFolder.h"
#include "store/Commitments.h"
#include "store/StoreDeletion.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QTest>
#include <thread>

namespace {

const QString StationAet = QStringLiteral("CALVAREX");
const dicom::StoreSender::Timeouts Quick{5, 10, 10};

// The station's receiver in a thread of the test, writing into the station's folders.
class Receiver {
public:
    Receiver(const StationPaths &paths, quint16 port)
    {
        m_config.aeTitle = StationAet;
        m_config.port = port;
        m_config.outputDir = paths.tempDir();
        m_config.commitReportsDir = paths.commitReportsDir();
        m_config.timeoutSeconds = 10;
    }
    ~Receiver() { stop(); }
    bool start()
    {
        m_receiver = std::make_unique<StorageReceiver>(m_config);
        m_thread = std::thread([this] { m_error = m_receiver->run(); });
        return peers::waitForPort(m_config.port, 10000);
    }
    void stop()
    {
        if (!m_thread.joinable())
            return;
        StorageReceiver::requestStop();
        m_thread.join();
        m_receiver.reset();
    }
    QString error() const { return m_error; }

private:
    StorageReceiver::Config m_config;
    std::unique_ptr<StorageReceiver> m_receiver;
    std::thread m_thread;
    QString m_error;
};

// A station with a stored study of n images, Orthanc knowing the station's receiver.
struct Room {
    explicit Room(int n)
    {
        ts->settings().irAet = StationAet;
        StoreFixture fx(*ts);
        study = fx.addStudyWithImages(fx.addPatient("P1", "DOE", "JANE"), n);
        receiverPort = peers::freePort();
        peers::OrthancPacs::Options o;
        o.modalities = {{StationAet, QStringLiteral("127.0.0.1"), receiverPort}};
        pacs = std::make_unique<peers::OrthancPacs>(o);
    }
    PeerAddress destination() const
    {
        return {QStringLiteral("127.0.0.1"), pacs->aet(), QString::number(pacs->port())};
    }
    Commitments commitments() { return Commitments(ts->paths(), ts->log()); }

    // Sends the study over one association with commitment on; the transfer's accepted
    // objects as the request names them.
    QList<Commitments::Item> send(const std::function<SendTransfer::Removed(const QStringList &)> &remove = {})
    {
        dicom::StoreSender sender({"127.0.0.1", QString::number(pacs->port()), StationAet, pacs->aet()}, Quick);
        const SendTransfer::StudyPlan plan =
            SendTransfer::studyPlan(*ts, study.studyId, QFileInfo(study.files.first()).absolutePath());
        sender.open(SendTransfer::filesOf({plan}));
        SendTransfer t(*ts, progress, sender);
        t.commitment = true;
        if (remove)
            t.removeFromStore = [&](SendTransfer::Level, qint64, const QStringList &uids) { return remove(uids); };
        t.sendStudy(plan);
        sender.close();
        QList<Commitments::Item> items;
        for (const SendTransfer::Accepted &a : t.accepted())
            items << Commitments::Item{a.sopClass, a.sopInstance, a.imageUid, a.studyUid, a.removeWhenCommitted};
        return items;
    }

    // Applies the report files until the study's objects are all answered.
    Commitments::Summary awaitAnswered(int ms = 20000)
    {
        Commitments::Summary s;
        peers::waitUntil(
            [&] {
                commitments().applyReports();
                s = commitments().summary(study.studyUid);
                return s.sent > 0 && s.committed + s.failed == s.sent;
            },
            ms);
        return s;
    }

    QStringList reportFiles()
    {
        return QDir(ts->paths().commitReportsDir()).entryList({QStringLiteral("*.json")}, QDir::Files);
    }

    TestStation ts;
    StoreFixture::StudyMade study;
    quint16 receiverPort = 0;
    std::unique_ptr<peers::OrthancPacs> pacs;
    RecordingProgress progress;
};

int storedImages(Station &station, const QString &studyUid)
{
    Database db = Database::openData(station.paths());
    return db
        .scalar(QStringLiteral("SELECT COUNT(*) FROM tblImages i INNER JOIN tblSeries se ON i.FKeySeriesID ="
                               " se.SeriesID INNER JOIN tblStudies st ON se.FKeyStudyID = st.StudyID"
                               " WHERE st.StudyUID = ?"),
                {studyUid})
        .toInt();
}

} // namespace

class TestCommitment : public QObject {
    Q_OBJECT
private slots:
    void studyIsCommittedAndReportArrivesAtReceiver();
    void objectArchiveDoesNotHoldFails();
    void reportAfterRestartIsApplied();
    void imagesStayUntilCommitted();
};

void TestCommitment::studyIsCommittedAndReportArrivesAtReceiver()
{
    Room room(3);
    QVERIFY(room.pacs->start());
    Receiver receiver(room.ts->paths(), room.receiverPort);
    QVERIFY(receiver.start());

    const QList<Commitments::Item> items = room.send();
    QCOMPARE(items.size(), 3);
    for (const Commitments::Item &i : items) {
        QVERIFY(room.study.sopUids.contains(i.sopInstance));
        QCOMPARE(i.sopClass, QStringLiteral("1.2.840.10008.5.1.4.1.1.7")); // secondary capture
        QVERIFY(!i.removeWhenCommitted);                                   // SentAndKeep is 1 in a fresh station
    }
    // Orthanc answers at once and reports later, on an association of its own: the short
    // wait on this one ends without a report.
    const Commitments::Outcome o = room.commitments().request(room.destination(), StationAet, Quick, items, 1000);
    QVERIFY2(o.accepted, qPrintable(o.problem));
    QVERIFY(!o.reported);
    QCOMPARE(room.commitments().summary(room.study.studyUid).text(), QStringLiteral("3 sent: 0 committed, 3 waiting"));

    const Commitments::Summary s = room.awaitAnswered();
    QCOMPARE(s.text(), QStringLiteral("3 sent: 3 committed"));
    QCOMPARE(room.commitments().state(o.transactionUid), QStringLiteral("reported"));
    QVERIFY(room.commitments().failures(room.study.studyUid).isEmpty());
    // Applied files are gone; Orthanc's job ended well, so our answer suited it.
    QVERIFY(room.reportFiles().isEmpty());
    const QJsonArray jobs = room.pacs->commitmentJobs();
    QCOMPARE(jobs.size(), 1);
    QCOMPARE(jobs[0].toObject()["State"].toString(), QStringLiteral("Success"));
    QCOMPARE(jobs[0].toObject()["Content"].toObject()["TransactionUid"].toString(), o.transactionUid);
    // Applying again changes nothing.
    const Commitments::Applied again = room.commitments().applyReports();
    QCOMPARE(again.reports, 0);
}

void TestCommitment::objectArchiveDoesNotHoldFails()
{
    Room room(2);
    QVERIFY(room.pacs->start());
    Receiver receiver(room.ts->paths(), room.receiverPort);
    QVERIFY(receiver.start());

    QList<Commitments::Item> items = room.send();
    QCOMPARE(items.size(), 2);
    const QString unknown = StoreFixture(*room.ts).newUid();
    items << Commitments::Item{items.first().sopClass, unknown, QString(), room.study.studyUid, false};
    const Commitments::Outcome o = room.commitments().request(room.destination(), StationAet, Quick, items, 0);
    QVERIFY2(o.accepted, qPrintable(o.problem));

    const Commitments::Summary s = room.awaitAnswered();
    QCOMPARE(s.text(), QStringLiteral("3 sent: 2 committed, 1 failed"));
    const QList<Commitments::Failure> failed = room.commitments().failures(room.study.studyUid);
    QCOMPARE(failed.size(), 1);
    QCOMPARE(failed[0].sopInstance, unknown);
    QCOMPARE(failed[0].destination, room.pacs->aet());
    QCOMPARE(failed[0].reason, QStringLiteral("0112H no such object instance"));

    // Sent again and asked anew, the object's earlier failure is replaced.
    const QList<Commitments::Item> again = {items.first()};
    const Commitments::Outcome o2 = room.commitments().request(room.destination(), StationAet, Quick, again, 0);
    QVERIFY(o2.accepted);
    QCOMPARE(room.commitments().transactionOf(items.first().sopInstance), o2.transactionUid);
    QVERIFY(peers::waitUntil(
        [&] {
            room.commitments().applyReports();
            return room.commitments().state(o2.transactionUid) == QLatin1String("reported");
        },
        20000));
    QCOMPARE(room.commitments().summary(room.study.studyUid).text(), QStringLiteral("3 sent: 2 committed, 1 failed"));
}

void TestCommitment::reportAfterRestartIsApplied()
{
    Room room(2);
    QVERIFY(room.pacs->start());
    // The receiver is down: Orthanc's report finds no one and its job fails.
    const QList<Commitments::Item> items = room.send();
    const Commitments::Outcome o = room.commitments().request(room.destination(), StationAet, Quick, items, 0);
    QVERIFY2(o.accepted, qPrintable(o.problem));
    QString jobId;
    QVERIFY(peers::waitUntil(
        [&] {
            const QJsonArray jobs = room.pacs->commitmentJobs();
            if (jobs.size() != 1 || jobs[0].toObject()["State"].toString() != QLatin1String("Failure"))
                return false;
            jobId = jobs[0].toObject()["ID"].toString();
            return true;
        },
        20000));
    QCOMPARE(room.commitments().state(o.transactionUid), QStringLiteral("requested"));
    QCOMPARE(room.commitments().summary(room.study.studyUid).committed, 0);

    // The station ends and starts again from its files; then the receiver comes up and the
    // archive sends its report again.
    room.ts.station.reset();
    room.ts.station = peers::openStation(room.ts.root(), room.ts.settingsFile(), room.ts.prompter);
    QCOMPARE(room.commitments().state(o.transactionUid), QStringLiteral("requested"));
    Receiver receiver(room.ts->paths(), room.receiverPort);
    QVERIFY(receiver.start());
    room.pacs->post(QStringLiteral("/jobs/%1/resubmit").arg(jobId));
    QVERIFY(peers::waitUntil([&] { return !room.reportFiles().isEmpty(); }, 20000));
    const Commitments::Applied applied = room.commitments().applyReports();
    QCOMPARE(applied.reports, 1);
    QCOMPARE(applied.committed.size(), 2);
    QCOMPARE(room.commitments().state(o.transactionUid), QStringLiteral("reported"));
    QCOMPARE(room.commitments().summary(room.study.studyUid).text(), QStringLiteral("2 sent: 2 committed"));
    QVERIFY(room.reportFiles().isEmpty());
}

void TestCommitment::imagesStayUntilCommitted()
{
    Room room(3);
    room.ts->settings().sentAndKeep = 0;
    QVERIFY(room.pacs->start());
    Receiver receiver(room.ts->paths(), room.receiverPort);
    QVERIFY(receiver.start());

    int removalsAtTransfer = 0;
    auto removeNow = [&](const QStringList &uids) {
        ++removalsAtTransfer;
        NoProgress none;
        StoreDeletion(room.ts->paths(), room.ts->log(), none).deleteImages(uids);
        return SendTransfer::Removed{true, false, 0};
    };
    const QList<Commitments::Item> items = room.send(removeNow);
    QCOMPARE(items.size(), 3);
    // Nothing went at the transfer: each image waits for its commitment.
    QCOMPARE(removalsAtTransfer, 0);
    QCOMPARE(storedImages(*room.ts, room.study.studyUid), 3);
    for (const Commitments::Item &i : items)
        QVERIFY(i.removeWhenCommitted);
    QVERIFY(room.progress.text.contains(QStringLiteral("removed once the destination has committed them")));

    // The archive loses one image before it is asked: that one fails.
    const QString lost = room.study.sopUids[1];
    QVERIFY(room.pacs->removeInstance(lost));
    const Commitments::Outcome o = room.commitments().request(room.destination(), StationAet, Quick, items, 0);
    QVERIFY2(o.accepted, qPrintable(o.problem));
    QCOMPARE(room.awaitAnswered().text(), QStringLiteral("3 sent: 2 committed, 1 failed"));

    // Removed through the send's removal, by SOP Instance UID: the committed ones only.
    QStringList asked;
    const int removed = room.commitments().removeCommitted([&](const QStringList &uids) {
        asked = uids;
        NoProgress none;
        StoreDeletion(room.ts->paths(), room.ts->log(), none).deleteImages(uids);
        return uids;
    });
    QCOMPARE(removed, 2);
    QCOMPARE(asked.size(), 2);
    QVERIFY(!asked.contains(lost));
    QCOMPARE(storedImages(*room.ts, room.study.studyUid), 1);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(QFileInfo::exists(room.study.files[i]), i == 1);
    // Done once: a second pass has nothing to remove.
    QCOMPARE(room.commitments().removeCommitted([](const QStringList &uids) { return uids; }), 0);
}

QTEST_MAIN(TestCommitment)
#include "test_commitment.moc"

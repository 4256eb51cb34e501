// Several rooms on one shared PostgreSQL database (a real server the test starts): the
// dose records of every room reach the registry once and in order, also across an outage
// of the server; the schema is made once when stations start together; changes of the
// shared configuration are refused while the server is away and reach the other rooms
// when it is back.
#include "CaptureTestKit.h"
#include "TestStation.h"
#include "core/AppError.h"
#include "core/Database.h"
#include "dicom/Dictionary.h"
#include "dose/DoseRecords.h"
#include "dose/DoseRegistry.h"
#include "dose/DoseState.h"
#include "dose/DosisFormQuery.h"
#include "dose/RegistryPanel.h"
#include "net/Destinations.h"
#include "peers/Ports.h"
#include "peers/PostgresServer.h"
#include "peers/StationFolder.h"
#include "store/Schema.h"

#include <QLabel>
#include <QSettings>
#include <QTest>
#include <latch>
#include <thread>

namespace {

const QByteArray Sq("\xB2", 1);

// One room's station on the shared database: its own folder, the HFE 501 at its line, a
// worklist patient chosen, and the registry's uploads running in the background.
struct Room {
    Room(const SharedDbSettings &shared, const QString &aet, bool withDatabases = true)
    {
        QSettings ini(dir.filePath("settings.ini"), QSettings::IniFormat);
        ini.setValue("Registry/Host", shared.host);
        ini.setValue("Registry/Port", shared.port);
        ini.setValue("Registry/Database", shared.database);
        ini.setValue("Registry/User", shared.user);
        ini.setValue("Registry/PassFile", shared.passFile);
        ini.setValue("Com/IR_AET", aet);
        ini.setValue("General/XrayComm", "5");
        ini.sync();
        station = peers::openStation(dir.path(), dir.filePath("settings.ini"), prompter, withDatabases);
        if (withDatabases) {
            records = std::make_unique<DoseRecords>(*station, state);
            panel = std::make_unique<RegistryPanel>(*station, state);
            applyWorklistPatient(state, aet + "-P1", "ANN", aet, "1960-01-01");
        }
    }
    // One exposure from the unit, stored for the worklist patient.
    void expose(int n)
    {
        QString text = QString::fromLatin1("%1.50cGyCm" + Sq + ";28kV;56mAs;W/Rh;350ms\r\n").arg(n);
        QCOMPARE(records->fill(text).outcome, DoseRecords::Outcome::Stored);
        state.notifyRecordsStored();
    }
    int waiting()
    {
        Database local = Database::openData(station->paths());
        return DoseRegistry::waiting(local);
    }
    // Lets the background round that runs end, and one more after it.
    void settle()
    {
        panel->waitIdle();
        QCoreApplication::processEvents();
        panel->runSoon();
        panel->waitIdle();
        QCoreApplication::processEvents();
    }

    QTemporaryDir dir;
    ScriptedPrompter prompter;
    std::unique_ptr<Station> station;
    DoseState state;
    std::unique_ptr<DoseRecords> records;
    std::unique_ptr<RegistryPanel> panel;
};

} // namespace

class TestRegistry : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void twoRoomsCaptureThroughAnOutage();
    void stationsStartingTogetherMakeTheSchemaOnce();
    void sharedConfigurationWhileTheServerIsAway();
    void uploadIsIdempotentAndKeepsChanges();
    void registryRowsNameOnlyTheirOwnRecord();
    void firstStationBringsItsConfiguration();

private:
    std::unique_ptr<peers::PostgresServer> server;
};

void TestRegistry::initTestCase()
{
    server = std::make_unique<peers::PostgresServer>();
    QVERIFY2(server->start(), qPrintable(server->error()));
}

void TestRegistry::twoRoomsCaptureThroughAnOutage()
{
    const SharedDbSettings site = server->createDatabase("capture");
    Room a(site, "ROOM_A");
    Room b(site, "ROOM_B");
    for (int i = 1; i <= 50; ++i) {
        if (i == 21) {
            // The server goes away for ten exposures of each room.
            a.settle();
            b.settle();
            server->stop();
        }
        if (i == 31) {
            a.settle();
            QCOMPARE(a.panel->label()->text(), QStringLiteral("Dose registry offline: 10 records waiting"));
            QVERIFY(!a.panel->label()->isHidden());
            QCOMPARE(a.waiting(), 10);
            QVERIFY2(server->start(), qPrintable(server->error()));
        }
        a.expose(i);
        b.expose(i);
        QCoreApplication::processEvents();
    }
    QVERIFY(peers::waitUntil(
        [&] {
            a.settle();
            b.settle();
            return a.waiting() == 0 && b.waiting() == 0;
        },
        30000));
    QCOMPARE(a.panel->label()->text(), QString());
    QVERIFY(a.panel->label()->isHidden());

    Database registry(site);
    QCOMPARE(registry.scalar("SELECT COUNT(*) FROM tblDosis").toInt(), 100);
    QCOMPARE(registry.scalar("SELECT COUNT(DISTINCT RecordUID) FROM tblDosis").toInt(), 100);
    for (const QString room : {"ROOM_A", "ROOM_B"}) {
        // Every exposure once, in the order it was made: the registry's own order follows
        // the room's image numbers 1 to 50.
        QSqlQuery q = registry.exec(
            "SELECT ImgNo, mGy1, FKeyPatID, WorklistPatID FROM tblDosis WHERE Room = ? ORDER BY ID", {room});
        int expected = 0;
        while (q.next()) {
            ++expected;
            QCOMPARE(q.value(0).toInt(), expected);
            QCOMPARE(q.value(1).toString(), QString("%1.50").arg(expected));
            QCOMPARE(q.value(3).toString(), room + "-P1");
        }
        QCOMPARE(expected, 50);
    }
}

void TestRegistry::stationsStartingTogetherMakeTheSchemaOnce()
{
    const SharedDbSettings site = server->createDatabase("together");
    Room a(site, "ROOM_A", false);
    Room b(site, "ROOM_B", false);
    std::latch go(2);
    QStringList problems;
    std::mutex m;
    auto start = [&](Room &r) {
        go.arrive_and_wait();
        try {
            Schema::ensureDatabases(r.station->paths());
            Schema::syncShared(r.station->paths());
        } catch (const std::exception &e) {
            std::lock_guard<std::mutex> lock(m);
            problems << QString::fromUtf8(e.what());
        }
    };
    std::thread ta(start, std::ref(a));
    std::thread tb(start, std::ref(b));
    ta.join();
    tb.join();
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
    Database db(site);
    QSqlQuery q = db.exec("SELECT Version, COUNT(*) FROM tblSchemaVersion GROUP BY Version ORDER BY Version");
    int version = 0;
    while (q.next()) {
        QCOMPARE(q.value(0).toInt(), ++version);
        QCOMPARE(q.value(1).toInt(), 1);
    }
    QCOMPARE(version, Schema::latestVersion());
    QCOMPARE(db.scalar("SELECT COUNT(*) FROM tblDictionary").toLongLong(), qint64(dicom::standardDictionary().size()));
    // A later start finds nothing to do.
    QCOMPARE(Schema::migrate(db), QList<int>{});
    // Both local copies hold the dictionary.
    for (Room *r : {&a, &b}) {
        Database local(r->station->paths().userDb());
        QCOMPARE(local.scalar("SELECT COUNT(*) FROM tblDictionary").toLongLong(),
                 qint64(dicom::standardDictionary().size()));
    }
}

void TestRegistry::sharedConfigurationWhileTheServerIsAway()
{
    const SharedDbSettings site = server->createDatabase("configuration");
    Room a(site, "ROOM_A");
    Room b(site, "ROOM_B");
    Destinations(*a.station).add("PACS", "ARCHIVE", "10.0.0.5", "104");
    a.settle(); // the local copy renewed after the change
    b.settle();

    server->stop();
    // Reads go on from the local copy, at once.
    QElapsedTimer t;
    t.start();
    const auto list = Destinations(*a.station).list();
    QCOMPARE(list.size(), size_t(1));
    QCOMPARE(list.front().alias, QStringLiteral("PACS"));
    // A change is refused with a message instead of being kept in one room only.
    try {
        Destinations(*a.station).add("SECOND", "ARCHIVE2", "10.0.0.6", "104");
        QFAIL("a change was taken while the server was away");
    } catch (const AppError &e) {
        QVERIFY2(e.description().startsWith(
                     QString("The shared configuration database %1 cannot be reached").arg(site.describe())),
                 qPrintable(e.description()));
        QVERIFY(e.description().contains("The change is not saved"));
    }
    QCOMPARE(Destinations(*a.station).list().size(), size_t(1));
    QVERIFY2(t.elapsed() < 3000, "the station waited for the server");

    QVERIFY2(server->start(), qPrintable(server->error()));
    // Back: the next try reaches the server (after the retry pause).
    a.station->paths().shared()->markOnline();
    Destinations(*a.station).add("SECOND", "ARCHIVE2", "10.0.0.6", "104");
    // The other room sees it, from the server and, after its next round, in its copy.
    b.station->paths().shared()->markOnline();
    QCOMPARE(Destinations(*b.station).list().size(), size_t(2));
    b.station->paths().shared()->configChanged = true;
    b.settle();
    Database copy(b.station->paths().userDb());
    QCOMPARE(copy.scalar("SELECT COUNT(*) FROM tblSCP").toInt(), 2);
}

void TestRegistry::uploadIsIdempotentAndKeepsChanges()
{
    const SharedDbSettings site = server->createDatabase("idempotent");
    Room a(site, "ROOM_A");
    a.panel.reset(); // uploads by hand here
    a.expose(1);
    a.expose(2);
    Database local = Database::openData(a.station->paths());
    // A change of a record (assigned to a store patient) follows the record.
    local.exec("UPDATE tblDosis SET Status = '1', FKeyPatID = 'STORE-1' WHERE ImgNo = 1");
    QCOMPARE(DoseRegistry::waiting(local), 3);
    // The same batch twice, as after a failure between the server's commit and the
    // outbox's: nothing doubles.
    const QString select = "SELECT * FROM tblRegistryOutbox";
    Database registry(site);
    {
        // Keep a copy of the outbox to put back.
        local.exec("CREATE TABLE keep AS " + select);
    }
    QCOMPARE(DoseRegistry::upload(local, registry, "ROOM_A").sent, 3);
    local.exec("INSERT INTO tblRegistryOutbox SELECT * FROM keep");
    const DoseRegistry::Upload again = DoseRegistry::upload(local, registry, "ROOM_A", 2);
    QCOMPARE(again.sent, 3);
    QCOMPARE(again.waiting, 0);
    QCOMPARE(registry.scalar("SELECT COUNT(*) FROM tblDosis").toInt(), 2);
    QCOMPARE(registry.scalar("SELECT FKeyPatID FROM tblDosis WHERE ImgNo = 1").toString(), QString("STORE-1"));
    QCOMPARE(registry.scalar("SELECT Status FROM tblDosis WHERE ImgNo = 1").toString(), QString("1"));
    QCOMPARE(registry.scalar("SELECT Room FROM tblDosis WHERE ImgNo = 2").toString(), QString("ROOM_A"));
}

void TestRegistry::registryRowsNameOnlyTheirOwnRecord()
{
    const SharedDbSettings site = server->createDatabase("browser");
    Room a(site, "ROOM_A");
    a.panel.reset();
    a.expose(1);
    QCOMPARE(DoseRegistry::uploadWaiting(a.station->paths(), "ROOM_A").sent, 1);
    {
        // A fresh data database: the room's numbers begin again.
        Database local = Database::openData(a.station->paths());
        local.exec("DELETE FROM tblDosis");
        local.resetAutoKeys();
    }
    a.expose(2);
    const auto rows = DosisFormQuery::search(*a.station, QString(), QString(), std::nullopt);
    QVERIFY(DosisFormQuery::readsRegistry(*a.station));
    QCOMPARE(rows.size(), size_t(2));
    // Both carry number 1 of ROOM_A; only today's record of this room's list can be set free.
    QCOMPARE(rows[0].cells.value(0), QString("1"));
    QCOMPARE(rows[1].cells.value(0), QString("1"));
    int settable = 0;
    for (const DosisBrowserRow &r : rows) {
        QCOMPARE(r.room, QString("ROOM_A"));
        if (r.localId != 0) {
            ++settable;
            Database local = Database::openData(a.station->paths());
            QCOMPARE(local.scalar("SELECT RecordUID FROM tblDosis WHERE ID = ?", {r.localId}).toString(), r.recordUid);
        }
    }
    QCOMPARE(settable, 1);
}

void TestRegistry::firstStationBringsItsConfiguration()
{
    // A room that worked alone, with its destinations, joins a site whose server is new.
    QTemporaryDir dir;
    ScriptedPrompter prompter;
    const QString ini = dir.filePath("settings.ini");
    auto station = peers::openStation(dir.path(), ini, prompter);
    Destinations(*station).add("PACS", "ARCHIVE", "10.0.0.5", "104");
    const qint64 second = Destinations(*station).add("REGISTRY", "DOSE", "10.0.0.7", "104");
    const SharedDbSettings site = server->createDatabase("joining");
    {
        QSettings s(ini, QSettings::IniFormat);
        s.setValue("Registry/Host", site.host);
        s.setValue("Registry/Port", site.port);
        s.setValue("Registry/Database", site.database);
        s.setValue("Registry/User", site.user);
        s.setValue("Registry/PassFile", site.passFile);
    }
    station->loadSettings();
    QVERIFY(station->paths().shared());
    Schema::syncShared(station->paths());
    Database server(site);
    QCOMPARE(server.scalar("SELECT COUNT(*) FROM tblSCP").toInt(), 2);
    QCOMPARE(server.scalar("SELECT AET FROM tblSCP WHERE ID = ?", {second}).toString(), QString("DOSE"));
    // The server's own keys go on after the ones brought along.
    const qint64 third = Destinations(*station).add("THIRD", "AE3", "10.0.0.8", "104");
    QVERIFY(third > second);
    QCOMPARE(server.scalar("SELECT COUNT(*) FROM tblSCP").toInt(), 3);
}

QTEST_MAIN(TestRegistry)
#include "test_registry.moc"

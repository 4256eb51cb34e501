// The dose registry's throughput: dose records per second from a room's outbox into the
// site's PostgreSQL database (a private server started here), against the same records
// into a SQLite file that plays the registry, in the same run.
#include "BenchSupport.h"
#include "TestStation.h"
#include "core/Database.h"
#include "dose/DoseRegistry.h"
#include "peers/PostgresServer.h"
#include "store/Schema.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QUuid>
#include <cstdio>

namespace {

const QStringList Measures = {QStringLiteral("registry_insert_per_s")};
constexpr int Records = 5000;

// A room's outbox with n records waiting, as the capture leaves them.
void fillOutbox(const StationPaths &paths, int n)
{
    Database db = Database::openData(paths);
    Transaction t(db);
    QList<QVariantList> rows;
    for (int i = 0; i < n; ++i)
        rows.append({QStringLiteral("ANN"), QStringLiteral("DOE%1").arg(i / 4), QStringLiteral("1960-01-01"),
                     QStringLiteral("%1.50").arg(i % 90), QStringLiteral("28"), QStringLiteral("56"),
                     QStringLiteral("350"), QStringLiteral("2026-12-10"), QStringLiteral("09:00:00"),
                     QStringLiteral("0"), QStringLiteral("BREAST"), i % 4 + 1, 5, QStringLiteral("P%1").arg(i / 4),
                     QStringLiteral("2.25.%1").arg(QUuid::createUuid().toString(QUuid::Id128)),
                     QStringLiteral("ROOM_A")});
    db.execRows(QStringLiteral("INSERT INTO tblDosis (PatFirstname, PatLastname, PatBirthdate, mGy1, mGy2, mGy3,"
                               " expTime, \"Date\", \"Time\", Status, Bodypart, ImgNo, XrayComm, WorklistPatID,"
                               " RecordUID, Room) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
                rows);
    t.commit();
}

double uploadRate(Database &registry)
{
    TestStation ts;
    fillOutbox(ts->paths(), Records);
    Database local = Database::openData(ts->paths());
    QElapsedTimer t;
    t.start();
    const DoseRegistry::Upload u = DoseRegistry::upload(local, registry, QStringLiteral("ROOM_A"));
    const double seconds = t.nsecsElapsed() / 1e9;
    if (u.sent != Records || u.waiting != 0)
        qFatal("upload sent %d, %d waiting: %s", u.sent, u.waiting, qPrintable(u.problem));
    return u.sent / seconds;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int exitCode = 0;
    const std::optional<QStringList> asked = wantedMeasures(app.arguments().mid(1), Measures, &exitCode);
    if (!asked)
        return exitCode;
    if (asked->contains(QStringLiteral("registry_insert_per_s"))) {
        QTemporaryDir dir;
        Database file(dir.filePath(QStringLiteral("registry.dat")), true);
        Schema::migrate(file, true);
        const double sqlite = uploadRate(file);

        peers::PostgresServer server;
        if (!server.start())
            qFatal("PostgreSQL: %s", qPrintable(server.error()));
        Database pg(server.createDatabase(QStringLiteral("registry")));
        Schema::migrate(pg);
        const double postgres = uploadRate(pg);
        std::printf("BENCH registry_insert_per_s %.1f records/s baseline=%.1f ratio=%.3f\n", postgres, sqlite,
                    postgres / sqlite);
        std::fflush(stdout);
    }
    return 0;
}

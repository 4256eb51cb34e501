#include "dose/DoseRegistry.h"
#include "core/AppError.h"
#include "core/Database.h"
#include "core/StationPaths.h"
#include "store/Schema.h"

#include <QDateTime>

namespace DoseRegistry {

int waiting(Database &local) { return local.scalar(QStringLiteral("SELECT COUNT(*) FROM tblRegistryOutbox")).toInt(); }

Upload upload(Database &local, Database &registry, const QString &ownRoom, int batch)
{
    const QStringList columns = Schema::doseRecordColumns();
    const int roomAt = int(columns.indexOf(QStringLiteral("Room")));
    QStringList marks{QStringLiteral("?"), QStringLiteral("?")};
    QStringList updates{QStringLiteral("LocalID = excluded.LocalID"),
                        QStringLiteral("UploadedAt = excluded.UploadedAt")};
    for (const QString &c : columns) {
        marks << QStringLiteral("?");
        if (c != QLatin1String("RecordUID"))
            updates << c + QStringLiteral(" = excluded.") + c;
    }
    const QString upsert = QStringLiteral("INSERT INTO tblDosis (LocalID, UploadedAt, %1) VALUES (%2)"
                                          " ON CONFLICT (RecordUID) DO UPDATE SET %3")
                               .arg(columns.join(QStringLiteral(", ")), marks.join(QStringLiteral(", ")),
                                    updates.join(QStringLiteral(", ")));
    const QString select = QStringLiteral("SELECT Seq, LocalID, %1 FROM tblRegistryOutbox ORDER BY Seq LIMIT ?")
                               .arg(columns.join(QStringLiteral(", ")));
    Upload r;
    try {
        for (;;) {
            QList<QVariantList> rows;
            qint64 lastSeq = 0;
            {
                QSqlQuery q = local.exec(select, {batch});
                const QString now = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
                while (q.next()) {
                    lastSeq = q.value(0).toLongLong();
                    QVariantList row{q.value(1), now};
                    for (int i = 0; i < columns.size(); ++i)
                        row << q.value(i + 2);
                    if (row[roomAt + 2].toString().isEmpty())
                        row[roomAt + 2] = ownRoom;
                    rows << row;
                }
            }
            if (rows.isEmpty())
                break;
            Transaction t(registry);
            registry.execRows(upsert, rows);
            t.commit();
            // Gone to the registry: a failure from here on sends the same batch again,
            // which changes nothing there.
            local.exec(QStringLiteral("DELETE FROM tblRegistryOutbox WHERE Seq <= ?"), {lastSeq});
            r.sent += int(rows.size());
        }
    } catch (const AppError &e) {
        r.problem = e.description();
    }
    r.waiting = waiting(local);
    return r;
}

Upload uploadWaiting(const StationPaths &paths, const QString &ownRoom)
{
    Database local = Database::openData(paths);
    if (!paths.shared()) {
        // A room without a registry keeps no queue for one.
        local.exec(QStringLiteral("DELETE FROM tblRegistryOutbox"));
        return {};
    }
    // Tried every round, also with nothing waiting: a success is what tells the window's
    // reads that the server is back, so that they never wait for it themselves.
    const int before = waiting(local);
    try {
        Database registry = Database::openShared(paths);
        return upload(local, registry, ownRoom);
    } catch (const AppError &e) {
        return {0, before, e.description()};
    }
}

QString statusText(bool offline, int waiting)
{
    if (!offline)
        return {};
    return QStringLiteral("Dose registry offline: %1 records waiting").arg(waiting);
}

} // namespace DoseRegistry

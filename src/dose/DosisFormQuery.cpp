#include "dose/DosisFormQuery.h"

#include "core/AppError.h"
#include "core/Database.h"
#include "core/DateText.h"
#include "core/Station.h"
#include "dose/DoseRegistry.h"

#include <QHash>

namespace DosisFormQuery {

QString likePattern(const QString &typed)
{
    QString out;
    out.reserve(typed.size());
    for (QChar c : typed) {
        if (c == QLatin1Char('*'))
            out += QLatin1Char('%');
        else if (c == QLatin1Char('%') || c == QLatin1Char('_') || c == QLatin1Char('\\'))
            out += QLatin1Char('\\') + QString(c);
        else
            out += c;
    }
    return out;
}

namespace {

// The database the browser reads: the site's registry when there is one and it answers
// (what this room has waiting goes there first), else this room's own records.
Database openRecords(Station &station, bool *registry)
{
    *registry = false;
    const StationPaths &paths = station.paths();
    if (paths.shared() && paths.shared()->mayTry()) {
        try {
            DoseRegistry::uploadWaiting(paths, stationAet(station.settings()));
            Database db = Database::openShared(paths);
            *registry = true;
            return db;
        } catch (const AppError &) {
            // away: this room's records
        }
    }
    return Database::openData(paths);
}

// The room of a record: older records of this room have none.
QString roomColumn(bool registry)
{
    return registry ? QStringLiteral("Room") : QStringLiteral("COALESCE(NULLIF(Room, ''), ?)");
}

} // namespace

bool readsRegistry(Station &station) { return station.paths().shared() && !station.paths().shared()->offline(); }

std::vector<DosisBrowserRow> search(Station &station, const QString &idPattern, const QString &namePattern,
                                    const std::optional<QDate> &day, const QString &room)
{
    bool registry = false;
    Database db = openRecords(station, &registry);
    const QString own = stationAet(station.settings());
    // What capture and assignment write (the worklist name, "Date", "Time"), with the
    // older columns first where a record holds them.
    const QString name = QStringLiteral(
        "COALESCE(NULLIF(Patname, ''), COALESCE(PatLastname, '') || ', ' || COALESCE(PatFirstname, ''))");
    const QString select =
        QStringLiteral("SELECT %1 AS ID, %2 AS Patname, COALESCE(NULLIF(Datum, ''), \"Date\") AS Datum,"
                       " COALESCE(NULLIF(Zeit, ''), \"Time\") AS Zeit, Sonstiges, %3 AS Room, RecordUID"
                       " FROM tblDosis")
            .arg(registry ? QStringLiteral("LocalID") : QStringLiteral("ID"), name, roomColumn(registry));
    QVariantList binds;
    if (!registry)
        binds << own;
    QStringList where;
    if (!idPattern.isEmpty()) {
        where << QStringLiteral("FKeyPatID LIKE ? ESCAPE '\\'");
        binds << likePattern(idPattern);
    } else if (!namePattern.isEmpty()) {
        // The name as the store shows it ("Last, First"), as the worklist wrote it, or
        // either part alone.
        where << QStringLiteral("(Patname LIKE ? ESCAPE '\\' OR (COALESCE(PatLastname, '') || ', ' ||"
                                " COALESCE(PatFirstname, '')) LIKE ? ESCAPE '\\' OR PatLastname LIKE ? ESCAPE '\\'"
                                " OR PatFirstname LIKE ? ESCAPE '\\')");
        const QString p = likePattern(namePattern);
        binds << p << p << p << p;
    } else if (day) {
        where << QStringLiteral("(Datum = ? OR \"Date\" = ?)");
        binds << DateText::date(*day) << DateText::date(*day);
    }
    if (!room.isEmpty()) {
        where << roomColumn(registry) + QStringLiteral(" = ?");
        if (!registry)
            binds << own;
        binds << room;
    }
    QString sql = select;
    if (!where.isEmpty())
        sql += QStringLiteral(" WHERE ") + where.join(QStringLiteral(" AND "));
    sql += registry ? QStringLiteral(" ORDER BY Room, LocalID") : QStringLiteral(" ORDER BY ID");

    QSqlQuery q = db.exec(sql, binds);
    std::vector<DosisBrowserRow> rows;
    while (q.next()) {
        DosisBrowserRow r;
        r.id = q.value(0).toLongLong();
        r.room = textOf(q, "Room");
        r.recordUid = textOf(q, "RecordUID");
        if (!registry && r.room == own)
            r.localId = r.id;
        r.cells = QStringList{QString::number(r.id), textOf(q, "Patname"),   textOf(q, "Datum"),
                              textOf(q, "Zeit"),     textOf(q, "Sonstiges"), r.room};
        rows.push_back(std::move(r));
    }
    if (registry) {
        // This room's records as its own list holds them now, by their UIDs: a registry
        // row whose record this room's list no longer holds (emptied meanwhile, its numbers
        // begun again) must never name a record of today.
        QHash<QString, qint64> local;
        Database data = Database::openData(station.paths());
        QSqlQuery l = data.exec(QStringLiteral("SELECT ID, RecordUID FROM tblDosis WHERE RecordUID IS NOT NULL"));
        while (l.next())
            local.insert(l.value(1).toString(), l.value(0).toLongLong());
        for (DosisBrowserRow &r : rows)
            if (r.room == own && !r.recordUid.isEmpty())
                r.localId = local.value(r.recordUid, 0);
    }
    return rows;
}

QStringList rooms(Station &station)
{
    bool registry = false;
    Database db = openRecords(station, &registry);
    QVariantList binds;
    if (!registry)
        binds << stationAet(station.settings());
    QSqlQuery q = db.exec(
        QStringLiteral("SELECT DISTINCT %1 AS Room FROM tblDosis ORDER BY Room").arg(roomColumn(registry)), binds);
    QStringList out;
    while (q.next())
        if (!q.value(0).toString().isEmpty())
            out << q.value(0).toString();
    return out;
}

} // namespace DosisFormQuery

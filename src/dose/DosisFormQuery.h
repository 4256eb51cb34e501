#pragma once
#include <QDate>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

class Station;

// One row of the dose browser: ID, Patname, Datum, Zeit, Sonstiges, Room. The ID is the
// record's number in its own room.
struct DosisBrowserRow {
    qint64 id = 0;
    QStringList cells;
    QString room;
    QString recordUid;
    // The record in this room's own list; 0 when it is another room's or no longer there
    // (only then can it not be set free here).
    qint64 localId = 0;
};

// The dose browser's searches over every dose record, whatever its status.
namespace DosisFormQuery {

// A typed pattern as a LIKE pattern: "*" is the wildcard, everything else matches
// itself (SQL's own wildcards are escaped with "\").
QString likePattern(const QString &typed);

// The patient-ID pattern wins over the name pattern; with neither, the records of the
// given day (nullopt: every record); only those of the room when one is given. With a
// shared database the whole site's records (this room's waiting ones sent first); while
// it is away this room's own. Throws AppError on a database failure.
std::vector<DosisBrowserRow> search(Station &station, const QString &idPattern, const QString &namePattern,
                                    const std::optional<QDate> &day, const QString &room = QString());

// The rooms that have records, for the browser's room filter.
QStringList rooms(Station &station);

// True when the last search read the site's registry (false: this room's records only).
bool readsRegistry(Station &station);

} // namespace DosisFormQuery

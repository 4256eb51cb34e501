#pragma once
#include <QDate>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

class Station;

// One row of the dose browser: ID, Patname, Datum, Zeit, Sonstiges.
struct DosisBrowserRow {
    qint64 id = 0;
    QStringList cells;
};

// The dose browser's searches over every dose record, whatever its status.
namespace DosisFormQuery {

// A typed pattern as a LIKE pattern: "*" is the wildcard, everything else matches
// itself (SQL's own wildcards are escaped with "\").
QString likePattern(const QString &typed);

// The patient-ID pattern wins over the name pattern; with neither, the records of the
// given day (nullopt: every record). Throws AppError on a database failure.
std::vector<DosisBrowserRow> search(Station &station, const QString &idPattern, const QString &namePattern,
                                    const std::optional<QDate> &day);

} // namespace DosisFormQuery

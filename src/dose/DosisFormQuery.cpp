#include "dose/DosisFormQuery.h"

#include "core/Database.h"
#include "core/DateText.h"
#include "core/Station.h"

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

std::vector<DosisBrowserRow> search(Station &station, const QString &idPattern, const QString &namePattern,
                                    const std::optional<QDate> &day)
{
    // What capture and assignment write (the worklist name, "Date", "Time"), with the
    // older columns first where a record holds them.
    const QString name = QStringLiteral(
        "COALESCE(NULLIF(Patname, ''), COALESCE(PatLastname, '') || ', ' || COALESCE(PatFirstname, ''))");
    const QString select = QStringLiteral("SELECT ID, %1 AS Patname, COALESCE(NULLIF(Datum, ''), \"Date\") AS Datum,"
                                          " COALESCE(NULLIF(Zeit, ''), \"Time\") AS Zeit, Sonstiges FROM tblDosis")
                               .arg(name);
    QString sql;
    QVariantList binds;
    if (!idPattern.isEmpty()) {
        sql = select + QStringLiteral(" WHERE FKeyPatID LIKE ? ESCAPE '\\'");
        binds << likePattern(idPattern);
    } else if (!namePattern.isEmpty()) {
        // The name as the store shows it ("Last, First"), as the worklist wrote it, or
        // either part alone.
        sql = select
              + QStringLiteral(" WHERE Patname LIKE ? ESCAPE '\\' OR (COALESCE(PatLastname, '') || ', ' ||"
                               " COALESCE(PatFirstname, '')) LIKE ? ESCAPE '\\' OR PatLastname LIKE ? ESCAPE '\\'"
                               " OR PatFirstname LIKE ? ESCAPE '\\'");
        const QString p = likePattern(namePattern);
        binds << p << p << p << p;
    } else if (day) {
        sql = select + QStringLiteral(" WHERE Datum = ? OR \"Date\" = ?");
        binds << DateText::date(*day) << DateText::date(*day);
    } else {
        sql = select;
    }
    sql += QStringLiteral(" ORDER BY ID");

    Database db = Database::openData(station.paths());
    QSqlQuery q = db.exec(sql, binds);
    std::vector<DosisBrowserRow> rows;
    while (q.next()) {
        DosisBrowserRow r;
        r.id = q.value(0).toLongLong();
        r.cells = QStringList{QString::number(r.id), textOf(q, "Patname"), textOf(q, "Datum"), textOf(q, "Zeit"),
                              textOf(q, "Sonstiges")};
        rows.push_back(std::move(r));
    }
    return rows;
}

} // namespace DosisFormQuery

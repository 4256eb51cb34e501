#include "dose/DosisFormQuery.h"

#include "core/DateText.h"
#include "core/Station.h"
#include "core/Database.h"

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
    const QString select = QStringLiteral("SELECT ID, Patname, Datum, Zeit, Sonstiges FROM tblDosis");
    QString sql;
    QVariantList binds;
    if (!idPattern.isEmpty()) {
        sql = select + QStringLiteral(" WHERE FKeyPatID LIKE ? ESCAPE '\\'");
        binds << likePattern(idPattern);
    } else if (!namePattern.isEmpty()) {
        sql = select + QStringLiteral(" WHERE Patname LIKE ? ESCAPE '\\'");
        binds << likePattern(namePattern);
    } else if (day) {
        sql = select + QStringLiteral(" WHERE Datum = ?");
        binds << DateText::date(*day);
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

#include "edit/DictionaryTable.h"
#include "core/Database.h"

#include <QRegularExpression>

DictionaryTable::DictionaryTable(const StationPaths &paths) : m_paths(paths) {}

QString DictionaryTable::padHex(const QString &text)
{
    const QString t = text.trimmed().toUpper();
    return t.size() >= 4 ? t : t.rightJustified(4, QLatin1Char('0'));
}

bool DictionaryTable::isHexPart(const QString &text)
{
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{1,4}$"));
    return hex.match(text.trimmed()).hasMatch();
}

bool DictionaryTable::isVr(const QString &text)
{
    static const QRegularExpression vr(QStringLiteral("^[A-Z]{2}$"));
    return vr.match(text.trimmed().toUpper()).hasMatch();
}

std::vector<DictionaryTable::Row> DictionaryTable::rows() const
{
    Database db = Database::openUser(m_paths);
    QSqlQuery q =
        db.exec(QStringLiteral("SELECT \"Index\", Tag, Type, Description, Visible FROM tblDictionary ORDER BY Tag"));
    std::vector<Row> out;
    while (q.next())
        out.push_back({q.value(0).toLongLong(), q.value(1).toString(), q.value(2).toString(), q.value(3).toString(),
                       q.value(4).toInt() != 0});
    return out;
}

void DictionaryTable::setVisible(const QList<std::pair<qint64, bool>> &changes)
{
    Database db = Database::openUser(m_paths);
    Transaction t(db);
    for (const auto &[index, visible] : changes)
        db.exec(QStringLiteral("UPDATE tblDictionary SET Visible = ? WHERE \"Index\" = ?"), {visible ? -1 : 0, index});
    t.commit();
}

void DictionaryTable::remove(qint64 index)
{
    Database db = Database::openUser(m_paths);
    db.exec(QStringLiteral("DELETE FROM tblDictionary WHERE \"Index\" = ?"), {index});
}

DictionaryTable::AddResult DictionaryTable::add(const NewTag &tag)
{
    if (!isHexPart(tag.group) || !isHexPart(tag.element))
        return AddResult::BadTag;
    if (!isVr(tag.vr))
        return AddResult::BadVr;
    const QString text = padHex(tag.group) + QLatin1Char(',') + padHex(tag.element);
    Database db = Database::openUser(m_paths);
    Transaction t(db, Transaction::Write);
    if (db.scalar(QStringLiteral("SELECT COUNT(*) AS Anzahl FROM tblDictionary WHERE Tag = ?"), {text}).toLongLong()
        > 0)
        return AddResult::Exists;
    db.exec(QStringLiteral("INSERT INTO tblDictionary (Tag, Type, Description, Visible) VALUES (?, ?, ?, ?)"),
            {text, tag.vr.trimmed().toUpper(), tag.description, tag.visible ? -1 : 0});
    t.commit();
    return AddResult::Added;
}

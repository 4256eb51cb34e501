#include "edit/ModalityFilters.h"
#include "core/AppError.h"
#include "core/Database.h"

#include <QRegularExpression>

ModalityFilters::ModalityFilters(const StationPaths &paths) : m_paths(paths) {}

const QStringList &ModalityFilters::fixedColumns()
{
    static const QStringList columns{QStringLiteral("INDEX"), QStringLiteral("TAG"), QStringLiteral("TYPE"),
                                     QStringLiteral("DESCRIPTION"), QStringLiteral("VISIBLE")};
    return columns;
}

QString ModalityFilters::nameProblem(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Z][A-Z0-9_]{0,29}$"));
    if (fixedColumns().contains(name.toUpper()))
        return QStringLiteral("\"%1\" is a column of the dictionary and cannot name a filter.").arg(name);
    if (!pattern.match(name).hasMatch())
        return QStringLiteral("\"%1\" is not a valid filter name: use a letter followed by up to 29 letters, "
                              "digits or underscores (A-Z, 0-9, _).")
            .arg(name.left(40));
    return {};
}

bool ModalityFilters::isValidName(const QString &name) { return nameProblem(name).isEmpty(); }

QStringList ModalityFilters::names() const
{
    Database db = Database::openUser(m_paths);
    QSqlQuery q = db.exec(QStringLiteral("SELECT Modality FROM tblModality ORDER BY Modality"));
    QStringList out;
    while (q.next())
        out << q.value(0).toString();
    return out;
}

bool ModalityFilters::exists(const QString &name) const
{
    Database db = Database::openUser(m_paths);
    return db.scalar(QStringLiteral("SELECT COUNT(Modality) AS ModCount FROM tblModality WHERE Modality = ?"), {name})
               .toLongLong()
           > 0;
}

QString ModalityFilters::column(const QString &name) const
{
    if (!isValidName(name) || !exists(name))
        throw AppError(ErrorNo::BadInput,
                       QStringLiteral("\"%1\" is not a filter of the dictionary").arg(name.left(40)));
    return QLatin1Char('"') + name + QLatin1Char('"');
}

bool ModalityFilters::create(const QString &name)
{
    if (const QString problem = nameProblem(name); !problem.isEmpty())
        throw AppError(ErrorNo::BadInput, problem);
    Database db = Database::openUser(m_paths);
    Transaction t(db, Transaction::Write);
    if (db.scalar(QStringLiteral("SELECT COUNT(Modality) AS ModCount FROM tblModality WHERE Modality = ?"), {name})
            .toLongLong()
        > 0)
        return false;
    db.exec(QStringLiteral("INSERT INTO tblModality (Modality) VALUES (?)"), {name});
    // A plain added column would hold NULL for every existing tag, and "= 0" finds none.
    db.exec(QStringLiteral("ALTER TABLE tblDictionary ADD \"%1\" INTEGER NOT NULL DEFAULT 0").arg(name));
    t.commit();
    return true;
}

void ModalityFilters::remove(const QString &name)
{
    const QString col = column(name);
    Database db = Database::openUser(m_paths);
    Transaction t(db, Transaction::Write);
    db.exec(QStringLiteral("DELETE FROM tblModality WHERE Modality = ?"), {name});
    db.exec(QStringLiteral("ALTER TABLE tblDictionary DROP COLUMN %1").arg(col));
    t.commit();
}

std::vector<DictionaryTag> ModalityFilters::select(const QString &name, const QString &where) const
{
    const QString col = column(name);
    Database db = Database::openUser(m_paths);
    QSqlQuery q = db.exec(QStringLiteral("SELECT \"Index\", Tag, Description FROM tblDictionary WHERE ")
                          + where.arg(col) + QStringLiteral(" ORDER BY \"Index\""));
    std::vector<DictionaryTag> out;
    while (q.next())
        out.push_back({q.value(0).toLongLong(), q.value(1).toString(), q.value(2).toString()});
    return out;
}

std::vector<DictionaryTag> ModalityFilters::tags(const QString &name) const
{
    return select(name, QStringLiteral("%1 = -1"));
}

std::vector<DictionaryTag> ModalityFilters::candidates(const QString &name) const
{
    return select(name, QStringLiteral("%1 = 0 AND Visible = -1"));
}

void ModalityFilters::addTags(const QString &name, const QStringList &tags)
{
    const QString col = column(name);
    Database db = Database::openUser(m_paths);
    Transaction t(db);
    for (const QString &tag : tags)
        db.exec(QStringLiteral("UPDATE tblDictionary SET %1 = -1 WHERE Tag = ?").arg(col), {tag});
    t.commit();
}

void ModalityFilters::removeTags(const QString &name, const QList<qint64> &indexes)
{
    const QString col = column(name);
    Database db = Database::openUser(m_paths);
    Transaction t(db);
    for (qint64 index : indexes)
        db.exec(QStringLiteral("UPDATE tblDictionary SET %1 = 0 WHERE \"Index\" = ?").arg(col), {index});
    t.commit();
}

FilterSet ModalityFilters::filterSet(const QString &name) const
{
    FilterSet out;
    if (name.isEmpty())
        return out;
    for (const DictionaryTag &t : tags(name))
        out.push_back({t.tag, t.description});
    return out;
}

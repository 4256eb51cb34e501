#pragma once
#include <QString>
#include <QStringList>
#include <vector>

class StationPaths;

// One element of a filter set: tag text ("0020,000D") and its description.
struct FilterEntry {
    QString tag;
    QString description;
    friend bool operator==(const FilterEntry &, const FilterEntry &) = default;
};
// The active filter's elements in the order the dictionary gives them.
using FilterSet = std::vector<FilterEntry>;

// A row of the dictionary as the filter lists show it.
struct DictionaryTag {
    qint64 index = 0;
    QString tag;
    QString description;
};

// The modality filters: their names in tblModality and one yes/no column of that name
// in tblDictionary each (-1 = the tag belongs to the filter). A filter name becomes a
// column name, so it is checked before it reaches any statement, quoted there, and only
// names listed in tblModality are ever used as columns (Filter\Active comes from a
// settings file anybody can edit).
class ModalityFilters {
public:
    explicit ModalityFilters(const StationPaths &paths);

    // A letter followed by up to 29 letters, digits or underscores, upper case, and not
    // one of the dictionary's own columns.
    static bool isValidName(const QString &name);
    // Why a name is refused, as the operator reads it; empty for a valid name.
    static QString nameProblem(const QString &name);
    static const QStringList &fixedColumns();

    // Filter names, sorted.
    QStringList names() const;
    bool exists(const QString &name) const;
    // Adds the name and its column (NOT NULL DEFAULT 0) together. False when the filter
    // exists already. Throws AppError for a refused name.
    bool create(const QString &name);
    // Removes the name and drops its column together.
    void remove(const QString &name);

    // The tags of a filter (LoadModFilter, the Filter tab's list).
    std::vector<DictionaryTag> tags(const QString &name) const;
    // The visible tags not in the filter yet (the add-tag dialog).
    std::vector<DictionaryTag> candidates(const QString &name) const;
    void addTags(const QString &name, const QStringList &tags);
    void removeTags(const QString &name, const QList<qint64> &indexes);

    // The filter set of the named filter; empty for the empty name. Throws AppError when
    // the name is not a filter of the dictionary.
    FilterSet filterSet(const QString &name) const;

private:
    // The quoted column of a filter that exists; throws otherwise.
    QString column(const QString &name) const;
    std::vector<DictionaryTag> select(const QString &name, const QString &where) const;

    const StationPaths &m_paths;
};

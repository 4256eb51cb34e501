#pragma once
#include "edit/ModalityFilters.h"

#include <QObject>
#include <QString>

// What the header list shares with the task editor: the active filter set and the
// element picked in the list.
class HeaderState : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    const FilterSet &filterSet() const { return m_filterSet; }
    void setFilterSet(FilterSet set)
    {
        m_filterSet = std::move(set);
        emit filterSetChanged();
    }

    // A row of the header list was clicked.
    void selectElement(const QString &tag, const QString &description, const QString &value)
    {
        emit elementSelected(tag, description, value);
    }

    // The three instance UIDs: an edit of them always gives a new UID.
    static bool isInstanceUid(const QString &tag)
    {
        return tag == QLatin1String("0008,0018") || tag == QLatin1String("0020,000D")
               || tag == QLatin1String("0020,000E");
    }

signals:
    void filterSetChanged();
    void elementSelected(const QString &tag, const QString &description, const QString &value);

private:
    FilterSet m_filterSet;
};

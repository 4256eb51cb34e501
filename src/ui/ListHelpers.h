#pragma once
#include <QList>
#include <QStringList>
#include <QTreeWidgetItem>

class QTreeWidget;
class QWidget;

namespace ListHelpers {

// A report-view list as the station's lists look: named, no tree decoration, whole rows
// selected one at a time, context menu requests sent, the last column stretched. No
// headers hides the header.
QTreeWidget *reportList(const QString &name, const QStringList &headers, QWidget *parent = nullptr);

// Sets starting column widths (the last column stretches).
void setColumnWidths(QTreeWidget *list, const QList<int> &widths);

} // namespace ListHelpers

// A row whose given columns sort as numbers when both sides read as numbers.
class NumericSortItem : public QTreeWidgetItem {
public:
    NumericSortItem(QTreeWidget *list, const QStringList &texts, QList<int> numericColumns);
    explicit NumericSortItem(const QStringList &texts, QList<int> numericColumns);
    bool operator<(const QTreeWidgetItem &other) const override;

private:
    QList<int> m_numeric;
};

// Painting frozen and sorting off while a list fills; painting back on when it is done
// (the caller turns sorting on with the order it wants).
class ListFill {
public:
    explicit ListFill(QTreeWidget *list);
    ~ListFill();
    ListFill(const ListFill &) = delete;
    ListFill &operator=(const ListFill &) = delete;

private:
    QTreeWidget *m_list;
};

#include "ui/ListHelpers.h"

#include <QHeaderView>
#include <QTreeWidget>

namespace ListHelpers {

QTreeWidget *reportList(const QString &name, const QStringList &headers, QWidget *parent)
{
    auto *lv = new QTreeWidget(parent);
    lv->setObjectName(name);
    lv->setRootIsDecorated(false);
    lv->setUniformRowHeights(true);
    lv->setAllColumnsShowFocus(true);
    lv->setSelectionMode(QAbstractItemView::SingleSelection);
    lv->setSelectionBehavior(QAbstractItemView::SelectRows);
    lv->setContextMenuPolicy(Qt::CustomContextMenu);
    if (headers.isEmpty())
        lv->setHeaderHidden(true);
    else
        lv->setHeaderLabels(headers);
    lv->header()->setStretchLastSection(true);
    return lv;
}

void setColumnWidths(QTreeWidget *list, const QList<int> &widths)
{
    for (int c = 0; c < widths.size(); ++c)
        list->setColumnWidth(c, widths[c]);
}

} // namespace ListHelpers

NumericSortItem::NumericSortItem(QTreeWidget *list, const QStringList &texts, QList<int> numericColumns)
    : QTreeWidgetItem(list, texts), m_numeric(std::move(numericColumns))
{
}

NumericSortItem::NumericSortItem(const QStringList &texts, QList<int> numericColumns)
    : QTreeWidgetItem(texts), m_numeric(std::move(numericColumns))
{
}

bool NumericSortItem::operator<(const QTreeWidgetItem &other) const
{
    const int col = treeWidget() ? treeWidget()->sortColumn() : 0;
    if (m_numeric.contains(col)) {
        bool a = false, b = false;
        const qint64 x = text(col).toLongLong(&a);
        const qint64 y = other.text(col).toLongLong(&b);
        if (a && b)
            return x < y;
    }
    return QTreeWidgetItem::operator<(other);
}

ListFill::ListFill(QTreeWidget *list) : m_list(list)
{
    m_list->setUpdatesEnabled(false);
    m_list->setSortingEnabled(false);
}

ListFill::~ListFill() { m_list->setUpdatesEnabled(true); }

#pragma once
#include "edit/HeaderState.h"

#include <QObject>

class EditSession;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;
class Station;
class StoreSelection;
struct MainHooks;

// The header list lvHeader: the elements of the active modality filter on the picked
// image, one row per filter element, present or not. It loads the filter set at start,
// fills when an image is picked, empties when no image is current or the pending edits
// are discarded, and reloads the filter set after the Options dialog. A clicked row goes
// to the task editor through the shared header state.
class HeaderPanel : public QObject {
    Q_OBJECT
public:
    // Logical columns: the row's own text is the value, shown last.
    enum Column { ValueColumn = 0, TagColumn = 1, DescriptionColumn = 2 };
    // Longer values are cut in the list; the row keeps the whole value for the editor.
    static constexpr int MaxShownValue = 1024;

    HeaderPanel(Station &station, StoreSelection &selection, EditSession &edits, MainHooks &hooks, QWidget *parent);

    QTreeWidget *view() const { return m_lvHeader; }
    HeaderState &state() { return m_state; }

    // LoadModFilter: the filter set of the active filter (Filter\Active).
    void loadModFilter();
    // LoadHeaderData: the list for the current image.
    void loadHeaderData();
    // After the Options dialog: a changed filter set refills a list that shows rows; no
    // active filter any more empties it.
    void refreshAfterOptions();

    // Sort rule of the list: a newly clicked column keeps the order, the sort column
    // clicked again flips it.
    void columnClicked(int column);
    int sortColumn() const { return m_sortColumn; }
    Qt::SortOrder sortOrder() const { return m_sortOrder; }

private:
    void itemClicked(QTreeWidgetItem *item);
    void applySort();

    Station &m_station;
    StoreSelection &m_selection;
    HeaderState m_state;
    QTreeWidget *m_lvHeader = nullptr;
    int m_sortColumn = TagColumn;
    Qt::SortOrder m_sortOrder = Qt::AscendingOrder;
    // Counts fills; a fill that yields and finds a newer one started gives way to it.
    quint64 m_fillNumber = 0;
};

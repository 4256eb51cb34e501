#include "dose/DoseListArea.h"

#include "app/AppError.h"
#include "app/CommandTable.h"
#include "app/MainHooks.h"
#include "app/MainWidgets.h"
#include "app/Station.h"
#include "dose/DoseState.h"
#include "dose/DosisForm.h"
#include "net/WorklistForm.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QMainWindow>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

namespace {

// Sorts the ID and image number columns as numbers.
class DoseItem : public QTreeWidgetItem {
public:
    using QTreeWidgetItem::QTreeWidgetItem;
    bool operator<(const QTreeWidgetItem &other) const override
    {
        const int col = treeWidget() ? treeWidget()->sortColumn() : 0;
        if (col == DoseList::ColId || col == DoseList::ColImageNo) {
            bool a = false, b = false;
            const qint64 x = text(col).toLongLong(&a);
            const qint64 y = other.text(col).toLongLong(&b);
            if (a && b)
                return x < y;
        }
        return QTreeWidgetItem::operator<(other);
    }
};

QString errorText(const std::exception &e, long *number)
{
    if (auto *a = dynamic_cast<const AppError *>(&e)) {
        *number = a->number();
        return a->description();
    }
    *number = ErrorNo::General;
    return QString::fromLocal8Bit(e.what());
}

} // namespace

DoseListArea::DoseListArea(Station &station, MainWidgets &widgets, MainHooks &hooks, DoseState &state,
                           QObject *parent)
    : QObject(parent), m_station(station), m_w(widgets), m_hooks(hooks), m_state(state), m_list(station, state)
{
    execDialog = [](QDialog &d) { return d.exec(); };

    if (m_w.lvDosis) {
        QTreeWidget *lv = m_w.lvDosis;
        lv->setColumnCount(DoseList::ColumnCount);
        lv->setHeaderLabels(DoseList::headings());
        lv->setHeaderHidden(false);
        lv->setRootIsDecorated(false);
        lv->setSelectionMode(QAbstractItemView::SingleSelection);
        lv->setContextMenuPolicy(Qt::CustomContextMenu);
        lv->setSortingEnabled(true);
        lv->sortByColumn(DoseList::ColId, Qt::AscendingOrder);
        connect(lv, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem *item) { lvDosis_ItemClick(item); });
        connect(lv, &QWidget::customContextMenuRequested, this, &DoseListArea::lvDosis_MouseUp);
    }
    if (m_w.cmdWorklist) {
        connect(m_w.cmdWorklist, &QPushButton::clicked, this, [this] { openWorklist(true); });
        m_w.cmdWorklist->setEnabled(true);
    }
    if (m_w.cmdNew)
        connect(m_w.cmdNew, &QPushButton::clicked, this, &DoseListArea::newStudy);

    if (CommandTable *c = m_w.commands) {
        c->hook(QStringLiteral("Toolbar1_worklist"), [this] { openWorklist(false); });
        c->hook(QStringLiteral("Toolbar1_refreshd"), [this] { lvDosis_Fill(); });
        c->hook(QStringLiteral("Toolbar1_delete"), [this] { deleteDosislist(); });
        c->hook(QStringLiteral("Toolbar1_reldosis"), [this] { openDoseBrowser(); });
        c->hook(QStringLiteral("Popup_Dosis_Delete"), [this] { popupDelete(); });
    }

    m_hooks.fillDoseList = [this](int mode) {
        if (mode > 0)
            m_state.assignmentMode = mode;
        lvDosis_Fill();
    };
    m_hooks.refreshDoseList = [this] { RefreshDosisList(); };
    m_hooks.doseAssignmentMode = [this] { return m_state.assignmentMode; };

    connect(&m_state, &DoseState::changed, this, &DoseListArea::showPanel);
    showPanel();
}

std::optional<StorePatient> DoseListArea::storePatient() const
{
    QTreeWidget *lv = m_w.lvPatients;
    if (!lv)
        return std::nullopt;
    QTreeWidgetItem *item = nullptr;
    const auto sel = lv->selectedItems();
    if (!sel.isEmpty())
        item = sel.first();
    else
        item = lv->currentItem();
    if (!item)
        return std::nullopt;
    return StorePatient{item->text(0), item->text(1), item->text(3)};
}

void DoseListArea::showPanel()
{
    QTreeWidget *lv = m_w.ListView1;
    if (!lv)
        return;
    // The values go into the last column; a two-column panel keeps its labels in the first.
    const int col = lv->columnCount() >= 2 ? 1 : 0;
    while (lv->topLevelItemCount() < 8)
        new QTreeWidgetItem(lv);
    for (int r = 0; r < 8; ++r)
        lv->topLevelItem(r)->setText(col, m_state.panel[r]);
}

void DoseListArea::ClearTextFields()
{
    m_state.clearPanel();
    m_state.notify();
}

void DoseListArea::showRows(const std::vector<DoseListRow> &rows)
{
    QTreeWidget *lv = m_w.lvDosis;
    if (!lv)
        return;
    lv->setUpdatesEnabled(false);
    lv->setSortingEnabled(false);
    lv->clear();
    for (const auto &r : rows) {
        auto *item = new DoseItem(lv, r.cells);
        item->setData(0, Qt::UserRole, r.id);
        item->setSelected(false);
    }
    lv->setSortingEnabled(true);
    lv->sortByColumn(DoseList::ColId, Qt::AscendingOrder);
    if (!rows.empty())
        for (int c = 0; c < DoseList::ColumnCount; ++c)
            lv->resizeColumnToContents(c);
    lv->setUpdatesEnabled(true);
}

void DoseListArea::lvDosis_Fill()
{
    if (m_station.busy)
        return;
    try {
        showRows(m_list.rows(storePatient()));
    } catch (const std::exception &e) {
        if (m_w.lvDosis)
            m_w.lvDosis->clear();
        m_station.logError(e, QStringLiteral("MainForm_lvDosis_Fill"));
    }
}

std::vector<qint64> DoseListArea::listedIds() const
{
    std::vector<qint64> ids;
    if (QTreeWidget *lv = m_w.lvDosis)
        for (int i = 0; i < lv->topLevelItemCount(); ++i)
            ids.push_back(lv->topLevelItem(i)->data(0, Qt::UserRole).toLongLong());
    return ids;
}

std::optional<qint64> DoseListArea::selectedId() const
{
    QTreeWidget *lv = m_w.lvDosis;
    if (!lv)
        return std::nullopt;
    QTreeWidgetItem *item = nullptr;
    const auto sel = lv->selectedItems();
    item = !sel.isEmpty() ? sel.first() : lv->currentItem();
    if (!item)
        return std::nullopt;
    return item->data(0, Qt::UserRole).toLongLong();
}

void DoseListArea::RefreshDosisList()
{
    try {
        m_list.refresh(listedIds(), selectedId(), storePatient());
        if (m_w.lvDosis)
            m_w.lvDosis->clear();
    } catch (const std::exception &e) {
        m_station.logError(e, QStringLiteral("MainForm_RefreshDosisList"));
    }
}

void DoseListArea::setButtonsForPatient(bool chosen)
{
    if (m_w.cmdLorad)
        m_w.cmdLorad->setEnabled(chosen);
    if (m_w.cmdNew)
        m_w.cmdNew->setEnabled(chosen);
    if (m_w.cmdWorklist)
        m_w.cmdWorklist->setEnabled(!chosen);
}

void DoseListArea::newStudy()
{
    if (m_w.SerTimer && m_w.SerTimer->isActive())
        m_w.SerTimer->stop();
    try {
        m_list.newStudy();
        if (m_w.lvDosis)
            m_w.lvDosis->clear();
    } catch (const std::exception &e) {
        m_station.logError(e, QStringLiteral("MainForm_RefreshDosisList"));
        // The study stays open: the operator can try again.
        return;
    }
    setButtonsForPatient(false);
}

void DoseListArea::deleteDosislist()
{
    if (m_station.busy)
        return;
    try {
        if (!m_list.deleteAll())
            return;
        if (m_w.lvDosis)
            m_w.lvDosis->clear();
    } catch (const std::exception &e) {
        m_station.logError(e, QStringLiteral("MainForm Toolbar1_ButtonClick (delete)"));
    }
    if (m_w.SerTimer && !m_w.SerTimer->isActive())
        m_w.SerTimer->start();
}

void DoseListArea::openWorklist(bool fromButton)
{
    if (fromButton && m_w.SerTimer && !m_w.SerTimer->isActive())
        m_w.SerTimer->start();
    WorklistForm form(m_station, m_state, m_w.window);
    if (execDialog(form) != QDialog::Accepted || !form.applied())
        return;
    setButtonsForPatient(true);
    lvDosis_Fill();
}

void DoseListArea::openDoseBrowser()
{
    DosisForm form(m_station, m_w.window);
    execDialog(form);
}

void DoseListArea::showError(const std::exception &e, const QString &procedure)
{
    long number = 0;
    const QString text = errorText(e, &number);
    m_station.prompter().message(QStringLiteral("Error #%1: %2").arg(number).arg(text), MsgIcon::Critical);
    m_station.logError(e, procedure);
}

void DoseListArea::lvDosis_ItemClick(QTreeWidgetItem *item)
{
    try {
        QTreeWidget *lv = m_w.lvDosis;
        if (!lv || lv->topLevelItemCount() == 0)
            return;
        if (!item)
            item = lv->currentItem();
        if (QTreeWidget *images = m_w.lvImages; images && images->topLevelItemCount() > 0) {
            QTreeWidgetItem *picked = images->currentItem();
            const auto sel = images->selectedItems();
            if (!sel.isEmpty())
                picked = sel.first();
            for (int i = 0; i < images->topLevelItemCount(); ++i) {
                QTreeWidgetItem *row = images->topLevelItem(i);
                const bool mark = row == picked;
                for (int c = 0; c < images->columnCount(); ++c) {
                    QFont f = row->font(c);
                    f.setBold(mark);
                    row->setFont(c, f);
                    row->setForeground(c, mark ? QBrush(Qt::red) : QBrush(Qt::black));
                }
            }
        }
        if (!item)
            return;
        m_state.currentDoseValue = item->text(DoseList::ColDap);
        // The task editor takes the dose value over as a task, when it is there.
        if (m_w.cmdAddTask && m_w.cmdAddTask->isEnabled())
            m_w.cmdAddTask->click();
    } catch (const std::exception &e) {
        showError(e, QStringLiteral("lvDosis_ItemClick"));
    }
}

void DoseListArea::lvDosis_MouseUp(const QPoint &pos)
{
    try {
        QTreeWidget *lv = m_w.lvDosis;
        if (!lv || lv->topLevelItemCount() == 0)
            return;
        QTreeWidgetItem *item = lv->itemAt(pos);
        if (!item)
            return;
        lv->setCurrentItem(item);
        item->setSelected(true);
        if (m_w.commands)
            if (QMenu *menu = m_w.commands->menu(QStringLiteral("Popup_Dosis")))
                menu->popup(lv->viewport()->mapToGlobal(pos));
    } catch (const std::exception &e) {
        showError(e, QStringLiteral("lvDosis_MouseUp"));
    }
}

void DoseListArea::popupDelete()
{
    m_state.assignmentMode = 2;
    RefreshDosisList();
}

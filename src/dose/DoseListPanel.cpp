#include "dose/DoseListPanel.h"
#include "ui/EditForm.h"

#include "core/AppError.h"
#include "core/Station.h"
#include "dose/DoseState.h"
#include "dose/DosisForm.h"
#include "edit/EditSession.h"
#include "store/StoreSelection.h"
#include "ui/CommandIds.h"
#include "ui/CommandTable.h"
#include "ui/ListHelpers.h"
#include "ui/MainHooks.h"

#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>

DoseListPanel::DoseListPanel(Station &station, DoseState &state, StoreSelection &selection, EditSession &edits,
                             CommandTable &commands, MainHooks &hooks, QWidget *parent)
    : QObject(parent), m_station(station), m_state(state), m_selection(selection), m_edits(edits), m_commands(commands),
      m_list(station, state)
{
    execDialog = [](QDialog &d) { return d.exec(); };
    buildControls(parent);

    connect(m_lvDosis, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem *item) { lvDosis_ItemClick(item); });
    connect(m_lvDosis, &QWidget::customContextMenuRequested, this, &DoseListPanel::lvDosis_MouseUp);
    connect(m_cmdWorklist, &QPushButton::clicked, this, [this] { openWorklist(true); });
    connect(m_cmdNew, &QPushButton::clicked, this, &DoseListPanel::newStudy);
    // A button whose work this version does not have yet says so instead of doing nothing.
    for (const auto &[b, command] : {std::pair{m_cmdAll, Cmd::MergeImages}, std::pair{m_cmdSelected, Cmd::Manually}}) {
        const QString name = QString::fromLatin1(command);
        QPushButton *button = b; // a lambda may not capture a structured binding in every compiler
        connect(button, &QPushButton::clicked, this, [this, name, button] {
            if (!m_commands.run(name))
                m_station.prompter().message(
                    QStringLiteral("\"%1\" is not available in this version.").arg(button->text()),
                    MsgIcon::Information);
        });
    }

    commands.hook(Cmd::ToolbarWorklist, [this] { openWorklist(false); });
    commands.hook(Cmd::ToolbarRefreshDoses, [this] { lvDosis_Fill(); });
    commands.hook(Cmd::ToolbarDeleteDoses, [this] { deleteDosislist(); });
    commands.hook(Cmd::ToolbarDoseRecords, [this] { openDoseBrowser(); });
    commands.hook(Cmd::DoseDelete, [this] { popupDelete(); });

    // A patient picked in the browser: the closed records of that patient.
    connect(&m_selection, &StoreSelection::patientPicked, this, [this] {
        if (m_selection.livePick)
            return;
        m_state.assignmentMode = AssignmentMode::StorePatient;
        lvDosis_Fill();
    });
    // "Manually" only while there is a dose row for every listed image, and an image.
    connect(&m_selection, &StoreSelection::studyOpened, this, [this] {
        m_cmdSelected->setEnabled(m_selection.listedImages() > 0
                                  && m_lvDosis->topLevelItemCount() == m_selection.listedImages());
    });
    // A record just captured (also by "Get Dose Product") is shown with its patient's
    // other open records, whatever the list showed before.
    connect(&m_state, &DoseState::recordsStored, this, [this] { showRecords(DoseList::Shown::WorklistOpen); });
    connect(&m_selection, &StoreSelection::patientDeleted, m_lvDosis, &QTreeWidget::clear);
    // A progress window's OK: the listed records change status by the assignment mode,
    // then the image list is emptied (and, after a removed row, the study picked again).
    hooks.progressClosed.push_back([this, &hooks] {
        // An import brings no images of the examination, a deletion takes images away:
        // their OK assigns no record.
        static const QList<qint16> assignsNothing = {EditForm::ImportImages,  EditForm::ImportDir,
                                                     EditForm::DeleteAll,     EditForm::DeleteStudy,
                                                     EditForm::DeletePatient, EditForm::DeleteSeries};
        if (m_state.assignmentMode == AssignmentMode::None || assignsNothing.contains(hooks.closedOperation))
            return;
        RefreshDosisList();
        m_selection.refreshImageList(m_state.assignmentMode == AssignmentMode::RemoveRow);
    });
    connect(&m_state, &DoseState::changed, this, &DoseListPanel::showPanel);
    // "Worklist" and "New Study" follow the examination, also one open again after a restart.
    connect(&m_state, &DoseState::studyOpenChanged, this, [this](bool open) {
        m_cmdNew->setEnabled(open);
        m_cmdWorklist->setEnabled(!open);
    });
    hooks.settingsChanged.push_back([this] { applyUnitHeadings(); });
    showPanel();
}

void DoseListPanel::buildControls(QWidget *parent)
{
    m_ListView1 = ListHelpers::reportList(QStringLiteral("ListView1"),
                                          {QStringLiteral("Field"), QStringLiteral("Value")}, parent);
    // The eight rows of the chosen worklist patient: column 1 holds the values.
    for (const char *label :
         {"Patient ID", "First name", "Last name", "Middle name", "Birth date", "Sex", "Acc. No.", "Body part"})
        new QTreeWidgetItem(m_ListView1, {QString::fromLatin1(label), QString()});
    m_ListView1->setColumnWidth(0, 90);
    m_ListView1->setMinimumHeight(90);

    auto button = [parent](const char *name, const QString &caption) {
        auto *b = new QPushButton(caption, parent);
        b->setObjectName(QString::fromLatin1(name));
        b->setEnabled(false);
        return b;
    };
    m_cmdWorklist = button("cmdWorklist", QStringLiteral("Worklist"));
    m_cmdWorklist->setEnabled(true);
    m_cmdNew = button("cmdNew", QStringLiteral("New Study"));
    m_cmdAll = button("cmdAll", QStringLiteral("Merge Images"));
    // The merge checks for itself and says what is missing; it is never locked away.
    m_cmdAll->setEnabled(true);
    m_cmdSelected = button("cmdSelected", QStringLiteral("Manually"));

    m_lblDoseList = new QLabel(parent);
    m_lblDoseList->setObjectName(QStringLiteral("lblDoseList"));
    m_lblDoseList->setWordWrap(true);
    m_lvDosis =
        ListHelpers::reportList(QStringLiteral("lvDosis"), DoseList::headings(m_station.settings().xrayComm), parent);
    QHeaderView *header = m_lvDosis->header();
    // Each column as wide as its heading and values, none stretched.
    header->setStretchLastSection(false);
    const QList<int> order = DoseList::shownOrder();
    for (int v = 0; v < order.size(); ++v)
        header->moveSection(header->visualIndex(order[v]), v);
    m_lvDosis->setSortingEnabled(true);
    m_lvDosis->sortByColumn(DoseList::ColId, Qt::AscendingOrder);
    fitColumns();
}

void DoseListPanel::applyUnitHeadings()
{
    m_lvDosis->setHeaderLabels(DoseList::headings(m_station.settings().xrayComm));
    fitColumns();
}

void DoseListPanel::fitColumns()
{
    // Each column takes only the room its heading and values need, so that the
    // exposure's number and values are seen at once in a narrow panel (the toolkit's own
    // fitting keeps room for a sort arrow in every heading).
    QTreeWidget *lv = m_lvDosis;
    QHeaderView *header = lv->header();
    QStyle *style = lv->style();
    const int headingPad = 2 * style->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header) + 2;
    const int arrow = style->pixelMetric(QStyle::PM_HeaderMarkSize, nullptr, header) + 4;
    const int cellPad = 2 * style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, lv) + 6;
    for (int c = 0; c < DoseList::ColumnCount; ++c) {
        int w = header->fontMetrics().horizontalAdvance(lv->headerItem()->text(c)) + headingPad;
        if (header->isSortIndicatorShown() && header->sortIndicatorSection() == c)
            w += arrow;
        for (int r = 0; r < lv->topLevelItemCount(); ++r)
            w = std::max(w, lv->fontMetrics().horizontalAdvance(lv->topLevelItem(r)->text(c)) + cellPad);
        lv->setColumnWidth(c, w);
    }
}

void DoseListPanel::applyDebugMode(bool debug)
{
    m_lvDosis->setVisible(!debug);
    m_lblDoseList->setVisible(!debug);
}

std::optional<StorePatient> DoseListPanel::storePatient() const
{
    if (!m_selection.hasPatient())
        return std::nullopt;
    return m_selection.storePatient();
}

void DoseListPanel::showPanel()
{
    QTreeWidget *lv = m_ListView1;
    // The values go into the last column; a two-column panel keeps its labels in the first.
    const int col = lv->columnCount() >= 2 ? 1 : 0;
    while (lv->topLevelItemCount() < 8)
        new QTreeWidgetItem(lv);
    for (int r = 0; r < 8; ++r)
        lv->topLevelItem(r)->setText(col, m_state.panel[r]);
}

void DoseListPanel::ClearTextFields()
{
    m_state.clearPanel();
    m_state.notify();
}

void DoseListPanel::showRows(const std::vector<DoseListRow> &rows)
{
    QTreeWidget *lv = m_lvDosis;
    lv->setUpdatesEnabled(false);
    lv->setSortingEnabled(false);
    lv->clear();
    for (const auto &r : rows) {
        auto *item = new NumericSortItem(lv, r.cells, {DoseList::ColId, DoseList::ColImageNo});
        item->setData(0, Qt::UserRole, r.id);
        item->setSelected(false);
    }
    lv->setSortingEnabled(true);
    lv->sortByColumn(DoseList::ColId, Qt::AscendingOrder);
    fitColumns();
    lv->setUpdatesEnabled(true);
}

void DoseListPanel::lvDosis_Fill()
{
    if (m_station.busy)
        return;
    showRecords(m_state.assignmentMode == AssignmentMode::StorePatient ? DoseList::Shown::StoreClosed
                                                                       : DoseList::Shown::WorklistOpen);
}

void DoseListPanel::showRecords(DoseList::Shown shown)
{
    if (m_station.busy)
        return;
    m_lblDoseList->setText(m_list.caption(shown, storePatient()));
    try {
        showRows(m_list.rows(shown, storePatient()));
    } catch (const std::exception &e) {
        m_lvDosis->clear();
        m_station.logError(e, QStringLiteral("MainForm_lvDosis_Fill"));
    }
}

std::vector<qint64> DoseListPanel::listedIds() const
{
    std::vector<qint64> ids;
    for (int i = 0; i < m_lvDosis->topLevelItemCount(); ++i)
        ids.push_back(m_lvDosis->topLevelItem(i)->data(0, Qt::UserRole).toLongLong());
    return ids;
}

std::optional<qint64> DoseListPanel::selectedId() const
{
    QTreeWidget *lv = m_lvDosis;
    QTreeWidgetItem *item = nullptr;
    const auto sel = lv->selectedItems();
    item = !sel.isEmpty() ? sel.first() : lv->currentItem();
    if (!item)
        return std::nullopt;
    return item->data(0, Qt::UserRole).toLongLong();
}

void DoseListPanel::RefreshDosisList()
{
    m_station.trap(QStringLiteral("MainForm_RefreshDosisList"), [&] {
        m_list.refresh(listedIds(), selectedId(), storePatient());
        m_lvDosis->clear();
    });
}

void DoseListPanel::setButtonsForPatient(bool chosen) { m_state.setStudyOpen(chosen); }

void DoseListPanel::newStudy()
{
    m_state.requestPolling(false);
    try {
        m_list.newStudy();
        m_lvDosis->clear();
    } catch (const std::exception &e) {
        m_station.logError(e, QStringLiteral("MainForm_RefreshDosisList"));
        // The study stays open: the operator can try again.
        return;
    }
    setButtonsForPatient(false);
}

void DoseListPanel::deleteDosislist()
{
    if (m_station.busy)
        return;
    try {
        if (!m_list.deleteAll())
            return;
        m_lvDosis->clear();
    } catch (const std::exception &e) {
        m_station.logError(e, QStringLiteral("MainForm Toolbar1_ButtonClick (delete)"));
    }
    m_state.requestPolling(true);
}

void DoseListPanel::openWorklist(bool fromButton)
{
    if (fromButton)
        m_state.requestPolling(true);
    if (!pickWorklistPatient)
        qFatal("DoseListPanel: the main window gave no worklist window");
    const std::optional<WorklistEntry> entry = pickWorklistPatient(m_lvDosis->window(), execDialog);
    if (!entry)
        return;
    m_state.takeWorklistPatient(*entry);
    setButtonsForPatient(true);
    lvDosis_Fill();
}

void DoseListPanel::openDoseBrowser()
{
    DosisForm form(m_station, m_lvDosis->window());
    execDialog(form);
}

void DoseListPanel::lvDosis_ItemClick(QTreeWidgetItem *item)
{
    try {
        QTreeWidget *lv = m_lvDosis;
        if (lv->topLevelItemCount() == 0)
            return;
        if (!item)
            item = lv->currentItem();
        // The picked image's row is marked: this dose is meant for it.
        m_selection.markPickedImageRow();
        if (!item)
            return;
        m_state.currentDoseValue = item->text(DoseList::ColDap);
        // The task editor takes the dose value over as a task, when it can.
        m_edits.offerDoseValue(m_state.currentDoseValue);
    } catch (const std::exception &e) {
        m_station.showError(e, QStringLiteral("lvDosis_ItemClick"));
    }
}

void DoseListPanel::lvDosis_MouseUp(const QPoint &pos)
{
    try {
        QTreeWidget *lv = m_lvDosis;
        if (lv->topLevelItemCount() == 0)
            return;
        QTreeWidgetItem *item = lv->itemAt(pos);
        if (!item)
            return;
        lv->setCurrentItem(item);
        item->setSelected(true);
        if (QMenu *menu = m_commands.menu(Menu::Dose))
            menu->popup(lv->viewport()->mapToGlobal(pos));
    } catch (const std::exception &e) {
        m_station.showError(e, QStringLiteral("lvDosis_MouseUp"));
    }
}

void DoseListPanel::popupDelete()
{
    m_state.assignmentMode = AssignmentMode::RemoveRow;
    RefreshDosisList();
}

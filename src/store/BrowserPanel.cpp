#include "store/BrowserPanel.h"
#include "core/AppError.h"
#include "core/Database.h"
#include "core/Progress.h"
#include "dicom/StorageReceiver.h"
#include "dose/DoseReports.h"
#include "edit/EditSession.h"
#include "store/Commitments.h"
#include "store/Schema.h"
#include "ui/CommandIds.h"
#include "ui/CommandTable.h"
#include "ui/DoseReportForm.h"
#include "ui/ListHelpers.h"
#include "ui/MainHooks.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QListWidget>
#include <QMenu>
#include <QMouseEvent>
#include <QScopeGuard>
#include <QSet>
#include <QSplitter>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <vector>

namespace {

const QString LevelStudy = QStringLiteral("Studie");
const QString LevelSeries = QStringLiteral("Serie");
const QString BackTag = QStringLiteral("back");

// The patient list refresh of the update timer.
constexpr int UpdateIntervalMs = 10000;

// A row of the patient list. The list sorts every row on each rebuild (100,000 at a busy
// site); the plain item copies both texts into variants on each of the n log n
// comparisons. This one compares the texts it keeps beside them, in the same order
// (locale-aware, as the list compares texts), and rows put in already in ID order carry
// their place in it: two of them compare by place, which agrees with their IDs' order.
class PatientItem : public QTreeWidgetItem {
public:
    static constexpr int ItemType = QTreeWidgetItem::UserType + 1;
    PatientItem(const QStringList &texts, int place) : QTreeWidgetItem(texts, ItemType), m_texts(texts), m_place(place)
    {
    }

    void setData(int column, int role, const QVariant &value) override
    {
        QTreeWidgetItem::setData(column, role, value);
        if ((role == Qt::DisplayRole || role == Qt::EditRole) && column >= 0) {
            if (column >= m_texts.size())
                m_texts.resize(column + 1);
            m_texts[column] = value.toString();
            if (column == 0)
                m_place = -1; // a changed ID has no known place
        }
    }

    bool operator<(const QTreeWidgetItem &other) const override
    {
        if (other.type() != ItemType)
            return QTreeWidgetItem::operator<(other);
        const auto &o = static_cast<const PatientItem &>(other);
        const int column = treeWidget() ? treeWidget()->sortColumn() : 0;
        if (column == 0 && m_place >= 0 && o.m_place >= 0)
            return m_place < o.m_place;
        return QString::localeAwareCompare(textAt(column), o.textAt(column)) < 0;
    }

private:
    const QString &textAt(int column) const
    {
        static const QString none;
        return column >= 0 && column < m_texts.size() ? m_texts.at(column) : none;
    }

public:
    void setPlace(int place) { m_place = place; }
    const QString &id() const { return m_texts.at(0); }

private:
    QStringList m_texts;
    int m_place; // in ID order, -1 when unknown
};

QTreeWidgetItem *patientItem(const PatientRow &r, int place = -1)
{
    auto *it = new PatientItem({r.patId1, r.displayName(), r.secondName, r.birthDate}, place);
    it->setData(0, BrowserPanel::TagRole, r.patId);
    return it;
}

// The patient list sorted by ID, ascending. Turning sorting on sorts by the header's
// indicator, so the indicator is set first: one pass of the list's sort, not two.
void sortById(QTreeWidget *lv)
{
    if (lv->isSortingEnabled()) {
        lv->sortByColumn(0, Qt::AscendingOrder);
        return;
    }
    lv->header()->setSortIndicator(0, Qt::AscendingOrder);
    lv->setSortingEnabled(true);
}

QGroupBox *framed(const QString &title, QWidget *w)
{
    auto *box = new QGroupBox(title);
    auto *l = new QVBoxLayout(box);
    l->setContentsMargins(4, 4, 4, 4);
    l->addWidget(w);
    return box;
}

} // namespace

BrowserPanel::BrowserPanel(Station &station, StoreSelection &selection, EditSession &edits, CommandTable &commands,
                           MainHooks &hooks, QWidget *parent)
    : QObject(parent), m_station(station), m_state(selection), m_edits(edits), m_commands(commands), m_hooks(hooks)
{
    execDialog = [](QDialog &d) { return d.exec(); };
    buildControls(parent);
    connectControls();
    connectSelection();
    hookCommands();

    hooks.prepareDataFiles.push_back([this] {
        Schema::ensureDatabases(m_station.paths());
        m_station.paths().createFolders();
        // The site's shared database: its schema brought up to date and the configuration's
        // local copy renewed. While the server is away the station starts on that copy.
        m_station.trap(QStringLiteral("Schema syncShared"), [this] { Schema::syncShared(m_station.paths()); });
        // A deletion cut off between its rows and its files is completed.
        m_station.trap(QStringLiteral("StoreDeletion Recover"), [this] {
            NoProgress none;
            StoreDeletion(m_station.paths(), m_station.log(), none).recover();
        });
        // Objects a receiver that ended was receiving are incomplete.
        StorageReceiver::removeLeftovers(m_station.paths().tempDir());
    });
    // A progress window's OK switches the patient list refresh on again.
    hooks.progressClosed.push_back([this] { m_updateTimer->start(); });
    hooks.refreshPatientList.push_back([this] { refreshPatientList(); });
    // The viewer takes its settings first (it joined the hooks before).
    hooks.initializeControls.push_back([this] {
        if (!m_updateTimer->isActive())
            m_updateTimer->start();
    });
    hooks.clearViewer.push_back([this] { m_updateTimer->stop(); });
}

BrowserPanel::~BrowserPanel() { qDeleteAll(m_discarded); }

void BrowserPanel::buildControls(QWidget *parent)
{
    using ListHelpers::reportList;
    // Left pane: patients, studies (with the series frame over them) and images.
    auto *left = new QSplitter(Qt::Vertical, parent);
    left->setChildrenCollapsible(false);
    m_listsPane = left;
    m_lvPatients =
        reportList(QStringLiteral("lvPatients"), {QStringLiteral("ID"), QStringLiteral("Lastname, Firstname"),
                                                  QStringLiteral("2nd Name"), QStringLiteral("Birthdate")});
    left->addWidget(framed(QStringLiteral("Patient list"), m_lvPatients));

    m_lvStudien = reportList(QStringLiteral("lvStudien"),
                             {QStringLiteral("ID"), QStringLiteral("Date"), QStringLiteral("Time"),
                              QStringLiteral("Modality"), QStringLiteral("Bodypart"), QStringLiteral("Commitment")});
    // Whether the PACS has the study is seen without scrolling: beside its date.
    m_lvStudien->header()->moveSection(CommitmentColumn, 2);
    m_lvSerien = new QListWidget;
    m_lvSerien->setObjectName(QStringLiteral("lvSerien"));
    m_lvSerien->setViewMode(QListView::IconMode);
    m_lvSerien->setSelectionMode(QAbstractItemView::SingleSelection);
    m_lvSerien->setContextMenuPolicy(Qt::CustomContextMenu);
    m_lvSerien->setResizeMode(QListView::Adjust);
    m_frmSerien = new QGroupBox(QStringLiteral("Series list"));
    m_frmSerien->setObjectName(QStringLiteral("frmSerien"));
    (new QVBoxLayout(m_frmSerien))->addWidget(m_lvSerien);
    m_frmSerien->setAutoFillBackground(true);
    m_frmSerien->hide();
    // The series frame lies over the study list while it is shown.
    auto *studyBox = new QGroupBox(QStringLiteral("Study list"));
    auto *studyGrid = new QGridLayout(studyBox);
    studyGrid->setContentsMargins(4, 4, 4, 4);
    studyGrid->addWidget(m_lvStudien, 0, 0);
    studyGrid->addWidget(m_frmSerien, 0, 0);
    left->addWidget(studyBox);

    m_lvImages = reportList(QStringLiteral("lvImages"), {QStringLiteral("ID"), QStringLiteral("Date"),
                                                         QStringLiteral("Time"), QStringLiteral("ImageUID")});
    left->addWidget(framed(QStringLiteral("Image list"), m_lvImages));
    // Starting widths that show the headers on a 1024x768 screen.
    ListHelpers::setColumnWidths(m_lvPatients, {72, 130, 70});
    ListHelpers::setColumnWidths(m_lvStudien, {36, 80, 64, 64});
    ListHelpers::setColumnWidths(m_lvImages, {36, 80, 64});
    left->setStretchFactor(0, 3);
    left->setStretchFactor(1, 2);
    left->setStretchFactor(2, 2);

    m_updateTimer = new QTimer(this);
    m_updateTimer->setObjectName(QStringLiteral("UpdateTimer"));
    m_updateTimer->setInterval(UpdateIntervalMs);
}

void BrowserPanel::connectControls()
{
    m_lvPatients->viewport()->installEventFilter(this);
    m_lvPatients->installEventFilter(this);
    m_lvStudien->installEventFilter(this);
    m_lvStudien->viewport()->installEventFilter(this);
    m_lvSerien->viewport()->installEventFilter(this);

    connect(m_lvStudien, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem *item) { studyItemClick(item); });
    connect(m_lvImages, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem *item) { imagesItemClick(item); });
    connect(m_lvSerien, &QListWidget::itemDoubleClicked, this, [this] { seriesDoubleClick(); });
    connect(m_updateTimer, &QTimer::timeout, this, &BrowserPanel::updateTimerTick);

    // The highlighted study and series rows are what the delete commands act on; the
    // selection models report every change, also those made under a signal blocker.
    for (QAbstractItemView *v :
         {static_cast<QAbstractItemView *>(m_lvStudien), static_cast<QAbstractItemView *>(m_lvSerien)}) {
        connect(v->selectionModel(), &QItemSelectionModel::selectionChanged, this, &BrowserPanel::syncHighlights);
        connect(v->selectionModel(), &QItemSelectionModel::currentChanged, this, &BrowserPanel::syncHighlights);
        connect(v->model(), &QAbstractItemModel::modelReset, this, &BrowserPanel::syncHighlights);
        connect(v->model(), &QAbstractItemModel::rowsRemoved, this, &BrowserPanel::syncHighlights);
        connect(v->model(), &QAbstractItemModel::rowsInserted, this, &BrowserPanel::syncHighlights);
    }
}

void BrowserPanel::connectSelection()
{
    // A dose row clicked for the picked image marks that image's row.
    connect(&m_state, &StoreSelection::markPickedImageRowRequested, this, &BrowserPanel::markPickedImageRow);
    connect(&m_state, &StoreSelection::imageListRefreshRequested, this, &BrowserPanel::refreshImageList);
    // The image picked in the viewer is the current row of the image list.
    connect(&m_state, &StoreSelection::imagePicked, this, &BrowserPanel::markImageRowOfPick);
    connect(&m_state, &StoreSelection::deleted, this, &BrowserPanel::applyDeletion);
    connect(&m_state, &StoreSelection::viewerResetRequested, this, [this] {
        setPanel(StoreStatus::PanelPatient, QString());
        setPanel(StoreStatus::PanelId, QString());
    });
    connect(&m_state, &StoreSelection::storeEmptied, this, [this] {
        forgetPatient();
        m_station.timerRefresh = false;
        refreshPatientList();
    });
}

void BrowserPanel::hookCommands()
{
    CommandTable *c = &m_commands;
    c->hook(Cmd::RefreshList, [this] {
        m_station.timerRefresh = false;
        refreshPatientList();
    });
    c->hook(Cmd::StudyViewImages, [this] { viewStudyImages(); });
    c->hook(Cmd::StudyViewSeries, [this] { viewSeries(); });
    c->hook(Cmd::SeriesViewImages, [this] { viewSeriesImages(); });
    c->hook(Cmd::StudyDoseReport, [this] { showDoseReport(); });
}

void BrowserPanel::syncHighlights()
{
    QTreeWidgetItem *study = m_lvStudien->currentItem();
    if (study && study->isSelected())
        m_state.setHighlightedStudy(study->text(0), study->data(0, TagRole).toString(),
                                    m_lvStudien->indexOfTopLevelItem(study));
    else
        m_state.setHighlightedStudy(QString(), QString(), -1);
    QListWidgetItem *series = m_lvSerien->currentItem();
    const bool seriesRow = series && series->isSelected() && series->data(TagRole).toString() != BackTag;
    m_state.setHighlightedSeriesId(seriesRow ? series->data(TagRole).toLongLong() : 0);
}

bool BrowserPanel::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress && (watched == m_lvPatients || watched == m_lvStudien)) {
        // After the list has moved its highlight.
        auto *lv = static_cast<QTreeWidget *>(watched);
        QTimer::singleShot(0, this, [this, lv] { keyboardMoved(lv); });
    }
    if (event->type() == QEvent::MouseButtonRelease) {
        auto *me = static_cast<QMouseEvent *>(event);
        const QPoint pos = me->position().toPoint();
        if (watched == m_lvPatients->viewport())
            QTimer::singleShot(0, this, [this, b = me->button(), pos] { patientMouseUp(b, pos); });
        else if (watched == m_lvStudien->viewport() && me->button() == Qt::RightButton)
            QTimer::singleShot(0, this, [this, pos] { studyMouseUp(Qt::RightButton, pos); });
        else if (watched == m_lvSerien->viewport() && me->button() == Qt::RightButton)
            QTimer::singleShot(0, this, [this, pos] { seriesMouseUp(Qt::RightButton, pos); });
    }
    return QObject::eventFilter(watched, event);
}

// ---- patient list ----------------------------------------------------------------

void BrowserPanel::updateTimerTick()
{
    MainHooks::run(m_hooks.refreshTick);
    m_station.timerRefresh = true;
    refreshPatientList();
    // Reports applied meanwhile change what the listed studies show.
    for (int i = 0; i < m_lvStudien->topLevelItemCount(); ++i)
        showCommitment(m_lvStudien->topLevelItem(i));
}

void BrowserPanel::arrivalNoticed()
{
    if (m_station.busy) {
        // Taken in as soon as the load is done: the operator is not kept waiting for the
        // timer's next round.
        if (!m_arrivalWaiting) {
            m_arrivalWaiting = true;
            QTimer::singleShot(200, this, [this] {
                if (m_arrivalWaiting)
                    arrivalNoticed();
            });
        }
        return;
    }
    m_station.timerRefresh = true;
    refreshPatientList();
}

bool BrowserPanel::openStudyLive(const QString &patId1, const QString &studyUid)
{
    if (m_edits.pendingTasks() > 0)
        return false;
    QTreeWidgetItem *patient = listedPatient(patId1);
    if (!patient)
        return false;
    if (patient->text(0) != m_state.patId1() || m_lvStudien->topLevelItemCount() == 0) {
        m_state.livePick = true;
        const auto done = qScopeGuard([this] { m_state.livePick = false; });
        pickPatient(patient);
    } else
        m_station.trap(QStringLiteral("MainForm LiveStudies"), [&] {
            Database db = Database::openData(m_station.paths());
            addNewStudies(db);
        });
    for (int i = 0; i < m_lvStudien->topLevelItemCount(); ++i) {
        QTreeWidgetItem *study = m_lvStudien->topLevelItem(i);
        if (study->data(0, TagRole).toString() == studyUid) {
            studyItemClick(study);
            return m_state.studyUid() == studyUid;
        }
    }
    return false;
}

QTreeWidgetItem *BrowserPanel::listedPatient(const QString &patId1) const
{
    for (int i = 0; i < m_lvPatients->topLevelItemCount(); ++i)
        if (m_lvPatients->topLevelItem(i)->text(0) == patId1)
            return m_lvPatients->topLevelItem(i);
    return nullptr;
}

void BrowserPanel::setArrivalMark(QTreeWidgetItem *item, bool on)
{
    for (int c = 0; c < m_lvPatients->columnCount(); ++c) {
        QFont f = item->font(c);
        f.setBold(on);
        item->setFont(c, f);
        item->setToolTip(c, on ? QStringLiteral("New images arrived") : QString());
    }
}

void BrowserPanel::markArrival(const QString &patId1)
{
    if (QTreeWidgetItem *it = listedPatient(patId1))
        setArrivalMark(it, true);
}

bool BrowserPanel::isMarked(const QString &patId1) const
{
    const QTreeWidgetItem *it = listedPatient(patId1);
    return it && it->font(0).bold();
}

void BrowserPanel::refreshImageRows()
{
    if (m_state.studyUid().isEmpty())
        return;
    m_station.trap(QStringLiteral("MainForm LiveImages"), [&] {
        Database db = Database::openData(m_station.paths());
        loadImages(StoreQueries::imagesOfStudy(db, m_state.studyUid()));
    });
}

void BrowserPanel::showCommitment(QTreeWidgetItem *item)
{
    m_station.trap(QStringLiteral("MainForm ShowCommitment"), [&] {
        Commitments c(m_station.paths(), m_station.log());
        const QString studyUid = item->data(0, TagRole).toString();
        const Commitments::Summary s = c.summary(studyUid);
        item->setText(CommitmentColumn, s.text());
        QString tip;
        if (s.failed > 0) {
            // The objects the destination does not keep, with its reason: sending the
            // study again asks for them anew.
            QStringList lines{QStringLiteral("Not committed (send the study again):")};
            for (const Commitments::Failure &f : c.failures(studyUid))
                lines << QStringLiteral("%1 at %2: %3").arg(f.sopInstance, f.destination, f.reason);
            tip = lines.join(QLatin1Char('\n'));
        }
        for (int col = 0; col < m_lvStudien->columnCount(); ++col)
            item->setToolTip(col, tip);
    });
}

void BrowserPanel::refreshPatientList()
{
    if (m_station.busy) {
        // A tick that meets a running load must not leave its flag behind: the next
        // manual refresh would otherwise be taken for a tick and do nothing.
        m_station.timerRefresh = false;
        return;
    }
    m_arrivalWaiting = false;
    const bool tick = m_station.timerRefresh;
    m_station.timerRefresh = false;
    try {
        // The timer comes again: it never waits long for a database another program
        // holds, the window would stand still meanwhile.
        Database db = Database::openData(m_station.paths(), tick ? TickBusyTimeoutMs : Database::DefaultBusyTimeoutMs);
        // Arrivals announced while the operator works are taken into the list around what
        // she is looking at: once she has picked a patient a rebuild would empty her
        // studies and viewer under her. A rebuild reads the list's first page.
        const bool merge = tick && m_state.hasPatient();
        const std::optional<QList<PatientRow>> rows =
            StoreQueries::takeAnnouncedPatients(db, tick, merge ? -1 : patientPage);
        if (!rows)
            return;
        if (merge) {
            mergePatients(*rows);
            addNewStudies(db);
        } else {
            rebuildPatients(*rows);
        }
        if (tick)
            emit arrivalsTaken();
    } catch (const std::exception &e) {
        m_station.logError(e, QStringLiteral("MainForm_RefreshPatientList"));
    }
}

void BrowserPanel::rebuildPatients(const QList<PatientRow> &rows)
{
    const quint64 generation = m_fill.generation + 1;
    m_fill = PatientFill();
    m_fill.generation = generation;
    {
        ListFill fill(m_lvPatients);
        clearPatients();
        m_lvStudien->setSortingEnabled(false);
        m_lvStudien->clear();
        m_lvImages->setSortingEnabled(false);
        m_lvImages->clear();
        m_state.setListedImages(0);
        if (m_frmSerien->isVisible()) {
            m_frmSerien->hide();
            m_lvSerien->clear();
        }
        // Nothing is loaded any more: the viewer empties, and its status panels say nothing.
        m_state.clearViewer();
        addPatientPage(rows);
        sortById(m_lvPatients);
        // The highlight stays on the patient the status bar names.
        highlightCurrentPatient();
    }
    // A full page: more may follow. The window shows this one first.
    if (rows.size() >= patientPage && patientPage > 0)
        schedulePatientPage(0);
    else
        emit patientListComplete();
}

void BrowserPanel::clearPatients()
{
    if (m_lvPatients->topLevelItemCount() <= patientPage) {
        m_lvPatients->clear();
        return;
    }
    // A long list's rows are taken out at once and freed page by page afterwards: freeing
    // them all would keep the operator waiting for the new list.
    const bool schedule = m_discarded.isEmpty();
    m_discarded += m_lvPatients->invisibleRootItem()->takeChildren();
    if (schedule)
        QTimer::singleShot(0, this, &BrowserPanel::freeDiscarded);
}

void BrowserPanel::freeDiscarded()
{
    const qsizetype n = std::min<qsizetype>(m_discarded.size(), std::max(patientPage, 1));
    for (qsizetype i = m_discarded.size() - n; i < m_discarded.size(); ++i)
        delete m_discarded[i];
    m_discarded.resize(m_discarded.size() - n);
    if (!m_discarded.isEmpty())
        QTimer::singleShot(0, this, &BrowserPanel::freeDiscarded);
}

void BrowserPanel::addPatientPage(const QList<PatientRow> &rows)
{
    if (rows.isEmpty())
        return;
    m_fill.after = rows.last().patId1.toUtf8();
    // Put in all at once with sorting off, in the list's order (the store gives them by
    // ID; where the locale orders some IDs otherwise, they are sorted here): the list's
    // own sort then finds every row in place, and compares rows by their place.
    QList<const PatientRow *> sorted;
    sorted.reserve(rows.size());
    for (const PatientRow &r : rows)
        sorted.append(&r);
    const auto before = [](const QString &a, const QString &b) { return QString::localeAwareCompare(a, b) < 0; };
    const auto rowBefore = [&](const PatientRow *a, const PatientRow *b) { return before(a->patId1, b->patId1); };
    // Whether each ID comes strictly before the next one.
    std::vector<bool> ascends(sorted.size(), true);
    const auto compareNeighbours = [&] {
        for (qsizetype i = 0; i + 1 < sorted.size(); ++i) {
            ascends[i] = rowBefore(sorted[i], sorted[i + 1]);
            if (!ascends[i] && rowBefore(sorted[i + 1], sorted[i]))
                return false;
        }
        return true;
    };
    if (!compareNeighbours()) {
        std::stable_sort(sorted.begin(), sorted.end(), rowBefore);
        compareNeighbours();
    }
    // This page's rows come after all the earlier pages' in the list's order only when
    // its first ID does: otherwise their places would not agree with the IDs, and the
    // rows are placed once the list is complete.
    if (m_fill.placed > 0 && !before(m_fill.lastPlaced, sorted.first()->patId1))
        m_fill.unordered = true;
    const int base = m_fill.placed;
    QList<QTreeWidgetItem *> items;
    items.reserve(sorted.size());
    for (qsizetype i = 0; i < sorted.size(); ++i) {
        // Equal IDs (never in the store) get no place: between them the texts decide.
        const bool distinct = (i == 0 || ascends[i - 1]) && ascends[i] && !m_fill.unordered;
        items.append(patientItem(*sorted[i], distinct ? base + int(i) : -1));
    }
    m_fill.placed = base + int(sorted.size());
    m_fill.lastPlaced = sorted.last()->patId1;
    m_lvPatients->addTopLevelItems(items);
}

void BrowserPanel::schedulePatientPage(int delayMs)
{
    m_fill.pending = true;
    const quint64 generation = m_fill.generation;
    QTimer::singleShot(delayMs, this, [this, generation] { takeNextPatientPage(generation); });
}

void BrowserPanel::takeNextPatientPage(quint64 generation)
{
    if (generation != m_fill.generation || !m_fill.pending)
        return;
    QList<PatientRow> rows;
    try {
        Database db = Database::openData(m_station.paths(), TickBusyTimeoutMs);
        rows = StoreQueries::patientsAfter(db, QString::fromUtf8(m_fill.after), patientPage);
    } catch (const std::exception &e) {
        // The store is busy or away for a moment: the list goes on filling a little later,
        // it never stays short of patients without saying so.
        m_station.logError(e, QStringLiteral("MainForm_FillPatientList"));
        schedulePatientPage(500);
        return;
    }
    QTreeWidget *lv = m_lvPatients;
    QTreeWidgetItem *current = lv->currentItem();
    const bool last = rows.size() < patientPage;
    {
        // The operator may have sorted by another column meanwhile: sorting by texts is
        // slow on a long list, so such a sort waits for the last page. Sorting by ID goes
        // by the rows' places and is redone with each page.
        lv->setUpdatesEnabled(false);
        lv->setSortingEnabled(false);
        addPatientPage(rows);
        if (last)
            finishPatientFill();
        else if (lv->sortColumn() == 0 && !m_fill.unordered)
            lv->setSortingEnabled(true);
        lv->setUpdatesEnabled(true);
    }
    // The highlight follows the patient the status bar names, once its row is in.
    if (m_state.hasPatient()) {
        if (!current || current->data(0, TagRole).toLongLong() != m_state.patId())
            highlightCurrentPatient();
        else
            m_state.setPatIndex(currentPatientRow());
    }
    if (last) {
        m_fill.pending = false;
        emit patientListComplete();
    } else {
        schedulePatientPage(0);
    }
}

void BrowserPanel::finishPatientFill()
{
    QTreeWidget *lv = m_lvPatients;
    if (m_fill.unordered) {
        // Some IDs the store orders otherwise than the list: every row is placed anew in
        // the list's order, once, so the list's sorts compare places again.
        QList<PatientItem *> items;
        items.reserve(lv->topLevelItemCount());
        for (int i = 0; i < lv->topLevelItemCount(); ++i)
            items.append(static_cast<PatientItem *>(lv->topLevelItem(i)));
        const auto before = [](const PatientItem *a, const PatientItem *b) {
            return QString::localeAwareCompare(a->id(), b->id()) < 0;
        };
        std::stable_sort(items.begin(), items.end(), before);
        for (qsizetype i = 0; i < items.size(); ++i) {
            const bool distinct =
                (i == 0 || before(items[i - 1], items[i])) && (i + 1 == items.size() || before(items[i], items[i + 1]));
            items[i]->setPlace(distinct ? int(i) : -1);
        }
        m_fill.unordered = false;
    }
    lv->setSortingEnabled(true);
}

void BrowserPanel::mergePatients(const QList<PatientRow> &rows)
{
    QTreeWidget *lv = m_lvPatients;
    // Rows past the page the list's fill has reached come with its next pages.
    const bool filling = m_fill.pending;
    QTreeWidgetItem *highlighted = lv->currentItem();
    const qint64 highlightedKey = highlighted ? highlighted->data(0, TagRole).toLongLong() : 0;
    const bool wasSelected = highlighted && highlighted->isSelected();
    QHash<qint64, QTreeWidgetItem *> byKey;
    for (int i = 0; i < lv->topLevelItemCount(); ++i)
        byKey.insert(lv->topLevelItem(i)->data(0, TagRole).toLongLong(), lv->topLevelItem(i));

    lv->setUpdatesEnabled(false);
    lv->setSortingEnabled(false);
    QSet<qint64> present;
    for (const PatientRow &r : rows) {
        present.insert(r.patId);
        const QStringList texts{r.patId1, r.displayName(), r.secondName, r.birthDate};
        if (QTreeWidgetItem *it = byKey.value(r.patId)) {
            for (int c = 0; c < texts.size(); ++c)
                if (it->text(c) != texts[c])
                    it->setText(c, texts[c]);
        } else if (!filling || r.patId1.toUtf8() <= m_fill.after) {
            lv->addTopLevelItem(patientItem(r));
        }
    }
    // Patients gone meanwhile leave the list, but never the one being worked on.
    for (int i = lv->topLevelItemCount() - 1; i >= 0; --i) {
        const qint64 key = lv->topLevelItem(i)->data(0, TagRole).toLongLong();
        if (!present.contains(key) && key != m_state.patId() && key != highlightedKey)
            delete lv->takeTopLevelItem(i);
    }
    if (filling)
        lv->setSortingEnabled(!m_fill.unordered && lv->sortColumn() == 0);
    else
        sortById(lv);
    for (int i = 0; i < lv->topLevelItemCount(); ++i) {
        QTreeWidgetItem *it = lv->topLevelItem(i);
        if (it->data(0, TagRole).toLongLong() == highlightedKey && highlighted) {
            lv->setCurrentItem(it, 0,
                               wasSelected ? QItemSelectionModel::ClearAndSelect : QItemSelectionModel::NoUpdate);
            it->setSelected(wasSelected);
            break;
        }
    }
    m_state.setPatIndex(currentPatientRow());
    lv->setUpdatesEnabled(true);
}

void BrowserPanel::addNewStudies(Database &db)
{
    // New studies of the current patient join its list; the selected one stays.
    QSet<QString> listed;
    for (int i = 0; i < m_lvStudien->topLevelItemCount(); ++i)
        listed.insert(m_lvStudien->topLevelItem(i)->data(0, TagRole).toString());
    if (m_lvStudien->topLevelItemCount() == 0 && m_lvPatients->currentItem()
        && m_lvPatients->currentItem()->text(0) != m_state.patId1())
        return;
    const QSignalBlocker block(m_lvStudien);
    for (const StudyRow &r : StoreQueries::studiesOfPatient(db, m_state.patId1())) {
        if (listed.contains(r.studyUid))
            continue;
        auto *it = new QTreeWidgetItem({QString::number(r.studyId), r.date, r.time, r.modality, r.bodypart});
        it->setData(0, TagRole, r.studyUid);
        m_lvStudien->addTopLevelItem(it);
        showCommitment(it);
    }
}

int BrowserPanel::currentPatientRow() const
{
    if (!m_state.hasPatient())
        return -1;
    for (int i = 0; i < m_lvPatients->topLevelItemCount(); ++i)
        if (m_lvPatients->topLevelItem(i)->text(0) == m_state.patId1())
            return i;
    for (int i = 0; i < m_lvPatients->topLevelItemCount(); ++i)
        if (m_lvPatients->topLevelItem(i)->data(0, TagRole).toLongLong() == m_state.patId())
            return i;
    return -1;
}

void BrowserPanel::highlightCurrentPatient()
{
    const int row = currentPatientRow();
    m_state.setPatIndex(row);
    const QSignalBlocker block(m_lvPatients);
    if (row >= 0)
        m_lvPatients->setCurrentItem(m_lvPatients->topLevelItem(row));
    else
        m_lvPatients->clearSelection();
}

void BrowserPanel::resetViewerState()
{
    // Whatever was pending belongs to the images being left.
    m_edits.clear();
    // The viewer empties; the status panels, the patient's too, say nothing.
    m_state.resetViewer();
}

void BrowserPanel::showPatientPanels(const QString &name, const QString &patId1)
{
    setPanel(StoreStatus::PanelPatient, QStringLiteral("Patient: ") + name);
    setPanel(StoreStatus::PanelId, QStringLiteral("ID: ") + patId1);
}

void BrowserPanel::patientMouseUp(Qt::MouseButton button, const QPoint &pos)
{
    QTreeWidget *lv = m_lvPatients;
    if (lv->topLevelItemCount() == 0)
        return;
    try {
        QTreeWidgetItem *under = lv->itemAt(pos);
        if (button == Qt::RightButton) {
            // The menu acts on the patient under the mouse; the current patient (and
            // the highlight that names it) stays until a pick.
            if (!under)
                return;
            m_state.setPopupPatient(under->data(0, TagRole).toLongLong(), under->text(0));
            highlightCurrentPatient();
            popup(Menu::Patient, lv->viewport()->mapToGlobal(pos));
        } else if (button == Qt::LeftButton) {
            pickPatient(under ? under : lv->currentItem());
        }
    } catch (const std::exception &e) {
        m_station.logError(e, QStringLiteral("MainForm lvPatients_MouseUp"));
    }
}

void BrowserPanel::pickPatient(QTreeWidgetItem *item)
{
    QTreeWidget *lv = m_lvPatients;
    if (!item)
        return;
    if (!m_edits.confirmDiscard(m_station.prompter())) {
        // Keep everything: the highlight goes back to the patient being worked on, found
        // by its ID (a rebuild may have put another patient in its old row).
        highlightCurrentPatient();
        return;
    }
    {
        const QSignalBlocker block(lv);
        lv->setCurrentItem(item);
    }
    // Picked: the mark of images that came meanwhile has done its work.
    if (item->font(0).bold())
        setArrivalMark(item, false);
    if (item->text(0) != m_state.patId1())
        resetViewerState();
    const qint64 key = item->data(0, TagRole).toLongLong();
    const QString patId1 = item->text(0), name = item->text(1), birthDate = item->text(3);
    m_state.setPatIndex(m_lvPatients->indexOfTopLevelItem(item));
    m_state.setPopupPatient(key, patId1);
    showPatientPanels(name, patId1);
    m_lvStudien->setSortingEnabled(false);
    m_lvStudien->clear();
    if (m_frmSerien->isVisible()) {
        m_frmSerien->hide();
        m_lvSerien->clear();
    }
    fillStudies(patId1);
    m_lvImages->clear();
    m_state.setListedImages(0);
    // The dose panel shows the closed records of this patient; picked again, afresh.
    if (!m_state.setPatient(key, patId1, name, birthDate))
        m_state.notifyPatientPicked();
}

void BrowserPanel::keyboardMoved(QTreeWidget *lv)
{
    // The arrow keys move the highlight; the highlight always names what is loaded, so a
    // move picks like a click.
    QTreeWidgetItem *item = lv->currentItem();
    if (!item)
        return;
    try {
        if (lv == m_lvPatients) {
            if (item->text(0) != m_state.patId1())
                pickPatient(item);
        } else if (lv == m_lvStudien) {
            if (item->data(0, TagRole).toString() != m_state.studyUid())
                studyItemClick(item);
        }
    } catch (const std::exception &e) {
        m_station.logError(e, QStringLiteral("MainForm lvPatients_KeyUp"));
    }
}

void BrowserPanel::fillStudies(const QString &patId1)
{
    m_station.trap(QStringLiteral("MainForm lvPatients_MouseUp"), [&] {
        Database db = Database::openData(m_station.paths());
        const QList<StudyRow> rows = StoreQueries::studiesOfPatient(db, patId1);
        ListFill fill(m_lvStudien);
        for (const StudyRow &r : rows) {
            auto *it = new QTreeWidgetItem({QString::number(r.studyId), r.date, r.time, r.modality, r.bodypart});
            it->setData(0, TagRole, r.studyUid);
            m_lvStudien->addTopLevelItem(it);
            showCommitment(it);
        }
        m_lvStudien->setSortingEnabled(true);
        m_lvStudien->sortByColumn(0, Qt::AscendingOrder);
    });
}

// ---- studies and series --------------------------------------------------------

bool BrowserPanel::takeSelectedStudy()
{
    QTreeWidgetItem *item = m_lvStudien->currentItem();
    if (!item || !item->isSelected())
        return false;
    m_state.setStudy(item->text(0), item->data(0, TagRole).toString(), m_lvStudien->indexOfTopLevelItem(item));
    return true;
}

void BrowserPanel::studyItemClick(QTreeWidgetItem *item)
{
    if (!item)
        return;
    if (!m_edits.confirmDiscard(m_station.prompter())) {
        highlightCurrentStudy();
        return;
    }
    m_station.trap(QStringLiteral("LoadImages"), [&] {
        m_lvStudien->setCurrentItem(item);
        startStudyLoad();
        m_state.setLoadLevel(LevelStudy);
        m_state.setStudyUid(item->data(0, TagRole).toString());
        Database db = Database::openData(m_station.paths());
        loadImages(StoreQueries::imagesOfStudy(db, m_state.studyUid()));
    });
    m_state.notifyStudyOpened();
}

void BrowserPanel::highlightCurrentStudy()
{
    const QSignalBlocker block(m_lvStudien);
    for (int i = 0; i < m_lvStudien->topLevelItemCount(); ++i) {
        QTreeWidgetItem *it = m_lvStudien->topLevelItem(i);
        if (!m_state.studyUid().isEmpty() && it->data(0, TagRole).toString() == m_state.studyUid()) {
            m_lvStudien->setCurrentItem(it);
            return;
        }
    }
    m_lvStudien->clearSelection();
}

void BrowserPanel::studyMouseUp(Qt::MouseButton button, const QPoint &pos)
{
    if (button != Qt::RightButton)
        return;
    QTreeWidgetItem *under = m_lvStudien->itemAt(pos);
    if (!under)
        return;
    if (!m_edits.confirmDiscard(m_station.prompter()))
        return;
    m_lvStudien->setCurrentItem(under);
    popup(Menu::Study, m_lvStudien->viewport()->mapToGlobal(pos));
}

void BrowserPanel::viewStudyImages()
{
    m_station.trap(QStringLiteral("PopUpStudie_Laden"), [&] { startStudyLoad(); });
}

void BrowserPanel::startStudyLoad()
{
    if (!takeSelectedStudy())
        return;
    m_state.setLoadLevel(LevelStudy);
    m_edits.clear();
    bool ok = false;
    const qint64 id = m_state.studyId().toLongLong(&ok);
    if (!ok)
        throw AppError(ErrorNo::BadInput, QStringLiteral("Not a study key: '%1'").arg(m_state.studyId()));
    m_state.openImages({ImageSelection::Study, id});
}

void BrowserPanel::viewSeries()
{
    try {
        if (!takeSelectedStudy())
            return;
        m_edits.clear();
        Database db = Database::openData(m_station.paths());
        const QList<SeriesRow> rows = StoreQueries::seriesOfStudy(db, m_state.studyId().toLongLong());
        QListWidget *lv = m_lvSerien;
        lv->setSortingEnabled(false);
        lv->clear();
        auto *back = new QListWidgetItem(QStringLiteral(".."), lv);
        back->setData(TagRole, BackTag);
        QListWidgetItem *first = nullptr;
        for (const SeriesRow &r : rows) {
            auto *it = new QListWidgetItem(QStringLiteral("# ") + r.seriesNr, lv);
            it->setData(TagRole, r.seriesId);
            if (!first)
                first = it;
        }
        lv->setCurrentItem(first ? first : back);
        m_frmSerien->show();
        m_frmSerien->raise();
    } catch (const std::exception &e) {
        m_station.logError(e, QStringLiteral("MainForm PopUpStudie_SeriesWindow"));
    }
}

void BrowserPanel::showDoseReport()
{
    // The study the menu was opened on.
    const QString studyUid = m_state.highlightedStudyUid();
    if (studyUid.isEmpty())
        return;
    const QString procedure = QStringLiteral("MainForm PopUpStudie_DoseReport_Click");
    DoseReportFacts facts;
    try {
        const QString file = DoseReports(m_station).keptFile(studyUid);
        if (file.isEmpty()) {
            m_station.prompter().message(QStringLiteral("No dose report has been made for this study."),
                                         MsgIcon::Information);
            return;
        }
        facts = DoseReports::read(file);
    } catch (const std::exception &e) {
        m_station.showError(e, procedure);
        return;
    }
    DoseReportForm form(facts, m_lvStudien->window());
    execDialog(form);
}

void BrowserPanel::seriesDoubleClick() { seriesPick(true); }

void BrowserPanel::viewSeriesImages() { seriesPick(false); }

void BrowserPanel::seriesPick(bool ask)
{
    QListWidget *lv = m_lvSerien;
    QListWidgetItem *item = lv->currentItem();
    if (!item || !item->isSelected())
        return;
    if (item->data(TagRole).toString() == BackTag) {
        m_frmSerien->hide();
        lv->clear();
        return;
    }
    if (ask && !m_edits.confirmDiscard(m_station.prompter()))
        return;
    m_station.trap(QStringLiteral("LoadImages"), [&] {
        m_state.setLoadLevel(LevelSeries);
        m_state.setSeries(item->data(TagRole).toLongLong(), lv->count(), lv->row(item));
        m_edits.clear();
        m_state.openImages({ImageSelection::Series, m_state.seriesId()});
        Database db = Database::openData(m_station.paths());
        loadImages(StoreQueries::imagesOfSeries(db, m_state.seriesId()));
    });
}

void BrowserPanel::seriesMouseUp(Qt::MouseButton button, const QPoint &pos)
{
    if (button != Qt::RightButton)
        return;
    QListWidget *lv = m_lvSerien;
    QListWidgetItem *current = lv->currentItem();
    if (!current || !current->isSelected() || lv->row(current) == 0)
        return;
    if (!m_edits.confirmDiscard(m_station.prompter()))
        return;
    if (QListWidgetItem *under = lv->itemAt(pos))
        lv->setCurrentItem(under);
    // The series menu's commands (send) act on this row, not on what is loaded.
    m_state.setPopupSeriesId(lv->currentItem()->data(TagRole).toLongLong());
    popup(Menu::Series, lv->viewport()->mapToGlobal(pos));
}

void BrowserPanel::loadImages(const QList<ImageRow> &rows)
{
    QTreeWidget *lv = m_lvImages;
    lv->setSortingEnabled(false);
    lv->clear();
    ListFill fill(lv);
    for (const ImageRow &r : rows) {
        auto *it = new QTreeWidgetItem({QString::number(r.imageId), r.date, r.time, r.imageUid});
        it->setData(0, TagRole, r.imageId);
        lv->addTopLevelItem(it);
    }
    m_state.setListedImages(int(rows.size()));
}

void BrowserPanel::imagesItemClick(QTreeWidgetItem *item)
{
    if (!item)
        return;
    const QString uid = item->text(3);
    if (uid.isEmpty())
        return;
    m_state.showImage(uid);
}

void BrowserPanel::markImageRowOfPick()
{
    // The row of the same image (exact UID: a UID that merely contains another is a
    // different image).
    if (m_state.currentImage() <= 0)
        return;
    const QString uid = m_state.currentImageUid();
    QTreeWidget *lv = m_lvImages;
    lv->clearSelection();
    if (uid.isEmpty())
        return;
    for (int i = 0; i < lv->topLevelItemCount(); ++i) {
        QTreeWidgetItem *it = lv->topLevelItem(i);
        if (it->text(3) == uid) {
            lv->setCurrentItem(it);
            lv->scrollToItem(it);
            break;
        }
    }
}

void BrowserPanel::popup(const QString &menuName, const QPoint &globalPos)
{
    if (QMenu *m = m_commands.menu(menuName))
        m->popup(globalPos);
}

void BrowserPanel::markPickedImageRow()
{
    QTreeWidget *images = m_lvImages;
    if (images->topLevelItemCount() == 0)
        return;
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

// ---- deletion ----------------------------------------------------------------------

void BrowserPanel::forgetPatient()
{
    m_lvStudien->clear();
    m_lvSerien->clear();
    m_frmSerien->hide();
    m_lvImages->clear();
    for (int i = 0; i < StoreStatus::PanelCount; ++i)
        setPanel(StoreStatus::Panel(i), QString());
    m_state.forgetPatient();
}

void BrowserPanel::applyDeletion(const StoreDeletion::Result &r)
{
    // Items go by their keys, and only those whose rows are gone.
    auto removeTree = [](QTreeWidget *lv, auto gone) {
        for (int i = lv->topLevelItemCount() - 1; i >= 0; --i)
            if (gone(lv->topLevelItem(i)))
                delete lv->takeTopLevelItem(i);
    };
    removeTree(m_lvPatients,
               [&r](QTreeWidgetItem *it) { return r.patients.contains(it->data(0, TagRole).toLongLong()); });
    if (r.patients.contains(m_state.popupPatId()))
        m_state.setPopupPatient(0, QString());
    if (r.patients.contains(m_state.patId())) {
        forgetPatient();
        return;
    }
    removeTree(m_lvStudien,
               [&r](QTreeWidgetItem *it) { return r.studyUids.contains(it->data(0, TagRole).toString()); });
    removeTree(m_lvImages, [&r](QTreeWidgetItem *it) { return r.imageUids.contains(it->text(3)); });
    m_state.setListedImages(m_lvImages->topLevelItemCount());
    for (int i = m_lvSerien->count() - 1; i >= 0; --i) {
        QListWidgetItem *it = m_lvSerien->item(i);
        if (it->data(TagRole).toString() != BackTag && r.series.contains(it->data(TagRole).toLongLong()))
            delete m_lvSerien->takeItem(i);
    }
    if (r.studyUids.contains(m_state.studyUid())) {
        m_lvSerien->clear();
        m_frmSerien->hide();
    }
}

void BrowserPanel::refreshImageList(bool repick)
{
    m_station.trap(QStringLiteral("MainForm_RefreshImageList"), [&] {
        // Emptied and picked again; the image rows themselves stay.
        m_lvImages->clear();
        m_state.setListedImages(0);
        QTreeWidgetItem *study = m_lvStudien->currentItem();
        if (repick && study && study->isSelected())
            studyItemClick(study);
    });
}

#include "store/BrowserPanel.h"
#include "dicom/StorageReceiver.h"
#include "core/AppError.h"
#include "core/Database.h"
#include "edit/EditSession.h"
#include "store/Schema.h"
#include "store/ViewerPaging.h"
#include "store/ViewerWidget.h"
#include "ui/CommandIds.h"
#include "ui/CommandTable.h"
#include "ui/EditForm.h"
#include "ui/ListHelpers.h"
#include "ui/MainHooks.h"

#include <QAction>
#include <QCoreApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QListWidget>
#include <QDialog>
#include <QMenu>
#include <QMouseEvent>
#include <QProgressBar>
#include <QScrollBar>
#include <QSplitter>
#include <QTimer>
#include <QTreeWidget>
#include <QApplication>
#include <QPointer>
#include <QSet>
#include <QVBoxLayout>

namespace {

const QString LevelStudy = QStringLiteral("Studie");
const QString LevelSeries = QStringLiteral("Serie");
const QString BackTag = QStringLiteral("back");

// The patient list refresh of the update timer.
constexpr int UpdateIntervalMs = 10000;

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
                           MainHooks &hooks, QWidget *parent, StudyLoader::RenderFn render)
    : QObject(parent), m_station(station), m_state(selection), m_edits(edits), m_commands(commands), m_hooks(hooks),
      m_loader(std::move(render))
{
    execDialog = [](QDialog &d) { return d.exec(); };
    m_windowRender = [](const QString &path, const QSize &size) {
        return ViewerImage(dicom::renderWindowSource(path, size), path);
    };
    buildControls(parent);
    connectControls();
    hookCommands();

    hooks.prepareDataFiles.push_back([this] {
        Schema::ensureDatabases(m_station.paths());
        m_station.paths().createFolders();
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
    hooks.initializeControls.push_back([this] {
        initializeControls();
        if (!m_updateTimer->isActive())
            m_updateTimer->start();
    });
    hooks.settingsChanged.push_back([this] {
        initializeControls();
        initScrollbar();
    });
    hooks.clearViewer.push_back([this] {
        m_updateTimer->stop();
        clearViewer();
    });
}

BrowserPanel::~BrowserPanel()
{
    ++m_windowGeneration;
    for (auto &t : m_windowThreads)
        if (t.second.joinable())
            t.second.join();
    // The window's controls may already be gone here: only the workers are stopped.
    if (m_loader.isRunning())
        m_loader.cancel();
}

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

    m_lvStudien =
        reportList(QStringLiteral("lvStudien"), {QStringLiteral("ID"), QStringLiteral("Date"), QStringLiteral("Time"),
                                                 QStringLiteral("Modality"), QStringLiteral("Bodypart")});
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

    // Middle pane: the viewer with its scroll bar and load progress.
    m_viewerPane = new QWidget(parent);
    auto *midLayout = new QGridLayout(m_viewerPane);
    midLayout->setContentsMargins(0, 0, 0, 0);
    midLayout->setSpacing(2);
    m_dv1 = new ViewerWidget;
    m_dv1->setContextMenuPolicy(Qt::CustomContextMenu);
    m_vscroll = new QScrollBar(Qt::Vertical);
    m_vscroll->setObjectName(QStringLiteral("dv1_vscroll"));
    m_vscroll->setEnabled(false);
    m_vscroll->setSingleStep(1);
    m_pbLoad = new QProgressBar;
    m_pbLoad->setObjectName(QStringLiteral("pbLoad"));
    m_pbLoad->setFormat(QStringLiteral("Loading %v / %m"));
    m_pbLoad->hide();
    midLayout->addWidget(m_dv1, 0, 0);
    midLayout->addWidget(m_vscroll, 0, 1);
    midLayout->addWidget(m_pbLoad, 1, 0, 1, 2);

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
    connect(m_dv1, &ViewerWidget::mouseReleased, this, &BrowserPanel::viewerMouseUp);
    connect(m_dv1, &ViewerWidget::keyPressed, this, &BrowserPanel::viewerKeyDown);
    connect(m_dv1, &ViewerWidget::doubleClicked, this, &BrowserPanel::viewerDoubleClick);
    connect(m_dv1, &ViewerWidget::wheelTurned, this, &BrowserPanel::viewerWheel);
    connect(m_dv1, &ViewerWidget::rightDragged, this, &BrowserPanel::windowDrag);
    // The hanging or the grid changed under a load: the pages are counted again.
    connect(m_dv1, &ViewerWidget::layoutChanged, this, [this] { initScrollbar(); });
    connect(m_vscroll, &QScrollBar::valueChanged, this, [this](int v) {
        if (!m_vscroll->isSliderDown())
            scrollChange(v);
    });
    connect(m_vscroll, &QScrollBar::sliderMoved, this, &BrowserPanel::scrollDrag);
    connect(m_vscroll, &QScrollBar::sliderReleased, this, [this] { scrollChange(m_vscroll->value()); });
    connect(m_updateTimer, &QTimer::timeout, this, &BrowserPanel::updateTimerTick);
    // A dose row clicked for the picked image marks that image's row.
    connect(&m_state, &StoreSelection::markPickedImageRowRequested, this, &BrowserPanel::markPickedImageRow);
    connect(&m_state, &StoreSelection::imageListRefreshRequested, this, &BrowserPanel::refreshImageList);

    connect(&m_loader, &StudyLoader::imageReady, this, &BrowserPanel::onImageReady);
    connect(&m_loader, &StudyLoader::imageFailed, this, &BrowserPanel::onImageFailed);
    connect(&m_loader, &StudyLoader::finished, this, &BrowserPanel::onLoadFinished);
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
    c->hook(Cmd::PatientDelete, [this] { deletePatient(); });
    c->hook(Cmd::PatientDeleteAll, [this] { deleteAllPatients(); });
    c->hook(Cmd::StudyDelete, [this] { deleteStudy(); });
    c->hook(Cmd::SeriesDelete, [this] { deleteSeries(); });
    c->hook(Cmd::ImageDelete, [this] { deleteImage(); });

    auto *v = m_dv1;
    c->hook(Cmd::ViewerRotateRight, [this, v] { forCurrent([v](int n) { v->rotate(n, 90); }); });
    c->hook(Cmd::ViewerRotateLeft, [this, v] { forCurrent([v](int n) { v->rotate(n, -90); }); });
    c->hook(Cmd::ViewerMirrorH, [this, v] { forCurrent([v](int n) { v->mirror(n, true); }); });
    c->hook(Cmd::ViewerMirrorV, [this, v] { forCurrent([v](int n) { v->mirror(n, false); }); });
    c->hook(Cmd::ViewerAllRotateRight, [this, v] { forAll([v](int n) { v->rotate(n, 90); }); });
    c->hook(Cmd::ViewerAllRotateLeft, [this, v] { forAll([v](int n) { v->rotate(n, -90); }); });
    c->hook(Cmd::ViewerAllMirrorH, [this, v] { forAll([v](int n) { v->mirror(n, true); }); });
    c->hook(Cmd::ViewerAllMirrorV, [this, v] { forAll([v](int n) { v->mirror(n, false); }); });
    c->hook(Cmd::ViewerReset, [this, v] {
        forCurrent([v](int n) { v->reset(n); });
        resetWindow();
    });
    c->hook(Cmd::MammoLayout, [this] { setMammoLayout(!m_dv1->mammoLayoutOn()); });
    c->hook(Cmd::ViewerResetAll, [this, v] { forAll([v](int n) { v->reset(n); }); });
}

void BrowserPanel::forCurrent(const std::function<void(int)> &f)
{
    if (m_state.currentImage >= 1 && m_state.currentImage <= m_dv1->count())
        f(m_state.currentImage);
}

void BrowserPanel::forAll(const std::function<void(int)> &f)
{
    for (int n = 1; n <= m_dv1->count(); ++n)
        f(n);
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

QString BrowserPanel::currentImageFile() const
{
    const int n = m_state.currentImage;
    if (n < 1 || n > m_dv1->count())
        return {};
    return m_dv1->image(n).path;
}

// ---- patient list ----------------------------------------------------------------

void BrowserPanel::updateTimerTick()
{
    m_station.timerRefresh = true;
    refreshPatientList();
}

void BrowserPanel::refreshPatientList()
{
    if (m_station.busy) {
        // A tick that meets a running load must not leave its flag behind: the next
        // manual refresh would otherwise be taken for a tick and do nothing.
        m_station.timerRefresh = false;
        return;
    }
    const bool tick = m_station.timerRefresh;
    m_station.timerRefresh = false;
    try {
        // The timer comes again: it never waits long for a database another program
        // holds, the window would stand still meanwhile.
        Database db = Database::openData(m_station.paths(), tick ? TickBusyTimeoutMs : Database::DefaultBusyTimeoutMs);
        const std::optional<QList<PatientRow>> rows = StoreQueries::takeAnnouncedPatients(db, tick);
        if (!rows)
            return;
        // Arrivals announced while the operator works: taken into the list around what
        // she is looking at. Once she has picked a patient a rebuild would empty her
        // studies and viewer under her.
        if (tick && m_state.hasPatient()) {
            mergePatients(*rows);
            addNewStudies(db);
            return;
        }
        rebuildPatients(*rows);
    } catch (const std::exception &e) {
        m_station.logError(e, QStringLiteral("MainForm_RefreshPatientList"));
    }
}

void BrowserPanel::rebuildPatients(const QList<PatientRow> &rows)
{
    ListFill fill(m_lvPatients);
    m_lvPatients->clear();
    m_lvStudien->setSortingEnabled(false);
    m_lvStudien->clear();
    m_lvImages->setSortingEnabled(false);
    m_lvImages->clear();
    m_state.listedImages = 0;
    if (m_frmSerien->isVisible()) {
        m_frmSerien->hide();
        m_lvSerien->clear();
    }
    clearViewer();
    initScrollbar();
    // Nothing is loaded any more: the panels that said what was loaded say nothing.
    setPanel(PanelImages, QString());
    setPanel(PanelSelected, QString());

    QList<QTreeWidgetItem *> items;
    items.reserve(rows.size());
    for (const PatientRow &r : rows) {
        auto *it = new QTreeWidgetItem({r.patId1, r.displayName(), r.secondName, r.birthDate});
        it->setData(0, TagRole, r.patId);
        items.append(it);
    }
    m_lvPatients->addTopLevelItems(items);
    m_lvPatients->setSortingEnabled(true);
    m_lvPatients->sortByColumn(0, Qt::AscendingOrder);
    // The highlight stays on the patient the status bar names.
    highlightCurrentPatient();
}

void BrowserPanel::mergePatients(const QList<PatientRow> &rows)
{
    QTreeWidget *lv = m_lvPatients;
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
        } else {
            auto *added = new QTreeWidgetItem(texts);
            added->setData(0, TagRole, r.patId);
            lv->addTopLevelItem(added);
        }
    }
    // Patients gone meanwhile leave the list, but never the one being worked on.
    for (int i = lv->topLevelItemCount() - 1; i >= 0; --i) {
        const qint64 key = lv->topLevelItem(i)->data(0, TagRole).toLongLong();
        if (!present.contains(key) && key != m_state.patId && key != highlightedKey)
            delete lv->takeTopLevelItem(i);
    }
    lv->setSortingEnabled(true);
    lv->sortByColumn(0, Qt::AscendingOrder);
    for (int i = 0; i < lv->topLevelItemCount(); ++i) {
        QTreeWidgetItem *it = lv->topLevelItem(i);
        if (it->data(0, TagRole).toLongLong() == highlightedKey && highlighted) {
            lv->setCurrentItem(it, 0, wasSelected ? QItemSelectionModel::ClearAndSelect : QItemSelectionModel::NoUpdate);
            it->setSelected(wasSelected);
            break;
        }
    }
    m_state.patIndex = currentPatientRow();
    lv->setUpdatesEnabled(true);
}

void BrowserPanel::addNewStudies(Database &db)
{
    // New studies of the current patient join its list; the selected one stays.
    QSet<QString> listed;
    for (int i = 0; i < m_lvStudien->topLevelItemCount(); ++i)
        listed.insert(m_lvStudien->topLevelItem(i)->data(0, TagRole).toString());
    if (m_lvStudien->topLevelItemCount() == 0 && m_lvPatients->currentItem()
        && m_lvPatients->currentItem()->text(0) != m_state.patId1)
        return;
    const QSignalBlocker block(m_lvStudien);
    for (const StudyRow &r : StoreQueries::studiesOfPatient(db, m_state.patId1)) {
        if (listed.contains(r.studyUid))
            continue;
        auto *it = new QTreeWidgetItem({QString::number(r.studyId), r.date, r.time, r.modality, r.bodypart});
        it->setData(0, TagRole, r.studyUid);
        m_lvStudien->addTopLevelItem(it);
    }
}

int BrowserPanel::currentPatientRow() const
{
    if (!m_state.hasPatient())
        return -1;
    for (int i = 0; i < m_lvPatients->topLevelItemCount(); ++i)
        if (m_lvPatients->topLevelItem(i)->text(0) == m_state.patId1)
            return i;
    for (int i = 0; i < m_lvPatients->topLevelItemCount(); ++i)
        if (m_lvPatients->topLevelItem(i)->data(0, TagRole).toLongLong() == m_state.patId)
            return i;
    return -1;
}

void BrowserPanel::highlightCurrentPatient()
{
    const int row = currentPatientRow();
    m_state.patIndex = row;
    const QSignalBlocker block(m_lvPatients);
    if (row >= 0)
        m_lvPatients->setCurrentItem(m_lvPatients->topLevelItem(row));
    else
        m_lvPatients->clearSelection();
}

void BrowserPanel::resetEditors()
{
    // Whatever was pending belongs to the images being left.
    m_edits.clear();
}

void BrowserPanel::resetViewerState()
{
    resetEditors();
    clearViewer();
    initScrollbar();
    for (int i = 0; i < PanelCount; ++i)
        setPanel(StatusPanel(i), QString());
}

void BrowserPanel::takePatient(QTreeWidgetItem *item)
{
    m_state.patId = item->data(0, TagRole).toLongLong();
    m_state.patId1 = item->text(0);
    m_state.patName = item->text(1);
    m_state.patBirthDate = item->text(3);
    m_state.patIndex = m_lvPatients->indexOfTopLevelItem(item);
}

void BrowserPanel::showPatientPanels()
{
    setPanel(PanelPatient, QStringLiteral("Patient: ") + m_state.patName);
    setPanel(PanelId, QStringLiteral("ID: ") + m_state.patId1);
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
            m_state.popupPatId = under->data(0, TagRole).toLongLong();
            m_state.popupPatId1 = under->text(0);
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
    if (item->text(0) != m_state.patId1)
        resetViewerState();
    takePatient(item);
    m_state.popupPatId = m_state.patId;
    m_state.popupPatId1 = m_state.patId1;
    showPatientPanels();
    m_lvStudien->setSortingEnabled(false);
    m_lvStudien->clear();
    if (m_frmSerien->isVisible()) {
        m_frmSerien->hide();
        m_lvSerien->clear();
    }
    fillStudies();
    m_lvImages->clear();
    m_state.listedImages = 0;
    // The dose panel shows the closed records of this patient.
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
            if (item->text(0) != m_state.patId1)
                pickPatient(item);
        } else if (lv == m_lvStudien) {
            if (item->data(0, TagRole).toString() != m_state.studyUid)
                studyItemClick(item);
        }
    } catch (const std::exception &e) {
        m_station.logError(e, QStringLiteral("MainForm lvPatients_KeyUp"));
    }
}

void BrowserPanel::fillStudies()
{
    m_station.trap(QStringLiteral("MainForm lvPatients_MouseUp"), [&] {
        Database db = Database::openData(m_station.paths());
        const QList<StudyRow> rows = StoreQueries::studiesOfPatient(db, m_state.patId1);
        ListFill fill(m_lvStudien);
        for (const StudyRow &r : rows) {
            auto *it = new QTreeWidgetItem({QString::number(r.studyId), r.date, r.time, r.modality, r.bodypart});
            it->setData(0, TagRole, r.studyUid);
            m_lvStudien->addTopLevelItem(it);
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
    m_state.studyId = item->text(0);
    m_state.studyUid = item->data(0, TagRole).toString();
    m_state.studyIndex = m_lvStudien->indexOfTopLevelItem(item);
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
        m_state.loadLevel = LevelStudy;
        m_state.studyUid = item->data(0, TagRole).toString();
        Database db = Database::openData(m_station.paths());
        loadImages(StoreQueries::imagesOfStudy(db, m_state.studyUid));
    });
    m_state.notifyStudyOpened();
}

void BrowserPanel::highlightCurrentStudy()
{
    const QSignalBlocker block(m_lvStudien);
    for (int i = 0; i < m_lvStudien->topLevelItemCount(); ++i) {
        QTreeWidgetItem *it = m_lvStudien->topLevelItem(i);
        if (!m_state.studyUid.isEmpty() && it->data(0, TagRole).toString() == m_state.studyUid) {
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
    m_station.trap(QStringLiteral("PopUpStudie_Laden"), [&] {
        startStudyLoad();
    });
}

void BrowserPanel::startStudyLoad()
{
    if (!takeSelectedStudy())
        return;
    m_state.loadLevel = LevelStudy;
    resetEditors();
    bool ok = false;
    const qint64 id = m_state.studyId.toLongLong(&ok);
    if (!ok)
        throw AppError(ErrorNo::BadInput, QStringLiteral("Not a study key: '%1'").arg(m_state.studyId));
    loadStudy({ImageSelection::Study, id});
    initScrollbar();
}

void BrowserPanel::viewSeries()
{
    try {
        if (!takeSelectedStudy())
            return;
        resetEditors();
        Database db = Database::openData(m_station.paths());
        const QList<SeriesRow> rows = StoreQueries::seriesOfStudy(db, m_state.studyId.toLongLong());
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
        m_state.loadLevel = LevelSeries;
        m_state.seriesId = item->data(TagRole).toLongLong();
        m_state.seriesCount = lv->count();
        m_state.seriesIndex = lv->row(item);
        resetEditors();
        loadStudy({ImageSelection::Series, m_state.seriesId});
        initScrollbar();
        Database db = Database::openData(m_station.paths());
        loadImages(StoreQueries::imagesOfSeries(db, m_state.seriesId));
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
    m_state.popupSeriesId = lv->currentItem()->data(TagRole).toLongLong();
    popup(Menu::Series, lv->viewport()->mapToGlobal(pos));
}

// ---- loading -----------------------------------------------------------------------

void BrowserPanel::loadStudy(const ImageSelection &sel)
{
    stopLoad();
    m_dv1->setUpdatesEnabled(false);
    m_dv1->clear();
    m_state.viewerFiles.clear();
    m_state.currentImage = 0;
    m_state.currentImageFile.clear();
    m_state.imageFramed = false;
    m_loadFailed = false;
    setPanel(PanelSelected, QString());
    m_busy.emplace(m_station);
    try {
        Database db = Database::openData(m_station.paths());
        const qint64 count = StoreQueries::imageCount(db, sel);
        if (count <= 0) {
            m_busy.reset();
            m_dv1->setUpdatesEnabled(true);
            m_station.prompter().message(QStringLiteral("No images found!"), MsgIcon::Critical);
            return;
        }
        const QStringList uids = StoreQueries::imageUids(db, sel);
        // The folder name comes from the database: checked before it names a path.
        m_station.paths().studyDir(m_state.studyUid);
        QList<StudyLoader::Item> items;
        items.reserve(uids.size());
        for (const QString &uid : uids) {
            StudyLoader::Item it;
            try {
                it.path = m_station.paths().imageFile(m_state.studyUid, uid);
            } catch (const AppError &e) {
                it.error = e.description();
            }
            items.append(it);
        }
        m_pbLoad->setMaximum(int(items.size()));
        m_pbLoad->setValue(0);
        m_pbLoad->show();
        m_dv1->reserve(int(items.size()));
        m_dv1->setUpdatesEnabled(true);
        m_loader.start(items, m_dv1->renderSize(int(items.size())));
    } catch (const std::exception &e) {
        m_station.logError(e, QStringLiteral("MainForm LoadStudy"));
        m_station.prompter().message(QStringLiteral("An error occured during loading - please retry!"),
                                     MsgIcon::Critical);
        m_dv1->clear();
        m_state.viewerFiles.clear();
        m_pbLoad->hide();
        m_dv1->setUpdatesEnabled(true);
        m_busy.reset();
    }
}

void BrowserPanel::onImageReady(int number, const ViewerImage &img)
{
    m_dv1->setImage(number, img);
    m_pbLoad->setValue(m_pbLoad->value() + 1);
}

void BrowserPanel::onImageFailed(int, const QString &path, long errorNumber, const QString &description)
{
    m_loadFailed = true;
    m_station.logError(errorNumber, description + QStringLiteral(" (") + path + QLatin1Char(')'),
                       QStringLiteral("MainForm LoadStudy (READ_ERROR)"));
}

void BrowserPanel::onLoadFinished(int loaded, int)
{
    // The pictures read so far stay; the places of files that never came are dropped.
    const int before = m_dv1->count();
    m_dv1->dropEmpty();
    syncViewerFiles();
    setPanel(PanelImages, QString::number(loaded) + QStringLiteral(" image(s)"));
    m_pbLoad->hide();
    m_busy.reset();
    if (before != m_dv1->count())
        initScrollbar();
    if (m_loadFailed)
        m_station.prompter().message(QStringLiteral("An error occured during loading - please retry!"),
                                     MsgIcon::Critical);
    emit loadFinished();
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
    m_state.listedImages = int(rows.size());
}

// ---- scroll bar, keys and picking ------------------------------------------------

void BrowserPanel::initScrollbar()
{
    QScrollBar *sb = m_vscroll;
    try {
        const auto setup = ViewerPaging::scrollSetup(m_dv1->cellCount(), m_dv1->imagesPerPage(), m_dv1->columns());
        const QSignalBlocker block(sb);
        if (!setup.enabled) {
            sb->setRange(0, 0);
            sb->setEnabled(false);
            m_dv1->setFirstImage(1);
            return;
        }
        sb->setRange(0, setup.maximum);
        sb->setPageStep(qMax(1, m_dv1->rows()));
        sb->setValue(0);
        sb->setEnabled(true);
        m_dv1->setFirstImage(1);
    } catch (const std::exception &e) {
        m_station.logError(e, QStringLiteral("MainForm InitScrollbar"));
    }
}

void BrowserPanel::setFirst(int first) { m_dv1->setFirstImage(first); }

void BrowserPanel::syncScrollValue()
{
    QScrollBar *sb = m_vscroll;
    if (!sb->isEnabled())
        return;
    const QSignalBlocker block(sb);
    sb->setValue(ViewerPaging::scrollValueForFirst(m_dv1->firstImage(), m_dv1->columns(), sb->maximum()));
}

void BrowserPanel::scrollChange(int value) { setFirst(ViewerPaging::firstFromScrollValue(value, m_dv1->columns())); }

void BrowserPanel::scrollDrag(int value)
{
    setFirst(ViewerPaging::firstFromScrollDrag(value, m_dv1->columns(), m_vscroll->maximum()));
}

void BrowserPanel::viewerKeyDown(int qtKey)
{
    if (m_dv1->enlarged()) {
        // One image alone: Escape goes back to the grid, the arrows step the images.
        if (qtKey == Qt::Key_Escape || qtKey == Qt::Key_Return || qtKey == Qt::Key_Enter)
            leaveEnlarged();
        else if (qtKey == Qt::Key_Right || qtKey == Qt::Key_Down || qtKey == Qt::Key_PageDown)
            stepEnlarged(1);
        else if (qtKey == Qt::Key_Left || qtKey == Qt::Key_Up || qtKey == Qt::Key_PageUp)
            stepEnlarged(-1);
        return;
    }
    if ((qtKey == Qt::Key_Return || qtKey == Qt::Key_Enter) && m_state.currentImage > 0) {
        enlarge(m_state.currentImage);
        return;
    }
    const int first = ViewerPaging::firstAfterKey(qtKey, m_dv1->firstImage(), m_dv1->cellCount(), m_dv1->imagesPerPage());
    if (first == m_dv1->firstImage())
        return;
    setFirst(first);
    syncScrollValue();
}

void BrowserPanel::frameImage(int number)
{
    m_dv1->setFramed(number);
    m_state.currentImage = number;
    m_state.currentImageFile = number > 0 && number <= m_dv1->count() ? m_dv1->image(number).path : QString();
    m_state.imageFramed = number > 0;
    setPanel(PanelSelected, QStringLiteral("Sel. image #: ") + QString::number(number));
}

void BrowserPanel::pickImage(int number)
{
    if (number < 1 || number > m_dv1->count())
        return;
    frameImage(number);
    // The row of the same image (exact UID: a UID that merely contains another is a
    // different image).
    const QString uid = m_dv1->image(number).sopInstanceUid;
    QTreeWidget *lv = m_lvImages;
    lv->clearSelection();
    if (!uid.isEmpty()) {
        for (int i = 0; i < lv->topLevelItemCount(); ++i) {
            QTreeWidgetItem *it = lv->topLevelItem(i);
            if (it->text(3) == uid) {
                lv->setCurrentItem(it);
                lv->scrollToItem(it);
                break;
            }
        }
    }
    m_state.notifyImagePicked();
}

void BrowserPanel::viewerMouseUp(int number, Qt::MouseButton button, const QPoint &globalPos)
{
    if (button == Qt::RightButton && (number == 0 || number == m_state.currentImage)) {
        if (m_dv1->count() > 0)
            showViewerMenu(number != 0, globalPos);
        return;
    }
    if (number == 0 || (button != Qt::LeftButton && button != Qt::RightButton))
        return;
    pickImage(number);
}

void BrowserPanel::showViewerMenu(bool withImageMenu, const QPoint &globalPos)
{
    CommandTable *c = &m_commands;
    // The current image's menu (delete) with the viewer's rotate and mirror items below.
    delete m_viewerMenu;
    m_viewerMenu = new QMenu(m_dv1);
    m_viewerMenu->setObjectName(QStringLiteral("dv1_menu"));
    if (withImageMenu) {
        if (QMenu *dicom = c->menu(Menu::Image)) {
            m_viewerMenu->addActions(dicom->actions());
            m_viewerMenu->addSeparator();
        }
    }
    if (QMenu *viewer = c->menu(Menu::Viewer))
        m_viewerMenu->addActions(viewer->actions());
    if (!m_viewerMenu->isEmpty())
        m_viewerMenu->popup(globalPos);
}

void BrowserPanel::showOnPage(int number)
{
    if (m_dv1->enlarged() || !m_dv1->cellRect(number).isEmpty())
        return;
    const int cell = int(m_dv1->cells().indexOf(number)) + 1;
    if (cell < 1)
        return;
    const int cols = m_dv1->columns();
    int rowStart = ((cell - 1) / cols) * cols + 1;
    setFirst(rowStart);
    syncScrollValue();
}

void BrowserPanel::imagesItemClick(QTreeWidgetItem *item)
{
    if (!item)
        return;
    const QString uid = item->text(3);
    if (uid.isEmpty())
        return;
    for (int n = 1; n <= m_dv1->count(); ++n) {
        if (m_dv1->image(n).sopInstanceUid == uid) {
            showOnPage(n);
            frameImage(n);
            m_state.notifyImagePicked();
            return;
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

void BrowserPanel::deletePatient()
{
    // The patient of the context menu: the one right-clicked, else the current one.
    const qint64 key = m_state.popupPatId > 0 ? m_state.popupPatId : m_state.patId;
    if (key <= 0)
        return;
    runDeletion({StoreDeletion::Level::Patient, key});
}

void BrowserPanel::deleteStudy()
{
    if (!takeSelectedStudy())
        return;
    // The last study of a patient is the patient, by the database as it is now.
    m_station.trap(QStringLiteral("MainForm PopUpStudie_Delete_Click"), [this] {
        NoProgress none;
        const StoreDeletion d(m_station.paths(), m_station.log(), none);
        runDeletion(d.escalated({StoreDeletion::Level::Study, m_state.studyId.toLongLong()}));
    });
}

void BrowserPanel::deleteSeries()
{
    QListWidgetItem *item = m_lvSerien->currentItem();
    if (!item || !item->isSelected() || item->data(TagRole).toString() == BackTag)
        return;
    takeSelectedStudy();
    m_state.seriesId = item->data(TagRole).toLongLong();
    m_station.trap(QStringLiteral("MainForm PopUpSerie_Delete_Click"), [this] {
        NoProgress none;
        const StoreDeletion d(m_station.paths(), m_station.log(), none);
        runDeletion(d.escalated({StoreDeletion::Level::Series, m_state.seriesId}));
    });
}

void BrowserPanel::deleteAllPatients()
{
    if (!m_station.prompter().askYesNo(QStringLiteral("Delete all database entries and images?"), MsgIcon::Question))
        return;
    resetViewerState();
    StoreDeletion::Result result;
    EditForm::Job job;
    job.operation = EditForm::DeleteAll;
    job.procedure = QStringLiteral("EditForm DeleteAllTimer");
    job.errorPrefix = QStringLiteral("Fehler #");
    job.work = [this, &result](EditForm &f) { result = StoreDeletion(m_station.paths(), m_station.log(), f).deleteAll(); };
    EditForm form(m_station, std::move(job), &m_hooks, m_dv1->window());
    execDialog(form);
    forgetPatient();
    m_station.timerRefresh = false;
    refreshPatientList();
}

void BrowserPanel::runDeletion(StoreDeletion::Target target)
{
    using Level = StoreDeletion::Level;
    EditForm::Job job;
    switch (target.level) {
    case Level::Patient:
        job.operation = EditForm::DeletePatient;
        job.procedure = QStringLiteral("EditForm DeletePatientFromDatabase");
        break;
    case Level::Study:
        job.operation = EditForm::DeleteStudy;
        job.procedure = QStringLiteral("EditForm DeleteStudyFromDatabase");
        break;
    case Level::Series:
        job.operation = EditForm::DeleteSeries;
        job.procedure = QStringLiteral("EditForm DeleteSeriesFromDatabase");
        break;
    default:
        return;
    }
    // What the operator asked to delete is what is there now: images filed into it while
    // the deletion runs stay (and show in the lists afterwards).
    QStringList confirmed;
    if (!m_station.trap(job.procedure, [&] { confirmed = StoreDeletion::imageUidsOf(m_station.paths(), target); }))
        return;
    resetViewerState();
    StoreDeletion::Result result;
    job.work = [this, target, confirmed, &result](EditForm &f) {
        StoreDeletion d(m_station.paths(), m_station.log(), f);
        if (target.level == Level::Patient)
            result = d.deletePatient(target.key, &confirmed);
        else if (target.level == Level::Study)
            result = d.deleteStudy(target.key, &confirmed);
        else
            result = d.deleteSeries(target.key, &confirmed);
    };
    EditForm form(m_station, std::move(job), &m_hooks, m_dv1->window());
    execDialog(form);
    applyDeletion(result);
}

void BrowserPanel::deleteImage()
{
    const int n = m_state.currentImage;
    if (n < 1 || n > m_dv1->count())
        return;
    if (!m_station.prompter().askYesNo(QStringLiteral("Delete image?"), MsgIcon::Question))
        return;
    const QString uid = m_dv1->image(n).sopInstanceUid;
    m_station.trap(QStringLiteral("MainForm PopupDeleteImage_Click"), [&] {
        NoProgress none;
        StoreDeletion d(m_station.paths(), m_station.log(), none);
        // The last image of what the viewer holds: the container goes instead.
        const auto level = m_state.loadLevel == LevelSeries ? StoreDeletion::Level::Series : StoreDeletion::Level::Study;
        const StoreDeletion::Target container = d.containerOfLastImage(uid, level);
        if (container.level != StoreDeletion::Level::Image) {
            runDeletion(container);
            return;
        }
        const StoreDeletion::Result r = d.deleteImage(uid);
        m_dv1->removeImage(n);
        syncViewerFiles();
        m_state.currentImage = 0;
        m_state.currentImageFile.clear();
        m_state.imageFramed = false;
        initScrollbar();
        m_state.notifyImagePicked();
        setPanel(PanelImages, QString::number(m_dv1->count()) + QStringLiteral(" image(s)"));
        setPanel(PanelSelected, QString());
        applyDeletion(r);
    });
}

void BrowserPanel::forgetPatient()
{
    m_lvStudien->clear();
    m_lvSerien->clear();
    m_frmSerien->hide();
    m_lvImages->clear();
    m_state.listedImages = 0;
    m_state.patId = 0;
    m_state.patId1.clear();
    m_state.patName.clear();
    m_state.patBirthDate.clear();
    m_state.patIndex = -1;
    m_state.popupPatId = 0;
    m_state.popupPatId1.clear();
    m_state.studyId.clear();
    m_state.studyUid.clear();
    m_state.seriesId = 0;
    for (int i = 0; i < PanelCount; ++i)
        setPanel(StatusPanel(i), QString());
    m_state.notifyPatientDeleted();
}

void BrowserPanel::applyDeletion(const StoreDeletion::Result &r)
{
    // Items go by their keys, and only those whose rows are gone.
    auto removeTree = [](QTreeWidget *lv, auto gone) {
        for (int i = lv->topLevelItemCount() - 1; i >= 0; --i)
            if (gone(lv->topLevelItem(i)))
                delete lv->takeTopLevelItem(i);
    };
    removeTree(m_lvPatients, [&r](QTreeWidgetItem *it) { return r.patients.contains(it->data(0, TagRole).toLongLong()); });
    if (r.patients.contains(m_state.popupPatId)) {
        m_state.popupPatId = 0;
        m_state.popupPatId1.clear();
    }
    if (r.patients.contains(m_state.patId)) {
        forgetPatient();
        return;
    }
    removeTree(m_lvStudien, [&r](QTreeWidgetItem *it) { return r.studyUids.contains(it->data(0, TagRole).toString()); });
    removeTree(m_lvImages, [&r](QTreeWidgetItem *it) { return r.imageUids.contains(it->text(3)); });
    m_state.listedImages = m_lvImages->topLevelItemCount();
    for (int i = m_lvSerien->count() - 1; i >= 0; --i) {
        QListWidgetItem *it = m_lvSerien->item(i);
        if (it->data(TagRole).toString() != BackTag && r.series.contains(it->data(TagRole).toLongLong()))
            delete m_lvSerien->takeItem(i);
    }
    if (r.studyUids.contains(m_state.studyUid)) {
        m_lvSerien->clear();
        m_frmSerien->hide();
    }
}

void BrowserPanel::refreshImageList(bool repick)
{
    m_station.trap(QStringLiteral("MainForm_RefreshImageList"), [&] {
        // Emptied and picked again; the image rows themselves stay.
        m_lvImages->clear();
        m_state.listedImages = 0;
        QTreeWidgetItem *study = m_lvStudien->currentItem();
        if (repick && study && study->isSelected())
            studyItemClick(study);
    });
}

// ---- lifecycle -------------------------------------------------------------------

void BrowserPanel::initializeControls()
{
    const Settings &s = m_station.settings();
    m_dv1->setGrid(s.viewerRows, s.viewerColumns);
    m_dv1->setColours(s.viewerBgColor, s.viewerFgColor);
    m_dv1->setMammoLayout(s.mammoLayout != 0);
    if (QAction *a = m_commands.action(QString::fromLatin1(Cmd::MammoLayout)))
        a->setChecked(s.mammoLayout != 0);
}

void BrowserPanel::syncViewerFiles()
{
    m_state.viewerFiles.clear();
    for (int i = 1; i <= m_dv1->count(); ++i)
        m_state.viewerFiles << m_dv1->image(i).path;
}

void BrowserPanel::clearViewer()
{
    stopLoad();
    cancelWindowSource();
    const bool hadImage = m_state.currentImage != 0;
    m_dv1->clear();
    m_state.viewerFiles.clear();
    m_state.currentImage = 0;
    m_state.currentImageFile.clear();
    m_state.imageFramed = false;
    // The header list and the like show nothing of an image that is gone.
    if (hadImage)
        m_state.notifyImagePicked();
}

void BrowserPanel::stopLoad()
{
    if (!m_loader.isRunning())
        return;
    m_loader.cancel();
    m_busy.reset();
    m_pbLoad->hide();
}

// ---- enlarged image, wheel and window ----------------------------------------------

void BrowserPanel::setMammoLayout(bool on)
{
    m_station.settings().mammoLayout = on ? 1 : 0;
    m_station.settingsStore().writeValue(QStringLiteral("General/MammoLayout"), on ? QStringLiteral("1")
                                                                                  : QStringLiteral("0"));
    if (QAction *a = m_commands.action(QString::fromLatin1(Cmd::MammoLayout)))
        a->setChecked(on);
    m_dv1->setMammoLayout(on);
    initScrollbar();
}

void BrowserPanel::viewerDoubleClick(int number)
{
    if (m_dv1->enlarged()) {
        leaveEnlarged();
        return;
    }
    if (number < 1)
        return;
    enlarge(number);
}

void BrowserPanel::enlarge(int number)
{
    if (number < 1 || number > m_dv1->count() || !m_dv1->image(number).loaded())
        return;
    if (number != m_state.currentImage)
        pickImage(number);
    m_gridFirst = m_dv1->firstImage();
    m_dv1->setEnlarged(number);
    m_vscroll->setEnabled(false);
    requestWindowSource(number);
}

void BrowserPanel::leaveEnlarged()
{
    if (!m_dv1->enlarged())
        return;
    cancelWindowSource();
    m_dv1->setEnlarged(0);
    // Back at the page the grid showed.
    initScrollbar();
    setFirst(m_gridFirst);
    syncScrollValue();
    if (m_state.currentImage > 0)
        showOnPage(m_state.currentImage);
}

void BrowserPanel::stepEnlarged(int step)
{
    const int n = qBound(1, m_dv1->enlarged() + step, m_dv1->count());
    if (n == m_dv1->enlarged() || !m_dv1->image(n).loaded())
        return;
    pickImage(n);
    m_dv1->setEnlarged(n);
    requestWindowSource(n);
}

void BrowserPanel::viewerWheel(int notches)
{
    if (m_dv1->enlarged()) {
        stepEnlarged(notches > 0 ? -1 : 1);
        return;
    }
    // One row per notch, away from the user scrolls back.
    const int cols = m_dv1->columns();
    const int maxFirst = ViewerPaging::firstFromScrollValue(m_vscroll->isEnabled() ? m_vscroll->maximum() : 0, cols);
    const int first = qBound(1, m_dv1->firstImage() - notches * cols, maxFirst);
    if (first == m_dv1->firstImage())
        return;
    setFirst(first);
    syncScrollValue();
}

void BrowserPanel::requestWindowSource(int number)
{
    cancelWindowSource();
    m_window = {};
    const ViewerImage &img = m_dv1->image(number);
    m_window.centre = img.windowCentre;
    m_window.width = img.windowWidth;
    const QString path = img.path;
    const QSize size = m_dv1->size().expandedTo(QSize(512, 512)).boundedTo(QSize(4096, 4096));
    const quint64 generation = ++m_windowGeneration;
    auto render = m_windowRender;
    QPointer<BrowserPanel> self(this);
    // Read again at the viewer's size, off the window's thread: a full-field mammogram
    // takes a moment, and the picture at cell size shows meanwhile.
    for (auto it = m_windowThreads.begin(); it != m_windowThreads.end();) {
        if (it->first->load()) {
            it->second.join();
            it = m_windowThreads.erase(it);
        } else {
            ++it;
        }
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread reader([self, render, path, size, generation, done] {
        ViewerImage source;
        QString error;
        try {
            source = render(path, size);
        } catch (const std::exception &e) {
            error = errorParts(e).text;
        }
        QMetaObject::invokeMethod(qApp, [self, source, error, generation] {
            if (self)
                self->onWindowSource(generation, source, error);
        }, Qt::QueuedConnection);
        done->store(true);
    });
    m_windowThreads.emplace_back(done, std::move(reader));
}

void BrowserPanel::cancelWindowSource()
{
    ++m_windowGeneration;
    m_windowSource = ViewerImage();
}

void BrowserPanel::onWindowSource(quint64 generation, const ViewerImage &source, const QString &error)
{
    if (generation != m_windowGeneration || !m_dv1->enlarged())
        return;
    if (!error.isEmpty()) {
        m_station.logError(ErrorNo::Dicom, error, QStringLiteral("MainForm Viewer_Enlarge"));
        return;
    }
    m_windowSource = source;
    m_dv1->setEnlargedPicture(dicom::windowed(m_windowSource, m_window.centre, m_window.width));
    emit windowSourceReady();
}

void BrowserPanel::windowDrag(int dx, int dy)
{
    if (!m_dv1->enlarged() || m_windowSource.grey16.isNull())
        return;
    // Sideways widens the window, up and down moves its centre; a full drag across the
    // viewer spans the image's whole range of values.
    const double range = m_windowSource.valueHigh - m_windowSource.valueLow;
    const double perPixel = range / qMax(200, m_dv1->width());
    m_window.width = qMax(1.0, m_window.width + dx * perPixel);
    m_window.centre += dy * perPixel;
    m_dv1->setEnlargedPicture(dicom::windowed(m_windowSource, m_window.centre, m_window.width));
}

void BrowserPanel::resetWindow()
{
    if (!m_dv1->enlarged() || m_windowSource.grey16.isNull())
        return;
    const ViewerImage &img = m_dv1->image(m_dv1->enlarged());
    m_window.centre = img.windowCentre;
    m_window.width = img.windowWidth;
    m_dv1->setEnlargedPicture(dicom::windowed(m_windowSource, m_window.centre, m_window.width));
}

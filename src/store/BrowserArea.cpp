#include "store/BrowserArea.h"
#include "app/AppError.h"
#include "app/CommandTable.h"
#include "app/MainHooks.h"
#include "app/MainWidgets.h"
#include "app/Station.h"
#include "store/Database.h"
#include "store/Schema.h"
#include "store/ViewerPaging.h"
#include "store/ViewerWidget.h"

#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QTreeWidget>

namespace {

const QString LevelStudy = QStringLiteral("Studie");
const QString LevelSeries = QStringLiteral("Serie");
const QString BackTag = QStringLiteral("back");

enum Panel { PanelPatient = 0, PanelId = 1, PanelImages = 2, PanelSelected = 3 };

// Painting frozen and sorting off while a list fills; both back on when it is done.
class ListFill {
public:
    explicit ListFill(QTreeWidget *lv) : m_lv(lv)
    {
        m_lv->setUpdatesEnabled(false);
        m_lv->setSortingEnabled(false);
    }
    ~ListFill() { m_lv->setUpdatesEnabled(true); }

private:
    QTreeWidget *m_lv;
};

void setPanel(MainWidgets &w, int i, const QString &text)
{
    if (w.statusPanel[i])
        w.statusPanel[i]->setText(text);
}

} // namespace

BrowserArea::BrowserArea(Station &station, MainWidgets &widgets, MainHooks &hooks, QObject *parent,
                         StudyLoader::RenderFn render)
    : QObject(parent), m_station(station), m_w(widgets), m_hooks(hooks), m_loader(std::move(render))
{
    setupLists();
    connectControls();
    hookCommands();

    m_hooks.prepareDataFiles.push_back([this] {
        Schema::ensureDatabases(m_station.paths());
        m_station.paths().createFolders();
    });
    m_hooks.refreshPatientList.push_back([this] { refreshPatientList(); });
    m_hooks.initializeControls.push_back([this] {
        initializeControls();
        if (m_w.UpdateTimer && !m_w.UpdateTimer->isActive())
            m_w.UpdateTimer->start();
    });
    m_hooks.settingsChanged.push_back([this] {
        initializeControls();
        initScrollbar();
    });
    m_hooks.clearViewer.push_back([this] { clearViewer(); });
    m_hooks.refreshPatientListNow = [this] { refreshPatientList(); };
}

BrowserArea::~BrowserArea()
{
    // The window's controls may already be gone here: only the workers are stopped.
    if (m_loader.isRunning()) {
        m_loader.cancel();
        m_station.busy = false;
    }
}

void BrowserArea::setupLists()
{
    m_w.lvPatients->setHeaderLabels({QStringLiteral("ID"), QStringLiteral("Lastname, Firstname"),
                                     QStringLiteral("2nd Name"), QStringLiteral("Birthdate")});
    m_w.lvStudien->setHeaderLabels({QStringLiteral("ID"), QStringLiteral("Date"), QStringLiteral("Time"),
                                    QStringLiteral("Modality"), QStringLiteral("Bodypart")});
    m_w.lvImages->setHeaderLabels({QStringLiteral("ID"), QStringLiteral("Date"), QStringLiteral("Time"),
                                   QStringLiteral("ImageUID")});
    for (QTreeWidget *lv : {m_w.lvPatients, m_w.lvStudien, m_w.lvImages}) {
        lv->setRootIsDecorated(false);
        lv->setSelectionMode(QAbstractItemView::SingleSelection);
        lv->setSelectionBehavior(QAbstractItemView::SelectRows);
    }
    m_w.lvSerien->setViewMode(QListView::IconMode);
    m_w.lvSerien->setSelectionMode(QAbstractItemView::SingleSelection);
    if (m_w.dv1_vscroll) {
        m_w.dv1_vscroll->setEnabled(false);
        m_w.dv1_vscroll->setSingleStep(1);
    }
    if (m_w.pbLoad)
        m_w.pbLoad->hide();
}

void BrowserArea::connectControls()
{
    m_w.lvPatients->viewport()->installEventFilter(this);
    m_w.lvStudien->viewport()->installEventFilter(this);
    m_w.lvSerien->viewport()->installEventFilter(this);

    connect(m_w.lvStudien, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem *item) { studyItemClick(item); });
    connect(m_w.lvImages, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem *item) { imagesItemClick(item); });
    connect(m_w.lvSerien, &QListWidget::itemDoubleClicked, this, [this] { seriesDoubleClick(); });
    connect(m_w.dv1, &ViewerWidget::mouseReleased, this, &BrowserArea::viewerMouseUp);
    connect(m_w.dv1, &ViewerWidget::keyPressed, this, &BrowserArea::viewerKeyDown);
    connect(m_w.dv1_vscroll, &QScrollBar::valueChanged, this, [this](int v) {
        if (!m_w.dv1_vscroll->isSliderDown())
            scrollChange(v);
    });
    connect(m_w.dv1_vscroll, &QScrollBar::sliderMoved, this, &BrowserArea::scrollDrag);
    connect(m_w.dv1_vscroll, &QScrollBar::sliderReleased, this, [this] { scrollChange(m_w.dv1_vscroll->value()); });
    if (m_w.UpdateTimer) {
        m_w.UpdateTimer->setInterval(10000);
        connect(m_w.UpdateTimer, &QTimer::timeout, this, &BrowserArea::updateTimerTick);
    }

    connect(&m_loader, &StudyLoader::imageReady, this, &BrowserArea::onImageReady);
    connect(&m_loader, &StudyLoader::imageFailed, this, &BrowserArea::onImageFailed);
    connect(&m_loader, &StudyLoader::finished, this, &BrowserArea::onLoadFinished);
}

void BrowserArea::hookCommands()
{
    CommandTable *c = m_w.commands;
    if (!c)
        return;
    c->hook(QStringLiteral("mnuRefreshList"), [this] {
        m_station.timerRefresh = false;
        refreshPatientList();
    });
    c->hook(QStringLiteral("PopUpStudie_ViewImages"), [this] { viewStudyImages(); });
    c->hook(QStringLiteral("PopUpStudie_ViewSeries"), [this] { viewSeries(); });
    c->hook(QStringLiteral("PopUpSerie_ViewImages"), [this] { viewSeriesImages(); });

    auto *v = m_w.dv1;
    c->hook(QStringLiteral("PopUpViewer_RotateRight"), [this, v] { forCurrent([v](int n) { v->rotate(n, 90); }); });
    c->hook(QStringLiteral("PopUpViewer_RotateLeft"), [this, v] { forCurrent([v](int n) { v->rotate(n, -90); }); });
    c->hook(QStringLiteral("PopUpViewer_MirrorH"), [this, v] { forCurrent([v](int n) { v->mirror(n, true); }); });
    c->hook(QStringLiteral("PopUpViewer_MirrorV"), [this, v] { forCurrent([v](int n) { v->mirror(n, false); }); });
    c->hook(QStringLiteral("PopUpViewer_AllRotateRight"), [this, v] { forAll([v](int n) { v->rotate(n, 90); }); });
    c->hook(QStringLiteral("PopUpViewer_AllRotateLeft"), [this, v] { forAll([v](int n) { v->rotate(n, -90); }); });
    c->hook(QStringLiteral("PopUpViewer_AllMirrorH"), [this, v] { forAll([v](int n) { v->mirror(n, true); }); });
    c->hook(QStringLiteral("PopUpViewer_AllMirrorV"), [this, v] { forAll([v](int n) { v->mirror(n, false); }); });
    c->hook(QStringLiteral("PopUpViewer_Reset"), [this, v] { forCurrent([v](int n) { v->reset(n); }); });
    c->hook(QStringLiteral("PopUpViewer_ResetAll"), [this, v] { forAll([v](int n) { v->reset(n); }); });
}

void BrowserArea::forCurrent(const std::function<void(int)> &f)
{
    if (m_state.currentImage >= 1 && m_state.currentImage <= m_w.dv1->count())
        f(m_state.currentImage);
}

void BrowserArea::forAll(const std::function<void(int)> &f)
{
    for (int n = 1; n <= m_w.dv1->count(); ++n)
        f(n);
}

bool BrowserArea::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::MouseButtonRelease) {
        auto *me = static_cast<QMouseEvent *>(event);
        const QPoint pos = me->position().toPoint();
        if (watched == m_w.lvPatients->viewport())
            QTimer::singleShot(0, this, [this, b = me->button(), pos] { patientMouseUp(b, pos); });
        else if (watched == m_w.lvStudien->viewport() && me->button() == Qt::RightButton)
            QTimer::singleShot(0, this, [this, pos] { studyMouseUp(Qt::RightButton, pos); });
        else if (watched == m_w.lvSerien->viewport() && me->button() == Qt::RightButton)
            QTimer::singleShot(0, this, [this, pos] { seriesMouseUp(Qt::RightButton, pos); });
    }
    return QObject::eventFilter(watched, event);
}

QString BrowserArea::currentImageFile() const
{
    const int n = m_state.currentImage;
    if (n < 1 || n > m_w.dv1->count())
        return {};
    return m_w.dv1->image(n).path;
}

// ---- patient list ----------------------------------------------------------------

void BrowserArea::updateTimerTick()
{
    m_station.timerRefresh = true;
    refreshPatientList();
}

void BrowserArea::refreshPatientList()
{
    if (m_station.busy) {
        // A tick that meets a running load must not leave its flag behind: the next
        // manual refresh would otherwise be taken for a tick and do nothing.
        m_station.timerRefresh = false;
        return;
    }
    try {
        Database db = Database::openData(m_station.paths());
        const qint64 received = StoreQueries::receiveCount(db);
        if (received == 0 && m_station.timerRefresh) {
            m_station.timerRefresh = false;
            return;
        }
        StoreQueries::clearReceive(db);
        const QList<PatientRow> rows = StoreQueries::patients(db);

        ListFill fill(m_w.lvPatients);
        m_w.lvPatients->clear();
        m_w.lvStudien->setSortingEnabled(false);
        m_w.lvStudien->clear();
        m_w.lvImages->setSortingEnabled(false);
        m_w.lvImages->clear();
        if (m_w.frmSerien && m_w.frmSerien->isVisible()) {
            m_w.frmSerien->hide();
            m_w.lvSerien->clear();
        }
        stopLoad();
        m_w.dv1->clear();
        m_state.currentImage = 0;
        m_state.imageFramed = false;
        initScrollbar();

        QList<QTreeWidgetItem *> items;
        items.reserve(rows.size());
        for (const PatientRow &r : rows) {
            auto *it = new QTreeWidgetItem({r.patId1, r.displayName(), r.secondName, r.birthDate});
            it->setData(0, TagRole, r.patId);
            items.append(it);
        }
        m_w.lvPatients->addTopLevelItems(items);
        m_w.lvPatients->setSortingEnabled(true);
        m_w.lvPatients->sortByColumn(0, Qt::AscendingOrder);
    } catch (const std::exception &e) {
        m_station.logError(e, QStringLiteral("MainForm_RefreshPatientList"));
    }
    m_station.timerRefresh = false;
}

bool BrowserArea::confirmDiscardTasks()
{
    // Only pending tasks are worth the question.
    if (!m_w.lvTasks || m_w.lvTasks->topLevelItemCount() == 0)
        return true;
    const bool goOn = m_hooks.confirmDiscardTasks
        ? m_hooks.confirmDiscardTasks()
        : m_station.prompter().askYesNo(QStringLiteral("Cancel current changes?"), MsgIcon::Question);
    if (!goOn)
        return false; // No: keep the tasks and stop here
    // Yes: the pending changes are discarded before the browser moves on.
    if (m_hooks.clearTasks)
        m_hooks.clearTasks();
    else
        m_w.lvTasks->clear();
    return true;
}

void BrowserArea::resetEditors()
{
    if (m_hooks.clearTasks)
        m_hooks.clearTasks();
    else if (m_w.lvTasks)
        m_w.lvTasks->clear();
    if (m_w.lvHeader)
        m_w.lvHeader->clear();
    if (m_w.txtSelElement)
        m_w.txtSelElement->clear();
    if (m_w.cboTask)
        m_w.cboTask->setCurrentIndex(-1);
}

void BrowserArea::resetViewerState()
{
    resetEditors();
    if (m_w.txtValue)
        m_w.txtValue->clear();
    stopLoad();
    m_w.dv1->clear();
    m_state.currentImage = 0;
    m_state.imageFramed = false;
    initScrollbar();
    for (int i = 0; i < 4; ++i)
        setPanel(m_w, i, QString());
}

void BrowserArea::takePatient(QTreeWidgetItem *item)
{
    m_state.patId = item->data(0, TagRole).toLongLong();
    m_state.patId1 = item->text(0);
    m_state.patName = item->text(1);
    m_state.patBirthDate = item->text(3);
    m_state.patIndex = m_w.lvPatients->indexOfTopLevelItem(item);
}

void BrowserArea::showPatientPanels()
{
    setPanel(m_w, PanelPatient, QStringLiteral("Patient: ") + m_state.patName);
    setPanel(m_w, PanelId, QStringLiteral("ID: ") + m_state.patId1);
}

void BrowserArea::patientMouseUp(Qt::MouseButton button, const QPoint &pos)
{
    QTreeWidget *lv = m_w.lvPatients;
    if (lv->topLevelItemCount() == 0)
        return;
    try {
        QTreeWidgetItem *under = lv->itemAt(pos);
        if (button == Qt::RightButton) {
            QTreeWidgetItem *item = under ? under : lv->currentItem();
            if (item) {
                takePatient(item);
                showPatientPanels();
            }
            if (under) {
                lv->setCurrentItem(under);
                popup(QStringLiteral("PopUpPatient"), lv->viewport()->mapToGlobal(pos));
            }
        } else if (button == Qt::LeftButton) {
            QTreeWidgetItem *item = under ? under : lv->currentItem();
            if (!item)
                return;
            if (!confirmDiscardTasks()) {
                // Keep everything: the selection goes back to the patient being worked on.
                if (m_state.patIndex >= 0 && m_state.patIndex < lv->topLevelItemCount())
                    lv->setCurrentItem(lv->topLevelItem(m_state.patIndex));
                return;
            }
            lv->setCurrentItem(item);
            if (item->text(0) != m_state.patId1)
                resetViewerState();
            takePatient(item);
            showPatientPanels();
            m_w.lvStudien->setSortingEnabled(false);
            m_w.lvStudien->clear();
            if (m_w.frmSerien && m_w.frmSerien->isVisible()) {
                m_w.frmSerien->hide();
                m_w.lvSerien->clear();
            }
            if (m_w.UpdateTimer)
                m_w.UpdateTimer->stop();
            fillStudies();
            if (m_hooks.patientPicked)
                m_hooks.patientPicked(m_state.patId1);
        } else {
            return;
        }
        m_w.lvImages->clear();
        if (m_hooks.fillDoseList)
            m_hooks.fillDoseList(5);
    } catch (const std::exception &e) {
        m_station.logError(e, QStringLiteral("MainForm lvPatients_MouseUp"));
    }
}

void BrowserArea::fillStudies()
{
    try {
        Database db = Database::openData(m_station.paths());
        const QList<StudyRow> rows = StoreQueries::studiesOfPatient(db, m_state.patId1);
        ListFill fill(m_w.lvStudien);
        for (const StudyRow &r : rows) {
            auto *it = new QTreeWidgetItem({QString::number(r.studyId), r.date, r.time, r.modality, r.bodypart});
            it->setData(0, TagRole, r.studyUid);
            m_w.lvStudien->addTopLevelItem(it);
        }
        m_w.lvStudien->setSortingEnabled(true);
        m_w.lvStudien->sortByColumn(0, Qt::AscendingOrder);
    } catch (const std::exception &e) {
        m_station.logError(e, QStringLiteral("MainForm lvPatients_MouseUp"));
    }
}

// ---- studies and series --------------------------------------------------------

bool BrowserArea::takeSelectedStudy()
{
    QTreeWidgetItem *item = m_w.lvStudien->currentItem();
    if (!item || !item->isSelected())
        return false;
    m_state.studyId = item->text(0);
    m_state.studyUid = item->data(0, TagRole).toString();
    m_state.studyIndex = m_w.lvStudien->indexOfTopLevelItem(item);
    return true;
}

void BrowserArea::studyItemClick(QTreeWidgetItem *item)
{
    if (!item)
        return;
    if (!confirmDiscardTasks())
        return;
    try {
        m_w.lvStudien->setCurrentItem(item);
        startStudyLoad();
        m_state.loadLevel = LevelStudy;
        m_state.studyUid = item->data(0, TagRole).toString();
        Database db = Database::openData(m_station.paths());
        loadImages(StoreQueries::imagesOfStudy(db, m_state.studyUid));
    } catch (const std::exception &e) {
        m_station.logError(e, QStringLiteral("LoadImages"));
    }
    if (m_w.cmdSelected && m_w.lvDosis)
        m_w.cmdSelected->setEnabled(m_w.lvDosis->topLevelItemCount() == m_w.lvImages->topLevelItemCount());
}

void BrowserArea::studyMouseUp(Qt::MouseButton button, const QPoint &pos)
{
    if (button != Qt::RightButton)
        return;
    QTreeWidgetItem *under = m_w.lvStudien->itemAt(pos);
    if (!under)
        return;
    if (!confirmDiscardTasks())
        return;
    m_w.lvStudien->setCurrentItem(under);
    popup(QStringLiteral("PopUpStudie"), m_w.lvStudien->viewport()->mapToGlobal(pos));
}

void BrowserArea::viewStudyImages()
{
    try {
        startStudyLoad();
    } catch (const std::exception &e) {
        m_station.logError(e, QStringLiteral("PopUpStudie_Laden"));
    }
}

void BrowserArea::startStudyLoad()
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

void BrowserArea::viewSeries()
{
    try {
        if (!takeSelectedStudy())
            return;
        resetEditors();
        Database db = Database::openData(m_station.paths());
        const QList<SeriesRow> rows = StoreQueries::seriesOfStudy(db, m_state.studyId.toLongLong());
        QListWidget *lv = m_w.lvSerien;
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
        m_w.frmSerien->show();
        m_w.frmSerien->raise();
    } catch (const std::exception &e) {
        m_station.logError(e, QStringLiteral("MainForm PopUpStudie_SeriesWindow"));
    }
}

void BrowserArea::seriesDoubleClick()
{
    seriesPick(true);
}

void BrowserArea::viewSeriesImages()
{
    seriesPick(false);
}

void BrowserArea::seriesPick(bool ask)
{
    QListWidget *lv = m_w.lvSerien;
    QListWidgetItem *item = lv->currentItem();
    if (!item || !item->isSelected())
        return;
    if (item->data(TagRole).toString() == BackTag) {
        m_w.frmSerien->hide();
        lv->clear();
        return;
    }
    if (ask && !confirmDiscardTasks())
        return;
    try {
        m_state.loadLevel = LevelSeries;
        m_state.seriesId = item->data(TagRole).toLongLong();
        m_state.seriesCount = lv->count();
        m_state.seriesIndex = lv->row(item);
        resetEditors();
        loadStudy({ImageSelection::Series, m_state.seriesId});
        initScrollbar();
        Database db = Database::openData(m_station.paths());
        loadImages(StoreQueries::imagesOfSeries(db, m_state.seriesId));
    } catch (const std::exception &e) {
        m_station.logError(e, QStringLiteral("LoadImages"));
    }
}

void BrowserArea::seriesMouseUp(Qt::MouseButton button, const QPoint &pos)
{
    if (button != Qt::RightButton)
        return;
    QListWidget *lv = m_w.lvSerien;
    QListWidgetItem *current = lv->currentItem();
    if (!current || !current->isSelected() || lv->row(current) == 0)
        return;
    if (!confirmDiscardTasks())
        return;
    if (QListWidgetItem *under = lv->itemAt(pos))
        lv->setCurrentItem(under);
    popup(QStringLiteral("PopUpSerie"), lv->viewport()->mapToGlobal(pos));
}

// ---- loading -----------------------------------------------------------------------

void BrowserArea::loadStudy(const ImageSelection &sel)
{
    stopLoad();
    m_w.dv1->setUpdatesEnabled(false);
    m_w.dv1->clear();
    m_state.currentImage = 0;
    m_state.imageFramed = false;
    m_loadFailed = false;
    setPanel(m_w, PanelSelected, QString());
    m_station.busy = true;
    try {
        Database db = Database::openData(m_station.paths());
        const qint64 count = StoreQueries::imageCount(db, sel);
        if (count <= 0) {
            m_station.busy = false;
            m_w.dv1->setUpdatesEnabled(true);
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
        if (m_w.pbLoad) {
            m_w.pbLoad->setMaximum(int(items.size()));
            m_w.pbLoad->setValue(0);
            m_w.pbLoad->show();
        }
        m_w.dv1->reserve(int(items.size()));
        m_w.dv1->setUpdatesEnabled(true);
        m_loader.start(items, m_w.dv1->renderSize(int(items.size())));
    } catch (const std::exception &e) {
        m_station.logError(e, QStringLiteral("MainForm LoadStudy"));
        m_station.prompter().message(QStringLiteral("An error occured during loading - please retry!"), MsgIcon::Critical);
        m_w.dv1->clear();
        if (m_w.pbLoad)
            m_w.pbLoad->hide();
        m_w.dv1->setUpdatesEnabled(true);
        m_station.busy = false;
    }
}

void BrowserArea::onImageReady(int number, const ViewerImage &img)
{
    m_w.dv1->setImage(number, img);
    if (m_w.pbLoad)
        m_w.pbLoad->setValue(m_w.pbLoad->value() + 1);
}

void BrowserArea::onImageFailed(int, const QString &path, long errorNumber, const QString &description)
{
    m_loadFailed = true;
    m_station.logError(errorNumber, description + QStringLiteral(" (") + path + QLatin1Char(')'),
                       QStringLiteral("MainForm LoadStudy (READ_ERROR)"));
}

void BrowserArea::onLoadFinished(int loaded, int)
{
    // The pictures read so far stay; the places of files that never came are dropped.
    const int before = m_w.dv1->count();
    m_w.dv1->dropEmpty();
    setPanel(m_w, PanelImages, QString::number(loaded) + QStringLiteral(" image(s)"));
    if (m_w.pbLoad)
        m_w.pbLoad->hide();
    m_station.busy = false;
    if (before != m_w.dv1->count())
        initScrollbar();
    if (m_loadFailed)
        m_station.prompter().message(QStringLiteral("An error occured during loading - please retry!"), MsgIcon::Critical);
    emit loadFinished();
}

void BrowserArea::loadImages(const QList<ImageRow> &rows)
{
    QTreeWidget *lv = m_w.lvImages;
    lv->setSortingEnabled(false);
    lv->clear();
    ListFill fill(lv);
    for (const ImageRow &r : rows) {
        auto *it = new QTreeWidgetItem({QString::number(r.imageId), r.date, r.time, r.imageUid});
        it->setData(0, TagRole, r.imageId);
        lv->addTopLevelItem(it);
    }
}

// ---- scroll bar, keys and picking ------------------------------------------------

void BrowserArea::initScrollbar()
{
    QScrollBar *sb = m_w.dv1_vscroll;
    if (!sb)
        return;
    try {
        const auto setup = ViewerPaging::scrollSetup(m_w.dv1->count(), m_w.dv1->imagesPerPage(), m_w.dv1->columns());
        const QSignalBlocker block(sb);
        if (!setup.enabled) {
            sb->setRange(0, 0);
            sb->setEnabled(false);
            m_w.dv1->setFirstImage(1);
            return;
        }
        sb->setRange(0, setup.maximum);
        sb->setPageStep(qMax(1, m_w.dv1->rows()));
        sb->setValue(0);
        sb->setEnabled(true);
        m_w.dv1->setFirstImage(1);
    } catch (const std::exception &e) {
        m_station.logError(e, QStringLiteral("MainForm InitScrollbar"));
    }
}

void BrowserArea::setFirst(int first)
{
    m_w.dv1->setFirstImage(first);
}

void BrowserArea::syncScrollValue()
{
    QScrollBar *sb = m_w.dv1_vscroll;
    if (!sb || !sb->isEnabled())
        return;
    const QSignalBlocker block(sb);
    sb->setValue(ViewerPaging::scrollValueForFirst(m_w.dv1->firstImage(), m_w.dv1->columns(), sb->maximum()));
}

void BrowserArea::scrollChange(int value)
{
    setFirst(ViewerPaging::firstFromScrollValue(value, m_w.dv1->columns()));
}

void BrowserArea::scrollDrag(int value)
{
    setFirst(ViewerPaging::firstFromScrollDrag(value, m_w.dv1->imagesPerPage()));
}

void BrowserArea::viewerKeyDown(int qtKey)
{
    const int first = ViewerPaging::firstAfterKey(qtKey, m_w.dv1->firstImage(), m_w.dv1->count(),
                                                  m_w.dv1->imagesPerPage());
    if (first == m_w.dv1->firstImage())
        return;
    setFirst(first);
    syncScrollValue();
}

void BrowserArea::frameImage(int number)
{
    m_w.dv1->setFramed(number);
    m_state.currentImage = number;
    m_state.imageFramed = number > 0;
    setPanel(m_w, PanelSelected, QStringLiteral("Sel. image #: ") + QString::number(number));
}

void BrowserArea::pickImage(int number)
{
    if (number < 1 || number > m_w.dv1->count())
        return;
    frameImage(number);
    // The row of the same image (exact UID: a UID that merely contains another is a
    // different image).
    const QString uid = m_w.dv1->image(number).sopInstanceUid;
    QTreeWidget *lv = m_w.lvImages;
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
    if (m_hooks.showHeaderOfCurrentImage)
        m_hooks.showHeaderOfCurrentImage();
}

void BrowserArea::viewerMouseUp(int number, Qt::MouseButton button, const QPoint &globalPos)
{
    if (button == Qt::RightButton && (number == 0 || number == m_state.currentImage)) {
        if (m_w.dv1->count() > 0)
            showViewerMenu(number != 0, globalPos);
        return;
    }
    if (number == 0 || (button != Qt::LeftButton && button != Qt::RightButton))
        return;
    pickImage(number);
}

void BrowserArea::showViewerMenu(bool withImageMenu, const QPoint &globalPos)
{
    CommandTable *c = m_w.commands;
    if (!c)
        return;
    // The current image's menu (delete) with the viewer's rotate and mirror items below.
    delete m_viewerMenu;
    m_viewerMenu = new QMenu(m_w.dv1);
    m_viewerMenu->setObjectName(QStringLiteral("dv1_menu"));
    if (withImageMenu) {
        if (QMenu *dicom = c->menu(QStringLiteral("Popup_Dicom"))) {
            m_viewerMenu->addActions(dicom->actions());
            m_viewerMenu->addSeparator();
        }
    }
    if (QMenu *viewer = c->menu(QStringLiteral("PopUpViewer")))
        m_viewerMenu->addActions(viewer->actions());
    if (!m_viewerMenu->isEmpty())
        m_viewerMenu->popup(globalPos);
}

void BrowserArea::showOnPage(int number)
{
    const int first = m_w.dv1->firstImage();
    const int perPage = m_w.dv1->imagesPerPage();
    if (number >= first && number < first + perPage)
        return;
    const int cols = m_w.dv1->columns();
    int rowStart = ((number - 1) / cols) * cols + 1;
    setFirst(rowStart);
    syncScrollValue();
}

void BrowserArea::imagesItemClick(QTreeWidgetItem *item)
{
    if (!item)
        return;
    const QString uid = item->text(3);
    if (uid.isEmpty())
        return;
    for (int n = 1; n <= m_w.dv1->count(); ++n) {
        if (m_w.dv1->image(n).sopInstanceUid == uid) {
            showOnPage(n);
            frameImage(n);
            if (m_hooks.showHeaderOfCurrentImage)
                m_hooks.showHeaderOfCurrentImage();
            return;
        }
    }
}

void BrowserArea::popup(const QString &menuName, const QPoint &globalPos)
{
    if (!m_w.commands)
        return;
    if (QMenu *m = m_w.commands->menu(menuName))
        m->popup(globalPos);
}

// ---- lifecycle -------------------------------------------------------------------

void BrowserArea::initializeControls()
{
    const Settings &s = m_station.settings();
    m_w.dv1->setGrid(s.viewerRows, s.viewerColumns);
    m_w.dv1->setColours(s.viewerBgColor, s.viewerFgColor);
}

void BrowserArea::clearViewer()
{
    stopLoad();
    m_w.dv1->clear();
    m_state.currentImage = 0;
    m_state.imageFramed = false;
}

void BrowserArea::stopLoad()
{
    if (!m_loader.isRunning())
        return;
    m_loader.cancel();
    m_station.busy = false;
    if (m_w.pbLoad)
        m_w.pbLoad->hide();
}

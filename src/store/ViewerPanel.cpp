#include "store/ViewerPanel.h"
#include "core/AppError.h"
#include "core/Audit.h"
#include "core/Database.h"
#include "dicom/AuditSubjects.h"
#include "dicom/Render.h"
#include "store/ViewerPaging.h"
#include "store/ViewerWidget.h"
#include "ui/CommandIds.h"
#include "ui/CommandTable.h"
#include "ui/MainHooks.h"

#include <QAction>
#include <QGridLayout>
#include <QMenu>
#include <QProgressBar>
#include <QScrollBar>

ViewerPanel::ViewerPanel(Station &station, StoreSelection &selection, CommandTable &commands, MainHooks &hooks,
                         QWidget *parent, StudyLoader::RenderFn render)
    : QObject(parent), m_station(station), m_state(selection), m_commands(commands), m_loader(std::move(render))
{
    buildControls(parent);
    connectControls();
    connectSelection();
    hookCommands();

    hooks.initializeControls.push_back([this] { initializeControls(); });
    hooks.settingsChanged.push_back([this] {
        initializeControls();
        initScrollbar();
    });
    hooks.clearViewer.push_back([this] { clearViewer(); });
}

ViewerPanel::~ViewerPanel()
{
    // The window's controls may already be gone here: only the workers are stopped.
    m_loader.cancelSource();
    if (m_loader.isRunning())
        m_loader.cancel();
}

void ViewerPanel::buildControls(QWidget *parent)
{
    // The viewer with its scroll bar and load progress.: the viewer with its scroll bar and load progress.
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
}

void ViewerPanel::connectControls()
{
    connect(m_dv1, &ViewerWidget::mouseReleased, this, &ViewerPanel::viewerMouseUp);
    connect(m_dv1, &ViewerWidget::keyPressed, this, &ViewerPanel::viewerKeyDown);
    connect(m_dv1, &ViewerWidget::doubleClicked, this, &ViewerPanel::viewerDoubleClick);
    connect(m_dv1, &ViewerWidget::wheelTurned, this, &ViewerPanel::viewerWheel);
    connect(m_dv1, &ViewerWidget::rightDragged, this, &ViewerPanel::windowDrag);
    // The hanging or the grid changed under a load: the pages are counted again.
    connect(m_dv1, &ViewerWidget::layoutChanged, this, [this] { initScrollbar(); });
    connect(m_vscroll, &QScrollBar::valueChanged, this, [this](int v) {
        if (!m_vscroll->isSliderDown())
            scrollChange(v);
    });
    connect(m_vscroll, &QScrollBar::sliderMoved, this, &ViewerPanel::scrollDrag);
    connect(m_vscroll, &QScrollBar::sliderReleased, this, [this] { scrollChange(m_vscroll->value()); });

    connect(&m_loader, &StudyLoader::imageReady, this, &ViewerPanel::onImageReady);
    connect(&m_loader, &StudyLoader::imageFailed, this, &ViewerPanel::onImageFailed);
    connect(&m_loader, &StudyLoader::finished, this, &ViewerPanel::onLoadFinished);
    connect(&m_loader, &StudyLoader::sourceReady, this, &ViewerPanel::onWindowSource);
}

void ViewerPanel::connectSelection()
{
    connect(&m_state, &StoreSelection::openImagesRequested, this, [this](const ImageSelection &sel) {
        loadStudy(sel);
        initScrollbar();
    });
    connect(&m_state, &StoreSelection::showImageRequested, this, &ViewerPanel::showImage);
    connect(&m_state, &StoreSelection::viewerImageRemovalRequested, this, &ViewerPanel::removeImage);
    // Nothing is loaded any more: the panels that said what was loaded say nothing.
    auto clear = [this] {
        clearViewer();
        initScrollbar();
        setPanel(StoreStatus::PanelImages, QString());
        setPanel(StoreStatus::PanelSelected, QString());
    };
    connect(&m_state, &StoreSelection::viewerClearRequested, this, clear);
    connect(&m_state, &StoreSelection::viewerResetRequested, this, clear);
}

void ViewerPanel::hookCommands()
{
    CommandTable *c = &m_commands;
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

void ViewerPanel::forCurrent(const std::function<void(int)> &f)
{
    if (m_state.currentImage() >= 1 && m_state.currentImage() <= m_dv1->count())
        f(m_state.currentImage());
}

void ViewerPanel::forAll(const std::function<void(int)> &f)
{
    for (int n = 1; n <= m_dv1->count(); ++n)
        f(n);
}

QString ViewerPanel::currentImageFile() const
{
    const int n = m_state.currentImage();
    if (n < 1 || n > m_dv1->count())
        return {};
    return m_dv1->image(n).path;
}

// ---- loading -----------------------------------------------------------------------

void ViewerPanel::loadStudy(const ImageSelection &sel)
{
    stopLoad();
    m_waitingAppend.clear();
    m_dv1->setUpdatesEnabled(false);
    m_dv1->clear();
    m_state.setViewerFiles({});
    m_state.clearCurrentImage();
    m_loadFailed = false;
    setPanel(StoreStatus::PanelSelected, QString());
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
        m_station.paths().studyDir(m_state.studyUid());
        const QList<StudyLoader::Item> items = loadItems(uids);
        m_pbLoad->setMaximum(int(items.size()));
        m_pbLoad->setValue(0);
        m_pbLoad->show();
        m_dv1->reserve(int(items.size()));
        m_dv1->setUpdatesEnabled(true);
        m_loader.start(items, m_dv1->renderSize(int(items.size())));
        auditOpened(items);
    } catch (const std::exception &e) {
        m_station.logError(e, QStringLiteral("MainForm LoadStudy"));
        m_station.prompter().message(QStringLiteral("An error occured during loading - please retry!"),
                                     MsgIcon::Critical);
        m_dv1->clear();
        m_state.setViewerFiles({});
        m_pbLoad->hide();
        m_dv1->setUpdatesEnabled(true);
        m_busy.reset();
    }
}

void ViewerPanel::auditOpened(const QList<StudyLoader::Item> &items) const
{
    if (!Audit::active())
        return;
    QStringList files;
    for (const StudyLoader::Item &it : items)
        if (it.error.isEmpty())
            files << it.path;
    for (const AuditSubject &subject : dicom::auditSubjectsOfStudy(files))
        Audit::log(AuditEvent::instancesAccessed(Audit::station(), AuditAction::Read, subject));
}

QList<StudyLoader::Item> ViewerPanel::loadItems(const QStringList &sopUids) const
{
    // A UID that cannot name a file is refused by its item, not by the whole load.
    QList<StudyLoader::Item> items;
    items.reserve(sopUids.size());
    for (const QString &uid : sopUids) {
        StudyLoader::Item it;
        try {
            it.path = m_station.paths().imageFile(m_state.studyUid(), uid);
        } catch (const AppError &e) {
            it.error = e.description();
        }
        items.append(it);
    }
    return items;
}

void ViewerPanel::appendImages(const QStringList &sopUids)
{
    const QStringList shown = shownUids();
    QStringList fresh;
    for (const QString &uid : sopUids)
        if (!shown.contains(uid) && !m_waitingAppend.contains(uid) && !fresh.contains(uid))
            fresh << uid;
    if (fresh.isEmpty())
        return;
    if (m_loader.isRunning()) {
        m_waitingAppend += fresh;
        return;
    }
    const QList<StudyLoader::Item> items = loadItems(fresh);
    const int first = m_dv1->count() + 1;
    m_appending = fresh;
    m_loadFailed = false;
    m_dv1->append(int(items.size()));
    m_dv1->setNewest(m_dv1->count());
    m_pbLoad->setMaximum(int(items.size()));
    m_pbLoad->setValue(0);
    m_pbLoad->show();
    m_loader.start(items, m_dv1->renderSize(m_dv1->count()), 0, first);
}

QStringList ViewerPanel::shownUids() const
{
    QStringList out;
    for (int i = 1; i <= m_dv1->count(); ++i)
        if (!m_dv1->image(i).sopInstanceUid.isEmpty())
            out << m_dv1->image(i).sopInstanceUid;
    return out + m_appending;
}

void ViewerPanel::markNewest(const QString &sopUid)
{
    for (int n = 1; n <= m_dv1->count(); ++n) {
        if (m_dv1->image(n).sopInstanceUid == sopUid) {
            m_dv1->setNewest(n);
            showOnPage(n);
            return;
        }
    }
}

void ViewerPanel::refreshCaptions()
{
    for (int i = 1; i <= m_dv1->count(); ++i)
        if (m_dv1->image(i).loaded())
            m_dv1->setCaption(i, captionOf ? captionOf(m_dv1->image(i)) : QString());
}

void ViewerPanel::onImageReady(int number, const ViewerImage &picture)
{
    ViewerImage img = picture;
    if (captionOf)
        img.caption = captionOf(img);
    m_dv1->setImage(number, img);
    if (number == m_dv1->newest())
        showOnPage(number);
    m_pbLoad->setValue(m_pbLoad->value() + 1);
}

void ViewerPanel::onImageFailed(int, const QString &path, long errorNumber, const QString &description)
{
    m_loadFailed = true;
    m_station.logError(errorNumber, description + QStringLiteral(" (") + path + QLatin1Char(')'),
                       QStringLiteral("MainForm LoadStudy (READ_ERROR)"));
}

void ViewerPanel::onLoadFinished(int loaded, int)
{
    // The pictures read so far stay; the places of files that never came are dropped.
    const int before = m_dv1->count();
    const bool appended = !m_appending.isEmpty();
    m_appending.clear();
    m_dv1->dropEmpty();
    syncViewerFiles();
    setPanel(StoreStatus::PanelImages,
             QString::number(appended ? m_dv1->loadedCount() : loaded) + QStringLiteral(" image(s)"));
    m_pbLoad->hide();
    m_busy.reset();
    if (before != m_dv1->count())
        initScrollbar();
    if (appended && m_dv1->newest())
        showOnPage(m_dv1->newest());
    if (m_loadFailed)
        m_station.prompter().message(QStringLiteral("An error occured during loading - please retry!"),
                                     MsgIcon::Critical);
    emit loadFinished();
    // Images that came meanwhile follow now.
    if (!m_waitingAppend.isEmpty())
        appendImages(std::exchange(m_waitingAppend, {}));
}

// ---- scroll bar, keys and picking ------------------------------------------------

void ViewerPanel::initScrollbar()
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

void ViewerPanel::setFirst(int first) { m_dv1->setFirstImage(first); }

void ViewerPanel::syncScrollValue()
{
    QScrollBar *sb = m_vscroll;
    if (!sb->isEnabled())
        return;
    const QSignalBlocker block(sb);
    sb->setValue(ViewerPaging::scrollValueForFirst(m_dv1->firstImage(), m_dv1->columns(), sb->maximum()));
}

void ViewerPanel::scrollChange(int value) { setFirst(ViewerPaging::firstFromScrollValue(value, m_dv1->columns())); }

void ViewerPanel::scrollDrag(int value)
{
    setFirst(ViewerPaging::firstFromScrollDrag(value, m_dv1->columns(), m_vscroll->maximum()));
}

void ViewerPanel::viewerKeyDown(int qtKey)
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
    if ((qtKey == Qt::Key_Return || qtKey == Qt::Key_Enter) && m_state.currentImage() > 0) {
        enlarge(m_state.currentImage());
        return;
    }
    const int first =
        ViewerPaging::firstAfterKey(qtKey, m_dv1->firstImage(), m_dv1->cellCount(), m_dv1->imagesPerPage());
    if (first == m_dv1->firstImage())
        return;
    setFirst(first);
    syncScrollValue();
}

void ViewerPanel::frameImage(int number)
{
    m_dv1->setFramed(number);
    setPanel(StoreStatus::PanelSelected, QStringLiteral("Sel. image #: ") + QString::number(number));
    const bool valid = number > 0 && number <= m_dv1->count();
    // Picked again: announced again (the header may have changed meanwhile).
    if (!m_state.setCurrentImage(number, valid ? m_dv1->image(number).path : QString(),
                                 valid ? m_dv1->image(number).sopInstanceUid : QString()))
        m_state.notifyImagePicked();
}

void ViewerPanel::pickImage(int number)
{
    if (number < 1 || number > m_dv1->count())
        return;
    // The image list marks the row of the same image when it hears of the pick.
    frameImage(number);
}

void ViewerPanel::viewerMouseUp(int number, Qt::MouseButton button, const QPoint &globalPos)
{
    if (button == Qt::RightButton && (number == 0 || number == m_state.currentImage())) {
        if (m_dv1->count() > 0)
            showViewerMenu(number != 0, globalPos);
        return;
    }
    if (number == 0 || (button != Qt::LeftButton && button != Qt::RightButton))
        return;
    pickImage(number);
}

void ViewerPanel::showViewerMenu(bool withImageMenu, const QPoint &globalPos)
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

void ViewerPanel::showOnPage(int number)
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

void ViewerPanel::showImage(const QString &uid)
{
    for (int n = 1; n <= m_dv1->count(); ++n) {
        if (m_dv1->image(n).sopInstanceUid == uid) {
            showOnPage(n);
            frameImage(n);
            return;
        }
    }
}

void ViewerPanel::removeImage(int number)
{
    if (number < 1 || number > m_dv1->count())
        return;
    m_dv1->removeImage(number);
    syncViewerFiles();
    if (!m_state.clearCurrentImage())
        m_state.notifyImagePicked();
    initScrollbar();
    setPanel(StoreStatus::PanelImages, QString::number(m_dv1->count()) + QStringLiteral(" image(s)"));
    setPanel(StoreStatus::PanelSelected, QString());
}

// ---- lifecycle -------------------------------------------------------------------

void ViewerPanel::initializeControls()
{
    const Settings &s = m_station.settings();
    m_dv1->setGrid(s.viewerRows, s.viewerColumns);
    m_dv1->setColours(s.viewerBgColor, s.viewerFgColor);
    m_dv1->setMammoLayout(s.mammoLayout != 0);
    if (QAction *a = m_commands.action(QString::fromLatin1(Cmd::MammoLayout)))
        a->setChecked(s.mammoLayout != 0);
}

void ViewerPanel::syncViewerFiles()
{
    QStringList files;
    for (int i = 1; i <= m_dv1->count(); ++i)
        files << m_dv1->image(i).path;
    m_state.setViewerFiles(files);
}

void ViewerPanel::clearViewer()
{
    stopLoad();
    m_waitingAppend.clear();
    cancelWindowSource();
    m_dv1->clear();
    m_state.setViewerFiles({});
    // The header list and the like show nothing of an image that is gone.
    m_state.clearCurrentImage();
}

void ViewerPanel::stopLoad()
{
    if (!m_loader.isRunning())
        return;
    m_loader.cancel();
    m_busy.reset();
    m_appending.clear();
    m_pbLoad->hide();
}

// ---- enlarged image, wheel and window ----------------------------------------------

void ViewerPanel::setMammoLayout(bool on)
{
    m_station.settings().mammoLayout = on ? 1 : 0;
    m_station.settingsStore().writeValue(QStringLiteral("General/MammoLayout"),
                                         on ? QStringLiteral("1") : QStringLiteral("0"));
    if (QAction *a = m_commands.action(QString::fromLatin1(Cmd::MammoLayout)))
        a->setChecked(on);
    m_dv1->setMammoLayout(on);
    initScrollbar();
}

void ViewerPanel::viewerDoubleClick(int number)
{
    if (m_dv1->enlarged()) {
        leaveEnlarged();
        return;
    }
    if (number < 1)
        return;
    enlarge(number);
}

void ViewerPanel::enlarge(int number)
{
    if (number < 1 || number > m_dv1->count() || !m_dv1->image(number).loaded())
        return;
    if (number != m_state.currentImage())
        pickImage(number);
    m_gridFirst = m_dv1->firstImage();
    m_dv1->setEnlarged(number);
    m_vscroll->setEnabled(false);
    requestWindowSource(number);
}

void ViewerPanel::leaveEnlarged()
{
    if (!m_dv1->enlarged())
        return;
    cancelWindowSource();
    m_dv1->setEnlarged(0);
    // Back at the page the grid showed.
    initScrollbar();
    setFirst(m_gridFirst);
    syncScrollValue();
    if (m_state.currentImage() > 0)
        showOnPage(m_state.currentImage());
}

void ViewerPanel::stepEnlarged(int step)
{
    const int n = qBound(1, m_dv1->enlarged() + step, m_dv1->count());
    if (n == m_dv1->enlarged() || !m_dv1->image(n).loaded())
        return;
    pickImage(n);
    m_dv1->setEnlarged(n);
    requestWindowSource(n);
}

void ViewerPanel::viewerWheel(int notches)
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

void ViewerPanel::requestWindowSource(int number)
{
    cancelWindowSource();
    m_window = {};
    const ViewerImage &img = m_dv1->image(number);
    m_window.centre = img.windowCentre;
    m_window.width = img.windowWidth;
    const QSize size = m_dv1->size().expandedTo(QSize(512, 512)).boundedTo(QSize(4096, 4096));
    // Read again at the viewer's size, off the window's thread: a full-field mammogram
    // takes a moment, and the picture at cell size shows meanwhile.
    m_loader.readSource(img.path, size);
}

void ViewerPanel::cancelWindowSource()
{
    m_loader.cancelSource();
    m_windowSource = ViewerImage();
}

void ViewerPanel::onWindowSource(const ViewerImage &source, const QString &error)
{
    if (!m_dv1->enlarged())
        return;
    if (!error.isEmpty()) {
        m_station.logError(ErrorNo::Dicom, error, QStringLiteral("MainForm Viewer_Enlarge"));
        return;
    }
    m_windowSource = source;
    m_dv1->setEnlargedPicture(dicom::windowed(m_windowSource, m_window.centre, m_window.width));
    emit windowSourceReady();
}

void ViewerPanel::windowDrag(int dx, int dy)
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

void ViewerPanel::resetWindow()
{
    if (!m_dv1->enlarged() || m_windowSource.grey16.isNull())
        return;
    const ViewerImage &img = m_dv1->image(m_dv1->enlarged());
    m_window.centre = img.windowCentre;
    m_window.width = img.windowWidth;
    m_dv1->setEnlargedPicture(dicom::windowed(m_windowSource, m_window.centre, m_window.width));
}

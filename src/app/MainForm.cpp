#include "app/MainForm.h"
#include "app/CompanionArea.h"
#include "app/LiveExamination.h"
#include "core/AppError.h"
#include "core/StartupChecks.h"
#include "core/Station.h"
#include "core/Version.h"
#include "dialogs/DatabaseForm.h"
#include "dose/DoseCapturePanel.h"
#include "dose/DoseListPanel.h"
#include "dose/MppsPanel.h"
#include "dose/RegistryPanel.h"
#include "edit/HeaderPanel.h"
#include "edit/TaskPanel.h"
#include "io/ImportExportCommands.h"
#include "net/SendCommands.h"
#include "net/WorklistForm.h"
#include "store/BrowserPanel.h"
#include "store/QuarantineCommands.h"
#include "store/StoreDeleteCommands.h"
#include "store/ViewerPanel.h"
#include "ui/CommandIds.h"
#include "ui/CommandTable.h"
#include "ui/MainCommands.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QFile>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>
#include <QToolBar>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

MainForm::MainForm(Station &station, QWidget *parent)
    : QMainWindow(parent), m_station(station), m_commands(new CommandTable(this))
{
    setObjectName(QStringLiteral("MainForm"));
    MainCommands::build(*m_commands, this);
    buildMenus();
    buildToolbar();
    buildPanels();
    buildLayout();
    buildStatusBar();
    hookOwnCommands();
    qApp->installEventFilter(this);
    resize(1024, 738);
}

MainForm::~MainForm() = default;

void MainForm::buildPanels()
{
    // The viewer first: it takes its settings before the lists start their timer.
    m_viewer = new ViewerPanel(m_station, m_selection, *m_commands, m_hooks, this);
    m_browser = new BrowserPanel(m_station, m_selection, m_edits, *m_commands, m_hooks, this);
    new StoreDeleteCommands(m_station, m_selection, m_edits, *m_commands, m_hooks, this);
    new CompanionArea(m_station, m_hooks, this);
    m_capture = new DoseCapturePanel(m_station, m_dose, *m_commands, m_hooks, this);
    m_doseList = new DoseListPanel(m_station, m_dose, m_selection, m_edits, *m_commands, m_hooks, this);
    m_doseList->pickWorklistPatient = [this](QWidget *parent, const std::function<int(QDialog &)> &run) {
        return WorklistForm::pick(m_station, parent, run);
    };
    m_mpps = new MppsPanel(m_station, m_dose, this);
    m_live = new LiveExamination(m_station, m_dose, m_selection, m_edits, *m_browser, *m_viewer, *m_commands, this);
    m_registry = new RegistryPanel(m_station, m_dose, this);
    m_header = new HeaderPanel(m_station, m_selection, m_edits, m_hooks, this);
    m_tasks = new TaskPanel(m_station, m_selection, m_edits, m_header->state(), *m_commands, m_hooks, this);
    DatabaseForm::hookCommand(m_station, *m_commands, this);
    new ImportExportCommands(m_station, m_selection, *m_commands, m_hooks, this);
    m_quarantine = new QuarantineCommands(m_station, *m_commands, this);
    new SendCommands(
        m_station, m_selection, m_dose, m_edits, *m_commands, m_hooks,
        [list = m_doseList] { return list->listedIds(); }, this);
}

void MainForm::buildMenus()
{
    auto &c = *m_commands;
    auto a = [&c](const char *n) { return c.action(QString::fromLatin1(n)); };
    QMenuBar *bar = menuBar();

    QMenu *file = bar->addMenu(QStringLiteral("&File"));
    c.addMenu(Menu::File, file);
    QMenu *imp = file->addMenu(QStringLiteral("Import"));
    c.addMenu(Menu::FileImport, imp);
    imp->addAction(a(Cmd::ImportImages));
    imp->addAction(a(Cmd::ImportDir));
    QMenu *exp = file->addMenu(QStringLiteral("Export"));
    c.addMenu(Menu::FileExport, exp);
    exp->addAction(a(Cmd::ExportJpeg));
    exp->addAction(a(Cmd::ExportDicom));
    file->addAction(a(Cmd::Quarantine));
    file->addSeparator()->setObjectName(QStringLiteral("mnuFileTrenn"));
    file->addAction(a(Cmd::Exit));

    QMenu *edit = bar->addMenu(QStringLiteral("&Edit"));
    c.addMenu(Menu::Edit, edit);
    edit->addAction(a(Cmd::ApplyTasks));
    edit->addAction(a(Cmd::RefreshList));
    edit->addSeparator()->setObjectName(QStringLiteral("mnuTrennE"));
    edit->addAction(a(Cmd::EditDatabase));

    QMenu *view = bar->addMenu(QStringLiteral("&View"));
    c.addMenu(Menu::View, view);
    view->addAction(a(Cmd::Options));
    view->addAction(a(Cmd::MammoLayout));
    view->addAction(a(Cmd::LiveView));

    QMenu *prot = bar->addMenu(QStringLiteral("Protocols"));
    c.addMenu(Menu::Protocols, prot);
    prot->addAction(a(Cmd::ErrorLog));
    prot->addAction(a(Cmd::DebugLog));

    QMenu *info = bar->addMenu(QStringLiteral("?"));
    c.addMenu(Menu::Info, info);
    info->addAction(a(Cmd::Fill));
    info->addAction(a(Cmd::About));
    info->addSeparator()->setObjectName(QStringLiteral("mnuTrennInfo"));
}

void MainForm::buildToolbar()
{
    auto *tb = addToolBar(QStringLiteral("Toolbar"));
    tb->setObjectName(QStringLiteral("Toolbar1"));
    tb->setMovable(false);
    tb->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    tb->setIconSize(QSize(24, 24));
    // The toolbar's background picture.
    tb->setStyleSheet(QStringLiteral(
        "QToolBar#Toolbar1 { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #f4f7fb, stop:1 #d5dde8);"
        " border-bottom: 1px solid #a9b4c2; spacing: 2px; }"));
    for (const auto &b : MainCommands::toolbarButtons()) {
        const QString key = QString::fromLatin1(b.key);
        auto *act = new QAction(style()->standardIcon(b.icon), QString::fromUtf8(b.caption), tb);
        act->setObjectName(QStringLiteral("Toolbar1_") + key + QStringLiteral("_button"));
        act->setToolTip(QString::fromUtf8(b.tooltip));
        act->setData(key);
        // A button follows the enabled state of the command it runs.
        QAction *cmd = m_commands->action(QString::fromLatin1(b.command));
        act->setEnabled(cmd->isEnabled());
        connect(cmd, &QAction::changed, act, [act, cmd] { act->setEnabled(cmd->isEnabled()); });
        connect(act, &QAction::triggered, this, [this, key] { toolbarButtonClick(key); });
        tb->addAction(act);
        if (key == QLatin1String("refreshd") || key == QLatin1String("delete") || key == QLatin1String("eDICOM"))
            tb->addSeparator();
    }
}

void MainForm::toolbarButtonClick(const QString &key)
{
    for (const auto &b : MainCommands::toolbarButtons()) {
        if (key != QLatin1String(b.key))
            continue;
        m_commands->run(QString::fromLatin1(b.command));
        return;
    }
    // Any other key does nothing.
}

void MainForm::buildLayout()
{
    auto *central = new QWidget;
    auto *outer = new QHBoxLayout(central);
    outer->setContentsMargins(4, 4, 4, 4);
    auto *split = new QSplitter(Qt::Horizontal);
    split->setObjectName(QStringLiteral("mainSplitter"));
    split->setChildrenCollapsible(false);
    outer->addWidget(split);

    // Left: the store browser; middle: the viewer, taking the extra space.
    QWidget *left = m_browser->listsPane();
    split->addWidget(left);
    split->addWidget(m_viewer->viewerPane());

    // Right: current patient and dose on top, header and task editor below.
    auto *right = new QSplitter(Qt::Vertical);
    right->setChildrenCollapsible(false);
    auto *doseBox = new QGroupBox(QStringLiteral("Current patient and dose"));
    doseBox->setObjectName(QStringLiteral("frmDose"));
    auto *doseLayout = new QVBoxLayout(doseBox);
    doseLayout->setContentsMargins(4, 4, 4, 4);
    doseLayout->addWidget(m_doseList->patientView(), 3);
    auto *buttons = new QGridLayout;
    buttons->setSpacing(3);
    buttons->addWidget(m_doseList->worklistButton(), 0, 0);
    buttons->addWidget(m_doseList->newStudyButton(), 0, 1);
    buttons->addWidget(m_capture->loradButton(), 0, 2);
    buttons->addWidget(m_doseList->mergeButton(), 1, 0);
    buttons->addWidget(m_doseList->manualButton(), 1, 1);
    doseLayout->addLayout(buttons);
    doseLayout->addWidget(m_capture->pendingLabel());
    doseLayout->addWidget(m_capture->unstoredLabel());
    doseLayout->addWidget(m_mpps->label());
    doseLayout->addWidget(m_registry->label());
    doseLayout->addWidget(m_capture->portLabel());
    auto *fillRow = new QHBoxLayout;
    fillRow->addWidget(m_capture->fillLabel(), 1);
    fillRow->addWidget(m_capture->fillButton());
    doseLayout->addLayout(fillRow);
    doseLayout->addWidget(m_doseList->doseCaption());
    doseLayout->addWidget(m_doseList->doseView(), 4);
    doseLayout->addWidget(m_capture->inputBox(), 2);
    doseLayout->addWidget(m_capture->tokenList(), 2);
    doseLayout->addWidget(m_capture->receiveBox());
    right->addWidget(doseBox);

    auto *editTabs = new QTabWidget;
    editTabs->setObjectName(QStringLiteral("tabEdit"));
    editTabs->addTab(m_header->view(), QStringLiteral("Header"));
    editTabs->addTab(m_tasks->page(), QStringLiteral("Tasks"));
    right->addWidget(editTabs);
    right->setStretchFactor(0, 3);
    right->setStretchFactor(1, 2);
    split->addWidget(right);

    split->setStretchFactor(0, 0);
    split->setStretchFactor(1, 1);
    split->setStretchFactor(2, 0);
    split->setSizes({250, 420, 340});
    left->setMinimumWidth(230);
    // Room for the dose list's number and values side by side.
    right->setMinimumWidth(300);
    setCentralWidget(central);
}

void MainForm::buildStatusBar()
{
    auto *sb = statusBar();
    sb->setObjectName(QStringLiteral("StatusBar1"));
    const int widths[4] = {220, 130, 130, 110};
    for (int i = 0; i < 4; ++i) {
        auto *l = new QLabel;
        l->setObjectName(QStringLiteral("statusPanel%1").arg(i));
        l->setMinimumWidth(widths[i]);
        l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        sb->addWidget(l, i == 0 ? 2 : 1);
        m_statusPanel[i] = l;
    }
    auto showStatus = [this](int i, const QString &text) {
        if (i >= 0 && i < 4)
            m_statusPanel[i]->setText(text);
    };
    connect(m_browser, &BrowserPanel::statusText, this, showStatus);
    connect(m_viewer, &ViewerPanel::statusText, this, showStatus);
    connect(m_capture, &DoseCapturePanel::statusMessage, sb, &QStatusBar::showMessage);
    connect(m_live, &LiveExamination::statusMessage, sb, &QStatusBar::showMessage);
    m_diskWarning = new QLabel;
    m_diskWarning->setObjectName(QStringLiteral("lblDiskWarning"));
    m_diskWarning->setStyleSheet(
        QStringLiteral("QLabel { color: white; background: #b00020; padding: 0 6px; font-weight: bold; }"));
    m_diskWarning->hide();
    sb->addPermanentWidget(m_diskWarning);
    sb->addPermanentWidget(m_quarantine->note());
}

void MainForm::hookOwnCommands()
{
    m_commands->hook(Cmd::Exit, [this] { exitProgram(); });
    m_commands->hook(Cmd::Options, [this] { emit optionsRequested(); });
    m_commands->hook(Cmd::ErrorLog, [this] { showErrorLog(); });
    m_commands->hook(Cmd::DebugLog, [this] { showDebugLog(); });
    m_commands->hook(Cmd::About, [this] { showAbout(); });
}

bool MainForm::formLoad()
{
    m_station.trap(QStringLiteral("Mainform Form_Load"), [&] {
        setWindowTitle(Version::mainCaption());

        const qint64 free = StartupChecks::freeBytes(m_station.paths().appPath());
        if (StartupChecks::diskSpaceLow(free)) {
            setDiskWarning(StartupChecks::lowDiskSpaceStatus(free));
            m_station.log().writeError(ErrorNo::FileIo, StartupChecks::lowDiskSpaceStatus(free),
                                       QStringLiteral("Mainform Form_Load"));
            m_station.prompter().message(StartupChecks::lowDiskSpaceText(free), MsgIcon::Warning);
        }

        // The data files and the transfer, temp and bin folders.
        MainHooks::run(m_hooks.prepareDataFiles);
        m_station.loadSettings();
        applyDebugMode();
        applyUnitType();
        MainHooks::run(m_hooks.loadModFilter);
        MainHooks::run(m_hooks.refreshPatientList);
        MainHooks::run(m_hooks.updateSendToEntries);
        MainHooks::run(m_hooks.startCompanions);
        // The browser starts the update timer with its controls.
        MainHooks::run(m_hooks.initializeControls);
    });
    return true;
}

void MainForm::setDiskWarning(const QString &text)
{
    m_diskWarning->setText(text);
    m_diskWarning->setVisible(!text.isEmpty());
}

void MainForm::applyUnitType() { m_capture->applyUnitType(m_station.settings().xrayComm); }

void MainForm::applyDebugMode()
{
    const bool debug = m_station.settings().debug == 1;
    m_capture->applyDebugMode(debug);
    m_doseList->applyDebugMode(debug);
}

void MainForm::settingsSaved() { MainHooks::run(m_hooks.settingsChanged); }

bool MainForm::event(QEvent *e)
{
    // The first activation opens the serial port; later ones come from the operator
    // switching programs and leave it alone (see eventFilter).
    if (e->type() == QEvent::WindowActivate && !m_exited && isVisible() && !m_activatedOnce) {
        m_activatedOnce = true;
        formActivate();
    }
    return QMainWindow::event(e);
}

bool MainForm::eventFilter(QObject *watched, QEvent *e)
{
    // A modal dialog of ours closed (Options, worklist, a message box, ...): the main
    // window takes over again, and the port is set up afresh with what may have changed.
    if (e->type() == QEvent::Hide && m_activatedOnce && !m_exited) {
        auto *dialog = qobject_cast<QDialog *>(watched);
        if (dialog && dialog->isModal() && dialog->isWindow())
            QTimer::singleShot(0, this, [this] {
                if (!m_exited && !QApplication::activeModalWidget())
                    formActivate();
            });
    }
    return QMainWindow::eventFilter(watched, e);
}

void MainForm::formActivate()
{
    m_station.trap(QStringLiteral("MainForm Form_Activate"), [&] {
        applyDebugMode();
        MainHooks::run(m_hooks.activate);
    });
}

void MainForm::exitProgram()
{
    if (m_exited)
        return;
    m_exited = true;
    m_station.trap(QStringLiteral("MainForm mnuDateiBeenden_Click"), [&] {
        MainHooks::run(m_hooks.clearViewer);
        // The databases are opened per action and are closed here already.
        if (m_station.settings().stopService == 1)
            MainHooks::run(m_hooks.stopCompanions);
    });
    // Every window of the program, then the program itself.
    for (QWidget *top : QApplication::topLevelWidgets()) {
        if (top != this && top->isVisible()) {
            QCoreApplication::processEvents();
            top->close();
        }
    }
    // Errors held back as repeats are counted in the log before the program ends.
    m_station.log().flushRepeats();
    hide();
    QCoreApplication::processEvents();
    QCoreApplication::quit();
}

void MainForm::closeEvent(QCloseEvent *e)
{
    // The close box ends the program the same way as File > Exit.
    exitProgram();
    e->accept();
}

namespace {
void showLogFile(QWidget *parent, const QString &title, const QString &path)
{
    QFile f(path);
    QString text;
    if (f.open(QIODevice::ReadOnly))
        text = QString::fromUtf8(f.readAll());
    if (text.isEmpty())
        text = QStringLiteral("The log is empty.");
    auto *dlg = new QDialog(parent);
    dlg->setAttribute(Qt::WA_DeleteOnClose);
    dlg->setWindowTitle(title);
    auto *l = new QVBoxLayout(dlg);
    auto *view = new QPlainTextEdit(text);
    view->setReadOnly(true);
    view->setLineWrapMode(QPlainTextEdit::NoWrap);
    view->moveCursor(QTextCursor::End);
    l->addWidget(view);
    auto *close = new QPushButton(QStringLiteral("Close"));
    QObject::connect(close, &QPushButton::clicked, dlg, &QDialog::accept);
    l->addWidget(close, 0, Qt::AlignRight);
    dlg->resize(760, 480);
    dlg->open();
}
} // namespace

void MainForm::showErrorLog() { showLogFile(this, QStringLiteral("Error.log"), m_station.log().errorLogPath()); }
void MainForm::showDebugLog() { showLogFile(this, QStringLiteral("debug.log"), m_station.log().debugLogPath()); }

void MainForm::showAbout()
{
    m_station.prompter().message(
        Version::mainCaption()
            + QStringLiteral(
                "\n\nMammography room station: dose capture, worklist, image store and DICOM send.\n\nStation folder: ")
            + m_station.paths().appPath(),
        MsgIcon::Information, QStringLiteral("About Calvarex"));
}

#include "app/MainForm.h"
#include "app/AppError.h"
#include "app/CommandTable.h"
#include "app/StartupChecks.h"
#include "app/Station.h"
#include "app/Version.h"
#include "store/ViewerWidget.h"

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

namespace {

struct ToolbarButton {
    const char *key;
    const char *caption;
    const char *tooltip;
    QStyle::StandardPixmap icon;
    const char *mirrors; // the menu command it runs, or nullptr for its own command
};

// Toolbar1: key, caption, tooltip, icon.
const ToolbarButton ToolbarButtons[] = {
    {"send", "Send", "Send the selected patient to the default destination", QStyle::SP_ArrowRight, nullptr},
    {"exe", "Execute", "Execute tasks", QStyle::SP_MediaPlay, "mnuApplyTasks"},
    {"refresh", "Refresh", "Refresh patient list", QStyle::SP_BrowserReload, "mnuRefreshList"},
    {"refreshd", "Dose list", "Refresh dose list", QStyle::SP_FileDialogContentsView, nullptr},
    {"reldosis", "Dose records", "Dose record browser", QStyle::SP_FileDialogDetailedView, nullptr},
    {"worklist", "Worklist", "Query the worklist", QStyle::SP_FileDialogListView, nullptr},
    {"delete", "Delete doses", "Delete dose list", QStyle::SP_TrashIcon, nullptr},
    {"eJPEG", "JPEG", "Export as JPEG", QStyle::SP_DialogSaveButton, "mnuExportJPEG"},
    {"eDICOM", "DICOM", "Export as DICOM", QStyle::SP_DriveFDIcon, "mnuExportDICOM"},
    {"exit", "Exit", "Exit", QStyle::SP_DialogCloseButton, "mnuDateiBeenden"},
};

QTreeWidget *reportList(const char *name, const QStringList &headers)
{
    auto *lv = new QTreeWidget;
    lv->setObjectName(QString::fromLatin1(name));
    lv->setRootIsDecorated(false);
    lv->setUniformRowHeights(true);
    lv->setAllColumnsShowFocus(true);
    lv->setSelectionBehavior(QAbstractItemView::SelectRows);
    lv->setContextMenuPolicy(Qt::CustomContextMenu);
    if (headers.isEmpty()) {
        lv->setHeaderHidden(true);
    } else {
        lv->setHeaderLabels(headers);
    }
    lv->header()->setStretchLastSection(true);
    return lv;
}

QGroupBox *framed(const QString &title, QWidget *w)
{
    auto *box = new QGroupBox(title);
    auto *l = new QVBoxLayout(box);
    l->setContentsMargins(4, 4, 4, 4);
    l->addWidget(w);
    return box;
}

QPushButton *button(const char *name, const QString &caption)
{
    auto *b = new QPushButton(caption);
    b->setObjectName(QString::fromLatin1(name));
    b->setEnabled(false);
    return b;
}

} // namespace

MainForm::MainForm(Station &station, QWidget *parent)
    : QMainWindow(parent), m_station(station), m_commands(new CommandTable(this))
{
    setObjectName(QStringLiteral("MainForm"));
    m_widgets.window = this;
    m_widgets.commands = m_commands;
    buildCommands();
    buildMenus();
    buildToolbar();
    buildContextMenus();
    buildLayout();
    buildStatusBar();

    m_widgets.UpdateTimer = new QTimer(this);
    m_widgets.UpdateTimer->setObjectName(QStringLiteral("UpdateTimer"));
    m_widgets.UpdateTimer->setInterval(10000);
    m_widgets.SerTimer = new QTimer(this);
    m_widgets.SerTimer->setObjectName(QStringLiteral("SerTimer"));
    m_widgets.SerTimer->setInterval(100);

    hookOwnCommands();
    // A button whose work this version does not have yet says so instead of doing nothing.
    for (auto [button, command] : {std::pair{m_widgets.cmdSelected, "cmdSelected_Click"}, std::pair{m_widgets.cmdAll, "cmdAll_Click"}}) {
        const QString name = QString::fromLatin1(command);
        connect(button, &QPushButton::clicked, this, [this, name, button] {
            if (!m_commands->run(name))
                m_station.prompter().message(QStringLiteral("\"%1\" is not available in this version.").arg(button->text()),
                                             MsgIcon::Information);
        });
    }
    buildAreas();
    resize(1024, 738);
}

MainForm::~MainForm() = default;

void MainForm::buildCommands()
{
    auto &c = *m_commands;
    c.add(QStringLiteral("mnuImportImages"), QStringLiteral("DICOM Image(s) ..."));
    c.add(QStringLiteral("mnuImportDir"), QStringLiteral("DICOM Dir ..."));
    c.add(QStringLiteral("mnuExportJPEG"), QStringLiteral("JPEG ..."));
    c.add(QStringLiteral("mnuExportDICOM"), QStringLiteral("DICOM ..."));
    c.add(QStringLiteral("mnuDateiBeenden"), QStringLiteral("E&xit"));
    c.add(QStringLiteral("mnuApplyTasks"), QStringLiteral("Execute tasks ..."));
    c.add(QStringLiteral("mnuRefreshList"), QStringLiteral("Refresh list"));
    c.add(QStringLiteral("mnuEditDatabase"), QStringLiteral("DICOM Dictionary ..."));
    c.add(QStringLiteral("mnuAnsichtEinstellungen"), QStringLiteral("&Options ..."));
    c.add(QStringLiteral("mnuProtokollFehler"), QStringLiteral("Errors ..."));
    c.add(QStringLiteral("mnuProtokollDebug"), QStringLiteral("Debug ..."));
    c.add(QStringLiteral("mnuFill"), QStringLiteral("Fill"));
    c.add(QStringLiteral("mnuInfoAbout"), QStringLiteral("Abo&ut ..."));

    for (const auto &b : ToolbarButtons) {
        if (!b.mirrors)
            c.add(QStringLiteral("Toolbar1_") + QLatin1String(b.key), QString::fromUtf8(b.caption));
    }

    // Context menu items.
    const std::pair<const char *, const char *> items[] = {
        {"PopUpPatient_Delete", "Delete Patient"},
        {"PopUpPatient_DeleteAll", "Delete All Patients"},
        {"PopUpStudie_ViewSeries", "View Series"},
        {"PopUpStudie_ViewImages", "View Images"},
        {"PopUpStudie_Delete", "Delete Images"},
        {"PopUpSerie_ViewImages", "View Images"},
        {"PopUpSerie_Delete", "Delete Images"},
        {"PopUpTaskList_Clear", "Clear entries"},
        {"PopUpTaskList_SaveAs", "Save as ..."},
        {"PopUpViewer_RotateRight", "90° rechts"},
        {"PopUpViewer_RotateLeft", "90° links"},
        {"PopUpViewer_MirrorH", "horizontal"},
        {"PopUpViewer_MirrorV", "vertical"},
        {"PopUpViewer_AllRotateRight", "90° rechts"},
        {"PopUpViewer_AllRotateLeft", "90° links"},
        {"PopUpViewer_AllMirrorH", "horizontal"},
        {"PopUpViewer_AllMirrorV", "vertikal"},
        {"PopUpViewer_Reset", "Zurücksetzen"},
        {"PopUpViewer_ResetAll", "Alle Zurücksetzen"},
        {"Popup_Dicom_Delete", "Delete"},
        {"Popup_Dosis_Delete", "Delete"},
    };
    for (const auto &[name, caption] : items)
        c.add(QString::fromLatin1(name), QString::fromUtf8(caption));

    // The dose panel's "Merge Images" and "Manually" buttons run these.
    c.add(QStringLiteral("cmdSelected_Click"), QStringLiteral("Merge Images"));
    c.add(QStringLiteral("cmdAll_Click"), QStringLiteral("Manually"));
}

void MainForm::buildMenus()
{
    auto &c = *m_commands;
    auto a = [&c](const char *n) { return c.action(QString::fromLatin1(n)); };
    QMenuBar *bar = menuBar();

    QMenu *file = bar->addMenu(QStringLiteral("&File"));
    c.addMenu(QStringLiteral("mnuDatei"), file);
    QMenu *imp = file->addMenu(QStringLiteral("Import"));
    c.addMenu(QStringLiteral("mnuImport"), imp);
    imp->addAction(a("mnuImportImages"));
    imp->addAction(a("mnuImportDir"));
    QMenu *exp = file->addMenu(QStringLiteral("Export"));
    c.addMenu(QStringLiteral("mnuFileExport"), exp);
    exp->addAction(a("mnuExportJPEG"));
    exp->addAction(a("mnuExportDICOM"));
    file->addSeparator()->setObjectName(QStringLiteral("mnuFileTrenn"));
    file->addAction(a("mnuDateiBeenden"));

    QMenu *edit = bar->addMenu(QStringLiteral("&Edit"));
    c.addMenu(QStringLiteral("mnuBearbeiten"), edit);
    edit->addAction(a("mnuApplyTasks"));
    edit->addAction(a("mnuRefreshList"));
    edit->addSeparator()->setObjectName(QStringLiteral("mnuTrennE"));
    edit->addAction(a("mnuEditDatabase"));

    QMenu *view = bar->addMenu(QStringLiteral("&View"));
    c.addMenu(QStringLiteral("mnuAnsicht"), view);
    view->addAction(a("mnuAnsichtEinstellungen"));

    QMenu *prot = bar->addMenu(QStringLiteral("Protocols"));
    c.addMenu(QStringLiteral("mnuProtokoll"), prot);
    prot->addAction(a("mnuProtokollFehler"));
    prot->addAction(a("mnuProtokollDebug"));

    QMenu *info = bar->addMenu(QStringLiteral("?"));
    c.addMenu(QStringLiteral("mnuInfo"), info);
    info->addAction(a("mnuFill"));
    info->addAction(a("mnuInfoAbout"));
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
    m_widgets.Toolbar1 = tb;
    for (const auto &b : ToolbarButtons) {
        const QString key = QString::fromLatin1(b.key);
        auto *act = new QAction(style()->standardIcon(b.icon), QString::fromUtf8(b.caption), tb);
        act->setObjectName(QStringLiteral("Toolbar1_") + key + QStringLiteral("_button"));
        act->setToolTip(QString::fromUtf8(b.tooltip));
        act->setData(key);
        // A button follows the enabled state of the command it runs.
        QAction *cmd = b.mirrors ? m_commands->action(QString::fromLatin1(b.mirrors)) : m_commands->action(QStringLiteral("Toolbar1_") + key);
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
    for (const auto &b : ToolbarButtons) {
        if (key != QLatin1String(b.key))
            continue;
        m_commands->run(b.mirrors ? QString::fromLatin1(b.mirrors) : QStringLiteral("Toolbar1_") + key);
        return;
    }
    // Any other key does nothing.
}

void MainForm::buildContextMenus()
{
    auto &c = *m_commands;
    auto a = [&c](const char *n) { return c.action(QString::fromLatin1(n)); };
    auto menu = [this, &c](const char *name) {
        auto *m = new QMenu(this);
        c.addMenu(QString::fromLatin1(name), m);
        return m;
    };

    QMenu *serie = menu("PopUpSerie");
    serie->addAction(a("PopUpSerie_ViewImages"));
    c.addMenu(QStringLiteral("Se_SendTo"), serie->addMenu(QStringLiteral("Send to")));
    c.menu(QStringLiteral("Se_SendTo"))->setEnabled(false);
    serie->addAction(a("PopUpSerie_Delete"));

    QMenu *studie = menu("PopUpStudie");
    studie->addAction(a("PopUpStudie_ViewSeries"));
    studie->addAction(a("PopUpStudie_ViewImages"));
    c.addMenu(QStringLiteral("St_SendTo"), studie->addMenu(QStringLiteral("Send to")));
    c.menu(QStringLiteral("St_SendTo"))->setEnabled(false);
    studie->addAction(a("PopUpStudie_Delete"));

    QMenu *patient = menu("PopUpPatient");
    c.addMenu(QStringLiteral("P_SendTo"), patient->addMenu(QStringLiteral("Send to")));
    c.menu(QStringLiteral("P_SendTo"))->setEnabled(false);
    patient->addAction(a("PopUpPatient_Delete"));
    patient->addAction(a("PopUpPatient_DeleteAll"));

    QMenu *tasks = menu("PopUpTaskList");
    tasks->addAction(a("PopUpTaskList_Clear"));
    tasks->addAction(a("PopUpTaskList_SaveAs"));
    QMenu *rules = tasks->addMenu(QStringLiteral("Add fav. task"));
    c.addMenu(QStringLiteral("PopUpRules"), rules);
    rules->menuAction()->setObjectName(QStringLiteral("PopUpTaskList_AddFav"));
    rules->addAction(QStringLiteral("No entries"))->setEnabled(false);

    QMenu *viewer = menu("PopUpViewer");
    QMenu *rotate = viewer->addMenu(QStringLiteral("Drehen"));
    rotate->addAction(a("PopUpViewer_RotateRight"));
    rotate->addAction(a("PopUpViewer_RotateLeft"));
    QMenu *mirror = viewer->addMenu(QStringLiteral("Spiegeln"));
    mirror->addAction(a("PopUpViewer_MirrorH"));
    mirror->addAction(a("PopUpViewer_MirrorV"));
    QMenu *rotateAll = viewer->addMenu(QStringLiteral("Alle Drehen"));
    rotateAll->addAction(a("PopUpViewer_AllRotateRight"));
    rotateAll->addAction(a("PopUpViewer_AllRotateLeft"));
    QMenu *mirrorAll = viewer->addMenu(QStringLiteral("Alle Spiegeln"));
    mirrorAll->addAction(a("PopUpViewer_AllMirrorH"));
    mirrorAll->addAction(a("PopUpViewer_AllMirrorV"));
    viewer->addSeparator();
    viewer->addAction(a("PopUpViewer_Reset"));
    viewer->addAction(a("PopUpViewer_ResetAll"));

    menu("Popup_Dicom")->addAction(a("Popup_Dicom_Delete"));
    menu("Popup_Dosis")->addAction(a("Popup_Dosis_Delete"));
}

void MainForm::buildLayout()
{
    auto &w = m_widgets;
    auto *central = new QWidget;
    auto *outer = new QHBoxLayout(central);
    outer->setContentsMargins(4, 4, 4, 4);
    auto *split = new QSplitter(Qt::Horizontal);
    split->setObjectName(QStringLiteral("mainSplitter"));
    split->setChildrenCollapsible(false);
    outer->addWidget(split);

    // Left: the store browser.
    auto *left = new QSplitter(Qt::Vertical);
    left->setChildrenCollapsible(false);
    w.lvPatients = reportList("lvPatients", {QStringLiteral("ID"), QStringLiteral("Lastname, Firstname"), QStringLiteral("2nd Name"), QStringLiteral("Birthdate")});
    left->addWidget(framed(QStringLiteral("Patient list"), w.lvPatients));

    w.lvStudien = reportList("lvStudien", {QStringLiteral("ID"), QStringLiteral("Date"), QStringLiteral("Time"), QStringLiteral("Modality"), QStringLiteral("Bodypart")});
    w.lvSerien = new QListWidget;
    w.lvSerien->setObjectName(QStringLiteral("lvSerien"));
    w.lvSerien->setViewMode(QListView::IconMode);
    w.lvSerien->setContextMenuPolicy(Qt::CustomContextMenu);
    w.lvSerien->setResizeMode(QListView::Adjust);
    w.frmSerien = new QGroupBox(QStringLiteral("Series list"));
    w.frmSerien->setObjectName(QStringLiteral("frmSerien"));
    (new QVBoxLayout(w.frmSerien))->addWidget(w.lvSerien);
    w.frmSerien->setAutoFillBackground(true);
    w.frmSerien->hide();
    // The series frame lies over the study list while it is shown.
    auto *studyBox = new QGroupBox(QStringLiteral("Study list"));
    auto *studyGrid = new QGridLayout(studyBox);
    studyGrid->setContentsMargins(4, 4, 4, 4);
    studyGrid->addWidget(w.lvStudien, 0, 0);
    studyGrid->addWidget(w.frmSerien, 0, 0);
    left->addWidget(studyBox);

    w.lvImages = reportList("lvImages", {QStringLiteral("ID"), QStringLiteral("Date"), QStringLiteral("Time"), QStringLiteral("ImageUID")});
    left->addWidget(framed(QStringLiteral("Image list"), w.lvImages));
    // Starting widths that show the headers on a 1024x768 screen.
    for (auto [list, widths] : {std::pair{w.lvPatients, QList<int>{72, 130, 70}}, std::pair{w.lvStudien, QList<int>{36, 80, 64, 64}},
                                std::pair{w.lvImages, QList<int>{36, 80, 64}}})
        for (int c = 0; c < widths.size(); ++c)
            list->setColumnWidth(c, widths[c]);
    left->setStretchFactor(0, 3);
    left->setStretchFactor(1, 2);
    left->setStretchFactor(2, 2);
    split->addWidget(left);

    // Middle: the viewer with its scroll bar and load progress.
    auto *mid = new QWidget;
    auto *midLayout = new QGridLayout(mid);
    midLayout->setContentsMargins(0, 0, 0, 0);
    midLayout->setSpacing(2);
    w.dv1 = new ViewerWidget;
    w.dv1->setContextMenuPolicy(Qt::CustomContextMenu);
    w.dv1_vscroll = new QScrollBar(Qt::Vertical);
    w.dv1_vscroll->setObjectName(QStringLiteral("dv1_vscroll"));
    w.dv1_vscroll->setEnabled(false);
    w.pbLoad = new QProgressBar;
    w.pbLoad->setObjectName(QStringLiteral("pbLoad"));
    w.pbLoad->setFormat(QStringLiteral("Loading %v / %m"));
    w.pbLoad->hide();
    midLayout->addWidget(w.dv1, 0, 0);
    midLayout->addWidget(w.dv1_vscroll, 0, 1);
    midLayout->addWidget(w.pbLoad, 1, 0, 1, 2);
    split->addWidget(mid);

    // Right: current patient and dose list on top, header and task editor below.
    auto *right = new QSplitter(Qt::Vertical);
    right->setChildrenCollapsible(false);
    auto *doseBox = new QGroupBox(QStringLiteral("Current patient and dose"));
    doseBox->setObjectName(QStringLiteral("frmDose"));
    auto *doseLayout = new QVBoxLayout(doseBox);
    doseLayout->setContentsMargins(4, 4, 4, 4);
    w.ListView1 = reportList("ListView1", {QStringLiteral("Field"), QStringLiteral("Value")});
    // The eight rows of the chosen worklist patient: column 1 holds the values.
    for (const char *label : {"Patient ID", "First name", "Last name", "Middle name", "Birth date", "Sex", "Acc. No.", "Body part"})
        new QTreeWidgetItem(w.ListView1, {QString::fromLatin1(label), QString()});
    w.ListView1->setColumnWidth(0, 90);
    w.ListView1->setMinimumHeight(90);
    doseLayout->addWidget(w.ListView1, 3);

    auto *buttons = new QGridLayout;
    buttons->setSpacing(3);
    w.cmdWorklist = button("cmdWorklist", QStringLiteral("Worklist"));
    w.cmdNew = button("cmdNew", QStringLiteral("New Study"));
    w.cmdLorad = button("cmdLorad", QStringLiteral("Get Dose Product"));
    w.cmdLorad->hide(); // only a Lorad M4 is polled; the unit type shows it
    w.cmdSelected = button("cmdSelected", QStringLiteral("Merge Images"));
    w.cmdAll = button("cmdAll", QStringLiteral("Manually"));
    buttons->addWidget(w.cmdWorklist, 0, 0);
    buttons->addWidget(w.cmdNew, 0, 1);
    buttons->addWidget(w.cmdLorad, 0, 2);
    buttons->addWidget(w.cmdSelected, 1, 0);
    buttons->addWidget(w.cmdAll, 1, 1);
    doseLayout->addLayout(buttons);
    w.lblPending = new QLabel;
    w.lblPending->setObjectName(QStringLiteral("lblPending"));
    w.lblPending->setWordWrap(true);
    w.lblPending->setStyleSheet(QStringLiteral("QLabel { color: #8a1c00; font-weight: bold; }"));
    w.lblPending->hide();
    doseLayout->addWidget(w.lblPending);

    w.lvDosis = reportList("lvDosis", {});
    doseLayout->addWidget(w.lvDosis, 4);
    w.txtcInput = new QPlainTextEdit;
    w.txtcInput->setObjectName(QStringLiteral("txtcInput"));
    w.txtcInput->setMaximumBlockCount(2000);
    w.List1 = new QListWidget;
    w.List1->setObjectName(QStringLiteral("List1"));
    w.Text4 = new QPlainTextEdit;
    w.Text4->setObjectName(QStringLiteral("Text4"));
    w.Text4->hide();
    doseLayout->addWidget(w.txtcInput, 2);
    doseLayout->addWidget(w.List1, 2);
    doseLayout->addWidget(w.Text4);
    w.txtcInput->hide();
    w.List1->hide();
    right->addWidget(doseBox);

    auto *editTabs = new QTabWidget;
    editTabs->setObjectName(QStringLiteral("tabEdit"));
    w.lvHeader = reportList("lvHeader", {QStringLiteral("Tag"), QStringLiteral("Description"), QStringLiteral("Value")});
    editTabs->addTab(w.lvHeader, QStringLiteral("Header"));
    auto *taskPage = new QWidget;
    auto *taskLayout = new QGridLayout(taskPage);
    taskLayout->setContentsMargins(4, 4, 4, 4);
    w.txtSelElement = new QLineEdit;
    w.txtSelElement->setObjectName(QStringLiteral("txtSelElement"));
    w.txtSelElement->setReadOnly(true);
    w.txtSelElement->setPlaceholderText(QStringLiteral("element"));
    w.cboTask = new QComboBox;
    w.cboTask->setObjectName(QStringLiteral("cboTask"));
    w.txtValue = new QLineEdit;
    w.txtValue->setObjectName(QStringLiteral("txtValue"));
    w.txtValue->setPlaceholderText(QStringLiteral("value or target tag"));
    w.cmdAddTask = button("cmdAddTask", QStringLiteral("Add Task"));
    taskLayout->addWidget(new QLabel(QStringLiteral("Element:")), 0, 0);
    taskLayout->addWidget(w.txtSelElement, 0, 1);
    taskLayout->addWidget(new QLabel(QStringLiteral("Task:")), 1, 0);
    taskLayout->addWidget(w.cboTask, 1, 1);
    taskLayout->addWidget(new QLabel(QStringLiteral("Value:")), 2, 0);
    taskLayout->addWidget(w.txtValue, 2, 1);
    taskLayout->addWidget(w.cmdAddTask, 3, 1, Qt::AlignRight);
    w.lvTasks = reportList("lvTasks", {QStringLiteral("Level"), QStringLiteral("Source"), QStringLiteral("Value"), QStringLiteral("Task"), QStringLiteral("Target")});
    taskLayout->addWidget(w.lvTasks, 4, 0, 1, 2);
    taskLayout->setRowStretch(4, 1);
    editTabs->addTab(taskPage, QStringLiteral("Tasks"));
    right->addWidget(editTabs);
    right->setStretchFactor(0, 3);
    right->setStretchFactor(1, 2);
    split->addWidget(right);

    split->setStretchFactor(0, 0);
    split->setStretchFactor(1, 1);
    split->setStretchFactor(2, 0);
    split->setSizes({270, 440, 300});
    left->setMinimumWidth(230);
    right->setMinimumWidth(260);
    setCentralWidget(central);
}

void MainForm::buildStatusBar()
{
    auto *sb = statusBar();
    sb->setObjectName(QStringLiteral("StatusBar1"));
    m_widgets.StatusBar1 = sb;
    const int widths[4] = {220, 130, 130, 110};
    for (int i = 0; i < 4; ++i) {
        auto *l = new QLabel;
        l->setObjectName(QStringLiteral("statusPanel%1").arg(i));
        l->setMinimumWidth(widths[i]);
        l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        sb->addWidget(l, i == 0 ? 2 : 1);
        m_widgets.statusPanel[i] = l;
    }
    m_diskWarning = new QLabel;
    m_diskWarning->setObjectName(QStringLiteral("lblDiskWarning"));
    m_diskWarning->setStyleSheet(QStringLiteral("QLabel { color: white; background: #b00020; padding: 0 6px; font-weight: bold; }"));
    m_diskWarning->hide();
    sb->addPermanentWidget(m_diskWarning);
}

void MainForm::hookOwnCommands()
{
    m_commands->hook(QStringLiteral("mnuDateiBeenden"), [this] { exitProgram(); });
    m_commands->hook(QStringLiteral("mnuAnsichtEinstellungen"), [this] { emit optionsRequested(); });
    m_commands->hook(QStringLiteral("mnuProtokollFehler"), [this] { showErrorLog(); });
    m_commands->hook(QStringLiteral("mnuProtokollDebug"), [this] { showDebugLog(); });
    m_commands->hook(QStringLiteral("mnuInfoAbout"), [this] { showAbout(); });
}

bool MainForm::formLoad()
{
    try {
        m_widgets.cmdSelected->setEnabled(false);
        setWindowTitle(Version::mainCaption());

        const qint64 free = StartupChecks::freeBytes(m_station.paths().appPath());
        if (StartupChecks::diskSpaceLow(free)) {
            setDiskWarning(StartupChecks::lowDiskSpaceStatus(free));
            m_station.log().writeError(ErrorNo::FileIo, StartupChecks::lowDiskSpaceStatus(free), QStringLiteral("Mainform Form_Load"));
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
    } catch (const std::exception &e) {
        m_station.logError(e, QStringLiteral("Mainform Form_Load"));
    }
    return true;
}

void MainForm::setDiskWarning(const QString &text)
{
    m_diskWarning->setText(text);
    m_diskWarning->setVisible(!text.isEmpty());
}

void MainForm::applyUnitType()
{
    const qint16 unit = m_station.settings().xrayComm;
    if (unit == XrayUnit::LoradM4)
        m_widgets.cmdLorad->setVisible(true);
    else if (unit == XrayUnit::Sophie || unit == XrayUnit::Giotto)
        m_widgets.cmdLorad->setVisible(false);
}

void MainForm::applyDebugMode()
{
    const bool debug = m_station.settings().debug == 1;
    m_widgets.txtcInput->setVisible(debug);
    m_widgets.List1->setVisible(debug);
    m_widgets.lvDosis->setVisible(!debug);
}

void MainForm::settingsSaved()
{
    MainHooks::run(m_hooks.settingsChanged);
}

bool MainForm::event(QEvent *e)
{
    if (e->type() == QEvent::WindowActivate && !m_exited && isVisible())
        formActivate();
    return QMainWindow::event(e);
}

void MainForm::formActivate()
{
    try {
        applyDebugMode();
        MainHooks::run(m_hooks.activate);
    } catch (const std::exception &e) {
        m_station.logError(e, QStringLiteral("MainForm Form_Activate"));
    }
}

void MainForm::exitProgram()
{
    if (m_exited)
        return;
    m_exited = true;
    try {
        m_widgets.UpdateTimer->stop();
        m_widgets.SerTimer->stop();
        MainHooks::run(m_hooks.clearViewer);
        // The databases are opened per action and are closed here already.
        if (m_station.settings().stopService == 1)
            MainHooks::run(m_hooks.stopCompanions);
    } catch (const std::exception &e) {
        m_station.logError(e, QStringLiteral("MainForm mnuDateiBeenden_Click"));
    }
    // Every window of the program, then the program itself.
    for (QWidget *top : QApplication::topLevelWidgets()) {
        if (top != this && top->isVisible()) {
            QCoreApplication::processEvents();
            top->close();
        }
    }
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
}

void MainForm::showErrorLog() { showLogFile(this, QStringLiteral("Error.log"), m_station.log().errorLogPath()); }
void MainForm::showDebugLog() { showLogFile(this, QStringLiteral("debug.log"), m_station.log().debugLogPath()); }

void MainForm::showAbout()
{
    m_station.prompter().message(Version::mainCaption() + QStringLiteral("\n\nMammography room station: dose capture, worklist, image store and DICOM send.\n\nStation folder: ")
                                     + m_station.paths().appPath(),
                                 MsgIcon::Information, QStringLiteral("About Calvarex"));
}

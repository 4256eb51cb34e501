#include "PanelHost.h"
#include "dicom/Uid.h"

#include <QUuid>

#include "app/CompanionArea.h"
#include "app/MainForm.h"
#include "core/Database.h"
#include "dialogs/DatabaseForm.h"
#include "dose/DoseCapturePanel.h"
#include "dose/DoseListPanel.h"
#include "edit/DictionaryTable.h"
#include "edit/HeaderPanel.h"
#include "edit/ModalityFilters.h"
#include "edit/TaskPanel.h"
#include "io/ImportExportCommands.h"
#include "net/SendCommands.h"
#include "net/WorklistForm.h"
#include "store/BrowserPanel.h"
#include "store/QuarantineCommands.h"
#include "store/StoreDeleteCommands.h"
#include "store/ViewerPanel.h"
#include "store/ViewerWidget.h"
#include "ui/MainCommands.h"

#include <QApplication>
#include <QFile>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSqlQuery>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

PanelHost::PanelHost()
    : m_own(std::make_unique<TestStation>()), m_station(**m_own), commands(*new CommandTable(&window))
{
    buildPanels({});
}

PanelHost::PanelHost(Station &station, StudyLoader::RenderFn render)
    : m_station(station), commands(*new CommandTable(&window))
{
    buildPanels(std::move(render));
}

PanelHost::PanelHost(Station &station, std::function<void(MainForm &)> opened)
    : m_station(station), commands(*new CommandTable(&window)), m_opened(std::move(opened))
{
    w.commands = &commands;
    openMainForm();
}

PanelHost::~PanelHost()
{
    if (form && !form->hasExited())
        form->exitProgram();
}

void PanelHost::buildPanels(StudyLoader::RenderFn render)
{
    w.commands = &commands;
    MainCommands::build(commands, &window);
    // As MainForm::buildPanels builds them.
    QWidget *parent = &window;
    viewer = new ViewerPanel(m_station, selection, commands, hooks, parent, std::move(render));
    browser = new BrowserPanel(m_station, selection, edits, commands, hooks, parent);
    deletes = new StoreDeleteCommands(m_station, selection, edits, commands, hooks, parent);
    new CompanionArea(m_station, hooks, parent);
    capture = new DoseCapturePanel(m_station, dose, commands, hooks, parent);
    doseList = new DoseListPanel(m_station, dose, selection, edits, commands, hooks, parent);
    doseList->pickWorklistPatient = [this](QWidget *p, const std::function<int(QDialog &)> &run) {
        return WorklistForm::pick(m_station, p, run);
    };
    header = new HeaderPanel(m_station, selection, edits, hooks, parent);
    tasks = new TaskPanel(m_station, selection, edits, header->state(), commands, hooks, parent);
    DatabaseForm::hookCommand(m_station, commands, parent);
    new ImportExportCommands(m_station, selection, commands, hooks, parent);
    new QuarantineCommands(m_station, commands, parent);
    new SendCommands(
        m_station, selection, dose, edits, commands, hooks, [list = doseList] { return list->listedIds(); }, parent);
    placePanels();
    findControls();
}

void PanelHost::placePanels()
{
    // The lists, the viewer, the dose panel and the header and task editor side by side,
    // every control on screen.
    auto *central = new QWidget;
    auto *outer = new QHBoxLayout(central);
    outer->addWidget(browser->listsPane(), 1);
    outer->addWidget(viewer->viewerPane(), 3);
    auto *doseColumn = new QVBoxLayout;
    for (QWidget *c : std::initializer_list<QWidget *>{
             doseList->patientView(), doseList->worklistButton(), doseList->newStudyButton(), capture->loradButton(),
             doseList->mergeButton(), doseList->manualButton(), capture->pendingLabel(), doseList->doseCaption(),
             doseList->doseView(), capture->inputBox()})
        doseColumn->addWidget(c);
    doseList->doseView()->setMinimumSize(900, 300);
    outer->addLayout(doseColumn, 2);
    auto *editColumn = new QVBoxLayout;
    editColumn->addWidget(header->view());
    editColumn->addWidget(tasks->page());
    outer->addLayout(editColumn, 1);
    window.setCentralWidget(central);
    for (int i = 0; i < StoreStatus::PanelCount; ++i) {
        w.statusPanel[i] = new QLabel;
        w.statusPanel[i]->setObjectName(QStringLiteral("statusPanel%1").arg(i));
        window.statusBar()->addWidget(w.statusPanel[i], 1);
    }
    auto show = [this](int i, const QString &text) {
        if (i >= 0 && i < StoreStatus::PanelCount)
            w.statusPanel[i]->setText(text);
    };
    QObject::connect(browser, &BrowserPanel::statusText, &window, show);
    QObject::connect(viewer, &ViewerPanel::statusText, &window, show);
    capture->loradButton()->show(); // the unit type decides that on the main window
    // The polling is started and stopped by the commands under test.
    capture->serTimer()->stop();
    window.resize(1920, 1000);
}

void PanelHost::findControls()
{
    w.lvPatients = window.findChild<QTreeWidget *>(QStringLiteral("lvPatients"));
    w.lvStudien = window.findChild<QTreeWidget *>(QStringLiteral("lvStudien"));
    w.frmSerien = window.findChild<QGroupBox *>(QStringLiteral("frmSerien"));
    w.lvSerien = window.findChild<QListWidget *>(QStringLiteral("lvSerien"));
    w.lvImages = window.findChild<QTreeWidget *>(QStringLiteral("lvImages"));
    w.dv1 = window.findChild<ViewerWidget *>(QStringLiteral("dv1"));
    w.dv1_vscroll = window.findChild<QScrollBar *>(QStringLiteral("dv1_vscroll"));
    w.pbLoad = window.findChild<QProgressBar *>(QStringLiteral("pbLoad"));
    w.UpdateTimer = window.findChild<QTimer *>(QStringLiteral("UpdateTimer"));
    w.lvTasks = window.findChild<QTreeWidget *>(QStringLiteral("lvTasks"));
    w.ListView1 = doseList->patientView();
    w.lvDosis = doseList->doseView();
    w.cmdWorklist = doseList->worklistButton();
    w.cmdNew = doseList->newStudyButton();
    w.cmdSelected = doseList->manualButton();
    w.cmdLorad = capture->loradButton();
    w.txtcInput = capture->inputBox();
    w.SerTimer = capture->serTimer();
}

void PanelHost::load()
{
    MainHooks::run(hooks.prepareDataFiles);
    MainHooks::run(hooks.refreshPatientList);
    MainHooks::run(hooks.initializeControls);
}

// ---- the dose panels ----------------------------------------------------------------------

void PanelHost::fill(int mode)
{
    if (mode > 0)
        dose.assignmentMode = AssignmentMode(mode);
    doseList->lvDosis_Fill();
}

qint64 PanelHost::addRecord(const QString &first, const QString &last, const QString &birth, const QString &status,
                            const QString &dap, int imgNo, qint64 id)
{
    Database db = Database::openData(m_station.paths());
    QVariantList binds{first, last, birth, dap, QStringLiteral("28"), QStringLiteral("56"), QStringLiteral("350"),
                       status, QStringLiteral("BREAST"), imgNo,
                       // every captured record has its own key
                       dicom::uidOfUuid(QUuid::createUuid())};
    QString cols = QStringLiteral(
        "PatFirstname, PatLastname, PatBirthdate, mGy1, mGy2, mGy3, expTime, Status, Bodypart, ImgNo, RecordUID");
    QString marks = QStringLiteral("?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?");
    if (id) {
        cols += QStringLiteral(", ID");
        marks += QStringLiteral(", ?");
        binds << id;
    }
    QSqlQuery q = db.exec(QStringLiteral("INSERT INTO tblDosis (%1) VALUES (%2)").arg(cols, marks), binds);
    return id ? id : db.lastInsertId(q);
}

QStringList PanelHost::record(qint64 id)
{
    Database db = Database::openData(m_station.paths());
    QSqlQuery q = db.exec(QStringLiteral("SELECT Status, FKeyPatID, Patname FROM tblDosis WHERE ID = ?"), {id});
    if (!q.next())
        return {};
    return {q.value(0).toString(), q.value(1).toString(), q.value(2).toString()};
}

void PanelHost::choosePatient(const QString &id, const QString &first, const QString &last, const QString &birth)
{
    dose.setRow(1, id);
    dose.setRow(2, first);
    dose.setRow(3, last);
    dose.setRow(5, birth);
    dose.setRow(8, QStringLiteral("Unknown"));
    dose.assignmentMode = AssignmentMode::WorklistPatient;
    dose.notify();
}

void PanelHost::pickStorePatient(const QString &id, const QString &name, const QString &birth)
{
    // Quietly, as the dose tests set it up before they fill the list themselves.
    const QSignalBlocker quiet(&selection);
    selection.setPatient(0, id, name, birth);
}

QStringList PanelHost::column(int c) const
{
    QStringList out;
    for (int i = 0; i < w.lvDosis->topLevelItemCount(); ++i)
        out << w.lvDosis->topLevelItem(i)->text(c);
    return out;
}

// ---- the header and the task editor ------------------------------------------------------------

QTreeWidget *PanelHost::list() const { return header->view(); }

void PanelHost::useFilter(const QString &name, const QStringList &tags)
{
    ModalityFilters filters(m_station.paths());
    filters.create(name);
    DictionaryTable dict(m_station.paths());
    for (const QString &tag : tags)
        dict.add({tag.left(4), tag.mid(5), QStringLiteral("Private ") + tag, QStringLiteral("UN"), true});
    filters.addTags(name, tags);
    m_station.settings().filterActive = name;
    MainHooks::run(hooks.loadModFilter);
}

void PanelHost::pick(const QString &file, int number)
{
    if (!selection.setCurrentImage(number, file))
        selection.notifyImagePicked();
}

QList<QPair<QString, QString>> PanelHost::rows() const
{
    QList<QPair<QString, QString>> out;
    for (int i = 0; i < list()->topLevelItemCount(); ++i) {
        auto *it = list()->topLevelItem(i);
        out.append({it->text(HeaderPanel::TagColumn), it->text(HeaderPanel::ValueColumn)});
    }
    return out;
}

QString PanelHost::errorLog() const
{
    QFile f(m_station.log().errorLogPath());
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

// ---- the whole main window --------------------------------------------------------------------

void PanelHost::openMainForm()
{
    form = std::make_unique<MainForm>(m_station);
    form->hooks().startCompanions.clear();
    form->formLoad();
    form->show();
    form->activateWindow();
    QApplication::setActiveWindow(form.get());
    QVERIFY(QTest::qWaitForWindowActive(form.get()));
    if (m_opened)
        m_opened(*form);
}

void PanelHost::restart()
{
    form->exitProgram();
    form.reset();
    openMainForm();
}

QLabel *PanelHost::label(const char *name) const { return form->findChild<QLabel *>(QString::fromLatin1(name)); }

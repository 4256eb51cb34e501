#include "TestStation.h"
#include "app/MainForm.h"
#include "core/Version.h"
#include "ui/CommandIds.h"
#include "ui/CommandTable.h"

#include <QAction>
#include <QDialog>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QToolBar>
#include <QTreeWidget>
#include <QtTest>

class TestMainForm : public QObject {
    Q_OBJECT
private slots:
    void mainMenuCaptions_data();
    void mainMenuCaptions();
    void contextMenus_data();
    void contextMenus();
    void toolbarKeysAndTooltips();
    void everyListedCommandIsThereAndHooked();
    void unknownCommandNamesFailLoudly();
    void unhookedCommandsAreDisabled();
    void toolbarDispatchesOnKey();
    void doseButtonsWithoutTheirWorkSaySo();
    void loadSetsCaptionAndTimer();
    void exitAndCloseBoxDoTheSame_data();
    void exitAndCloseBoxDoTheSame();
    void activationShowsDebugControls_data();
    void activationShowsDebugControls();
    void portSetUpAgainAfterOurModalDialogsOnly();
    void unitTypeShowsDoseProductButton_data();
    void unitTypeShowsDoseProductButton();
};

static QStringList menuCaptions(QMenu *m)
{
    QStringList out;
    for (QAction *a : m->actions())
        out << (a->isSeparator() ? QString("-") : a->text());
    return out;
}

void TestMainForm::mainMenuCaptions_data()
{
    QTest::addColumn<QString>("menu");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QStringList>("items");
    QTest::newRow("file") << "mnuDatei"
                          << "&File" << QStringList{"Import", "Export", "Kept apart ...", "-", "E&xit"};
    QTest::newRow("import") << "mnuImport"
                            << "Import" << QStringList{"DICOM Image(s) ...", "DICOM Dir ..."};
    QTest::newRow("export") << "mnuFileExport"
                            << "Export" << QStringList{"JPEG ...", "DICOM ..."};
    QTest::newRow("edit") << "mnuBearbeiten"
                          << "&Edit" << QStringList{"Execute tasks ...", "Refresh list", "-", "DICOM Dictionary ..."};
    QTest::newRow("view") << "mnuAnsicht"
                          << "&View"
                          << QStringList{"&Options ...", "&Mammography layout (2 x 2)", "&Live examination view"};
    QTest::newRow("protocols") << "mnuProtokoll"
                               << "Protocols" << QStringList{"Errors ...", "Debug ..."};
    QTest::newRow("info") << "mnuInfo"
                          << "?" << QStringList{"Fill", "Abo&ut ...", "-"};
}

void TestMainForm::mainMenuCaptions()
{
    QFETCH(QString, menu);
    QFETCH(QString, title);
    QFETCH(QStringList, items);
    TestStation ts;
    MainForm form(*ts);
    QMenu *m = form.commands().menu(menu);
    QVERIFY(m);
    QCOMPARE(m->title(), title);
    QCOMPARE(menuCaptions(m), items);
}

void TestMainForm::contextMenus_data()
{
    QTest::addColumn<QString>("menu");
    QTest::addColumn<QStringList>("items");
    QTest::newRow("series") << Menu::Series << QStringList{"View Images", "Send to", "Delete Images"};
    QTest::newRow("study") << Menu::Study
                           << QStringList{"View Series", "View Images", "Send to", "Delete Images", "Dose report"};
    QTest::newRow("patient") << Menu::Patient << QStringList{"Send to", "Delete Patient", "Delete All Patients"};
    QTest::newRow("tasks") << Menu::TaskList << QStringList{"Clear entries", "Save as ...", "Add fav. task"};
    QTest::newRow("rules") << Menu::Rules << QStringList{"No entries"};
    QTest::newRow("viewer") << Menu::Viewer
                            << QStringList{"Drehen", "Spiegeln",     "Alle Drehen",      "Alle Spiegeln",
                                           "-",      "Zurücksetzen", "Alle Zurücksetzen"};
    QTest::newRow("image") << Menu::Image << QStringList{"Delete"};
    QTest::newRow("dose") << Menu::Dose << QStringList{"Delete", "Dose report"};
}

void TestMainForm::contextMenus()
{
    QFETCH(QString, menu);
    QFETCH(QStringList, items);
    TestStation ts;
    MainForm form(*ts);
    QMenu *m = form.commands().menu(menu);
    QVERIFY(m);
    QCOMPARE(menuCaptions(m), items);
    if (menu == Menu::Viewer) {
        const QList<QAction *> subs = m->actions();
        QCOMPARE(menuCaptions(subs[0]->menu()), (QStringList{"90° rechts", "90° links"}));
        QCOMPARE(menuCaptions(subs[1]->menu()), (QStringList{"horizontal", "vertical"}));
        QCOMPARE(menuCaptions(subs[3]->menu()), (QStringList{"horizontal", "vertikal"}));
    }
}

void TestMainForm::toolbarKeysAndTooltips()
{
    TestStation ts;
    MainForm form(*ts);
    QToolBar *tb = form.findChild<QToolBar *>("Toolbar1");
    QVERIFY(tb);
    QStringList keys;
    for (QAction *a : tb->actions()) {
        if (a->isSeparator())
            continue;
        keys << a->data().toString();
        QVERIFY2(!a->toolTip().isEmpty(), qPrintable(a->data().toString()));
        QVERIFY2(!a->icon().isNull(), qPrintable(a->data().toString()));
    }
    QCOMPARE(keys, (QStringList{"send", "exe", "refresh", "refreshd", "reldosis", "worklist", "delete", "eJPEG",
                                "eDICOM", "exit"}));
    // The dose list's buttons say what they do in the station's own words.
    QStringList doseTips;
    for (QAction *a : tb->actions())
        if (QStringList{"refreshd", "delete", "reldosis"}.contains(a->data().toString()))
            doseTips << a->toolTip();
    QCOMPARE(doseTips, (QStringList{"Refresh Dosislist", "Reload Dosislist", "Delete Dosislist"}));
    QCOMPARE(form.findChild<QPushButton *>("cmdAll")->text(), QStringLiteral("Merge Images"));
    QCOMPARE(form.findChild<QPushButton *>("cmdSelected")->text(), QStringLiteral("Manually"));
}

void TestMainForm::everyListedCommandIsThereAndHooked()
{
    TestStation ts;
    MainForm form(*ts);
    CommandTable &c = form.commands();
    // Every name of the list is a command or menu of the main window, and every command
    // has its handler: no menu item lost, none dead.
    for (const char *name : Cmd::All) {
        QVERIFY2(c.action(name), name);
        QVERIFY2(c.isHooked(name), name);
    }
    for (const char *name : Menu::All)
        QVERIFY2(c.menu(name), name);
    QCOMPARE(c.names().size(), int(std::size(Cmd::All)));
}

void TestMainForm::unknownCommandNamesFailLoudly()
{
    CommandTable c;
    // A misspelt name anywhere is a programming error that shows at once.
    QVERIFY_THROWS_EXCEPTION(std::logic_error, c.add(QStringLiteral("mnuRefreshLst"), QStringLiteral("Refresh")));
    QVERIFY_THROWS_EXCEPTION(std::logic_error, c.hook(QStringLiteral("mnuRefreshLst"), [] {}));
    QVERIFY_THROWS_EXCEPTION(std::logic_error, c.run(QStringLiteral("mnuRefreshLst")));
    QVERIFY_THROWS_EXCEPTION(std::logic_error, c.action(QStringLiteral("mnuRefreshLst")));
    QVERIFY_THROWS_EXCEPTION(std::logic_error, c.menu(QStringLiteral("PopUpPatent")));
    QMenu m;
    QVERIFY_THROWS_EXCEPTION(std::logic_error, c.addMenu(QStringLiteral("PopUpPatent"), &m));
    // A listed command hooked before it was added, or added twice.
    QVERIFY_THROWS_EXCEPTION(std::logic_error, c.hook(Cmd::RefreshList, [] {}));
    c.add(Cmd::RefreshList, QStringLiteral("Refresh list"));
    QVERIFY_THROWS_EXCEPTION(std::logic_error, c.add(Cmd::RefreshList, QStringLiteral("Refresh list")));
    // Listed and added but not hooked yet: disabled, and running it does nothing.
    QVERIFY(!c.action(Cmd::RefreshList)->isEnabled());
    QVERIFY(!c.run(Cmd::RefreshList));
}

void TestMainForm::unhookedCommandsAreDisabled()
{
    TestStation ts;
    MainForm form(*ts);
    CommandTable &c = form.commands();
    for (const QString &name : c.names())
        QCOMPARE(c.action(name)->isEnabled(), c.isHooked(name));
    // The window's own commands are there from the start.
    for (const char *own : {Cmd::Exit, Cmd::Options, Cmd::About, Cmd::ErrorLog})
        QVERIFY2(c.isHooked(own), own);
    // A toolbar button follows the command it runs.
    QToolBar *tb = form.findChild<QToolBar *>("Toolbar1");
    for (QAction *a : tb->actions()) {
        if (a->data().toString() == "exit")
            QVERIFY(a->isEnabled());
    }
}

void TestMainForm::toolbarDispatchesOnKey()
{
    TestStation ts;
    MainForm form(*ts);
    QStringList ran;
    form.commands().hook(Cmd::RefreshList, [&] { ran << "refresh"; });
    form.commands().hook(Cmd::ToolbarWorklist, [&] { ran << "worklist"; });
    form.toolbarButtonClick("refresh");
    form.toolbarButtonClick("worklist");
    form.toolbarButtonClick("Worklist"); // keys compare exactly
    form.toolbarButtonClick("nothing");
    QCOMPARE(ran, (QStringList{"refresh", "worklist"}));
}

void TestMainForm::doseButtonsWithoutTheirWorkSaySo()
{
    // The dose buttons run the send panel's work: without a patient it says so.
    TestStation ts;
    MainForm form(*ts);
    for (const char *name : {"cmdSelected", "cmdAll"}) {
        ts.prompter.clear();
        form.findChild<QPushButton *>(name)->setEnabled(true);
        form.findChild<QPushButton *>(name)->click();
        QCOMPARE(ts.prompter.lastText(), QString("Please select a patient from the list!"));
    }
}

void TestMainForm::loadSetsCaptionAndTimer()
{
    TestStation ts;
    MainForm form(*ts);
    QStringList order;
    form.hooks().startCompanions.clear(); // no companion processes from this test
    form.hooks().prepareDataFiles.push_back([&] { order << "data"; });
    form.hooks().loadModFilter.push_back([&] { order << QString("filter rows=%1").arg(ts->settings().viewerRows); });
    form.hooks().refreshPatientList.push_back([&] { order << "patients"; });
    form.hooks().updateSendToEntries.push_back([&] { order << "sendto"; });
    form.hooks().startCompanions.push_back([&] { order << "companions"; });
    form.hooks().initializeControls.push_back([&] { order << "controls"; });
    ts->settings() = Settings{}; // as on a fresh start
    QVERIFY(form.formLoad());
    QCOMPARE(form.windowTitle(), Version::mainCaption());
    // Settings are loaded after the data files and before the filter.
    QCOMPARE(order, (QStringList{"data", "filter rows=7", "patients", "sendto", "companions", "controls"}));
    QVERIFY(form.findChild<QTimer *>("UpdateTimer")->isActive());
    QCOMPARE(form.findChild<QTimer *>("UpdateTimer")->interval(), 10000);
    QVERIFY(!form.findChild<QPushButton *>("cmdSelected")->isEnabled());
    // "Merge Images" can be pressed from the start: it says itself what is missing.
    QVERIFY(form.findChild<QPushButton *>("cmdAll")->isEnabled());
    QVERIFY(QDir(ts.root() + "/temp").exists());
    QVERIFY(QDir(ts.root() + "/bin").exists());
    QVERIFY(QDir(ts.root() + "/transfer").exists());
}

void TestMainForm::exitAndCloseBoxDoTheSame_data()
{
    QTest::addColumn<bool>("closeBox");
    QTest::addColumn<int>("stopService");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("exit, keep services") << false << 0 << QStringList{"viewer"};
    QTest::newRow("exit, stop services") << false << 1 << QStringList{"viewer", "companions"};
    QTest::newRow("close box, keep services") << true << 0 << QStringList{"viewer"};
    QTest::newRow("close box, stop services") << true << 1 << QStringList{"viewer", "companions"};
}

void TestMainForm::exitAndCloseBoxDoTheSame()
{
    QFETCH(bool, closeBox);
    QFETCH(int, stopService);
    QFETCH(QStringList, expected);
    TestStation ts;
    MainForm form(*ts);
    QStringList done;
    form.hooks().clearViewer.push_back([&] { done << "viewer"; });
    form.hooks().stopCompanions.push_back([&] { done << "companions"; });
    form.hooks().startCompanions.clear(); // no companion processes from this test
    form.formLoad();
    ts->settings().stopService = stopService;
    form.show();
    if (closeBox)
        form.close();
    else
        form.commands().action(Cmd::Exit)->trigger();
    QCOMPARE(done, expected);
    QVERIFY(form.hasExited());
    QVERIFY(!form.isVisible());
    QVERIFY(!form.findChild<QTimer *>("UpdateTimer")->isActive());
    // A second close does not run the clean-up again.
    form.exitProgram();
    QCOMPARE(done, expected);
}

void TestMainForm::activationShowsDebugControls_data()
{
    QTest::addColumn<int>("debug");
    QTest::newRow("debug on") << 1;
    QTest::newRow("debug off") << 0;
}

void TestMainForm::activationShowsDebugControls()
{
    QFETCH(int, debug);
    TestStation ts;
    MainForm form(*ts);
    int activations = 0;
    form.hooks().activate.push_back([&] { ++activations; });
    form.hooks().startCompanions.clear(); // no companion processes from this test
    form.formLoad();
    ts->settings().debug = debug;
    form.show();
    form.activateWindow();
    QApplication::setActiveWindow(&form);
    QTRY_VERIFY(activations >= 1);
    QCOMPARE(form.findChild<QPlainTextEdit *>("txtcInput")->isVisible(), debug == 1);
    QCOMPARE(form.findChild<QListWidget *>("List1")->isVisible(), debug == 1);
    QCOMPARE(form.findChild<QTreeWidget *>("lvDosis")->isVisible(), debug != 1);
    form.exitProgram();
}

void TestMainForm::portSetUpAgainAfterOurModalDialogsOnly()
{
    TestStation ts;
    MainForm form(*ts);
    int activations = 0;
    form.hooks().activate.push_back([&] { ++activations; });
    form.hooks().startCompanions.clear(); // no companion processes from this test
    form.formLoad();
    form.show();
    form.activateWindow();
    QTRY_COMPARE(activations, 1);

    // The operator switches to another program and back: nothing is set up again.
    QWidget other;
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QTest::qWait(50);
    QCOMPARE(activations, 1);

    // A modal dialog of ours closes: the port is set up again.
    QDialog dialog(&form);
    QTimer::singleShot(50, &dialog, &QDialog::accept);
    dialog.exec();
    QTRY_COMPARE(activations, 2);
    form.exitProgram();
}

void TestMainForm::unitTypeShowsDoseProductButton_data()
{
    QTest::addColumn<int>("before");
    QTest::addColumn<int>("unit");
    QTest::addColumn<bool>("visible");
    QTest::newRow("lorad shows") << 0 << 3 << true;
    QTest::newRow("sophie hides") << 1 << 1 << false;
    QTest::newRow("giotto hides") << 1 << 2 << false;
    QTest::newRow("hfe leaves shown") << 1 << 5 << true;
    QTest::newRow("hfe leaves hidden") << 0 << 5 << false;
}

void TestMainForm::unitTypeShowsDoseProductButton()
{
    QFETCH(int, before);
    QFETCH(int, unit);
    QFETCH(bool, visible);
    TestStation ts;
    MainForm form(*ts);
    form.show();
    form.findChild<QPushButton *>("cmdLorad")->setVisible(before == 1);
    ts->settings().xrayComm = unit;
    form.applyUnitType();
    QCOMPARE(form.findChild<QPushButton *>("cmdLorad")->isVisible(), visible);
    form.exitProgram();
}

QTEST_MAIN(TestMainForm)
#include "test_mainform.moc"

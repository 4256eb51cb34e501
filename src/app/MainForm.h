#pragma once
#include "dose/DoseState.h"
#include "edit/EditSession.h"
#include "store/StoreSelection.h"
#include "ui/MainHooks.h"

#include <QMainWindow>

class BrowserPanel;
class LiveExamination;
class CommandTable;
class DoseCapturePanel;
class DoseListPanel;
class HeaderPanel;
class MppsPanel;
class RegistryPanel;
class QuarantineCommands;
class QLabel;
class Station;
class TaskPanel;
class ViewerPanel;

// The main window: an assembly. It holds the shared state the panels work on (store
// selection, dose state, edit session), creates the panels, places their controls, owns
// the command table with the menus and toolbar, and runs the lifecycle (load,
// activation, exit). The behaviour lives in the panels.
class MainForm : public QMainWindow {
    Q_OBJECT
public:
    explicit MainForm(Station &station, QWidget *parent = nullptr);
    ~MainForm() override;

    // The hidden load: the start-up steps in their order. Returns false when the window
    // must not be shown (another instance already runs).
    bool formLoad();

    // File > Exit, the toolbar's "exit" and the close box: clears the viewer, stops the
    // companions when so set, closes every window.
    void exitProgram();
    bool hasExited() const { return m_exited; }

    // Toolbar1_ButtonClick: dispatch on the button's key.
    void toolbarButtonClick(const QString &key);

    MainHooks &hooks() { return m_hooks; }
    CommandTable &commands() { return *m_commands; }
    DoseState &doseState() { return m_dose; }
    StoreSelection &selection() { return m_selection; }
    MppsPanel &mpps() { return *m_mpps; }
    LiveExamination &live() { return *m_live; }
    BrowserPanel &browser() { return *m_browser; }
    ViewerPanel &viewer() { return *m_viewer; }
    RegistryPanel &registry() { return *m_registry; }
    Station &station() { return m_station; }

    // Shows or hides "Get Dose Product" by the unit type (Lorad only).
    void applyUnitType();
    // Debug controls or dose list, by General\Debug.
    void applyDebugMode();
    // Low disk space shown in the status bar (empty text clears it).
    void setDiskWarning(const QString &text);

    // Called by the Options dialog's OK after it saved the settings.
    void settingsSaved();

signals:
    // Options dialog wanted from the menu.
    void optionsRequested();

protected:
    void closeEvent(QCloseEvent *e) override;
    bool event(QEvent *e) override;
    bool eventFilter(QObject *watched, QEvent *e) override;

private:
    void buildPanels();
    void buildMenus();
    void buildToolbar();
    void buildLayout();
    void buildStatusBar();
    void hookOwnCommands();
    void formActivate();
    void showErrorLog();
    void showDebugLog();
    void showAbout();

    Station &m_station;
    CommandTable *m_commands;
    MainHooks m_hooks;
    StoreSelection m_selection;
    DoseState m_dose;
    EditSession m_edits;

    BrowserPanel *m_browser = nullptr;
    ViewerPanel *m_viewer = nullptr;
    LiveExamination *m_live = nullptr;
    DoseCapturePanel *m_capture = nullptr;
    DoseListPanel *m_doseList = nullptr;
    HeaderPanel *m_header = nullptr;
    TaskPanel *m_tasks = nullptr;
    QuarantineCommands *m_quarantine = nullptr;
    MppsPanel *m_mpps = nullptr;
    RegistryPanel *m_registry = nullptr;

    QLabel *m_statusPanel[4] = {nullptr, nullptr, nullptr, nullptr};
    QLabel *m_diskWarning = nullptr;
    bool m_exited = false;
    bool m_activatedOnce = false;
};

#pragma once
#include "app/MainHooks.h"
#include "app/MainWidgets.h"
#include "dose/DoseState.h"

#include <QMainWindow>

class Station;
class CommandTable;
class QMenu;

// The main window: builds and lays out the controls, owns the command table and the
// lifecycle (load, activation, exit). The behaviour of the lists, the viewer, the dose
// panel and the editors lives in the subsystem areas built by buildAreas().
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

    MainWidgets &widgets() { return m_widgets; }
    MainHooks &hooks() { return m_hooks; }
    CommandTable &commands() { return *m_commands; }
    DoseState &doseState() { return m_dose; }
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

private:
    void buildCommands();
    void buildMenus();
    void buildToolbar();
    void buildContextMenus();
    void buildLayout();
    void buildStatusBar();
    void buildAreas();
    void hookOwnCommands();
    void formActivate();
    void showErrorLog();
    void showDebugLog();
    void showAbout();

    Station &m_station;
    CommandTable *m_commands;
    MainWidgets m_widgets;
    MainHooks m_hooks;
    DoseState m_dose;
    QLabel *m_diskWarning = nullptr;
    bool m_exited = false;
};

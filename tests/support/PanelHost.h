#pragma once
// The main window's panels without the main window, or the whole main window. One
// station (of the test's or a temporary one), the shared state the panels work on (store
// selection, dose state, edit session), the command table and the lifecycle hooks; the
// panels are built in MainForm's order with MainForm's arguments and placed on a plain
// window, with the status panels the browser and the viewer write. The controls the tests
// look at are found by their names.
#include "TestStation.h"

#include "app/MainForm.h"
#include "core/Database.h"
#include "core/Station.h"
#include "dose/DoseCapturePanel.h"
#include "dose/DoseListPanel.h"
#include "dose/DoseState.h"
#include "edit/EditSession.h"
#include "edit/HeaderPanel.h"
#include "edit/TaskPanel.h"
#include "net/WorklistEntry.h"
#include "store/BrowserPanel.h"
#include "store/StoreDeleteCommands.h"
#include "store/StoreSelection.h"
#include "store/StoreStatus.h"
#include "store/StudyLoader.h"
#include "store/ViewerPanel.h"
#include "store/ViewerWidget.h"
#include "ui/CommandTable.h"
#include "ui/MainCommands.h"
#include "ui/MainHooks.h"

#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QList>
#include <QListWidget>
#include <QMainWindow>
#include <QMenu>
#include <QPair>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QTreeWidget>
#include <functional>
#include <memory>

class PanelHost {
public:
    struct Controls {
        CommandTable *commands = nullptr;
        // The store lists and the viewer.
        QTreeWidget *lvPatients = nullptr;
        QTreeWidget *lvStudien = nullptr;
        QGroupBox *frmSerien = nullptr;
        QListWidget *lvSerien = nullptr;
        QTreeWidget *lvImages = nullptr;
        ViewerWidget *dv1 = nullptr;
        QScrollBar *dv1_vscroll = nullptr;
        QProgressBar *pbLoad = nullptr;
        QTimer *UpdateTimer = nullptr;
        QLabel *statusPanel[StoreStatus::PanelCount] = {};
        // The task editor.
        QTreeWidget *lvTasks = nullptr;
        // The dose panels.
        QTreeWidget *ListView1 = nullptr;
        QTreeWidget *lvDosis = nullptr;
        QPushButton *cmdWorklist = nullptr;
        QPushButton *cmdNew = nullptr;
        QPushButton *cmdSelected = nullptr;
        QPushButton *cmdLorad = nullptr;
        QPlainTextEdit *txtcInput = nullptr;
        QTimer *SerTimer = nullptr;
    };

    // The panels around a station in a temporary folder.
    PanelHost();
    // The panels around the test's station; render reads the pictures of a study load.
    explicit PanelHost(Station &station, StudyLoader::RenderFn render = {});
    // The whole main window around the test's station, loaded without companion
    // processes, shown and active; opened runs after every (re)opening.
    PanelHost(Station &station, std::function<void(MainForm &)> opened);
    ~PanelHost();
    PanelHost(const PanelHost &) = delete;
    PanelHost &operator=(const PanelHost &) = delete;

    // The temporary station of PanelHost().
    TestStation &ts() { return *m_own; }
    Station &station() { return m_station; }

    // The main window's load steps that the store panels join.
    void load();

    // ---- the dose panels -----------------------------------------------------------------
    // lvDosis_Fill with an assignment mode (0 keeps the current one).
    void fill(int mode);
    qint64 addRecord(const QString &first, const QString &last, const QString &birth, const QString &status,
                     const QString &dap = QStringLiteral("1.00"), int imgNo = 1, qint64 id = 0);
    // Status, FKeyPatID and Patname of a record.
    QStringList record(qint64 id);
    // The worklist patient chosen in the dose panel.
    void choosePatient(const QString &id, const QString &first, const QString &last, const QString &birth);
    // The patient picked in the browser's patient list.
    void pickStorePatient(const QString &id, const QString &name, const QString &birth);
    // The texts of a dose list column.
    QStringList column(int c) const;

    // ---- the header and the task editor ------------------------------------------------------
    QTreeWidget *list() const;
    // A filter holding the given tags (added to the dictionary when missing), made the
    // active one and loaded as at start.
    void useFilter(const QString &name, const QStringList &tags);
    // The viewer made the image current (again).
    void pick(const QString &file, int number = 1);
    // Rows as (tag, value shown), in the list's order.
    QList<QPair<QString, QString>> rows() const;

    QString errorLog() const;

    // ---- the whole main window --------------------------------------------------------------
    std::unique_ptr<MainForm> form;
    // Exits the main window and opens it again.
    void restart();
    QLabel *label(const char *name) const;

private:
    std::unique_ptr<TestStation> m_own;
    Station &m_station;

public:
    // The shared state and the panels (of the panel host).
    QMainWindow window;
    MainHooks hooks;
    StoreSelection selection;
    DoseState dose;
    EditSession edits;
    CommandTable &commands;
    ViewerPanel *viewer = nullptr;
    BrowserPanel *browser = nullptr;
    StoreDeleteCommands *deletes = nullptr;
    DoseCapturePanel *capture = nullptr;
    DoseListPanel *doseList = nullptr;
    HeaderPanel *header = nullptr;
    TaskPanel *tasks = nullptr;
    Controls w;

private:
    void buildPanels(StudyLoader::RenderFn render);
    void placePanels();
    void findControls();
    void openMainForm();
    std::function<void(MainForm &)> m_opened;
};

#pragma once
// The browser and viewer without the main window: the panel on a window of its own with
// the real command table, the task editor (for pending edits) and the status panels.
#include "edit/EditSession.h"
#include "core/Station.h"
#include "edit/HeaderState.h"
#include "edit/TaskPanel.h"
#include "store/BrowserPanel.h"
#include "store/StoreSelection.h"
#include "store/ViewerWidget.h"
#include "ui/CommandTable.h"
#include "ui/MainCommands.h"
#include "ui/MainHooks.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMainWindow>
#include <QMenu>
#include <QProgressBar>
#include <QScrollBar>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>
#include <memory>

struct BrowserHarness {
    // The controls the tests look at, found by their names.
    struct Controls {
        CommandTable *commands = nullptr;
        QTreeWidget *lvPatients = nullptr;
        QTreeWidget *lvStudien = nullptr;
        QGroupBox *frmSerien = nullptr;
        QListWidget *lvSerien = nullptr;
        QTreeWidget *lvImages = nullptr;
        ViewerWidget *dv1 = nullptr;
        QScrollBar *dv1_vscroll = nullptr;
        QProgressBar *pbLoad = nullptr;
        QTreeWidget *lvTasks = nullptr;
        QTimer *UpdateTimer = nullptr;
        QLabel *statusPanel[BrowserPanel::PanelCount] = {};
    };

    explicit BrowserHarness(Station &station, StudyLoader::RenderFn render = {})
    {
        w.commands = new CommandTable(&window);
        MainCommands::build(*w.commands, &window);
        auto *central = new QWidget;
        auto *outer = new QHBoxLayout(central);
        area =
            std::make_unique<BrowserPanel>(station, selection, edits, *w.commands, hooks, central, std::move(render));
        tasks = new TaskPanel(station, selection, edits, headerState, *w.commands, hooks, central);
        outer->addWidget(area->listsPane(), 1);
        outer->addWidget(area->viewerPane(), 3);
        outer->addWidget(tasks->page(), 1);
        window.setCentralWidget(central);
        for (int i = 0; i < BrowserPanel::PanelCount; ++i) {
            w.statusPanel[i] = new QLabel;
            w.statusPanel[i]->setObjectName(QStringLiteral("statusPanel%1").arg(i));
            window.statusBar()->addWidget(w.statusPanel[i], 1);
        }
        QObject::connect(area.get(), &BrowserPanel::statusText, &window,
                         [this](int i, const QString &text) { w.statusPanel[i]->setText(text); });

        w.lvPatients = window.findChild<QTreeWidget *>(QStringLiteral("lvPatients"));
        w.lvStudien = window.findChild<QTreeWidget *>(QStringLiteral("lvStudien"));
        w.frmSerien = window.findChild<QGroupBox *>(QStringLiteral("frmSerien"));
        w.lvSerien = window.findChild<QListWidget *>(QStringLiteral("lvSerien"));
        w.lvImages = window.findChild<QTreeWidget *>(QStringLiteral("lvImages"));
        w.dv1 = window.findChild<ViewerWidget *>(QStringLiteral("dv1"));
        w.dv1_vscroll = window.findChild<QScrollBar *>(QStringLiteral("dv1_vscroll"));
        w.pbLoad = window.findChild<QProgressBar *>(QStringLiteral("pbLoad"));
        w.lvTasks = window.findChild<QTreeWidget *>(QStringLiteral("lvTasks"));
        w.UpdateTimer = area->updateTimer();
        window.resize(1280, 900);
    }

    // The main window's load steps that the browser joins.
    void load()
    {
        MainHooks::run(hooks.prepareDataFiles);
        MainHooks::run(hooks.refreshPatientList);
        MainHooks::run(hooks.initializeControls);
    }

    QMainWindow window;
    Controls w;
    MainHooks hooks;
    StoreSelection selection;
    EditSession edits;
    std::unique_ptr<BrowserPanel> area;
    HeaderState headerState;
    TaskPanel *tasks = nullptr;
};

#pragma once
// The browser and viewer without the main window: the controls built here, a command
// table with the browser's commands and context menus, and the lifecycle hooks.
#include "app/CommandTable.h"
#include "app/MainHooks.h"
#include "app/MainWidgets.h"
#include "app/Station.h"
#include "store/BrowserArea.h"
#include "store/ViewerWidget.h"

#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMainWindow>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <memory>

struct BrowserHarness {
    explicit BrowserHarness(Station &station, StudyLoader::RenderFn render = {})
    {
        w.window = &window;
        w.commands = new CommandTable(&window);
        for (const char *name : {"mnuRefreshList", "PopUpStudie_ViewSeries", "PopUpStudie_ViewImages",
                                 "PopUpStudie_Delete", "PopUpSerie_ViewImages", "PopUpSerie_Delete",
                                 "PopUpPatient_Delete", "PopUpViewer_RotateRight", "PopUpViewer_RotateLeft",
                                 "PopUpViewer_MirrorH", "PopUpViewer_MirrorV", "PopUpViewer_AllRotateRight",
                                 "PopUpViewer_AllRotateLeft", "PopUpViewer_AllMirrorH", "PopUpViewer_AllMirrorV",
                                 "PopUpViewer_Reset", "PopUpViewer_ResetAll", "Popup_Dicom_Delete"})
            w.commands->add(QString::fromLatin1(name), QString::fromLatin1(name));
        auto menu = [&](const char *name, std::initializer_list<const char *> items) {
            auto *m = new QMenu(&window);
            w.commands->addMenu(QString::fromLatin1(name), m);
            for (const char *i : items)
                m->addAction(w.commands->action(QString::fromLatin1(i)));
        };
        menu("PopUpPatient", {"PopUpPatient_Delete"});
        menu("PopUpStudie", {"PopUpStudie_ViewSeries", "PopUpStudie_ViewImages", "PopUpStudie_Delete"});
        menu("PopUpSerie", {"PopUpSerie_ViewImages", "PopUpSerie_Delete"});
        menu("PopUpViewer", {"PopUpViewer_RotateRight", "PopUpViewer_RotateLeft", "PopUpViewer_MirrorH",
                             "PopUpViewer_MirrorV", "PopUpViewer_AllRotateRight", "PopUpViewer_AllRotateLeft",
                             "PopUpViewer_AllMirrorH", "PopUpViewer_AllMirrorV", "PopUpViewer_Reset",
                             "PopUpViewer_ResetAll"});
        menu("Popup_Dicom", {"Popup_Dicom_Delete"});

        auto *central = new QWidget;
        auto *outer = new QHBoxLayout(central);
        auto *left = new QVBoxLayout;
        outer->addLayout(left, 1);
        auto tree = [](const char *name) {
            auto *t = new QTreeWidget;
            t->setObjectName(QString::fromLatin1(name));
            return t;
        };
        w.lvPatients = tree("lvPatients");
        w.lvStudien = tree("lvStudien");
        w.lvImages = tree("lvImages");
        w.lvSerien = new QListWidget;
        w.lvSerien->setObjectName(QStringLiteral("lvSerien"));
        w.frmSerien = new QGroupBox(QStringLiteral("Series list"));
        w.frmSerien->setObjectName(QStringLiteral("frmSerien"));
        (new QVBoxLayout(w.frmSerien))->addWidget(w.lvSerien);
        w.frmSerien->hide();
        left->addWidget(w.lvPatients);
        left->addWidget(w.lvStudien);
        left->addWidget(w.frmSerien);
        left->addWidget(w.lvImages);

        auto *mid = new QVBoxLayout;
        auto *viewerRow = new QHBoxLayout;
        w.dv1 = new ViewerWidget;
        w.dv1_vscroll = new QScrollBar(Qt::Vertical);
        w.dv1_vscroll->setObjectName(QStringLiteral("dv1_vscroll"));
        viewerRow->addWidget(w.dv1, 1);
        viewerRow->addWidget(w.dv1_vscroll);
        mid->addLayout(viewerRow, 1);
        w.pbLoad = new QProgressBar;
        w.pbLoad->setObjectName(QStringLiteral("pbLoad"));
        mid->addWidget(w.pbLoad);
        outer->addLayout(mid, 3);

        auto *right = new QVBoxLayout;
        w.lvHeader = tree("lvHeader");
        w.lvTasks = tree("lvTasks");
        w.txtSelElement = new QLineEdit;
        w.cboTask = new QComboBox;
        w.cboTask->addItems({QStringLiteral("Change"), QStringLiteral("Move"), QStringLiteral("Switch")});
        w.txtValue = new QLineEdit;
        w.lvDosis = tree("lvDosis");
        w.cmdSelected = new QPushButton(QStringLiteral("Merge Images"));
        w.cmdSelected->setObjectName(QStringLiteral("cmdSelected"));
        for (QWidget *x : std::initializer_list<QWidget *>{w.lvHeader, w.lvTasks, w.txtSelElement, w.cboTask,
                                                          w.txtValue, w.lvDosis, w.cmdSelected})
            right->addWidget(x);
        outer->addLayout(right, 1);
        window.setCentralWidget(central);

        w.StatusBar1 = window.statusBar();
        for (int i = 0; i < 4; ++i) {
            w.statusPanel[i] = new QLabel;
            w.statusPanel[i]->setObjectName(QStringLiteral("statusPanel%1").arg(i));
            w.StatusBar1->addWidget(w.statusPanel[i], 1);
        }
        w.UpdateTimer = new QTimer(&window);
        w.UpdateTimer->setObjectName(QStringLiteral("UpdateTimer"));

        area = std::make_unique<BrowserArea>(station, w, hooks, nullptr, std::move(render));
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
    MainWidgets w;
    MainHooks hooks;
    std::unique_ptr<BrowserArea> area;
};

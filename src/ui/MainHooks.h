#pragma once
#include <QtGlobal>
#include <functional>
#include <vector>

// How the panels join the main window's lifecycle. MainForm runs the step lists in its
// fixed order; a panel appends its part in its constructor. Panels reach each other only
// through the shared state objects (store selection, dose state, edit session).
struct MainHooks {
    using Step = std::function<void()>;

    // Main window load, in this order (between them MainForm loads the settings).
    std::vector<Step> prepareDataFiles;    // template and data database, folders
    std::vector<Step> loadModFilter;       // the active modality filter
    std::vector<Step> refreshPatientList;  // first patient list
    std::vector<Step> updateSendToEntries; // "Send to" sub-menus
    std::vector<Step> startCompanions;     // receiver and data manager
    std::vector<Step> initializeControls;  // viewer grid, fixed choices, timers

    // Each tick of the patient list refresh timer, before the list is refreshed.
    std::vector<Step> refreshTick;
    // Each activation of the main window (after the debug controls are set).
    std::vector<Step> activate;
    // After the Options dialog's OK saved the settings.
    std::vector<Step> settingsChanged;
    // After the Options dialog closed, by OK or Cancel (filters are written at once).
    std::vector<Step> optionsClosed;
    // A progress window's OK, before it closes; closedOperation holds the window's
    // operation code meanwhile (-1 otherwise), for steps that follow only some of them.
    std::vector<Step> progressClosed;
    mutable qint16 closedOperation = -1;

    // End of the program: timers stopped and the viewer cleared, then (when
    // General\StopService is 1) the companions stopped.
    std::vector<Step> clearViewer;
    std::vector<Step> stopCompanions;

    static void run(const std::vector<Step> &steps)
    {
        for (const auto &s : steps)
            s();
    }
};

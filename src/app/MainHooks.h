#pragma once
#include <QString>
#include <functional>
#include <vector>

// How the subsystem areas join the main window's lifecycle and reach each other without
// knowing each other's classes. MainForm runs the step lists in its fixed order; an area
// appends its part in its constructor. A cross-area function that nobody has set is
// simply not called.
struct MainHooks {
    using Step = std::function<void()>;

    // Main window load, in this order (between them MainForm loads the settings).
    std::vector<Step> prepareDataFiles;    // template and data database, folders
    std::vector<Step> loadModFilter;       // the active modality filter
    std::vector<Step> refreshPatientList;  // first patient list
    std::vector<Step> updateSendToEntries; // "Send to" sub-menus
    std::vector<Step> startCompanions;     // receiver and data manager
    std::vector<Step> initializeControls;  // viewer grid, fixed choices

    // Each activation of the main window (after the debug controls are set).
    std::vector<Step> activate;
    // After the Options dialog's OK saved the settings.
    std::vector<Step> settingsChanged;

    // End of the program: the viewer cleared, then (when General\StopService is 1)
    // the companions stopped.
    std::vector<Step> clearViewer;
    std::vector<Step> stopCompanions;

    // Cross-area calls.
    std::function<void()> refreshPatientListNow;        // RefreshPatientList
    std::function<void(int mode)> fillDoseList;          // lvDosis_Fill with an assignment mode
    std::function<void()> refreshDoseList;               // RefreshDosisList
    std::function<int()> doseAssignmentMode;             // current assignment mode
    std::function<void(const QString &patID1)> patientPicked;
    // "Cancel current changes?" while the task list has rows: true = go on.
    std::function<bool()> confirmDiscardTasks;
    std::function<void()> clearTasks;                    // empty the task list and editor
    std::function<void()> showHeaderOfCurrentImage;      // header list for the picked image

    static void run(const std::vector<Step> &steps)
    {
        for (const auto &s : steps)
            if (s)
                s();
    }
};

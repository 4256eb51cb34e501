#pragma once
#include "core/Prompter.h"
#include "core/Settings.h"
#include "core/SettingsStore.h"
#include "core/StationLog.h"
#include "core/StationPaths.h"

#include <QString>
#include <exception>
#include <memory>

class AppError;

// The station's shared state: one object, created at start and handed by reference to
// whatever needs it. Tests create their own in a temporary folder.
class Station {
public:
    Station(const QString &appPath, std::unique_ptr<SettingsStore> store, Prompter &prompter);

    const StationPaths &paths() const { return m_paths; }
    const StationLog &log() const { return m_log; }
    Settings &settings() { return m_settings; }
    const Settings &settings() const { return m_settings; }
    SettingsStore &settingsStore() { return *m_store; }
    Prompter &prompter() { return *m_prompter; }
    void setPrompter(Prompter &p) { m_prompter = &p; }

    // Logs a trapped error under the procedure's name.
    void logError(const AppError &e, const QString &procedure) const;
    void logError(const std::exception &e, const QString &procedure) const;
    void logError(long number, const QString &description, const QString &procedure) const;
    // Logs it and shows the operator "Error #n: text".
    void showError(const std::exception &e, const QString &procedure);

    // The boundary of a procedure that traps its errors: runs f, logs a failure under
    // the procedure's name. True when f went through.
    template <class F> bool trap(const QString &procedure, F &&f) const
    {
        try {
            f();
            return true;
        } catch (const std::exception &e) {
            logError(e, procedure);
            return false;
        }
    }
    // The same, and the operator sees the error.
    template <class F> bool trapAndShow(const QString &procedure, F &&f)
    {
        try {
            f();
            return true;
        } catch (const std::exception &e) {
            showError(e, procedure);
            return false;
        }
    }

    // Loads the settings; a changed shared database is taken up at once.
    void loadSettings();
    void saveSettings() { m_store->save(m_settings); }

    // True while the viewer loads images or a long operation runs: timer-driven list
    // refreshes return at once.
    bool busy = false;
    // Set by the update timer just before it asks for a patient list refresh.
    bool timerRefresh = false;
    // Process ids of the companions; 0 when none is held.
    qint64 receiverPid = 0;
    qint64 dataManagerPid = 0;

private:
    StationPaths m_paths;
    StationLog m_log;
    std::unique_ptr<SettingsStore> m_store;
    Settings m_settings;
    Prompter *m_prompter;
};

// Sets the busy flag for a scope and clears it on every way out.
class BusyGuard {
public:
    explicit BusyGuard(Station &s) : m_station(s) { m_station.busy = true; }
    ~BusyGuard() { m_station.busy = false; }
    BusyGuard(const BusyGuard &) = delete;
    BusyGuard &operator=(const BusyGuard &) = delete;

private:
    Station &m_station;
};

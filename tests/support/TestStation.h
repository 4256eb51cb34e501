#pragma once
#include "ScriptedPrompter.h"
#include "core/Station.h"

#include <QTemporaryDir>
#include <memory>

// A station in a temporary folder with its own settings file and a scripted prompter.
// The settings are loaded (defaults on a fresh store); the databases are created when
// withDatabases is true (in a run against the shared database, the configuration on a
// fresh PostgreSQL database).
struct TestStation {
    explicit TestStation(bool withDatabases = true);

    QTemporaryDir dir;
    ScriptedPrompter prompter;
    std::unique_ptr<Station> station;

    QString root() const { return dir.path(); }
    QString settingsFile() const { return dir.path() + QStringLiteral("/settings.ini"); }
    Station &operator*() { return *station; }
    Station *operator->() { return station.get(); }
};

// True in the run of a test against the site's shared database (CALVAREX_SHARED_DB set to
// "postgresql"): every TestStation then keeps its configuration and dose registry on a
// PostgreSQL server the run starts.
bool sharedDatabaseRun();

// Folder of the built executables (Calvarex, the companions, the tools).
QString binDir();
// A free TCP port on loopback.
quint16 freeTcpPort();
// pydicom's real-world test files folder, empty when the package is missing.
QString pydicomTestFiles();

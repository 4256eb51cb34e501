#pragma once
#include "ScriptedPrompter.h"
#include "core/Station.h"

#include <QTemporaryDir>
#include <memory>

// A station in a temporary folder with its own settings file and a scripted prompter.
// The settings are loaded (defaults on a fresh store); the databases are created when
// withDatabases is true.
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

// Folder of the built executables (Calvarex, the companions, the tools).
QString binDir();
// A free TCP port on loopback.
quint16 freeTcpPort();
// pydicom's real-world test files folder, empty when the package is missing.
QString pydicomTestFiles();

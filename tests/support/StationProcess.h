#pragma once
#include <QProcess>
#include <QProcessEnvironment>
#include <QSize>
#include <QString>
#include <QStringList>

// The real station executable, started for a test with its own station folder and
// settings, no screen (offscreen) and no person (CALVAREX_UNATTENDED).
// The offscreen screen is 1280x1024 unless a size is given.
QProcessEnvironment stationEnvironment(const QString &home, const QString &configHome,
                                       QSize screen = QSize(1280, 1024));
// Ends every process whose environment names this station folder (the station and the
// companions it started).
void killStationProcesses(const QString &home);

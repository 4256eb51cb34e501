#pragma once
// The station that a room on loopback (a test's, the demo room's) is built around: a
// station folder and a settings file of its own.
#include <QString>
#include <memory>

class Prompter;
class Station;

namespace peers {

// Opens the station in root with its settings in settingsFile (defaults when the file
// is new), makes its folders, and its databases when withDatabases is true.
std::unique_ptr<Station> openStation(const QString &root, const QString &settingsFile, Prompter &prompter,
                                     bool withDatabases = true);

} // namespace peers

#include "StationFolder.h"

#include "core/Station.h"
#include "store/Schema.h"

namespace peers {

std::unique_ptr<Station> openStation(const QString &root, const QString &settingsFile, Prompter &prompter,
                                     bool withDatabases)
{
    auto station = std::make_unique<Station>(root, std::make_unique<SettingsStore>(settingsFile), prompter);
    station->loadSettings();
    station->paths().createFolders();
    if (withDatabases) {
        Schema::ensureDatabases(station->paths());
        if (station->paths().shared())
            Schema::syncShared(station->paths());
    }
    return station;
}

} // namespace peers

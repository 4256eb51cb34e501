#include "app/StationMain.h"
#include "app/Startup.h"
#include "core/Audit.h"
#include "core/Station.h"
#include "core/StationPaths.h"
#include "dicom/Network.h"
#include "ui/WidgetPrompter.h"

#include <QApplication>
#include <QCommandLineParser>

int runStation(int argc, char *argv[], const StationExtras &extras)
{
    // Before any thread starts: the network set-up changes the environment.
    dicom::prepareNetwork();
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Lumetra"));
    QApplication::setApplicationName(QStringLiteral("TqStation"));
    // The program ends through its own paths (Exit, the close box, a refused start), not
    // when a start-up window closes.
    QApplication::setQuitOnLastWindowClosed(false);

    QCommandLineParser args;
    args.addHelpOption();
    if (extras.options)
        extras.options(args);
    args.process(app);

    WidgetPrompter prompter;
    Station station(StationPaths::defaultAppPath(), std::make_unique<SettingsStore>(), prompter);
    Startup startup(station);
    if (!startup.begin())
        return 1;
    Audit::begin(QStringLiteral("calvarex"), stationAet(station.settings()), station.paths().logsDir(),
                 station.settings().security);
    std::unique_ptr<QObject> extra;
    if (extras.started)
        extra = extras.started(startup, args);
    const int code = app.exec();
    extra.reset();
    Audit::end();
    return code;
}

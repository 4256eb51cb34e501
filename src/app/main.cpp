#include "app/Startup.h"
#include "core/Station.h"
#include "core/StationPaths.h"
#include "ui/WidgetPrompter.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Lumetra"));
    QApplication::setApplicationName(QStringLiteral("TqStation"));
    // The program ends through its own paths (Exit, the close box, a refused start), not
    // when a start-up window closes.
    QApplication::setQuitOnLastWindowClosed(false);

    WidgetPrompter prompter;
    Station station(StationPaths::defaultAppPath(), std::make_unique<SettingsStore>(), prompter);
    Startup startup(station);
    if (!startup.begin())
        return 1;
    return app.exec();
}

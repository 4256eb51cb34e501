#include "app/AutoExamination.h"
#include "app/Startup.h"
#include "core/Station.h"
#include "core/StationPaths.h"
#include "dicom/Network.h"
#include "ui/WidgetPrompter.h"

#include <QApplication>
#include <QCommandLineParser>

int main(int argc, char *argv[])
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
    const QCommandLineOption auto_(QStringLiteral("auto-examination"),
                                   QStringLiteral("Runs one examination by itself (demo room): picks the worklist "
                                                  "patient with this Patient ID (or the first), waits for the four "
                                                  "exposures and images, opens the study and merges and sends it."),
                                   QStringLiteral("patient id"));
    const QCommandLineOption screens(QStringLiteral("screens"),
                                     QStringLiteral("With --auto-examination: saves a picture of each step here."),
                                     QStringLiteral("folder"));
    args.addOption(auto_);
    args.addOption(screens);
    args.process(app);

    WidgetPrompter prompter;
    Station station(StationPaths::defaultAppPath(), std::make_unique<SettingsStore>(), prompter);
    Startup startup(station);
    if (!startup.begin())
        return 1;
    std::unique_ptr<AutoExamination> exam;
    if (args.isSet(auto_)) {
        exam = std::make_unique<AutoExamination>(startup, args.value(auto_), args.value(screens));
        exam->start();
    }
    return app.exec();
}

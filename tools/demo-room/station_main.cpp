// demo-station: the station as the demo room's automatic examination runs it - the same
// program as Calvarex, with one examination run by itself once the start-up began.
//
//   demo-station [--patient ID] [--screens DIR]
#include "AutoExamination.h"
#include "app/StationMain.h"

#include <QCommandLineParser>

int main(int argc, char *argv[])
{
    const QCommandLineOption patient(QStringLiteral("patient"),
                                     QStringLiteral("The worklist patient with this Patient ID (default: the first)."),
                                     QStringLiteral("id"), QStringLiteral("first"));
    const QCommandLineOption screens(QStringLiteral("screens"), QStringLiteral("Saves a picture of each step here."),
                                     QStringLiteral("folder"));
    StationExtras extras;
    extras.options = [&](QCommandLineParser &args) {
        args.setApplicationDescription(
            QStringLiteral("The station running one examination by itself (demo room): picks the worklist patient, "
                           "waits for the four exposures and images, opens the study and merges and sends it."));
        args.addOption(patient);
        args.addOption(screens);
    };
    extras.started = [&](Startup &startup, const QCommandLineParser &args) -> std::unique_ptr<QObject> {
        auto exam = std::make_unique<AutoExamination>(startup, args.value(patient), args.value(screens));
        exam->start();
        return exam;
    };
    return runStation(argc, argv, extras);
}

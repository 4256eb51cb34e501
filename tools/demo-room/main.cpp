// demo-room: starts the station in a complete demo room on loopback (worklist provider,
// PACS, X-ray unit, mammography unit) and stops every part of it when the station ends.
//
//   demo-room [--folder DIR] [--reset] [--auto] [--unit hfe|sophie|giotto|lorad] [--registry]
//             [--patient ID] [--size WxH] [--http-port N]
#include "DemoRoom.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QSocketNotifier>
#include <csignal>
#include <unistd.h>

namespace {
int g_signalPipe[2] = {-1, -1};
void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] auto n = ::write(g_signalPipe[1], &c, 1);
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser args;
    args.setApplicationDescription(QStringLiteral("The Calvarex demo room."));
    args.addHelpOption();
    const QCommandLineOption folder(QStringLiteral("folder"), QStringLiteral("The demo's folder."),
                                    QStringLiteral("dir"), QDir::currentPath() + QStringLiteral("/demo"));
    const QCommandLineOption reset(QStringLiteral("reset"), QStringLiteral("Start from an empty demo folder."));
    const QCommandLineOption autoRun(QStringLiteral("auto"),
                                     QStringLiteral("Run one examination by itself, check it in the PACS, end."));
    const QCommandLineOption unit(QStringLiteral("unit"), QStringLiteral("X-ray unit: hfe, sophie, giotto, lorad."),
                                  QStringLiteral("type"), QStringLiteral("hfe"));
    const QCommandLineOption patient(QStringLiteral("patient"), QStringLiteral("With --auto: the worklist patient."),
                                     QStringLiteral("id"), QStringLiteral("DEMO001"));
    const QCommandLineOption size(QStringLiteral("size"), QStringLiteral("Image size WxH."), QStringLiteral("size"),
                                  QStringLiteral("2560x3328"));
    const QCommandLineOption http(QStringLiteral("http-port"), QStringLiteral("Orthanc's web port, when free."),
                                  QStringLiteral("port"), QStringLiteral("8042"));
    const QCommandLineOption registry(QStringLiteral("registry"),
                                      QStringLiteral("Keep the configuration and the dose registry on a private "
                                                     "PostgreSQL server, as a site with several rooms does."));
    args.addOptions({folder, reset, autoRun, unit, patient, size, http, registry});
    args.process(app);

    DemoRoom::Options o;
    o.folder = QDir(args.value(folder)).absolutePath();
    o.binDir = QCoreApplication::applicationDirPath();
    o.reset = args.isSet(reset);
    o.automatic = args.isSet(autoRun);
    o.registry = args.isSet(registry);
    o.unit = args.value(unit).toLower();
    o.autoPatient = args.value(patient);
    const QStringList wh = args.value(size).split(QLatin1Char('x'));
    o.imageSize = QSize(wh.value(0).toInt(), wh.value(1).toInt());
    o.httpPort = args.value(http).toInt();
    if (!QStringList{"hfe", "sophie", "giotto", "lorad"}.contains(o.unit) || o.imageSize.width() < 64
        || o.imageSize.height() < 64) {
        std::fprintf(stderr, "demo-room: unknown unit or bad image size; see --help\n");
        return 2;
    }
    if (o.automatic && o.unit == QLatin1String("lorad")) {
        std::fprintf(stderr, "demo-room: --auto runs with the units that send by themselves (hfe, sophie, giotto)\n");
        return 2;
    }

    DemoRoom room(o);
    // Ctrl-C or a stop request ends the room properly: station, companions, peers.
    if (::pipe(g_signalPipe) == 0) {
        auto *notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &room, [&room] {
            char c;
            [[maybe_unused]] auto n = ::read(g_signalPipe[0], &c, 1);
            room.stop();
        });
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
        std::signal(SIGHUP, onSignal);
    }
    QObject::connect(
        &room, &DemoRoom::finished, &app, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    if (!room.start())
        return 1;
    app.exec();
    return room.exitCode();
}

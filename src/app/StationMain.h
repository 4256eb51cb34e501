#pragma once
#include <QObject>
#include <functional>
#include <memory>

class QCommandLineParser;
class Startup;

// What a build of the station for another purpose (the demo room's) adds to the
// station's program: command line options, and a part of its own started once the
// start-up began, kept until the program ends.
struct StationExtras {
    std::function<void(QCommandLineParser &)> options;
    std::function<std::unique_ptr<QObject>(Startup &, const QCommandLineParser &)> started;
};

// The station's program: the network set-up, the application, the station in its
// folder with the person's settings, the start-up, the event loop. Returns the exit
// code.
int runStation(int argc, char *argv[], const StationExtras &extras = {});

// Fills a station folder with a demonstration store: a few patients, each with a study
// of generated full-field mammograms (right and left, CC and MLO), for trying the
// browser and viewer by hand.
//
//   calvarex_demo_store <station folder> [patients=3] [width=1664 height=2048]
#include "StoreFixture.h"
#include "core/AppError.h"
#include "core/Prompter.h"
#include "core/SettingsStore.h"
#include "core/Station.h"
#include "store/Schema.h"

#include <QCoreApplication>
#include <QDir>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: calvarex_demo_store <station folder> [patients] [width height]\n");
        return 2;
    }
    const int patients = args.size() > 2 ? args.at(2).toInt() : 3;
    const QSize size = args.size() > 4 ? QSize(args.at(3).toInt(), args.at(4).toInt()) : QSize(1664, 2048);
    try {
        SilentPrompter prompter;
        QDir().mkpath(args.at(1));
        Station station(args.at(1), std::make_unique<SettingsStore>(args.at(1) + QStringLiteral("/demo-settings.ini")),
                        prompter);
        station.paths().createFolders();
        Schema::ensureDatabases(station.paths());
        StoreFixture fx(station);
        static const char *const names[][3] = {{"MG-1001", "Sommer", "Anna"},
                                               {"MG-1002", "Berger", "Eva"},
                                               {"MG-1003", "Keller", ""},
                                               {"MG-1004", "Novak", "Ida"}};
        for (int p = 0; p < patients; ++p) {
            const auto &n = names[p % 4];
            const qint64 id = fx.addPatient(QString::fromLatin1(n[0]) + (p >= 4 ? QString::number(p) : QString()),
                                            QString::fromLatin1(n[1]), QString::fromLatin1(n[2]), {},
                                            QStringLiteral("19%1-05-1%2").arg(50 + p * 7).arg(p));
            const auto made = fx.addStudyWithImages(id, 4, size);
            std::printf("%s: study %s, %lld images\n", n[0], qPrintable(made.studyUid),
                        static_cast<long long>(made.sopUids.size()));
        }
    } catch (const AppError &e) {
        std::fprintf(stderr, "%s\n", qPrintable(e.description()));
        return 1;
    }
    return 0;
}

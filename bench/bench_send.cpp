// The station's patient send of 8 full-field mammograms (3328x4096, 16-bit) and 100
// small images, staged, to storescp; against storescu sending the same files to the
// same storescp in the same run.
// Measure: send_files_per_s (files per second, median of 3; baseline = storescu, median of 3).
#include "BenchSupport.h"
#include "RecordingProgress.h"
#include "StoreFixture.h"
#include "StorePeers.h"
#include "TestStation.h"
#include "core/Station.h"
#include "dicom/StoreSender.h"
#include "net/SendTransfer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int Runs = 3;

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList wanted = app.arguments().mid(1);
    if (!wanted.isEmpty() && !wanted.contains(QStringLiteral("send_files_per_s")))
        return 0;

    TestStation ts;
    StoreFixture fx(*ts);
    const qint64 pat = fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"), QStringLiteral("Jane"));
    const auto mammo = fx.addStudyWithImages(pat, 8, QSize(3328, 4096), 1);
    const auto small = fx.addStudyWithImages(pat, 100, QSize(), 1);
    // Everything staged, as the dose merge leaves it.
    const QString staging = ts->paths().binDir() + QStringLiteral("/Send-bench");
    QDir().mkpath(staging);
    QStringList staged;
    for (const auto *m : {&mammo, &small})
        for (int i = 0; i < m->files.size(); ++i) {
            const QString to = staging + QLatin1Char('/') + m->sopUids[i] + QStringLiteral(".dcm");
            QFile::copy(m->files[i], to);
            staged << to;
        }
    const int files = int(staged.size());

    StoreScp scp;
    if (!scp.start()) {
        std::fprintf(stderr, "storescp did not start\n");
        return 1;
    }
    std::vector<double> ours, theirs;
    for (int run = 0; run < Runs; ++run) {
        QElapsedTimer t;
        t.start();
        QProcess p;
        p.start(QStringLiteral("storescu"),
                QStringList{QStringLiteral("-aet"), QStringLiteral("TqStation"), QStringLiteral("-aec"), scp.aet(),
                            QStringLiteral("127.0.0.1"), QString::number(scp.port())}
                    + staged);
        p.waitForFinished(-1);
        theirs.push_back(files * 1000.0 / std::max<qint64>(1, t.elapsed()));
        if (p.exitCode() != 0) {
            std::fprintf(stderr, "storescu failed: %s\n", p.readAllStandardError().constData());
            return 1;
        }

        t.restart();
        const auto plans = SendTransfer::patientPlan(*ts, pat, staging);
        dicom::StoreSender sender(
            {QStringLiteral("127.0.0.1"), QString::number(scp.port()), QStringLiteral("TqStation"), scp.aet()});
        sender.open(SendTransfer::filesOf(plans));
        RecordingProgress progress;
        SendTransfer transfer(*ts, progress, sender);
        transfer.sendPatient(QStringLiteral("Doe, Jane"), pat, plans);
        sender.close();
        ours.push_back(files * 1000.0 / std::max<qint64>(1, t.elapsed()));
        if (transfer.sent() != files) {
            std::fprintf(stderr, "sent %d of %d\n", transfer.sent(), files);
            return 1;
        }
    }
    const double value = median(ours), baseline = median(theirs);
    std::printf("BENCH send_files_per_s %.1f files/s baseline=%.1f ratio=%.2f\n", value, baseline, value / baseline);
    return 0;
}

// Rendering full-field mammograms for the viewer, against DCMTK's dcmj2pnm turning the
// same files into 8-bit images.
// Measures: render_per_image (ms), render_peak_memory (MB, rendering 8 files in a fresh
// process, baseline = the files' total size).
#include "StoreFixture.h"
#include "dicom/Render.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <cstdio>

namespace {

const QSize CellSize(420, 516);
constexpr int FileCount = 8;

QStringList makeMammograms(const QString &dir)
{
    QStringList files;
    for (int i = 0; i < FileCount; ++i) {
        StoreFixture::Mammogram m;
        m.size = QSize(3328, 4096);
        m.laterality = (i % 2) ? 'L' : 'R';
        m.view = (i / 2 % 2) ? QStringLiteral("MLO") : QStringLiteral("CC");
        m.instanceNumber = i + 1;
        m.seed = quint32(i + 1);
        m.studyUid = QStringLiteral("1.2.826.0.1.3680043.9.7.1");
        m.seriesUid = QStringLiteral("1.2.826.0.1.3680043.9.7.1.1");
        m.sopUid = QStringLiteral("1.2.826.0.1.3680043.9.7.1.1.%1").arg(i + 1);
        const QString path = dir + QStringLiteral("/mg%1.dcm").arg(i + 1);
        StoreFixture::writeMammogram(path, m);
        files << path;
    }
    return files;
}

void print(const char *name, double value, const char *unit, double baseline)
{
    std::printf("BENCH %s %.2f %s baseline=%.2f ratio=%.3f\n", name, value, unit, baseline,
                baseline > 0 ? value / baseline : 0.0);
    std::fflush(stdout);
}

double perImageRender(const QStringList &files)
{
    QElapsedTimer t;
    t.start();
    for (const QString &f : files)
        dicom::renderForViewer(f, CellSize);
    return double(t.nsecsElapsed()) / 1e6 / files.size();
}

double perImageDcmj2pnm(const QStringList &files, const QString &outDir)
{
    const QString tool = QStandardPaths::findExecutable(QStringLiteral("dcmj2pnm"));
    if (tool.isEmpty())
        return 0;
    QElapsedTimer t;
    t.start();
    int i = 0;
    for (const QString &f : files) {
        QProcess p;
        p.start(tool, {f, outDir + QStringLiteral("/out%1.pgm").arg(++i)});
        p.waitForFinished(-1);
    }
    return double(t.nsecsElapsed()) / 1e6 / files.size();
}

int renderChild(const QString &dir)
{
    const QStringList names = QDir(dir).entryList({QStringLiteral("*.dcm")}, QDir::Files);
    for (const QString &n : names)
        dicom::renderForViewer(dir + QLatin1Char('/') + n, CellSize);
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::printf("%ld\n", ru.ru_maxrss); // KB
    return 0;
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.size() == 2 && args[0] == QLatin1String("--render-child"))
        return renderChild(args[1]);
    if (args.size() == 3 && args[0] == QLatin1String("--make-mammograms")) { // for looking at them
        const QStringList files = makeMammograms(args[1]);
        for (const QString &f : files)
            dicom::renderForViewer(f, CellSize)
                .image.save(args[2] + QLatin1Char('/') + QFileInfo(f).baseName() + QStringLiteral(".png"));
        return 0;
    }
    const QStringList known = {QStringLiteral("render_per_image"), QStringLiteral("render_peak_memory")};
    if (args.isEmpty())
        args = known;

    QTemporaryDir dir;
    const QStringList files = makeMammograms(dir.path());
    qint64 total = 0;
    for (const QString &f : files)
        total += QFileInfo(f).size();

    for (const QString &a : args) {
        if (a == QLatin1String("render_per_image")) {
            perImageRender(files); // warm the file cache
            const double base = perImageDcmj2pnm(files, dir.path());
            const double ours = perImageRender(files);
            print("render_per_image", ours, "ms", base);
        } else if (a == QLatin1String("render_peak_memory")) {
            QProcess p;
            p.start(app.applicationFilePath(), {QStringLiteral("--render-child"), dir.path()});
            p.waitForFinished(-1);
            const double mb = p.readAllStandardOutput().trimmed().toDouble() / 1024.0;
            print("render_peak_memory", mb, "MB", double(total) / (1024.0 * 1024.0));
        } else {
            std::fprintf(stderr, "unknown measure %s\n", qPrintable(a));
            return 2;
        }
    }
    return 0;
}

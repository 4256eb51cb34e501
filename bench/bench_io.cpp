// Speed of import and export, per image, each against the plain tools doing the same
// job in the same run:
//   import_dicomdir_per_image: the station imports a DICOMDIR of 200 mammograms into its
//     input folder and the data manager files them through to rows in the database,
//     against `cp` of the same files plus `dcmdump` of each one.
//   export_dicomdir_per_image: the station exports 100 mammograms with a DICOMDIR, against
//     `cp` of the same files into the same layout plus DCMTK's `dcmgpdir` building the
//     DICOMDIR over the copies.
//
//   bench_io [--list] [import_dicomdir_per_image] [export_dicomdir_per_image]
#include "BenchSupport.h"
#include "StoreFixture.h"
#include "TestStation.h"
#include "core/Database.h"
#include "core/Progress.h"
#include "dicom/DicomDir.h"
#include "dicom/FileFacts.h"
#include "io/ImageExport.h"
#include "io/ImageImport.h"
#include "store/ImageFiler.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdio>

namespace {

const QStringList Measures = {QStringLiteral("import_dicomdir_per_image"), QStringLiteral("export_dicomdir_per_image")};
const QSize MammoSize(800, 1000);

[[noreturn]] void die(const char *what)
{
    std::fprintf(stderr, "bench_io: %s\n", what);
    std::exit(1);
}

int run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    p.waitForFinished(-1);
    p.readAll();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

// n mammograms of 10 studies as a medium: ST00000s/IM00000i, with a DICOMDIR.
QStringList writeMedium(const QString &root, int n, bool withDir)
{
    QStringList files;
    for (int i = 0; i < n; ++i) {
        const int study = i % 10 + 1;
        StoreFixture::Mammogram m;
        m.size = MammoSize;
        m.seed = quint32(i + 1);
        m.laterality = i % 2 ? 'L' : 'R';
        m.instanceNumber = i / 10 + 1;
        m.patientId = QStringLiteral("B%1").arg(study);
        m.studyUid = QStringLiteral("1.2.826.0.1.3680043.9.7777.9.%1").arg(study);
        m.seriesUid = m.studyUid + QStringLiteral(".1");
        m.sopUid = m.seriesUid + QStringLiteral(".%1").arg(i + 1);
        const QString folder = QStringLiteral("ST%1").arg(study, 6, 10, QLatin1Char('0'));
        QDir().mkpath(root + QLatin1Char('/') + folder);
        const QString id = folder + QStringLiteral("/IM%1").arg(i + 1, 6, 10, QLatin1Char('0'));
        StoreFixture::writeMammogram(root + QLatin1Char('/') + id, m);
        files << id;
    }
    if (withDir) {
        dicom::DicomDirWriter w(root);
        for (const QString &f : files)
            w.add(f);
        w.write();
    }
    return files;
}

void importDicomDir()
{
    constexpr int N = 200;
    QTemporaryDir medium;
    const QStringList files = writeMedium(medium.path(), N, true);

    TestStation ts;
    WindowLikeProgress progress;
    QElapsedTimer t;
    t.start();
    const auto r =
        ImageImport(ts->paths(), ts->log(), progress).importDicomDir(medium.filePath(QStringLiteral("DICOMDIR")));
    ImageFiler filer(ts->paths(), ts->log());
    filer.setSettleSeconds(0);
    const auto filed = filer.fileInput();
    const double station = double(t.nsecsElapsed()) / 1e6;
    {
        Database db = Database::openData(ts->paths());
        if (r.imported != N || filed.filed != N
            || db.scalar(QStringLiteral("SELECT COUNT(*) FROM tblImages")).toInt() != N)
            die("the station did not file every image");
    }

    QTemporaryDir copies;
    t.restart();
    if (run(QStringLiteral("cp"), {QStringLiteral("-r"), medium.path() + QStringLiteral("/."), copies.path()}) != 0)
        die("cp failed");
    for (const QString &f : files) {
        if (run(QStringLiteral("dcmdump"), {QStringLiteral("-q"), copies.filePath(f)}) != 0)
            die("dcmdump failed");
    }
    const double plain = double(t.nsecsElapsed()) / 1e6;
    std::printf("BENCH import_dicomdir_per_image %.2f ms baseline=%.2f ratio=%.3f\n", station / N, plain / N,
                station / plain);
    std::fflush(stdout);
}

void exportDicomDir()
{
    constexpr int N = 100;
    QTemporaryDir store;
    QStringList viewer;
    for (const QString &f : writeMedium(store.path(), N, false))
        viewer << store.filePath(f);

    QTemporaryDir out;
    TestStation ts(false);
    WindowLikeProgress progress;
    ImageExport::Options o;
    o.directory = out.path();
    o.dicomDir = true;
    QElapsedTimer t;
    t.start();
    const auto r = ImageExport(ts->log(), progress).run(viewer, o);
    const double station = double(t.nsecsElapsed()) / 1e6;
    if (r.written.size() != N || !r.failures.isEmpty() || r.dicomDirFile.isEmpty())
        die("the station did not export every image");

    QTemporaryDir copies;
    t.restart();
    if (run(QStringLiteral("cp"), {QStringLiteral("-r"), store.path() + QStringLiteral("/."), copies.path()}) != 0)
        die("cp failed");
    if (run(QStringLiteral("dcmgpdir"),
            {QStringLiteral("-q"), QStringLiteral("+r"), QStringLiteral("+I"), QStringLiteral("+id"), copies.path(),
             QStringLiteral("+D"), copies.filePath(QStringLiteral("DICOMDIR"))})
        != 0)
        die("dcmgpdir failed");
    const double plain = double(t.nsecsElapsed()) / 1e6;
    std::printf("BENCH export_dicomdir_per_image %.2f ms baseline=%.2f ratio=%.3f\n", station / N, plain / N,
                station / plain);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    dicom::quietToolkitLog();
    int exitCode = 0;
    const std::optional<QStringList> asked = wantedMeasures(app.arguments().mid(1), Measures, &exitCode);
    if (!asked)
        return exitCode;
    const QStringList &wanted = *asked;
    if (wanted.contains(Measures[0]))
        importDicomDir();
    if (wanted.contains(Measures[1]))
        exportDicomDir();
    return 0;
}

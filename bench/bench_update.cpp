// A Study-level change (one patient-name task) on 8 full-field mammograms through to
// the refiled rows: rewritten, staged, originals deleted, handed over and filed again by
// the data manager's filer; against dcmodify -m of the same attribute on copies of the
// same files.
// Measure: update_study_per_image (ms per image, median of 3; baseline = dcmodify, median of 3).
#include "BenchSupport.h"
#include "StoreFixture.h"
#include "TestStation.h"
#include "core/Database.h"
#include "core/Progress.h"
#include "edit/StudyUpdate.h"
#include "store/ImageFiler.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int Runs = 3;
constexpr int Images = 8;

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList wanted = app.arguments().mid(1);
    if (!wanted.isEmpty() && !wanted.contains(QStringLiteral("update_study_per_image")))
        return 0;

    TestStation ts;
    StoreFixture fx(*ts);
    const qint64 pat = fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"), QStringLiteral("Jane"));
    const StoreFixture::StudyMade made = fx.addStudyWithImages(pat, Images, QSize(3328, 4096), 1);
    const QString copies = ts.root() + QStringLiteral("/copies");
    QDir().mkpath(copies);

    std::vector<double> ours, theirs;
    for (int run = 0; run < Runs; ++run) {
        const QString name = QStringLiteral("Roe^Ann%1").arg(run);
        // Baseline: dcmodify on fresh copies of the same files.
        QStringList files;
        for (const QString &f : made.files) {
            const QString c = copies + QLatin1Char('/') + QFileInfo(f).fileName();
            QFile::remove(c);
            QFile::remove(c + QStringLiteral(".bak"));
            QFile::copy(f, c);
            files << c;
        }
        QElapsedTimer t;
        t.start();
        QProcess p;
        p.start(QStringLiteral("dcmodify"),
                QStringList{QStringLiteral("-m"), QStringLiteral("(0010,0010)=") + name} + files);
        p.waitForFinished(-1);
        theirs.push_back(double(t.elapsed()) / Images);
        if (p.exitCode() != 0) {
            std::fprintf(stderr, "dcmodify failed\n");
            return 1;
        }

        Task task;
        task.level = QStringLiteral("Study");
        task.source = QStringLiteral("0010,0010 - Patient's Name");
        task.task = Task::typeText(Task::Change);
        task.target = name;
        Database db = Database::openData(ts->paths());
        const qint64 studyId =
            db.scalar(QStringLiteral("SELECT StudyID FROM tblStudies WHERE StudyUID = ?"), {made.studyUid})
                .toLongLong();
        const qint64 seriesId = db.scalar(QStringLiteral("SELECT MIN(SeriesID) FROM tblSeries")).toLongLong();
        NoProgress none;
        t.restart();
        StudyUpdate(*ts, none).run({task},
                                   {QStringLiteral("Studie"), pat, studyId, made.studyUid, seriesId, made.files});
        ImageFiler filer(ts->paths(), ts->log());
        int filed = 0;
        while (filed < Images) {
            const auto r = filer.fileInput();
            filed += r.filed;
            if (r.filed == 0 && r.deferred == 0)
                break;
        }
        ours.push_back(double(t.elapsed()) / Images);
        if (filed != Images) {
            std::fprintf(stderr, "refiled %d of %d\n", filed, Images);
            return 1;
        }
    }
    const double value = median(ours), baseline = median(theirs);
    std::printf("BENCH update_study_per_image %.1f ms baseline=%.1f ratio=%.2f\n", value, baseline, value / baseline);
    return 0;
}

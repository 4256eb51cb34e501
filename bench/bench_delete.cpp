// Speed of deleting the whole store: 10,000 images in 100 studies. The station's
// "Delete all" (rows in one transaction, then the files of those rows, progress yielded
// to the window) against the plain way in the same run: `rm -rf` of the same Images
// folder and an SQLite DELETE of the same rows. Each side gets its own fresh copy of
// the store; the median of three rounds is printed.
//
//   bench_delete [--list] [delete_all_10k]
#include "BenchSupport.h"
#include "StoreFixture.h"
#include "TestStation.h"
#include "core/Database.h"
#include "core/Progress.h"
#include "store/StoreDeletion.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSqlQuery>
#include <algorithm>
#include <cstdio>

namespace {

const QStringList Measures = {QStringLiteral("delete_all_10k")};
constexpr int Studies = 100;
constexpr int ImagesPerStudy = 100;
constexpr int Rounds = 3;

// Rows of 100 studies of 100 images each, and a small real DICOM file for every image.
void fillStore(Station &s)
{
    StoreFixture fx(s);
    const QString sample = s.paths().appPath() + QStringLiteral("/sample.dcm");
    StoreFixture::writeSmallImage(sample, fx.newUid(), fx.newUid(), fx.newUid(), 1);
    Database db = Database::openData(s.paths());
    Transaction t(db);
    for (int p = 0; p < Studies; ++p) {
        QSqlQuery pat = db.exec(QStringLiteral("INSERT INTO tblPatienten (PatID1, PatNachname) VALUES (?, ?)"),
                                {QStringLiteral("B%1").arg(p), QStringLiteral("Bench")});
        const qint64 patId = db.lastInsertId(pat);
        const QString studyUid = fx.newUid();
        QSqlQuery study =
            db.exec(QStringLiteral("INSERT INTO tblStudies (StudyUID, FKeyPATID) VALUES (?, ?)"), {studyUid, patId});
        QSqlQuery series = db.exec(QStringLiteral("INSERT INTO tblSeries (SeriesUID, FKeyStudyID) VALUES (?, ?)"),
                                   {fx.newUid(), db.lastInsertId(study)});
        const qint64 seriesId = db.lastInsertId(series);
        QDir().mkpath(s.paths().studyDir(studyUid));
        for (int i = 0; i < ImagesPerStudy; ++i) {
            const QString uid = fx.newUid();
            db.exec(QStringLiteral("INSERT INTO tblImages (ImageUID, FKeySeriesID) VALUES (?, ?)"), {uid, seriesId});
            QFile::copy(sample, s.paths().imageFile(studyUid, uid));
        }
    }
    t.commit();
}

bool copyStore(const QString &from, const QString &to)
{
    QDir(to).removeRecursively();
    return QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-a"), from, to}) == 0;
}

void deleteAll10k()
{
    TestStation master;
    fillStore(*master);
    const QString source = master.root();
    QList<double> station, plain;
    for (int round = 0; round < Rounds; ++round) {
        TestStation a(false), b(false);
        if (!copyStore(source, a.root()) || !copyStore(source, b.root())) {
            std::fprintf(stderr, "bench_delete: cannot copy the store\n");
            std::exit(1);
        }
        WindowLikeProgress progress;
        QElapsedTimer t;
        t.start();
        const auto r = StoreDeletion(a->paths(), a->log(), progress).deleteAll();
        station << double(t.nsecsElapsed()) / 1e6;
        if (r.studies.size() != Studies || !QDir(a->paths().imagesDir()).isEmpty()) {
            std::fprintf(stderr, "bench_delete: the station left something behind\n");
            std::exit(1);
        }

        t.restart();
        QProcess::execute(QStringLiteral("rm"), {QStringLiteral("-rf"), b->paths().imagesDir()});
        {
            Database db = Database::openData(b->paths());
            Transaction tr(db);
            for (const char *table : {"tblImages", "tblSeries", "tblStudies", "tblPatienten"})
                db.exec(QStringLiteral("DELETE FROM ") + QLatin1String(table));
            tr.commit();
        }
        plain << double(t.nsecsElapsed()) / 1e6;
    }
    const double value = median(station), baseline = median(plain);
    std::printf("BENCH delete_all_10k %.2f ms baseline=%.2f ratio=%.3f\n", value, baseline, value / baseline);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int exitCode = 0;
    if (!wantedMeasures(app.arguments().mid(1), Measures, &exitCode))
        return exitCode;
    deleteAll10k();
    return 0;
}

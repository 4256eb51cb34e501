// Receiving images, from DCMTK's storescu through TqReceiver and TqDataMgr until their
// rows are in the data database, against DCMTK's storescp writing the same files to a
// folder, in the same run:
//   receive_files_per_s           one sender, BENCH_FILES (default 300) images;
//   receive_parallel_files_per_s  BENCH_SENDERS (default 8) senders at once with
//                                 BENCH_PER_SENDER (default 40) images each, against
//                                 storescp --fork.
// Each side runs BENCH_ROUNDS (default 3) times, in turn; the medians are printed.
// storescp runs as Debian ships it, with Nagle's algorithm on; the station's receiver turns
// it off (each answer leaves at once), which is most of its lead on a run of large objects.
// TCP_NODELAY=1 in the environment turns it off for storescp and storescu as well: then the
// ratio shows what the receiver's synced writes cost against storescp's unsynced ones.
// The images: BENCH_COLS x BENCH_ROWS (default 1664 x 2048, 16-bit: 6.8 MB).
//   file_rate_100k                images filed per second through the receiver and the data
//                                 manager into a store that already holds 100,000 images of
//                                 20,000 patients, against the same into an empty store:
//                                 BENCH_FILE_COUNT (default 400) mammograms of 512 x 512,
//                                 four of each patient in one study; every other patient is
//                                 one the full store knows already (a new study of a returning
//                                 woman). Small images, so that what the database costs per
//                                 image is not hidden behind the disk.
#include "../tests/companions/CompanionTestKit.h"
#include "BenchSupport.h"
#include "StoreFixture.h"
#include "core/Companions.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSqlError>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

const QStringList Measures{QStringLiteral("receive_files_per_s"), QStringLiteral("receive_parallel_files_per_s"),
                           QStringLiteral("file_rate_100k")};

// The store a busy room has after a few years: this many patients, each with one study of
// one series of ImagesPerPatient images.
constexpr int FullStorePatients = 20000;
constexpr int ImagesPerPatient = 5;

QString fullStorePatientId(int i) { return QStringLiteral("PID%1").arg(i, 6, 10, QLatin1Char('0')); }

int envInt(const char *name, int def)
{
    bool ok = false;
    const int v = qEnvironmentVariableIntValue(name, &ok);
    return ok && v > 0 ? v : def;
}

QStringList sendArgs(const QString &aet, quint16 port, const QStringList &files)
{
    return QStringList{QStringLiteral("--max-pdu"), QStringLiteral("131072"), QStringLiteral("-aec"), aet,
                       QStringLiteral("127.0.0.1"), QString::number(port)}
           + files;
}

// The files split among the senders, each its own share.
std::vector<QStringList> shares(const QStringList &files, int senders)
{
    std::vector<QStringList> out(static_cast<size_t>(senders));
    for (int i = 0; i < files.size(); ++i)
        out[static_cast<size_t>(i % senders)] << files[i];
    return out;
}

// Starts one storescu per share at once.
std::vector<std::unique_ptr<QProcess>> startSenders(const QString &aet, quint16 port,
                                                    const std::vector<QStringList> &parts)
{
    std::vector<std::unique_ptr<QProcess>> senders;
    for (const QStringList &part : parts) {
        auto p = std::make_unique<QProcess>();
        p->setProcessChannelMode(QProcess::MergedChannels);
        p->start(QStringLiteral("storescu"), sendArgs(aet, port, part));
        senders.push_back(std::move(p));
    }
    return senders;
}

// Waits for every sender; the number that failed.
int waitForSenders(std::vector<std::unique_ptr<QProcess>> &senders)
{
    int failed = 0;
    for (auto &p : senders) {
        p->waitForFinished(-1);
        if (p->exitStatus() != QProcess::NormalExit || p->exitCode() != 0) {
            ++failed;
            std::fprintf(stderr, "%s\n", p->readAll().right(2000).constData());
        }
    }
    return failed;
}

// Files per second of storescp (with --fork: one process per association) writing to a
// folder; 0 when it failed.
double baselineRate(const QString &work, const std::vector<QStringList> &parts, bool fork)
{
    int n = 0;
    for (const QStringList &p : parts)
        n += static_cast<int>(p.size());
    const QString out = work + QStringLiteral("/storescp");
    QDir().mkpath(out);
    const quint16 port = freeTcpPort();
    QProcess scp;
    QStringList args{QStringLiteral("--max-pdu"), QStringLiteral("131072"), QStringLiteral("-aet"),
                     QStringLiteral("BASE"),      QStringLiteral("-od"),    out};
    if (fork)
        args << QStringLiteral("--fork");
    scp.start(QStringLiteral("storescp"), args << QString::number(port));
    scp.waitForStarted();
    QThread::msleep(500);
    QElapsedTimer t;
    t.start();
    auto senders = startSenders(QStringLiteral("BASE"), port, parts);
    const int failed = waitForSenders(senders);
    const double secs = t.nsecsElapsed() / 1e9;
    scp.terminate();
    scp.waitForFinished();
    const int stored = static_cast<int>(QDir(out).entryList(QDir::Files).size());
    QDir(out).removeRecursively();
    if (failed != 0 || stored != n) {
        std::fprintf(stderr, "baseline failed (%d senders failed, %d of %d stored)\n", failed, stored, n);
        return 0;
    }
    return n / secs;
}

// Rows of FullStorePatients patients with their studies, series and images, written
// straight into the data database in one transaction (the files are not made: filing
// never looks at the files of other images).
void fillStore(Station &station)
{
    Database db = Database::openData(station.paths());
    Transaction t(db);
    QSqlQuery pat(db.db()), study(db.db()), series(db.db()), image(db.db());
    pat.prepare(QStringLiteral("INSERT INTO tblPatienten (PatID, PatID1, PatNachname, PatVorname, PatGebDatum, PatSex)"
                               " VALUES (?, ?, ?, ?, ?, 'F')"));
    study.prepare(QStringLiteral("INSERT INTO tblStudies (StudyID, StudyUID, FKeyPATID, StudyDate, StudyTime, Modality,"
                                 " Bodypart) VALUES (?, ?, ?, '2024-05-06', '10:20:30', 'MG', 'BREAST')"));
    series.prepare(
        QStringLiteral("INSERT INTO tblSeries (SeriesID, SeriesUID, SeriesNr, FKeyStudyID, Modality, Bodypart)"
                       " VALUES (?, ?, 1, ?, 'MG', 'BREAST')"));
    image.prepare(
        QStringLiteral("INSERT INTO tblImages (ImageUID, ImageNr, FKeySeriesID, ImageDate, ImageTime,"
                       " SOPClassUID) VALUES (?, ?, ?, '2024-05-06', '10:20:30', '1.2.840.10008.5.1.4.1.1.1.2')"));
    const QString root = QStringLiteral("1.2.826.0.1.3680043.9.7433.2.");
    auto run = [](QSqlQuery &q, const QVariantList &values) {
        for (int i = 0; i < values.size(); ++i)
            q.bindValue(i, values[i]);
        if (!q.exec())
            qFatal("filling the store: %s", qPrintable(q.lastError().text()));
    };
    for (int p = 0; p < FullStorePatients; ++p) {
        const qint64 key = p + 1;
        const QString uid = root + QString::number(key);
        run(pat,
            {key, fullStorePatientId(p), QStringLiteral("Lastname%1").arg(p), QStringLiteral("First%1").arg(p % 97),
             QStringLiteral("19%1-0%2-1%3").arg(40 + p % 60).arg(1 + p % 9).arg(p % 10)});
        run(study, {key, uid + QStringLiteral(".1"), key});
        run(series, {key, uid + QStringLiteral(".1.1"), key});
        for (int i = 1; i <= ImagesPerPatient; ++i)
            run(image, {uid + QStringLiteral(".1.1.%1").arg(i), i, key});
    }
    t.commit();
}

// Files per second through the station's receiver and data manager, counted when their
// rows are in the data database; 0 when it failed. With fullStore, the store holds
// FullStorePatients patients before the first image arrives.
double stationRate(const std::vector<QStringList> &parts, bool fullStore = false)
{
    int n = 0;
    for (const QStringList &p : parts)
        n += static_cast<int>(p.size());
    kit::LiveStation live(freeTcpPort(), QStringLiteral("CXBENCH"));
    if (fullStore)
        fillStore(*live);
    qint64 before = 0; // the rows already there are not counted
    {
        Database db = Database::openData(live->paths());
        before = db.scalar(QStringLiteral("SELECT MAX(ImageID) FROM tblImages")).toLongLong();
    }
    auto receiver = live.startChild(Companions::receiverName());
    auto dataManager = live.startChild(Companions::dataManagerName());
    if (!live.waitForReceiver()) {
        std::fprintf(stderr, "receiver did not come up\n");
        return 0;
    }
    QElapsedTimer t;
    t.start();
    auto senders = startSenders(live.aeTitle, live.port, parts);
    qint64 filed = 0;
    // One reading connection, looked at every 50 ms: the watching must not take the CPU
    // the station needs (storescp is not watched at all).
    Database db = Database::openData(live->paths());
    while (filed < n && t.elapsed() < 3600000) {
        QThread::msleep(50);
        // By key: counting the whole table every 50 ms would compete with the filing.
        filed = db.scalar(QStringLiteral("SELECT COUNT(*) FROM tblImages WHERE ImageID > ?"), {before}).toLongLong();
    }
    const double secs = t.nsecsElapsed() / 1e9;
    const int failed = waitForSenders(senders);
    kit::terminateChild(*receiver);
    kit::terminateChild(*dataManager);
    if (failed != 0 || filed != n) {
        std::fprintf(stderr, "%d senders failed, %lld of %d filed\n", failed, static_cast<long long>(filed), n);
        return 0;
    }
    return n / secs;
}

// The images of file_rate_100k: four views of each patient in one study and series;
// every other patient is one the full store holds already.
QStringList writeFilingImages(const QString &dir, int n, const QSize &size)
{
    QDir().mkpath(dir);
    const QString root = QStringLiteral("1.2.826.0.1.3680043.9.7433.3.");
    const char laterality[] = {'R', 'L', 'R', 'L'};
    const char *views[] = {"CC", "CC", "MLO", "MLO"};
    QStringList files;
    for (int i = 0; i < n; ++i) {
        const int patient = i / 4;
        StoreFixture::Mammogram m;
        m.size = size;
        m.laterality = laterality[i % 4];
        m.view = QString::fromLatin1(views[i % 4]);
        m.instanceNumber = i % 4 + 1;
        m.seed = quint32(i + 1);
        m.patientId = patient % 2 == 0 ? fullStorePatientId(patient * 97 % FullStorePatients)
                                       : QStringLiteral("NEW%1").arg(patient, 6, 10, QLatin1Char('0'));
        m.patientName = QStringLiteral("Filing^Patient%1").arg(patient);
        m.studyUid = root + QStringLiteral("%1.1").arg(patient + 1);
        m.seriesUid = root + QStringLiteral("%1.1.1").arg(patient + 1);
        m.sopUid = root + QStringLiteral("%1.1.1.%2").arg(patient + 1).arg(i % 4 + 1);
        files << dir + QStringLiteral("/img%1.dcm").arg(i, 4, 10, QLatin1Char('0'));
        StoreFixture::writeMammogram(files.last(), m);
    }
    return files;
}

// file_rate_100k: rounds in turn, an empty store and a full one, the medians compared.
int fileRate100k(const QString &work, int rounds)
{
    const QSize size(envInt("BENCH_FILE_COLS", 512), envInt("BENCH_FILE_ROWS", 512));
    const QStringList files =
        writeFilingImages(work + QStringLiteral("/filing"), envInt("BENCH_FILE_COUNT", 400), size);
    std::fprintf(stderr, "file_rate_100k: %lld files of %lld bytes\n", static_cast<long long>(files.size()),
                 static_cast<long long>(QFileInfo(files.first()).size()));
    const std::vector<QStringList> parts = shares(files, 1);
    std::vector<double> empty, full;
    for (int round = 0; round < rounds; ++round) {
        empty.push_back(stationRate(parts));
        full.push_back(stationRate(parts, true));
        std::fprintf(stderr, "file_rate_100k round %d: %.2f into the full store against %.2f into the empty one\n",
                     round + 1, full.back(), empty.back());
    }
    if (*std::min_element(empty.begin(), empty.end()) <= 0 || *std::min_element(full.begin(), full.end()) <= 0)
        return 1;
    const double baseline = median(empty), ours = median(full);
    std::printf("BENCH file_rate_100k %.2f images/s baseline=%.2f ratio=%.3f\n", ours, baseline, ours / baseline);
    std::fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    int exitCode = 0;
    const std::optional<QStringList> asked = wantedMeasures(app.arguments().mid(1), Measures, &exitCode);
    if (!asked)
        return exitCode;
    const int serialFiles = envInt("BENCH_FILES", 300);
    const int senderCount = envInt("BENCH_SENDERS", 8);
    const int perSender = envInt("BENCH_PER_SENDER", 40);
    const int rounds = envInt("BENCH_ROUNDS", 3);
    int n = 0;
    if (asked->contains(Measures[0]))
        n = serialFiles;
    if (asked->contains(Measures[1]))
        n = std::max(n, senderCount * perSender);
    const QSize size(envInt("BENCH_COLS", 1664), envInt("BENCH_ROWS", 2048));
    QTemporaryDir work;
    int status = 0;
    if (asked->contains(Measures[2]))
        status = fileRate100k(work.path(), rounds);
    if (n == 0)
        return status;

    // The images: one generated mammogram, copied with a new SOP Instance UID each.
    const QString src = work.filePath(QStringLiteral("src"));
    QDir().mkpath(src);
    StoreFixture::Mammogram m;
    m.size = size;
    m.studyUid = QStringLiteral("1.2.826.0.1.3680043.9.7433.1.1");
    m.seriesUid = QStringLiteral("1.2.826.0.1.3680043.9.7433.1.2");
    m.sopUid = QStringLiteral("1.2.826.0.1.3680043.9.7433.1.3");
    StoreFixture::writeMammogram(src + QStringLiteral("/template.dcm"), m);
    QStringList files;
    for (int i = 0; i < n; ++i) {
        files << src + QStringLiteral("/img%1.dcm").arg(i, 4, 10, QLatin1Char('0'));
        QFile::copy(src + QStringLiteral("/template.dcm"), files.last());
    }
    QFile::remove(src + QStringLiteral("/template.dcm"));
    if (kit::runTool(QStringLiteral("dcmodify"), QStringList{QStringLiteral("-nb"), QStringLiteral("-gin")} + files,
                     nullptr, 600000)
        != 0) {
        std::fprintf(stderr, "dcmodify failed\n");
        return 1;
    }
    const qint64 bytes = QFileInfo(files.first()).size();
    std::fprintf(stderr, "%d files of %lld bytes\n", n, static_cast<long long>(bytes));

    for (const QString &measure : *asked) {
        if (measure == Measures[2])
            continue;
        const bool parallel = measure == Measures[1];
        const std::vector<QStringList> parts = parallel ? shares(files.mid(0, senderCount * perSender), senderCount)
                                                        : shares(files.mid(0, serialFiles), 1);
        // Rounds taken in turn, the median of each side: the disk and the CPU of a shared
        // machine vary more from minute to minute than the two sides differ.
        std::vector<double> baselines, ourRates;
        for (int round = 0; round < rounds; ++round) {
            baselines.push_back(baselineRate(work.path(), parts, parallel));
            ourRates.push_back(baselines.back() > 0 ? stationRate(parts) : 0);
            std::fprintf(stderr, "%s round %d: %.2f against %.2f\n", qPrintable(measure), round + 1, ourRates.back(),
                         baselines.back());
        }
        const double baseline = median(baselines);
        const double ours = median(ourRates);
        if (*std::min_element(baselines.begin(), baselines.end()) <= 0
            || *std::min_element(ourRates.begin(), ourRates.end()) <= 0) {
            status = 1;
            continue;
        }
        std::printf("BENCH %s %.2f files/s baseline=%.2f ratio=%.3f\n", qPrintable(measure), ours, baseline,
                    ours / baseline);
        std::fflush(stdout);
    }
    return status;
}

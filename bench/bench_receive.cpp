// receive_files_per_s: images per second from DCMTK's storescu through TqReceiver and
// TqDataMgr until their rows are in the data database; the baseline is storescu into
// DCMTK's storescp writing to a folder, in the same run with the same files.
// BENCH_FILES (default 300), BENCH_COLS x BENCH_ROWS (default 1664 x 2048, 16-bit).
#include "../tests/companions/CompanionTestKit.h"
#include "StoreFixture.h"
#include "core/Companions.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdio>

namespace {

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

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int n = envInt("BENCH_FILES", 300);
    const QSize size(envInt("BENCH_COLS", 1664), envInt("BENCH_ROWS", 2048));

    // The images: one generated mammogram, copied with a new SOP Instance UID each.
    QTemporaryDir work;
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
    if (kit::runTool(QStringLiteral("dcmodify"), QStringList{QStringLiteral("-nb"), QStringLiteral("-gin")} + files, nullptr,
                     600000) != 0) {
        std::fprintf(stderr, "dcmodify failed\n");
        return 1;
    }
    const qint64 bytes = QFileInfo(files.first()).size();
    std::fprintf(stderr, "%d files of %lld bytes\n", n, static_cast<long long>(bytes));

    // Baseline: storescp into a folder.
    double baseline = 0;
    {
        const QString out = work.filePath(QStringLiteral("storescp"));
        QDir().mkpath(out);
        const quint16 port = freeTcpPort();
        QProcess scp;
        scp.start(QStringLiteral("storescp"), {QStringLiteral("--max-pdu"), QStringLiteral("131072"), QStringLiteral("-aet"),
                                               QStringLiteral("BASE"), QStringLiteral("-od"), out, QString::number(port)});
        scp.waitForStarted();
        QThread::msleep(500);
        QElapsedTimer t;
        t.start();
        const int rc = kit::runTool(QStringLiteral("storescu"), sendArgs(QStringLiteral("BASE"), port, files), nullptr, 3600000);
        const double secs = t.nsecsElapsed() / 1e9;
        scp.terminate();
        scp.waitForFinished();
        const int stored = QDir(out).entryList(QDir::Files).size();
        if (rc != 0 || stored != n) {
            std::fprintf(stderr, "baseline failed (rc %d, %d stored)\n", rc, stored);
            return 1;
        }
        baseline = n / secs;
        QDir(out).removeRecursively();
    }

    // The station's companions, until the rows are in the database.
    double ours = 0;
    {
        kit::LiveStation live(freeTcpPort(), QStringLiteral("CXBENCH"));
        auto receiver = live.startChild(Companions::receiverName());
        auto dataManager = live.startChild(Companions::dataManagerName());
        if (!live.waitForReceiver()) {
            std::fprintf(stderr, "receiver did not come up\n");
            return 1;
        }
        QElapsedTimer t;
        t.start();
        QProcess sender;
        sender.start(QStringLiteral("storescu"), sendArgs(live.aeTitle, live.port, files));
        qint64 filed = 0;
        while (filed < n && t.elapsed() < 3600000) {
            QThread::msleep(20);
            filed = kit::count(*live, QStringLiteral("SELECT COUNT(*) FROM tblImages"));
        }
        const double secs = t.nsecsElapsed() / 1e9;
        sender.waitForFinished(-1);
        kit::terminateChild(*receiver);
        kit::terminateChild(*dataManager);
        if (filed != n) {
            std::fprintf(stderr, "only %lld of %d filed\n", static_cast<long long>(filed), n);
            return 1;
        }
        ours = n / secs;
    }

    std::printf("BENCH receive_files_per_s %.2f files/s baseline=%.2f ratio=%.3f\n", ours, baseline, ours / baseline);
    return 0;
}

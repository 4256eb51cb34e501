// TqDataMgr: files the DICOM files that arrive in the station's input folder ("temp")
// into the image store and the data database, and tells the station through tblReceive.
// Ends cleanly on SIGTERM or SIGINT, after the batch in progress.
#include "core/AppError.h"
#include "core/Audit.h"
#include "core/Companions.h"
#include "core/CrashPoint.h"
#include "core/SecuritySettings.h"
#include "core/SettingsStore.h"
#include "core/StationLog.h"
#include "core/StationPaths.h"
#include "dicom/FileFacts.h"
#include "store/ArrivalNotice.h"
#include "store/ImageFiler.h"
#include "store/Schema.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QLockFile>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

extern "C" void onStopSignal(int)
{
    const char c = 1;
    [[maybe_unused]] const auto n = ::write(g_signalPipe[1], &c, 1);
}

void installStopHandlers()
{
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    struct sigaction sa {};
    sa.sa_handler = &onStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

constexpr int MaxBatch = 500;
const QString Procedure = QStringLiteral("TqDataMgr Main");

} // namespace

int main(int argc, char *argv[])
{
    installStopHandlers();
    QCoreApplication app(argc, argv);
    dicom::quietToolkitLog();
    const StationPaths paths(StationPaths::defaultAppPath());
    const StationLog log(paths.logsDir());

    try {
        paths.createFolders();
        QDir().mkpath(paths.logsDir());
        QDir().mkpath(paths.quarantineDir());
        Schema::ensureDataDb(paths);
    } catch (const AppError &e) {
        log.writeError(e.number(), e.description(), Procedure);
        Companions::writeStopReason(paths.logsDir(), QStringLiteral("TqDataMgr"), e.description());
        std::fprintf(stderr, "TqDataMgr: %s\n", e.description().toLocal8Bit().constData());
        return 2;
    }

    // One data manager per station folder.
    QLockFile lock(paths.dataDir() + QStringLiteral("/TqDataMgr.lock"));
    lock.setStaleLockTime(0);
    if (!lock.tryLock(0)) {
        log.writeError(ErrorNo::General, QStringLiteral("Another data manager is already filing this station's images"),
                       Procedure);
        return 3;
    }
    Companions::clearStopReason(paths.logsDir(), QStringLiteral("TqDataMgr"));
    {
        const SettingsStore store;
        Audit::begin(QStringLiteral("TqDataMgr"), store.readValue(QStringLiteral("Com/IR_AET"), {}).trimmed(),
                     paths.logsDir(), SecuritySettings::read(store));
    }

    ImageFiler filer(paths, log);
    QTimer pass; // runs one batch; restarted when more is waiting
    pass.setSingleShot(true);
    QTimer periodic; // a safety net beside the folder watch, and for files left to settle
    periodic.setInterval(1000);
    QFileSystemWatcher watcher({paths.tempDir()});

    QObject::connect(&pass, &QTimer::timeout, [&] {
        try {
            const QStringList files = filer.inputFiles();
            const ImageFiler::Result r = filer.fileBatch(files.mid(0, MaxBatch));
            if (r.batches > 0) {
                // Committed: the station shows the images now rather than at its next
                // round (which still finds them if this notice is lost).
                CrashPoint::reached("DataMgr notice");
                ArrivalNotice::send(paths);
            }
            if (files.size() > MaxBatch)
                pass.start(0);
        } catch (const std::exception &e) {
            const auto *ae = dynamic_cast<const AppError *>(&e);
            log.writeError(ae ? ae->number() : ErrorNo::General,
                           ae ? ae->description() : QString::fromLocal8Bit(e.what()), ImageFiler::Procedure);
        }
    });
    // A short delay gathers the files of a burst into one batch.
    QObject::connect(&watcher, &QFileSystemWatcher::directoryChanged, [&] {
        if (!pass.isActive())
            pass.start(50);
    });
    QObject::connect(&periodic, &QTimer::timeout, [&] {
        // A station folder that was removed leaves nothing to file.
        if (!QFileInfo::exists(paths.tempDir()) && !QFileInfo::exists(paths.appPath())) {
            QCoreApplication::quit();
            return;
        }
        if (!pass.isActive())
            pass.start(0);
    });

    std::unique_ptr<QSocketNotifier> stopNotifier;
    if (g_signalPipe[0] >= 0) {
        stopNotifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(stopNotifier.get(), &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    }

    periodic.start();
    pass.start(0);
    const int code = app.exec();
    log.flushRepeats(); // errors held back as repeats are counted before the end
    Audit::end();
    return code;
}

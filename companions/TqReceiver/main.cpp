// TqReceiver: the station's DICOM storage receiver. Listens on the AE title and port of
// the station's settings ("Com/IR_AET", "Com/IR_Port") and writes every received object
// into the station's input folder, where TqDataMgr files it into the store.
// Serves several senders at once; "Com/IR_Timeout" (seconds, default 30) drops a silent
// peer and "Com/IR_CallingAETs" (empty: all) names the senders it accepts.
// "Com/IR_MinFreeMB" (default 64) is the free space kept in reserve on the disk of the
// input folder: below it every object is refused as "out of resources" at once.
// Storage commitment reports of the archives are taken too and written into the station's
// commitment reports folder, where the station applies them.
// Over TLS when "Security/Receiver" says "tls" or "tls-client-cert" (then every caller
// must show a certificate from a trusted issuer); each refused caller is logged with its
// address and why.
// Ends cleanly on SIGTERM or SIGINT, after the associations in progress.
#include "core/AppError.h"
#include "core/Audit.h"
#include "core/Companions.h"
#include "core/SecuritySettings.h"
#include "core/SettingsStore.h"
#include "core/StationLog.h"
#include "core/StationPaths.h"
#include "dicom/AuditSubjects.h"
#include "dicom/StorageReceiver.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <csignal>
#include <cstdio>

namespace {

extern "C" void onStopSignal(int) { StorageReceiver::requestStop(); }

void installStopHandlers()
{
    struct sigaction sa {};
    sa.sa_handler = &onStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART; // a transfer in progress goes on undisturbed
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

int fail(const StationLog &log, const QString &logsDir, const QString &text, const char *procedure)
{
    log.writeError(ErrorNo::Network, text, QString::fromLatin1(procedure));
    // The Options dialog shows it beside "- stopped".
    Companions::writeStopReason(logsDir, QStringLiteral("TqReceiver"), text);
    std::fprintf(stderr, "TqReceiver: %s\n", text.toLocal8Bit().constData());
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    installStopHandlers();
    QCoreApplication app(argc, argv);
    const StationPaths paths(StationPaths::defaultAppPath());
    const StationLog log(paths.logsDir());

    const SettingsStore store;
    const QString aet = store.readValue(QStringLiteral("Com/IR_AET"), QStringLiteral("TqStation")).trimmed();
    const QString portText = store.readValue(QStringLiteral("Com/IR_Port"), QStringLiteral("105")).trimmed();
    bool ok = false;
    const uint port = portText.toUInt(&ok);
    if (!ok || port == 0 || port > 65535)
        return fail(log, paths.logsDir(),
                    QStringLiteral("'%1' (Com/IR_Port) is not a usable TCP port: 1 to 65535").arg(portText),
                    "TqReceiver Main");

    StorageReceiver::removeLeftovers(paths.tempDir());
    StorageReceiver::Config config;
    config.aeTitle = aet;
    config.port = static_cast<quint16>(port);
    config.outputDir = paths.tempDir();
    config.commitReportsDir = paths.commitReportsDir();
    const QString timeoutText = store.readValue(QStringLiteral("Com/IR_Timeout"), QStringLiteral("30")).trimmed();
    const int timeout = timeoutText.toInt(&ok);
    config.timeoutSeconds = ok && timeout > 0 ? timeout : 30;
    const QString reserveText = store.readValue(QStringLiteral("Com/IR_MinFreeMB"), QStringLiteral("64")).trimmed();
    const qint64 reserve = reserveText.toLongLong(&ok);
    config.minFreeBytes = (ok && reserve >= 0 ? reserve : 64) * 1024 * 1024;
    // Calling AE titles separated by commas or blanks; none: every sender is accepted.
    config.callingAeTitles = store.readValue(QStringLiteral("Com/IR_CallingAETs"), {})
                                 .split(QRegularExpression(QStringLiteral("[,;\\s]+")), Qt::SkipEmptyParts);
    const SecuritySettings security = SecuritySettings::read(store);
    config.tls = security.forReceiver();
    Audit::begin(QStringLiteral("TqReceiver"), aet, paths.logsDir(), security);
    StorageReceiver receiver(config);
    receiver.onProblem = [&log](const QString &text) {
        log.writeError(ErrorNo::Network, text, QStringLiteral("TqReceiver StoreRequest"));
    };
    receiver.onSecurityAlert = [](const QString &address, const QString &text) {
        AuditAlert alert;
        alert.type = AuditCodes::NodeAuthentication;
        alert.outcome = AuditOutcome::MinorFailure;
        alert.description = text;
        alert.peer = {{}, address};
        Audit::log(AuditEvent::securityAlert(Audit::station(), alert));
    };
    receiver.onAssociationEnded = [](const QString &callingAet, const QString &address,
                                     const QList<FileFacts> &objects) {
        for (const AuditSubject &s : dicom::auditSubjects(objects))
            Audit::log(AuditEvent::instancesReceived(Audit::station(), {callingAet, address}, s));
    };
    receiver.onReport = [&log](const QString &file) {
        log.writeDebug(QStringLiteral("Storage commitment report received"), file);
    };
    Companions::clearStopReason(paths.logsDir(), QStringLiteral("TqReceiver"));
    const QString error = receiver.run();
    Audit::end();
    if (!error.isEmpty())
        return fail(log, paths.logsDir(), error, "TqReceiver Listen");
    // Ended as asked: whatever a receiver started by mistake meanwhile said is not ours.
    Companions::clearStopReason(paths.logsDir(), QStringLiteral("TqReceiver"));
    return 0;
}

#include "core/Audit.h"
#include "core/AuditTrail.h"
#include "core/SecuritySettings.h"

#include <QDir>
#include <QFileInfo>
#include <QXmlStreamReader>
#include <cstdio>
#include <memory>
#include <mutex>

namespace {

std::mutex g_mutex;
std::unique_ptr<AuditTrail> g_trail;
QString g_logFile;

AuditTrail::Config configOf(const QString &applicationName, const QString &aeTitle, const QString &logsDir,
                            const SecuritySettings &security)
{
    AuditTrail::Config c;
    c.logFile = security.auditLog.isEmpty() ? QDir(logsDir).filePath(QStringLiteral("audit.log")) : security.auditLog;
    c.applicationName = applicationName;
    c.aeTitle = aeTitle;
    const QString repository = security.auditRepository.trimmed();
    if (repository.isEmpty())
        return c;
    const int colon = repository.lastIndexOf(QLatin1Char(':'));
    c.repositoryHost = colon > 0 ? repository.left(colon) : repository;
    c.repositoryPort = colon > 0 ? static_cast<quint16>(repository.mid(colon + 1).toUInt()) : 0;
    c.transport =
        security.auditTransport == QLatin1String("tls") ? AuditTrail::Transport::Tls : AuditTrail::Transport::Udp;
    if (c.transport == AuditTrail::Transport::Tls) {
        // The repository is checked against the station's trusted certificates (one
        // file); the station shows its own certificate when its key is fit to use.
        if (QFileInfo(security.trusted).isFile())
            c.caFile = security.trusted;
        const TlsConfig tls = security.forPeer(c.repositoryHost, QString::number(c.repositoryPort));
        if (!tls.keyFile.isEmpty() && SecuritySettings::privateKeyFileProblem(tls.keyFile).isEmpty()) {
            try {
                c.keyPassword = SecuritySettings::keyPassword(tls);
                c.keyFile = tls.keyFile;
                c.certFile = tls.certFile;
            } catch (const std::exception &) {
            }
        }
    }
    return c;
}

void say(const QString &text) { std::fprintf(stderr, "audit: %s\n", text.toLocal8Bit().constData()); }

} // namespace

namespace Audit {

void begin(const QString &applicationName, const QString &aeTitle, const QString &logsDir,
           const SecuritySettings &security)
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        const AuditTrail::Config c = configOf(applicationName, aeTitle, logsDir, security);
        g_trail = std::make_unique<AuditTrail>(c);
        g_logFile = c.logFile;
    }
    log(AuditEvent::applicationStart(station()));
}

void end()
{
    if (!active())
        return;
    log(AuditEvent::applicationStop(station()));
    std::unique_ptr<AuditTrail> trail;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        trail = std::move(g_trail);
        g_logFile.clear();
    }
}

bool active()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_trail != nullptr;
}

AuditStation station()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_trail)
        return g_trail->station();
    return AuditStation::current(QStringLiteral("calvarex"), {});
}

QString logFile()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_logFile;
}

bool log(const AuditEvent &event)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_trail)
        return false;
    try {
        g_trail->log(event);
        return true;
    } catch (const std::exception &e) {
        say(QString::fromLocal8Bit(e.what()));
        return false;
    }
}

Summary summarize(const QByteArray &xml)
{
    Summary r;
    QXmlStreamReader x(xml);
    while (!x.atEnd()) {
        if (x.readNext() != QXmlStreamReader::StartElement)
            continue;
        const QXmlStreamAttributes a = x.attributes();
        if (x.name() == QLatin1String("EventIdentification")) {
            r.action = a.value(QLatin1String("EventActionCode")).toString();
            r.outcome = a.value(QLatin1String("EventOutcomeIndicator")).toString();
        } else if (x.name() == QLatin1String("EventID")) {
            r.event = a.value(QLatin1String("csd-code")).toString();
        } else if (x.name() == QLatin1String("EventOutcomeDescription")) {
            r.description = x.readElementText();
        } else if (x.name() == QLatin1String("ParticipantObjectIdentification")) {
            r.objects << a.value(QLatin1String("ParticipantObjectID")).toString();
        } else if (x.name() == QLatin1String("ActiveParticipant")) {
            r.users << a.value(QLatin1String("UserID")).toString();
            if (a.hasAttribute(QLatin1String("NetworkAccessPointID")))
                r.users << a.value(QLatin1String("NetworkAccessPointID")).toString();
        }
    }
    return r;
}

} // namespace Audit

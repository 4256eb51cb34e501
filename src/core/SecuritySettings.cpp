#include "core/SecuritySettings.h"
#include "core/SettingsStore.h"

#include <QRegularExpression>

namespace {

QString normalPeer(const QString &ip, const QString &port)
{
    return ip.trimmed().toLower() + QLatin1Char(':') + port.trimmed();
}

} // namespace

QStringList SecuritySettings::receiverModes()
{
    return {QStringLiteral("plain"), QStringLiteral("tls"), QStringLiteral("tls-client-cert")};
}

SecuritySettings SecuritySettings::read(const SettingsStore &store)
{
    SecuritySettings s;
    s.keyFile = store.readValue(QStringLiteral("Security/KeyFile"), {}).trimmed();
    s.certFile = store.readValue(QStringLiteral("Security/CertFile"), {}).trimmed();
    s.trusted = store.readValue(QStringLiteral("Security/Trusted"), {}).trimmed();
    s.keyPasswordFile = store.readValue(QStringLiteral("Security/KeyPasswordFile"), {}).trimmed();
    const QStringList peers = store.readValue(QStringLiteral("Security/TlsPeers"), {})
                                  .split(QRegularExpression(QStringLiteral("[,;\\s]+")), Qt::SkipEmptyParts);
    for (const QString &p : peers) {
        const int colon = p.lastIndexOf(QLatin1Char(':'));
        if (colon > 0)
            s.tlsPeers.append(normalPeer(p.left(colon), p.mid(colon + 1)));
    }
    const QString mode =
        store.readValue(QStringLiteral("Security/Receiver"), QStringLiteral("plain")).trimmed().toLower();
    const int index = receiverModes().indexOf(mode);
    // An unknown word asks for security: the strictest mode, not the plain one.
    s.receiver = index < 0 ? ReceiverMode::TlsClientCertificate : static_cast<ReceiverMode>(index);
    s.auditLog = store.readValue(QStringLiteral("Audit/Log"), {}).trimmed();
    s.auditRepository = store.readValue(QStringLiteral("Audit/Repository"), {}).trimmed();
    s.auditTransport = store.readValue(QStringLiteral("Audit/Transport"), QStringLiteral("udp")).trimmed().toLower();
    return s;
}

TlsConfig SecuritySettings::forPeer(const QString &ip, const QString &port) const
{
    TlsConfig c;
    c.enabled = tlsPeers.contains(normalPeer(ip, port));
    c.keyFile = keyFile;
    c.certFile = certFile;
    c.trusted = trusted;
    c.keyPasswordFile = keyPasswordFile;
    return c;
}

TlsConfig SecuritySettings::forReceiver() const
{
    TlsConfig c = forPeer({}, {});
    c.enabled = receiver != ReceiverMode::Plain;
    c.requireClientCertificate = receiver == ReceiverMode::TlsClientCertificate;
    return c;
}

#include "core/SecuritySettings.h"
#include "core/AppError.h"
#include "core/SettingsStore.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

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

QString SecuritySettings::privateKeyFileProblem(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("is not found");
    if (!info.isFile())
        return QStringLiteral("is not a file");
#ifdef Q_OS_UNIX
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return QStringLiteral("cannot be read");
    if (st.st_uid != ::geteuid())
        return QStringLiteral("belongs to another user; it must belong to the station's user");
    if ((st.st_mode & 077) != 0)
        return QStringLiteral("can be read by others (mode %1); make it readable by the station's user only "
                              "(chmod 600)")
            .arg(QString::number(st.st_mode & 0777, 8).rightJustified(4, QLatin1Char('0')));
#endif
    return {};
}

QByteArray SecuritySettings::keyPassword(const TlsConfig &config)
{
    if (config.keyPasswordFile.isEmpty())
        return qgetenv("CALVAREX_TLS_KEY_PASSWORD");
    const QString problem = privateKeyFileProblem(config.keyPasswordFile);
    if (!problem.isEmpty())
        throw AppError(ErrorNo::BadInput,
                       QStringLiteral("The key's password file %1 %2").arg(config.keyPasswordFile, problem));
    QFile f(config.keyPasswordFile);
    if (!f.open(QIODevice::ReadOnly))
        throw AppError(ErrorNo::BadInput, QStringLiteral("The key's password file %1 cannot be read: %2")
                                              .arg(config.keyPasswordFile, f.errorString()));
    QByteArray line = f.readLine();
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    return line;
}

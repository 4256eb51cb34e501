#include "dicom/TlsLayer.h"
#include "core/AppError.h"
#include "core/Audit.h"

#include <dcmtk/dcmnet/scu.h>
#include <dcmtk/dcmtls/tlslayer.h>
#include <dcmtk/dcmtls/tlstrans.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <mutex>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#ifdef Q_OS_UNIX
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace dicom {
namespace {

// What went wrong in the handshake running on this thread, gathered by OpenSSL's
// callbacks while it runs (the toolkit takes OpenSSL's error queue afterwards).
struct Handshake {
    QString verify;  // the first certificate check that failed
    QString subject; // the certificate it failed on
    QString alert;   // the first fatal alert sent or received
    bool alertFromPeer = false;
    QString reason; // OpenSSL's reason at the time of that alert
};
thread_local Handshake t_handshake;
thread_local QString t_lastProblem;

std::mutex g_handlerMutex;
std::function<void(const QString &, const QString &)> g_refusalHandler;

QString subjectOf(X509 *cert)
{
    if (!cert)
        return {};
    BIO *bio = BIO_new(BIO_s_mem());
    X509_NAME_print_ex(bio, X509_get_subject_name(cert), 0, XN_FLAG_RFC2253);
    char *data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    QString text = QString::fromUtf8(data, static_cast<int>(n));
    BIO_free(bio);
    return text;
}

QString verifyText(int error)
{
    switch (error) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return QStringLiteral("its certificate has expired");
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return QStringLiteral("its certificate is not valid yet");
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        return QStringLiteral("its certificate is self-signed and not trusted");
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        return QStringLiteral("its certificate is not from a trusted issuer");
    case X509_V_ERR_CERT_REVOKED:
        return QStringLiteral("its certificate is revoked");
    default:
        return QStringLiteral("its certificate is not accepted (%1)")
            .arg(QString::fromLatin1(X509_verify_cert_error_string(error)));
    }
}

extern "C" int verifyCallback(int ok, X509_STORE_CTX *store)
{
    if (!ok && t_handshake.verify.isEmpty()) {
        t_handshake.verify = verifyText(X509_STORE_CTX_get_error(store));
        t_handshake.subject = subjectOf(X509_STORE_CTX_get_current_cert(store));
    }
    return ok;
}

extern "C" void infoCallback(const SSL *, int where, int ret)
{
    if (!(where & SSL_CB_ALERT) || (ret >> 8) != SSL3_AL_FATAL || !t_handshake.alert.isEmpty())
        return;
    t_handshake.alert = QString::fromLatin1(SSL_alert_desc_string_long(ret));
    t_handshake.alertFromPeer = (where & SSL_CB_READ) != 0;
    if (const unsigned long e = ERR_peek_last_error())
        if (const char *r = ERR_reason_error_string(e))
            t_handshake.reason = QString::fromLatin1(r);
}

// Why the handshake failed, in the operator's words; the toolkit's text when TLS itself
// knows nothing better.
QString problemText(const OFCondition &c, bool server)
{
    const Handshake &h = t_handshake;
    QString why;
    if (!h.verify.isEmpty())
        why = h.subject.isEmpty() ? h.verify : QStringLiteral("%1 (%2)").arg(h.verify, h.subject);
    else if (h.reason.contains(QLatin1String("did not return a certificate"), Qt::CaseInsensitive)
             || (server && h.alert.contains(QLatin1String("certificate required"), Qt::CaseInsensitive)))
        why = QStringLiteral("it showed no certificate");
    else if (h.alertFromPeer)
        why = QStringLiteral("the peer refused the handshake: %1").arg(h.alert);
    else if (!h.reason.isEmpty())
        why = h.reason;
    else
        why = QString::fromLatin1(c.text());
    if (why.contains(QLatin1String("wrong version number"), Qt::CaseInsensitive)
        || why.contains(QLatin1String("http request"), Qt::CaseInsensitive)
        || why.contains(QLatin1String("packet length too long"), Qt::CaseInsensitive)
        || why.contains(QLatin1String("unexpected eof"), Qt::CaseInsensitive))
        why = server ? QStringLiteral("it does not speak TLS (%1)").arg(why)
                     : QStringLiteral("no TLS answer (a plain DICOM port?): %1").arg(why);
    return why;
}

QString peerAddress(int fd)
{
#ifdef Q_OS_UNIX
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        return QStringLiteral("(unknown address)");
    char text[INET6_ADDRSTRLEN] = {};
    if (addr.ss_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(&addr)->sin_addr, text, sizeof text);
    else if (addr.ss_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6 *>(&addr)->sin6_addr, text, sizeof text);
    return QString::fromLatin1(text);
#else
    Q_UNUSED(fd);
    return QStringLiteral("(unknown address)");
#endif
}

// A connection whose handshakes say why they failed.
class Connection : public DcmTLSConnection {
public:
    Connection(DcmNativeSocketType socket, SSL *ssl)
        : DcmTLSConnection(socket, ssl), m_ssl(ssl), m_fd(static_cast<int>(socket))
    {
    }

    OFCondition serverSideHandshake() override
    {
        t_handshake = {};
        const OFCondition c = DcmTLSConnection::serverSideHandshake();
        // A connection closed before it sent a byte (a port check) tried nothing.
        if (c.bad() && BIO_number_read(SSL_get_rbio(m_ssl)) > 0) {
            const QString why = problemText(c, true);
            std::lock_guard<std::mutex> lock(g_handlerMutex);
            if (g_refusalHandler)
                g_refusalHandler(peerAddress(m_fd), why);
        }
        return c;
    }
    OFCondition clientSideHandshake() override
    {
        t_handshake = {};
        t_lastProblem.clear();
        const OFCondition c = DcmTLSConnection::clientSideHandshake();
        if (c.bad()) {
            t_lastProblem = problemText(c, false);
            AuditAlert alert;
            alert.description = QStringLiteral("TLS with %1 failed: %2").arg(peerAddress(m_fd), t_lastProblem);
            alert.peer = {{}, peerAddress(m_fd)};
            Audit::log(AuditEvent::securityAlert(Audit::station(), alert));
        }
        return c;
    }

private:
    SSL *m_ssl;
    int m_fd;
};

class Layer : public DcmTLSTransportLayer {
public:
    Layer(T_ASC_NetworkRole role) : DcmTLSTransportLayer(role, nullptr, OFFalse) {}
    DcmTransportConnection *createConnection(DcmNativeSocketType socket, OFBool secure) override
    {
        if (!secure)
            return DcmTLSTransportLayer::createConnection(socket, secure);
        SSL *ssl = SSL_new(getNativeHandle());
        if (!ssl)
            return nullptr;
        SSL_set_fd(ssl, static_cast<int>(socket));
        return new Connection(socket, ssl);
    }
};

// The toolkit lets only its derived classes give an SCU its TLS layer.
struct SecureOpener : DcmSCU {
    static OFCondition use(DcmSCU &scu, DcmTransportLayer *layer)
    {
        return (scu.*(&SecureOpener::useSecureConnection))(layer);
    }
};

[[noreturn]] void fail(const QString &text) { throw AppError(ErrorNo::Network, text); }

} // namespace

std::unique_ptr<DcmTransportLayer> makeTlsLayer(const TlsConfig &config, bool acceptor)
{
    static std::once_flag init;
    std::call_once(init, [] { DcmTLSTransportLayer::initializeOpenSSL(); });

    if (config.keyFile.isEmpty() || config.certFile.isEmpty())
        fail(QStringLiteral("TLS needs the station's private key and certificate (Security/KeyFile, "
                            "Security/CertFile)"));
    const QString keyProblem = SecuritySettings::privateKeyFileProblem(config.keyFile);
    if (!keyProblem.isEmpty())
        fail(QStringLiteral("The private key %1 %2").arg(config.keyFile, keyProblem));
    if (!QFileInfo(config.certFile).isFile())
        fail(QStringLiteral("The certificate %1 is not found").arg(config.certFile));
    const bool checkPeer = !acceptor || config.requireClientCertificate || !config.trusted.isEmpty();
    if (checkPeer && config.trusted.isEmpty())
        fail(QStringLiteral("TLS needs the trusted certificates to check the peer's (Security/Trusted)"));

    auto layer = std::make_unique<Layer>(acceptor ? NET_ACCEPTOR : NET_REQUESTOR);
    if (!*layer)
        fail(QStringLiteral("TLS could not be set up (OpenSSL)"));
    // TLS 1.2 or newer, the BCP 195 cipher suites, no fallback to weaker ones.
    OFCondition c = layer->setTLSProfile(TSP_Profile_BCP195_ND);
    if (c.good())
        c = layer->activateCipherSuites();
    if (c.bad())
        fail(QStringLiteral("TLS cipher suites could not be set: %1").arg(QString::fromLatin1(c.text())));
    // Never the console's prompt: a key that needs a password it was not given fails.
    QByteArray password;
    try {
        password = SecuritySettings::keyPassword(config);
    } catch (const AppError &e) {
        fail(e.description());
    }
    layer->setPrivateKeyPasswd(password.constData());
    const QByteArray keyPath = QFile::encodeName(config.keyFile);
    const QByteArray certPath = QFile::encodeName(config.certFile);
    if (layer->setPrivateKeyFile(keyPath.constData(), DCF_Filetype_PEM).bad())
        fail(QStringLiteral("The private key %1 cannot be read (not PEM, or a wrong or missing password)")
                 .arg(config.keyFile));
    if (layer->setCertificateFile(certPath.constData(), DCF_Filetype_PEM).bad())
        fail(QStringLiteral("The certificate %1 cannot be read (not a PEM certificate)").arg(config.certFile));
    if (!layer->checkPrivateKeyMatchesCertificate())
        fail(QStringLiteral("The certificate %1 does not belong to the private key %2")
                 .arg(config.certFile, config.keyFile));
    if (!config.trusted.isEmpty()) {
        const QFileInfo trusted(config.trusted);
        QStringList files;
        if (trusted.isDir()) {
            // Every certificate file of the folder; no hashed names needed.
            const QDir dir(config.trusted);
            for (const QString &name :
                 dir.entryList({QStringLiteral("*.pem"), QStringLiteral("*.crt"), QStringLiteral("*.cer")}, QDir::Files,
                               QDir::Name))
                files.append(dir.filePath(name));
        } else if (trusted.isFile()) {
            files.append(config.trusted);
        }
        if (files.isEmpty())
            fail(QStringLiteral("No trusted certificates in %1").arg(config.trusted));
        for (const QString &f : files)
            if (layer->addTrustedCertificateFile(QFile::encodeName(f).constData(), DCF_Filetype_PEM).bad())
                fail(QStringLiteral("The trusted certificate %1 cannot be read").arg(f));
    }
    if (acceptor)
        layer->setBuiltInDHParameters();
    layer->setCertificateVerification(config.requireClientCertificate || !acceptor ? DCV_requireCertificate
                                      : checkPeer                                  ? DCV_checkCertificate
                                                                                   : DCV_ignoreCertificate);
    // The toolkit's own check, with callbacks that keep why a handshake failed.
    SSL_CTX *ctx = layer->getNativeHandle();
    SSL_CTX_set_verify(ctx, SSL_CTX_get_verify_mode(ctx), verifyCallback);
    SSL_CTX_set_info_callback(ctx, infoCallback);
    return layer;
}

QString lastTlsProblem() { return t_lastProblem; }

std::unique_ptr<DcmTransportLayer> secureScu(DcmSCU &scu, const TlsConfig &config)
{
    t_lastProblem.clear();
    if (!config.enabled)
        return {};
    auto layer = makeTlsLayer(config, false);
    const OFCondition c = SecureOpener::use(scu, layer.get());
    if (c.bad())
        fail(QStringLiteral("TLS could not be set up: %1").arg(QString::fromLatin1(c.text())));
    return layer;
}

QString associationProblem(const OFCondition &c)
{
    if (!t_lastProblem.isEmpty())
        return QStringLiteral("TLS: %1").arg(t_lastProblem);
    return QString::fromLatin1(c.text());
}

void setTlsRefusalHandler(std::function<void(const QString &, const QString &)> handler)
{
    std::lock_guard<std::mutex> lock(g_handlerMutex);
    g_refusalHandler = std::move(handler);
}

} // namespace dicom

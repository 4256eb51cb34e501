#pragma once
#include <QString>
#include <QStringList>

class SettingsStore;

// What one DICOM connection needs for TLS: whether to use it, and the station's own key,
// certificate and trusted certificates. The key's password is never a setting: it comes
// from a file of its own (keyPasswordFile) or from the environment
// (CALVAREX_TLS_KEY_PASSWORD).
struct TlsConfig {
    bool enabled = false;
    QString keyFile;         // PEM, readable by the station's user only
    QString certFile;        // PEM, the station's certificate
    QString trusted;         // a folder of PEM certificates (hashed names or not) or one PEM file
    QString keyPasswordFile; // empty: the environment, else no password
    // Receiver: callers must show a certificate from a trusted issuer. A caller's
    // certificate is always checked when one is shown; an association the station opens
    // always checks the peer's.
    bool requireClientCertificate = false;
};

// The security section of the settings, written by the site's administrator into the
// settings file (the options never change it):
//   Security/KeyFile, Security/CertFile, Security/Trusted, Security/KeyPasswordFile
//   Security/TlsPeers     "host:port" of every peer spoken to over TLS (commas or blanks)
//   Security/Receiver     "plain" (default), "tls", or "tls-client-cert"
//   Audit/Log             the local audit log (default <station>/logs/audit.log)
//   Audit/Repository      "host:port" of the audit record repository; empty: none
//   Audit/Transport       "udp" (default) or "tls"
struct SecuritySettings {
    enum class ReceiverMode { Plain, Tls, TlsClientCertificate };

    QString keyFile;
    QString certFile;
    QString trusted;
    QString keyPasswordFile;
    QStringList tlsPeers;
    ReceiverMode receiver = ReceiverMode::Plain;
    QString auditLog;
    QString auditRepository;
    QString auditTransport;

    static SecuritySettings read(const SettingsStore &store);

    // The TLS configuration for an association to this peer: enabled when "ip:port" is
    // listed in TlsPeers.
    TlsConfig forPeer(const QString &ip, const QString &port) const;
    // The receiver's: enabled unless it is plain.
    TlsConfig forReceiver() const;
    // The texts Security/Receiver takes, in the order of ReceiverMode.
    static QStringList receiverModes();

    // The private key file (or its password file) as the station accepts it: a regular
    // file, owned by the station's user and readable by nobody else. Empty when it is
    // so, else what is wrong ("can be read by others (mode 0644); ...").
    static QString privateKeyFileProblem(const QString &path);
    // The key's password: the first line of keyPasswordFile (held to the same rule as the
    // key), else CALVAREX_TLS_KEY_PASSWORD, else none. Throws AppError (BadInput) for a
    // password file that is not fit.
    static QByteArray keyPassword(const TlsConfig &config);
};

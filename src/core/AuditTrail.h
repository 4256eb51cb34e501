#pragma once
#include "core/AuditMessage.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <memory>
#include <optional>

// The audit trail of one program (the station, the receiver, the data manager).
//
// Every message goes into the local audit log first: one line per message, the RFC 5424
// syslog line with the XML AuditMessage as its MSG, appended with a single write and on
// disk before log() returns. The log is only ever appended to; the station and its
// companions may share it, each line stays whole.
//
// With a repository configured, each message then goes to the site's audit record
// repository as syslog over UDP (RFC 5426) or TLS (RFC 5425), from a thread of the trail's
// own: the caller never waits for the network. The repository may be away: a message
// waits in the program's queue file beside the log (it survives a restart) and goes,
// in order, once the repository answers again, tried with every new message and on a
// timer. Over TLS a message counts as sent once the connection took all its bytes; over
// UDP once the datagram left.
class AuditTrail {
public:
    enum class Transport { None, Udp, Tls };

    struct Config {
        QString logFile;
        QString applicationName; // APP-NAME and the program's name in the messages
        QString aeTitle;
        QString siteId; // AuditEnterpriseSiteID; empty: left out

        Transport transport = Transport::None;
        QString repositoryHost;
        quint16 repositoryPort = 0; // 0: 514 for UDP, 6514 for TLS
        // TLS: the repository is checked against the CA certificates of caFile (PEM), or
        // against the system's when empty; the station shows certFile with keyFile.
        QString caFile;
        QString certFile;
        QString keyFile;
        QByteArray keyPassword;

        QString messageId = QStringLiteral("DICOM+RFC3881"); // MSGID
        int connectTimeoutMs = 2000;                         // connecting, and each send
        int retryIntervalMs = 30000;
    };

    // A line of the log, or a syslog message as a repository gets it.
    struct Entry {
        int facility = 0;
        int severity = 0;
        QString timestamp; // as written
        QDateTime time;    // the same, read
        QString hostName;
        QString appName;
        QString procId;
        QString msgId;
        QByteArray xml; // the AuditMessage
    };

    explicit AuditTrail(const Config &config);
    ~AuditTrail(); // gives the repository one more short try
    AuditTrail(const AuditTrail &) = delete;
    AuditTrail &operator=(const AuditTrail &) = delete;

    // This program as the messages name it; the named constructors of AuditEvent take it.
    const AuditStation &station() const;

    // Writes the message to the local log (on disk when it returns) and queues it for the
    // repository. Throws AppError (FileIo) when the log cannot be written. Safe to call
    // from any thread.
    void log(const AuditEvent &event);

    // Tries the repository now and waits for the try (at most a connect timeout per
    // message when it is away); the number of messages still waiting.
    int flush();
    // Messages waiting for the repository.
    int pending() const;
    // Why the last try to reach the repository failed; empty after a success.
    QString lastForwardError() const;
    QString queueFile() const;

    // The messages of a log, oldest first; lines that are no syslog message are left out.
    static QList<Entry> readLog(const QString &path);
    // One RFC 5424 message (a byte order mark before the MSG is dropped).
    static std::optional<Entry> parse(const QByteArray &message);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

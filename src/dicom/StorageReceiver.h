#pragma once
#include "core/SecuritySettings.h"
#include "dicom/FileFacts.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

// The receiving side of DICOM storage: a C-STORE SCP on one AE title and port that
// answers C-ECHO and writes every received object into one folder as
// <SOP Instance UID>.dcm. Each object is written under a hidden temporary name first and
// renamed when complete, so a reader of the folder never sees half a file.
// Several associations are served at once, each in its own thread, so one slow or silent
// sender never holds up the others; a peer silent for longer than the time-out is dropped.
// An object is answered Success only once it is on disk, its element stream passed the
// pre-scan and its three UIDs are valid: a sender retries what is refused, it never
// retries what was acknowledged.
class StorageReceiver {
public:
    struct Config {
        QString aeTitle;
        quint16 port = 0;
        QString outputDir;
        QStringList callingAeTitles;              // accepted calling AE titles; empty: every one
        int timeoutSeconds = 30;                  // ACSE and DIMSE time-out
        int maxAssociations = 8;                  // served at once
        qint64 minFreeBytes = 64LL * 1024 * 1024; // below this, objects are refused
        // Storage commitment reports of the archives are written here, one file each
        // (CommitmentReport::toJson, "*.json"), before the archive hears Success; empty:
        // reports are not taken.
        QString commitReportsDir;
        // Over TLS when enabled: then a caller that does not complete the handshake (no
        // TLS, no certificate when one is required, an untrusted or expired one) is
        // refused before it can send anything.
        TlsConfig tls;
    };

    explicit StorageReceiver(Config config);
    ~StorageReceiver();
    StorageReceiver(const StorageReceiver &) = delete;
    StorageReceiver &operator=(const StorageReceiver &) = delete;

    // Listens until a stop is requested; the association in progress is finished first.
    // Returns an empty text on a clean end, else what went wrong (port not usable, ...).
    QString run();

    // Asks a running receiver to end. Safe to call from a signal handler.
    static void requestStop();
    static bool stopRequested();

    // Called after an object was stored (its final path), and for each object refused or
    // lost (a description).
    std::function<void(const QString &file)> onStored;
    // Called after a storage commitment report was written (its file).
    std::function<void(const QString &file)> onReport;
    // Called from the threads serving the associations, never two at a time.
    std::function<void(const QString &problem)> onProblem;
    // Called for each caller refused by TLS ("TLS caller 10.0.0.5 refused: its certificate
    // has expired (CN=...)"), after onProblem got the same text.
    std::function<void(const QString &address, const QString &alert)> onSecurityAlert;
    // Called when an association that stored objects ended: the caller's AE title and
    // address, and what the objects were, in the order they came.
    std::function<void(const QString &callingAet, const QString &address, const QList<FileFacts> &objects)>
        onAssociationEnded;

    // The storage SOP classes and transfer syntaxes accepted, in order of preference.
    static QStringList sopClasses();
    static QStringList transferSyntaxes();
    // Leftovers of objects whose reception was cut off (a killed receiver) are removed.
    static int removeLeftovers(const QString &outputDir);
    // The hidden name an object is received under.
    static bool isPartialName(const QString &fileName);

    const Config &config() const { return m_config; }
    void report(const QString &problem);
    void stored(const QString &file);
    void reported(const QString &file);
    void associationEnded(const QString &callingAet, const QString &address, const QList<FileFacts> &objects);

private:
    class Scp;
    Config m_config;
};

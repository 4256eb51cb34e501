#pragma once
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

// The receiving side of DICOM storage: a C-STORE SCP on one AE title and port that
// answers C-ECHO and writes every received object into one folder as
// <SOP Instance UID>.dcm. Each object is written under a hidden temporary name first and
// renamed when complete, so a reader of the folder never sees half a file.
class StorageReceiver {
public:
    struct Config {
        QString aeTitle;
        quint16 port = 0;
        QString outputDir;
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
    std::function<void(const QString &problem)> onProblem;

    // The storage SOP classes and transfer syntaxes accepted, in order of preference.
    static QStringList sopClasses();
    static QStringList transferSyntaxes();
    // Leftovers of objects whose reception was cut off (a killed receiver) are removed.
    static int removeLeftovers(const QString &outputDir);
    // The hidden name an object is received under.
    static bool isPartialName(const QString &fileName);

private:
    class Scp;
    std::unique_ptr<Scp> m_scp;
    Config m_config;
};

#pragma once
// A real worklist provider on a free loopback port, serving worklist files written from
// dump text with dump2dcm: DCMTK's wlmscpfs (files in <base>/<AE title>/), or Orthanc with
// its worklist plugin and a private configuration (files in <base>/<AE title>/ as well).
#include "PeerProcess.h"

#include <QDate>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

struct Settings;

namespace peers {

// One scheduled procedure step. The texts are written as they are (empty values
// included); the optional ones only when set.
struct WorklistItem {
    QString name{}; // PN, "^"-separated
    QString patientId{};
    QString birthDate{}; // DA
    QString sex{};
    QString accession{};
    QString referring{};
    QString institution{};
    QString stationAet{}; // Scheduled Station AE Title
    QDate date = QDate::currentDate();
    QString time = QStringLiteral("090000");
    QString procedureCode{};        // null: no Requested Procedure Code Sequence
    QString studyUid{};             // empty: a new one
    QString procedureDescription{}; // (0032,1060), when set
    QString stepDescription{};      // (0040,0007), when set
    QString stationName{};          // (0040,0010), when set
};

// The dump text of a worklist file; number makes the step's and the procedure's IDs.
// The text declares ISO_IR 100 and must be written in Latin-1.
QString worklistDump(const WorklistItem &item, int number);

class WorklistProvider {
public:
    enum Kind { Wlmscpfs, Orthanc };
    // The calling AE title Orthanc answers (it answers known callers only).
    static inline const QString Caller = QStringLiteral("MAMMO1");
    static QString kindName(Kind k) { return k == Orthanc ? QStringLiteral("Orthanc") : QStringLiteral("wlmscpfs"); }

    // base: the provider's folder; empty for a temporary one of its own.
    explicit WorklistProvider(Kind kind = Wlmscpfs, const QString &aet = QStringLiteral("WLPROVIDER"),
                              const QString &base = {});
    ~WorklistProvider();

    QString aet() const { return m_aet; }
    quint16 port() const { return m_port; }
    // The folder of the worklist files.
    QString folder() const { return m_base + QLatin1Char('/') + m_aet; }
    qint64 processId() const { return m_proc.processId(); }
    // What the provider printed (for failure messages).
    QString output() { return m_proc.output(); }
    void setCaller(const QString &aet) { m_caller = aet; }
    // Orthanc only: DICOM over TLS with this key and certificate, callers' certificates
    // checked against the trusted file. Before start.
    void setTls(const QString &certFile, const QString &keyFile, const QString &trustedFile)
    {
        m_tls = {certFile, keyFile, trustedFile};
    }

    // Writes one worklist file, <name>.wl (item<n>.wl without a name); the study UID it
    // got is written back into item. False when dump2dcm failed.
    bool add(WorklistItem &item, const QString &name = {});
    bool add(const WorklistItem &item, const QString &name = {});
    // Removes every worklist file.
    void clear();

    // Starts the provider and waits until it accepts connections.
    bool start();
    void stop() { m_proc.stop(); }

    // Points a station's worklist settings at this provider.
    void configure(Settings &s, const QString &localAet) const;

private:
    Kind m_kind;
    QString m_aet;
    std::unique_ptr<QTemporaryDir> m_own;
    QString m_base;
    QString m_caller = Caller;
    QStringList m_tls;
    PeerProcess m_proc;
    quint16 m_port = 0;
    int m_count = 0;
};

} // namespace peers

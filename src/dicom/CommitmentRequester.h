#pragma once
#include "dicom/StoreSender.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

namespace dicom {

// One object the station asks a destination to keep safe.
struct CommittedObject {
    QString sopClass;
    QString sopInstance;
    quint16 reason = 0; // why the destination does not keep it (failed objects only)
};

// A destination's answer about a request: the objects it keeps, and the ones it does not
// with the reason for each (0112H: it has no such object).
struct CommitmentReport {
    QString transactionUid;
    quint16 eventType = 0; // 1: all kept; 2: some not
    QString reportedBy;    // the calling AE title of the report's association
    QList<CommittedObject> committed;
    QList<CommittedObject> failed;

    // As a small JSON document (the receiver's report files) and back; fromJson returns
    // nothing for text that is not such a report.
    QByteArray toJson() const;
    static std::optional<CommitmentReport> fromJson(const QByteArray &json);
    // "0112H no such object instance".
    static QString reasonText(quint16 reason);
};

// The storage commitment requester (push model): one association to the destination,
// an N-ACTION naming the objects under a transaction UID, its answer, and then a short,
// bounded wait for a report on the same association. Most archives report later on an
// association of their own (to the station's receiver); a report that does come here is
// answered and handed back. Every wait is bounded.
class CommitmentRequester {
public:
    static inline const QString SopClass = QStringLiteral("1.2.840.10008.1.20.1");
    static inline const QString SopInstance = QStringLiteral("1.2.840.10008.1.20.1.1");

    struct Result {
        bool answered = false;                  // the destination answered the N-ACTION
        quint16 status = 0;                     // its status when answered
        QString problem;                        // why the request did not go through
        std::optional<CommitmentReport> report; // a report on the same association
        bool ok() const { return answered && status == 0x0000; }
    };

    CommitmentRequester(StoreSender::Peer peer, StoreSender::Timeouts timeouts, int reportWaitMs = 2000);

    Result request(const QString &transactionUid, const QList<CommittedObject> &objects);

private:
    StoreSender::Peer m_peer;
    StoreSender::Timeouts m_timeouts;
    int m_reportWaitMs;
};

} // namespace dicom

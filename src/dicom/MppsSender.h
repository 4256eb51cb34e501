#pragma once
#include "dicom/DataSet.h"
#include "dicom/StoreSender.h"

#include <QString>

namespace dicom {

// The Modality Performed Procedure Step SOP class, as the modality uses it: N-CREATE of a
// step (IN PROGRESS) and N-SET of its attributes (COMPLETED, DISCONTINUED). Each message
// goes on an association of its own, which ends with the answer; every wait is bounded.
class MppsSender {
public:
    static inline const QString SopClass = QStringLiteral("1.2.840.10008.3.1.2.3.3");

    // What became of one message.
    struct Result {
        bool answered = false; // the provider answered (else: not reached, or the association broke)
        quint16 status = 0;    // its status when answered
        QString problem;       // why it did not succeed: the condition, or the status with its comment
        // Success, or a warning the step stands with.
        bool ok() const { return answered && (status == 0x0000 || status == 0x0001 || (status & 0xF000) == 0xB000); }
    };

    MppsSender(StoreSender::Peer peer, StoreSender::Timeouts timeouts);

    // N-CREATE of the step uid with its attributes.
    Result create(const QString &uid, const DataSet &attributes);
    // N-SET of the step uid: the attributes to replace.
    Result set(const QString &uid, const DataSet &modifications);

    // "0110H processing failure (Performed Procedure Step Object may no longer be updated)".
    static QString statusText(quint16 status, bool create, const QString &comment);

private:
    Result exchange(bool create, const QString &uid, const DataSet &attributes);

    StoreSender::Peer m_peer;
    StoreSender::Timeouts m_timeouts;
};
} // namespace dicom

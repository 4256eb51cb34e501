#pragma once
#include "core/SecuritySettings.h"
#include "dicom/FileFacts.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <memory>

namespace dicom {

// The sending side of DICOM storage: one association to a storage destination over
// which image files are sent one by one (C-STORE). The presentation contexts are
// proposed from the files about to go: each file's SOP class with its own transfer
// syntax, and with the uncompressed ones, so that a compressed image the peer does not
// take can still go decompressed.
//
// Every wait on the network is bounded (connection, association and message time-outs,
// non-blocking), so a peer that never answers ends in an error instead of a hung
// station. An association ends with a normal release; it is aborted only after an error.
class StoreSender {
public:
    struct Peer {
        QString ip;
        QString port; // as typed; checked to be 1 to 65535 when opening
        QString ownAet;
        QString calledAet;
        TlsConfig tls; // plain unless enabled
    };
    struct Timeouts {
        int connectSeconds = 10;
        int acseSeconds = 30;
        int dimseSeconds = 60;
    };
    // What became of one file.
    struct FileResult {
        bool sent = false;     // stored by the peer (success or an accepted warning)
        quint16 status = 0;    // the peer's answer; 0 also when there was none
        bool answered = false; // the peer answered at all
        QString problem;       // why it is not sent, or the warning; empty on plain success
        QString sopClass;      // the object's SOP class and instance, as sent
        QString sopInstance;
    };

    StoreSender(Peer peer, Timeouts timeouts);
    explicit StoreSender(Peer peer);
    ~StoreSender(); // releases an open association
    StoreSender(const StoreSender &) = delete;
    StoreSender &operator=(const StoreSender &) = delete;

    // Opens the association with contexts for these files (unreadable ones are left to
    // send() to report). Throws AppError (network) when the peer cannot be reached, does
    // not answer in time or rejects the association.
    void open(const QStringList &files);
    bool isOpen() const;

    // Sends one file. Never throws: what went wrong is in the result, and the file then
    // counts as unsent.
    FileResult send(const QString &file);

    // Normal release; an association broken by an error is aborted instead. What the peer
    // stored goes into the audit trail (DICOM Instances Transferred), per patient.
    void close();

    // The answers that count as stored: success and the warnings "coercion of data
    // elements" (B000), "elements discarded" (B006) and "data set does not match SOP
    // class" (B007).
    static bool isStored(quint16 status);
    // The port as a number, or 0 when the text is not a port (digits, 1 to 65535).
    static int portNumber(const QString &text);

private:
    class Scu;
    Peer m_peer;
    Timeouts m_timeouts;
    std::unique_ptr<Scu> m_scu;
    bool m_broken = false;
    QList<FileFacts> m_sent; // stored by the peer, for the audit trail at close
};
} // namespace dicom

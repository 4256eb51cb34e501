#pragma once
#include "core/Settings.h"
#include "dicom/CommitmentRequester.h"
#include "dicom/StoreSender.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

class StationLog;
class StationPaths;

// The storage commitment requests of the station, in its data database: a request per
// transfer to a destination that commits (tblCommitRequests, by Transaction UID) and its
// objects (tblCommitItems), each sent, committed or failed with the destination's reason.
//
// A request is written before the N-ACTION goes, since the archive may report at once,
// before the station has its answer. Reports come in the receiver's report folder (or on
// the request's own association) and are applied whenever the station gets to them, also
// hours later or after a restart; a report file goes only once its changes are committed.
// Objects the station keeps only until the destination has them ("remove when committed")
// are removed once committed; a failed object stays and may be sent again: a later
// request for it to the same destination replaces what is known of it.
class Commitments {
public:
    struct Item {
        QString sopClass;
        QString sopInstance; // as sent
        QString imageUid;    // the stored image it stands for; empty for the dose report
        QString studyUid;    // empty: taken from the stored image's row
        bool removeWhenCommitted = false;
    };
    // What became of a request.
    struct Outcome {
        QString transactionUid;
        bool accepted = false; // the destination answered the N-ACTION with success
        QString problem;       // why not
        bool reported = false; // a report came on the same association (applied)
    };
    // What applying reports changed.
    struct Applied {
        int reports = 0;       // report files (or reports) applied
        int setAside = 0;      // files of unknown transactions or unreadable, moved aside
        QStringList committed; // SOP Instance UIDs now committed
        QStringList failed;    // and failed
    };
    // A study's objects under commitment.
    struct Summary {
        int sent = 0; // objects asked for
        int committed = 0;
        int failed = 0;
        bool any() const { return sent > 0; }
        // "4 sent: 3 committed, 1 failed"; empty when nothing was asked for.
        QString text() const;
    };
    struct Failure {
        QString sopInstance;
        QString sopClass;
        QString destination; // AE title
        QString reason;      // "0112H no such object instance", or why the request failed
    };

    Commitments(const StationPaths &paths, const StationLog &log);

    void ensureTables();

    // Writes a new request with its objects and returns its Transaction UID.
    QString record(const PeerAddress &destination, const QList<Item> &items);
    // Records the request, then sends it; a refused or unanswered N-ACTION marks its
    // objects failed (they stay in the store). Never throws for the network.
    Outcome request(const PeerAddress &destination, const QString &ownAet, dicom::StoreSender::Timeouts timeouts,
                    const QList<Item> &items, int reportWaitMs = 2000, const TlsConfig &tls = {});

    // One report. False when its transaction is unknown.
    bool apply(const dicom::CommitmentReport &report, Applied *changes = nullptr);
    // The report files of the receiver's folder, oldest first.
    Applied applyReports();

    // Removes the committed images marked so through remove (which returns the image UIDs
    // it removed) and notes them. Returns how many went.
    int removeCommitted(const std::function<QStringList(const QStringList &imageUids)> &remove);

    Summary summary(const QString &studyUid);
    QHash<QString, Summary> summaries();
    QList<Failure> failures(const QString &studyUid);
    // The transaction an object is under (the last request naming it); empty: none.
    QString transactionOf(const QString &sopInstance);
    // The state of a request: "requested", "refused" or "reported"; empty: unknown.
    QString state(const QString &transactionUid);

private:
    void refused(const QString &transactionUid, quint16 status, const QString &problem);
    void setAside(const QString &file, const QString &why);

    const StationPaths &m_paths;
    const StationLog &m_log;
};

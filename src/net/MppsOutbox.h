#pragma once
#include "dicom/DataSet.h"
#include "dicom/MppsSender.h"

#include <QJsonObject>
#include <QString>
#include <functional>

class StationPaths;

// The performed procedure step messages waiting for the MPPS provider. A message is
// written to the station's data database before anything is sent (tblMppsOutbox), goes out
// in the order it was written, and is marked sent once the provider answered it, so each
// goes exactly once, also across a station's end. A provider that does not answer keeps
// the rest waiting; one that refuses a message has it marked failed with its reason (the
// operator sees it) and the next goes on.
class MppsOutbox {
public:
    enum class Kind { Create, Set };
    struct Waiting {
        qint64 id = 0;
        QString stepUid;
        Kind kind = Kind::Create;
        dicom::DataSet attributes;
    };

    explicit MppsOutbox(const StationPaths &paths);

    // Makes the table when the database has none.
    void ensureTable();
    // Writes a message; returns its key. Throws AppError (database).
    qint64 add(const QString &stepUid, Kind kind, const dicom::DataSet &attributes);
    // The messages not yet sent nor failed, oldest first.
    QList<Waiting> waiting();
    int waitingCount();
    // The messages the provider refused, with their reasons ("N-SET <uid>: 0110H ...").
    QStringList failures();

    // Sends what waits, in order, through send (the provider's answer); stops at the first
    // message the provider did not answer. Returns how many went.
    using Send = std::function<dicom::MppsSender::Result(const Waiting &)>;
    int deliver(const Send &send);

    // A data set as JSON and back (values as text, sequences as arrays of items).
    static QJsonObject toJson(const dicom::DataSet &ds);
    static dicom::DataSet fromJson(const QJsonObject &o);

private:
    const StationPaths &m_paths;
};

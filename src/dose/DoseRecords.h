#pragma once
#include "dose/DoseMessage.h"

#include <QList>
#include <QString>
#include <QStringList>

class Database;
class DoseState;
class Station;

// An exposure that arrived while no worklist patient was chosen. It waits in the
// station folder until the operator stores it for a patient: no exposure is lost and
// none is given to a patient the operator has not seen.
struct PendingExposure {
    QString date; // capture date and time, as the record will carry them
    QString time;
    DoseMessage::Values values;
};

// dbFill and what it works with: the hand-over files "cInput.txt" and "done.txt" in
// the station folder, the message formats, the exposure counter of the open study and
// the dose records in tblDosis. Logic only; the dose capture area shows the results.
class DoseRecords {
public:
    enum class Outcome {
        Stored,   // one record added for the worklist patient
        Pending,  // no patient chosen: the exposure waits
        NoTokens, // nothing to parse
        NoFormat, // the unit type has no message format
    };
    // What became of the text; a text can hold several messages (channel messages
    // gathered before "Fill"): the fields below describe the last one.
    struct Result {
        Outcome outcome = Outcome::NoTokens;
        QStringList tokens; // the message's tokens (the debug list shows them)
        DoseMessage::Values values;
        qint64 id = 0;     // key of the stored record
        int imageNo = 0;   // its exposure number
        int stored = 0;    // records stored from the text
        int pending = 0;   // exposures kept waiting for a patient
        int unstored = 0;  // messages kept in Logs/unstored.txt (cut short)
    };

    DoseRecords(Station &station, DoseState &state);

    // dbFill's work on the message text. Takes over "cInput.txt" when it exists (its
    // text replaces input, it becomes "done.txt"), parses by the unit type, stores a
    // record for the worklist patient for each message, or keeps the exposure waiting
    // when none is chosen. input is emptied once the exposures are stored or kept.
    // Throws AppError when the message cannot be parsed or stored; input then still
    // holds the text.
    Result fill(QString &input);

    // Step 1 of dbFill on its own: true when the hand-over file was taken over. A file
    // that cannot be renamed is still read once and then removed (logged), so that it
    // is never taken over a second time.
    bool takeOverHandOver(QString &input);
    // Hands one message over in "cInput.txt", replacing what the file held. On failure
    // the message is kept in Logs/unstored.txt, logged, and no stale file is left to be
    // taken over; returns false.
    bool handOver(const QString &message);

    // Adds one record with status "0" for the worklist patient with the next exposure
    // number: one more than the highest of the patient's open records.
    qint64 store(const DoseMessage::Values &v, const QString &date, const QString &time, int *imageNo = nullptr);
    // The number the next exposure of the worklist patient gets.
    int nextImageNo();

    // The exposures waiting for a patient, oldest first.
    QList<PendingExposure> pending() const;
    int pendingCount() const { return pending().size(); }
    // Stores every waiting exposure for the worklist patient now in the panel and
    // empties the waiting list. Returns how many were stored. Throws AppError when no
    // patient is chosen or the database fails (what was not stored keeps waiting).
    int storePending();
    // What the operator is asked before the waiting exposures go to the chosen patient.
    QString pendingQuestion() const;

    // A message that could not be parsed or stored is appended here with the reason,
    // so the operator can find it (Logs/unstored.txt).
    void keepUnstored(const QString &text, const QString &reason) const;
    QString unstoredFile() const;
    QString pendingFile() const;

    // Texts shown to the operator.
    static QString noPatientText() { return QStringLiteral("Please select a patient from your worklist first!"); }
    static QString pendingLabel(int count);

private:
    void storeOne(const QString &message, DoseMessage::Format format, Result &r);
    int nextImageNo(Database &db);
    void addPending(const PendingExposure &p);
    void savePending(const QList<PendingExposure> &list) const;
    void syncPendingCount() const;

    Station &m_station;
    DoseState &m_state;
};

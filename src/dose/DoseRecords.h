#pragma once
#include "dose/DoseMessage.h"
#include "dose/ExposureJournal.h"

#include <QList>
#include <QString>
#include <QStringList>

class Database;
class DoseState;
class Station;

// An exposure that arrived while no worklist patient was chosen. It waits (in the
// capture journal) until the operator stores it for a patient: no exposure is lost and
// none is given to a patient the operator has not seen.
struct PendingExposure {
    QString date; // capture date and time, as the record will carry them
    QString time;
    DoseMessage::Values values;
};

// dbFill and what it works with: the capture journal, the hand-over files "cInput.txt"
// and "done.txt" in the station folder, the message formats, the exposure numbers of the
// open examination and the dose records in tblDosis. Logic only; the dose capture area
// shows the results.
//
// An exposure is journaled before anything else happens to it, with the number it gets
// from its place in the examination (not from what the database holds when it is
// stored), and its record is stored from the journal, exactly once (the record carries
// the exposure's UID). A busy or failing database delays the record; the exposure waits
// in the journal and storeUnstored() tries again.
class DoseRecords {
public:
    enum class Outcome {
        Stored,   // every exposure's record added for the worklist patient
        Unstored, // journaled for the patient, the record waits for the database
        Pending,  // no patient chosen: the exposure waits for one
        NoTokens, // nothing to parse
        NoFormat, // the unit type has no message format
    };
    // What became of the text; a text can hold several messages (channel messages
    // gathered before "Fill"): the fields below describe the last one.
    struct Result {
        Outcome outcome = Outcome::NoTokens;
        QStringList tokens; // the message's tokens (the debug list shows them)
        DoseMessage::Values values;
        qint64 id = 0;       // key of the stored record
        int imageNo = 0;     // its exposure number
        int stored = 0;      // records stored from the text
        int waiting = 0;     // exposures journaled whose record is not yet stored
        int pending = 0;     // exposures kept waiting for a patient
        int unstored = 0;    // messages kept aside in Logs/unstored.txt (cut short)
        bool durable = true; // false: the journal could not be written (memory only)
    };

    // Reads the capture journal (and the exposures an older version kept waiting for a
    // patient).
    DoseRecords(Station &station, DoseState &state);

    // dbFill's work on the message text ("Fill", "Get Dose Product"). Takes over
    // "cInput.txt" when it holds a message (its text replaces input, it becomes
    // "done.txt"), parses by the unit type and captures each message; the gathered text
    // is used up. Throws AppError when the text holds no message start at all; input then
    // still holds the text.
    Result fill(QString &input);
    // The messages the serial timer cut from the gathered text: journaled together with
    // what stays gathered, handed over through the hand-over files, stored.
    Result captureFromLine(const QStringList &messages, const QStringList &cutShort, const QString &gatheredAfter);

    // Step 1 of dbFill on its own: true when the hand-over file was taken over. A file
    // that holds no text is no message: it is removed (logged) and input stays. A file
    // that cannot be renamed is still read once and then removed (logged), so that it is
    // never taken over a second time.
    bool takeOverHandOver(QString &input);
    // Hands one message over in "cInput.txt", replacing what the file held. On failure
    // the message is kept in Logs/unstored.txt, logged, and no stale file is left to be
    // taken over; returns false.
    bool handOver(const QString &message);

    // Stores the records of the journaled exposures, in arrival order, each exactly once;
    // stops at the first failure. Returns how many still wait; why in failure. Never
    // throws. The dose state's list of waiting exposures follows.
    int storeUnstored(QString *failure = nullptr);
    int unstoredCount() const { return int(m_journal.unstored().size()); }

    // The journal follows the current-patient panel: a patient chosen opens an
    // examination whose numbers go on after that patient's open records, an empty panel
    // closes it.
    void syncExamination();
    // The number the next exposure of the worklist patient gets.
    int nextImageNo();

    // At start: the examination that was open, a hand-over file left by a kill, and every
    // journaled exposure not yet stored are taken up again.
    struct Recovery {
        int exposures = 0;        // journaled exposures found without their record
        int handOver = 0;         // messages taken up from a hand-over file
        int stillWaiting = 0;     // records the database did not take yet
        bool examination = false; // the open examination was restored
        QStringList problems;     // damaged journal lines
    };
    Recovery recover();

    // The exposures waiting for a patient, oldest first.
    QList<PendingExposure> pending() const;
    int pendingCount() const { return int(m_journal.unassigned().size()); }
    // Gives every waiting exposure to the worklist patient now in the panel, with the next
    // exposure numbers, and stores them. Returns how many were given. Throws AppError when
    // no patient is chosen.
    int storePending();
    // What the operator is asked before the waiting exposures go to the chosen patient.
    QString pendingQuestion() const;

    // A message that could not be parsed or stored is appended here with the reason,
    // so the operator can find it (Logs/unstored.txt). False (and logged) when the file
    // cannot be written.
    bool keepUnstored(const QString &text, const QString &reason) const;
    QString unstoredFile() const;

    ExposureJournal &journal() { return m_journal; }

    // How long a store waits for another connection's write lock before it leaves the
    // exposure waiting: short, the window must not freeze.
    static constexpr int BusyTimeoutMs = 250;

    // Texts shown to the operator.
    static QString noPatientText() { return QStringLiteral("Please select a patient from your worklist first!"); }
    static QString pendingLabel(int count);
    static QString unstoredLabel(int count);

private:
    Result capture(const QStringList &messages, const QStringList &cutShort, DoseMessage::Format format,
                   const QString &gatheredAfter, bool handOverFiles);
    void handOverAndTakeOver(const QString &message);
    int lastImageNoOf(const ExamPatient &p);
    void takeOverOldPending();
    void publishWaiting();

    Station &m_station;
    DoseState &m_state;
    ExposureJournal m_journal;
};

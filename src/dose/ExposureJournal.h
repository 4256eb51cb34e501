#pragma once
#include "dose/DoseMessage.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <array>
#include <optional>

// The worklist patient an examination is for: the eight rows of the current-patient
// panel (1 patient ID, 2 first name, 3 last name, 4 middle name, 5 birth date, 6 sex,
// 7 accession number, 8 body part).
struct ExamPatient {
    std::array<QString, 8> rows;
    QString id() const { return rows[0]; }
    QString firstName() const { return rows[1]; }
    QString lastName() const { return rows[2]; }
    QString birthDate() const { return rows[4]; }
    QString bodypart() const { return rows[7]; }
    bool isEmpty() const { return rows[0].isEmpty(); }
    bool operator==(const ExamPatient &o) const { return rows == o.rows; }
};

// One exposure as the unit reported it, from its arrival until its dose record is
// committed.
struct JournalExposure {
    enum class State { Waiting, Stored };
    qint64 seq = 0;     // arrival order
    QString uid;        // the record's own key (tblDosis.RecordUID), a UID of the 2.25 form
    QString date, time; // capture date and time, as the record carries them
    int unit = 0;       // the unit type that sent it
    QString message;    // the message as it came from the line
    DoseMessage::Values values;
    ExamPatient patient; // empty: the exposure waits for a patient
    int imageNo = 0;     // its number in the patient's study; 0 while it has no patient
    State state = State::Waiting;
    bool closed = false; // "New Study" closed its examination before the record was stored
    qint64 recordId = 0; // tblDosis.ID once stored
    bool hasPatient() const { return !patient.isEmpty(); }
};

// The capture's journal in the station folder (Data/Exposures.journal): every character
// read from the line, every exposure cut from them with the number it got, the open
// examination, and which exposures have their record committed. Each change is one
// line, written and synced before the change counts, so a power cut at any moment loses
// nothing that was read from the port: at the next start the journal gives back the text
// that was gathered, the open examination, and every exposure not yet stored.
//
// When a write fails (a full disk) the change still holds in memory and the line waits;
// every later change, and flush(), tries to write the waiting lines again, in order. A
// line cut short by a failed write is cut off again, so the file only ever holds whole
// lines.
class ExposureJournal {
public:
    explicit ExposureJournal(QString path);

    const QString &path() const { return m_path; }

    // Reads the file (at start). Damaged lines are skipped and named in problems; a line
    // cut short at the end (a kill while it was written) is cut off.
    void load(QStringList *problems = nullptr);
    // Rewrites the file with only what is still needed (the gathered text, the open
    // examination, the exposures not yet stored). Returns false when it cannot; the old
    // file then stays.
    bool compact();

    // The text gathered from the line and not yet cut into messages.
    const QString &gathered() const { return m_gathered; }
    bool appendInput(const QString &chunk);
    bool keepLast(qsizetype n);
    bool setGathered(const QString &text);

    // The examination open now (a worklist patient chosen, "New Study" not yet pressed).
    const std::optional<ExamPatient> &examination() const { return m_exam; }
    // The highest exposure number given in the open examination (0 when none).
    int lastImageNo() const { return m_lastImageNo; }
    // Opens an examination whose numbers go on after lastImageNo.
    bool openExamination(const ExamPatient &patient, int lastImageNo);
    bool closeExamination();

    // What one cut from the gathered text brings: the exposures, in arrival order, and the
    // text that could not be an exposure (kept aside with its reason).
    struct Cut {
        QString message;
        DoseMessage::Values values;
        QString date, time;
        int unit = 0;
    };
    struct Aside {
        QString text;
        QString reason;
    };
    // Journals the exposures of one cut in one line, so all of them or none: each gets its
    // arrival number and UID and, when an examination is open (and toExamination is set),
    // the next exposure number of that examination. gatheredAfter, when given, is what the
    // gathered text is then.
    QList<JournalExposure> capture(const QList<Cut> &exposures, const QList<Aside> &aside,
                                   const std::optional<QString> &gatheredAfter, bool toExamination = true);
    // Gives a waiting exposure to the open examination's patient, with the next number.
    bool assignToExamination(qint64 seq);
    bool markStored(qint64 seq, qint64 recordId);

    // The exposures with a patient whose record is not yet committed, in arrival order.
    QList<JournalExposure> unstored() const;
    // The exposures waiting for a patient, in arrival order.
    QList<JournalExposure> unassigned() const;
    // True when an exposure with exactly this message text is in the journal.
    bool containsMessage(const QString &message) const;
    // Every exposure the journal holds (stored ones until the next compact()).
    const QList<JournalExposure> &exposures() const { return m_exposures; }

    // Lines not yet on disk because a write failed.
    int backlog() const { return int(m_backlog.size()); }
    // Writes the waiting lines; true when none is left.
    bool flush();
    // The reason the last write failed (empty after a good one).
    const QString &lastError() const { return m_lastError; }

    // A new UID of the 2.25 form (a random UUID as one decimal number).
    static QString newUid();

    // Past this size the file is rewritten (a noisy line must not fill the disk with it).
    static constexpr qint64 CompactAt = 1 << 20;

private:
    bool record(const QJsonObject &line);
    void apply(const QJsonObject &line);
    bool writeLines(const QList<QByteArray> &lines);
    JournalExposure *find(qint64 seq);

    QString m_path;
    QString m_gathered;
    std::optional<ExamPatient> m_exam;
    int m_lastImageNo = 0;
    qint64 m_nextSeq = 1;
    QList<JournalExposure> m_exposures;
    QList<QByteArray> m_backlog;
    QString m_lastError;
    qint64 m_size = 0;        // bytes in the file
    qint64 m_compactSize = 0; // bytes after the last rewrite
};

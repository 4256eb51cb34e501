#pragma once
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

class Progress;
class Station;
namespace dicom {
class StoreSender;
}

// The transfers of the progress window: a series, a study or a patient sent over an
// open association, counted and, with General\SentAndKeep 0, removed from the store
// when every image went.
//
// A series goes from its stored files. A study goes from the files staged for it: only
// staged files named after an ImageUID of that study are sent, so staged files of
// another patient or study are never sent, and what counts as "all sent" is the study's
// own image rows. A study with nothing staged is reported and counts as unsent. The
// study's kept dose report goes after its images, on the same association; it is not
// counted among the images and its failure keeps no image from being removed.
//
// To a destination asked for storage commitment, what it accepted is listed (accepted())
// for the request after the transfer; with SentAndKeep 0 nothing is removed then: the
// images that would have gone are marked to go once the destination has committed them.
class SendTransfer {
public:
    static inline const QString PatientProcedure = QStringLiteral("EditForm PatientSenden");
    static inline const QString StudyProcedure = QStringLiteral("EditForm StudieSenden");
    static inline const QString SeriesProcedure = QStringLiteral("EditForm SerieSenden");

    enum class Level { Series, Study, Patient };

    // One study of a send: its image rows and the staged files that belong to them.
    struct StudyPlan {
        qint64 studyId = 0;
        QString studyUid;
        QStringList imageUids; // the study's rows
        QStringList files;     // staged files named after one of them, in name order
        QString report;        // the study's kept dose report; empty: none
    };

    // The studies of a patient with their staged files from stagingDir (empty: none).
    static QList<StudyPlan> patientPlan(Station &station, qint64 patId, const QString &stagingDir);
    static StudyPlan studyPlan(Station &station, qint64 studyId, const QString &stagingDir);
    // The stored files of a series, in image order (also those missing on disk).
    static QStringList seriesFiles(Station &station, qint64 seriesId);
    static QStringList filesOf(const QList<StudyPlan> &plans);

    SendTransfer(Station &station, Progress &progress, dicom::StoreSender &sender);

    // What a removal after sending took away.
    struct Removed {
        bool ok = false;          // the deletion went through
        bool patientGone = false; // the patient's row went with it
        int stayed = 0;           // images of the series, study or patient that stay (filed meanwhile)
    };
    // Removes the sent images of a series, study or patient from the store (rows and
    // files), by SOP Instance UID: what was filed while the send ran stays, and a
    // container goes only when nothing is left in it. Unset: nothing is removed.
    std::function<Removed(Level level, qint64 key, const QStringList &imageUids)> removeFromStore;
    // The destination is asked for storage commitment after the transfer.
    bool commitment = false;
    // An object the destination accepted, as the commitment request names it.
    struct Accepted {
        QString sopClass;
        QString sopInstance;
        QString imageUid; // the stored image it stands for; empty for the dose report
        QString studyUid; // empty when the send did not know it (a series)
        bool removeWhenCommitted = false;
    };
    const QList<Accepted> &accepted() const { return m_accepted; }
    // Told when a study has nothing to send in a study send ("could not be found").
    std::function<void(const QString &text)> tellOperator;

    void sendSeries(qint64 seriesId);
    void sendStudy(const StudyPlan &plan, bool partOfPatient = false);
    void sendPatient(const QString &displayName, qint64 patId, const QList<StudyPlan> &plans);

    int total() const { return m_total; }
    int reportsSent() const { return m_reportsSent; }
    int sent() const { return m_sent; }
    // The send's removal went through (the send-success flag).
    bool sendSuccess() const { return m_success; }
    bool patientRemoved() const { return m_patientRemoved; }

    static QString countLine(int sent, int total);

    // Ends the transfer's log: one line for the files an association broken on the way left
    // unsent (the first failure, the cause, has a line of its own).
    void finish();

private:
    bool sendFile(const QString &file, const QString &logName);
    void sendReport(const StudyPlan &plan, const QString &logName);
    bool removes() const;
    // Removes what was sent; with say, the progress text tells what stayed.
    bool removeSent(Level level, qint64 key, const QStringList &imageUids, bool say);

    Station &m_station;
    Progress &m_progress;
    dicom::StoreSender &m_sender;
    int m_total = 0;
    int m_sent = 0;
    int m_reportsSent = 0;
    bool m_success = false;
    bool m_patientRemoved = false;
    QStringList m_sentUids; // SOP Instance UIDs the destination accepted
    QList<Accepted> m_accepted;
    QString m_studyUid;         // of the study being sent
    int m_unsentAfterBreak = 0; // files not even tried: the association was gone
    QString m_breakLogName;
};

#pragma once
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>

class Database;
class Progress;
class Transaction;
class StationLog;
class StationPaths;

// Removes data from the image store: rows and files of an image, a series, a study, a
// patient or the whole store. No widgets: the progress window, sending and updating run
// it against the progress interface.
//
// Every deletion decides from the database as it is at that moment, inside one write
// transaction: what it removes, and the containers left empty by it (a series without
// images, a study without series, a patient without studies), which go as well. A study
// that arrives meanwhile is therefore never taken along.
//
// Rows first, then files: the files of the removed rows are named in a journal before
// the rows go; after the commit the files are removed and the journal with them. A run
// cut off between the two is completed by recover(). Only files whose rows were removed
// are touched, and a study folder goes when it is left empty; so no row ever points at
// a missing file and nothing the data manager is filing meanwhile is lost.
//
// With withDoseReports set (the operator's deletions), the kept dose report of each study
// removed goes too (StationPaths::doseReportFile), named in the journal as well; deleting
// the whole store takes every kept report, since the dose records go with it. Sending and
// updating leave the reports: an updated study is filed again under its UID.
class StoreDeletion {
public:
    enum class Level { Image, Series, Study, Patient, All };

    // What went, by key, for the lists to follow.
    struct Result {
        QList<qint64> patients; // PatID
        QStringList patientIds; // PatID1
        QList<qint64> studies;  // StudyID
        QStringList studyUids;
        QList<qint64> series; // SeriesID
        QStringList imageUids;
        int filesFailed = 0; // files that could not be removed (logged)
    };

    // A deletion asked for at one level, and what it comes to by the database now: the
    // last series of a study is the study, the last study of a patient the patient.
    struct Target {
        Level level = Level::Study;
        qint64 key = 0; // PatID, StudyID or SeriesID
    };

    StoreDeletion(const StationPaths &paths, const StationLog &log, Progress &progress);

    Target escalated(Target t) const;
    // The deletion of the last image a container holds is the container's.
    Target containerOfLastImage(const QString &imageUid, Level loadLevel) const;

    // The progress texts and error log names are those of the progress window's
    // operations; each throws AppError when the rows could not be removed (nothing was).
    // With confirmed, only those images go (what the operator confirmed): images filed
    // into the patient, study or series since stay, and so does their container.
    Result deletePatient(qint64 patId, const QStringList *confirmed = nullptr);
    Result deleteStudy(qint64 studyId, const QStringList *confirmed = nullptr);
    Result deleteSeries(qint64 seriesId, const QStringList *confirmed = nullptr);
    Result deleteImage(const QString &imageUid);
    // The given images in one transaction, with the series, studies and patients they
    // leave empty; images that arrived meanwhile stay. Unknown UIDs are passed over.
    Result deleteImages(const QStringList &imageUids,
                        const QString &procedure = QStringLiteral("EditForm UpdateTimer"));
    Result deleteAll();

    // The images of a patient, study or series now (what a deletion asked now takes).
    static QStringList imageUidsOf(const StationPaths &paths, Target target);
    // How many images a patient, study or series holds now.
    static int imagesIn(const StationPaths &paths, Level level, qint64 key);

    // Completes a deletion that an earlier run left between its rows and its files.
    void recover();
    QString journalPath() const;

    // Test hook: called at "journal" (files named, rows not yet committed), "rows"
    // (committed, files not yet removed) and "files" (done). A hook that throws or ends
    // the process stands for a run cut off there.
    std::function<void(const QString &stage)> stageHook;

    // The kept dose reports of the removed studies go too (the operator's deletions).
    bool withDoseReports = false;

private:
    struct Plan;
    Result run(Plan &plan);
    // Runs one deletion: the rows that collect removes, in one write transaction, the
    // progress text before and after it, then the files.
    Result deleteWith(const QString &procedure, const QString &before,
                      const std::function<void(Database &, Plan &)> &collect,
                      const std::function<QString(const Plan &)> &after = {});
    void collectStudy(Database &db, qint64 studyId, Plan &plan, const QStringList *confirmed);
    // A study left without series goes, and its patient when that has no study left.
    void dropEmptyStudy(Database &db, qint64 studyId, const QString &studyUid, qint64 patId, Plan &plan);
    bool removeFile(const QString &studyUid, const QString &imageUid, const QString &procedure);
    // The audit trail's messages of a deletion, before its files go: a whole study as
    // Study Deleted, some of its images as instances deleted.
    void auditDeletion(const QHash<QString, QStringList> &byStudy, const QStringList &wholeStudies) const;
    // A file whose image has a row again (filed anew since), or that the data manager is
    // filing now, is not the deletion's any more.
    static bool fileIsTaken(Database &db, const QSet<QString> &filing, const QString &imageUid);
    QSet<QString> filingNow() const;
    bool removeFolderIfEmpty(const QString &studyUid);
    void commitRows(Transaction &t, const Plan &plan);
    void writeJournal(const Plan &plan);
    // The kept reports of the removed studies (with withDoseReports).
    void collectReports(Plan &plan) const;
    // Removes the kept report of a study that has no row (one filed again keeps it); false
    // when the file could not be removed.
    bool removeReport(Database &db, const QString &studyUid) const;
    void stage(const QString &name);

    const StationPaths &m_paths;
    const StationLog &m_log;
    Progress &m_progress;
};

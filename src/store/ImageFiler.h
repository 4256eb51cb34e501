#pragma once
#include "store/Quarantine.h"

#include <QHash>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

class StationPaths;
class StationLog;
struct FileFacts;
class Database;

// Files DICOM files from the input folder ("temp") into the image store: each file to
// Images/<StudyUID>/<SOPUID>.dcm, its patient, study, series and image rows upserted in
// the data database, and one tblReceive row per batch so the station rebuilds its
// patient list. Files that are not DICOM or lack valid UIDs go to the quarantine folder.
//
// Crash safety: a batch is written to a journal before any file moves; the files move
// into the store, then the rows are written in one transaction, then the journal is
// removed. A run cut off anywhere is completed by recover(): files still in the input
// folder are filed again, files already moved get their rows from the journal. Rows are
// only ever written for files that are in place.
class ImageFiler {
public:
    static inline const QString Procedure = QStringLiteral("TqDataMgr FileImage");

    struct Result {
        int filed = 0;       // images whose rows were written
        int quarantined = 0; // files moved to quarantine
        int clashes = 0;     // of them, kept apart for a UID stored under another patient
        int deferred = 0;    // unreadable files young enough to be still in writing
        int batches = 0;     // tblReceive rows added
        Result &operator+=(const Result &o);
    };

    ImageFiler(const StationPaths &paths, const StationLog &log);

    // Completes a batch that an earlier run left unfinished. Cheap when there is none.
    Result recover();
    // Files what lies in the input folder now, in batches of at most maxBatch files.
    Result fileInput(int maxBatch = 500);
    // Files the given files (in the input folder or elsewhere) as one batch.
    Result fileBatch(const QStringList &files);

    // A file that cannot be read is left alone this long after its last change, since
    // a writer may still be at work on it; after that it is quarantined.
    void setSettleSeconds(int s) { m_settleSeconds = s; }
    // The files of the input folder the filer would take, oldest first.
    QStringList inputFiles() const;
    QString journalPath() const;
    // Names the file being read while it is read (see markReading).
    QString readingMarkPath() const;
    // Runs that may die reading one file before it is quarantined.
    static constexpr int MaxReadAttempts = 2;

    // Test hook: called at each stage of a batch ("journal", "moved", "rows" (written, not
    // committed), "committed" (files sent elsewhere not yet moved)). A hook that throws
    // stands for a run killed at that point.
    std::function<void(const QString &stage)> stageHook;

private:
    struct Item;
    bool readItem(const QString &file, Item &item, Result &r);
    void quarantine(const QString &file, const QString &reason);
    void keepApart(const QString &file, const QuarantinedObject &what);
    // A study, series or image UID of the object that the store (or an earlier object of
    // the batch) holds for another patient.
    static std::optional<QuarantinedObject> clashOf(Database &db, const FileFacts &f,
                                                    const QHash<QString, QString> &inBatch);
    QList<Item> keepClashesApart(Database &db, const QList<Item> &items, Result &r);
    struct FileMove;
    void writeJournal(const QByteArray &text);
    void doFileMoves(const QList<FileMove> &moves, const QList<Item> &batch);
    Result writeRows(Database &db, QList<Item> &items, bool recovering, QList<FileMove> &after);
    int markReading(const QString &file);
    void clearReadingMark();
    void stage(const QString &name);

    const StationPaths &m_paths;
    const StationLog &m_log;
    int m_settleSeconds = 5;
};

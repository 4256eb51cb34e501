#pragma once
#include "edit/Task.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

class Progress;
class Station;
class StationLog;
class StationPaths;

// The update of the progress window: applies the task list to the loaded images, to
// the other series of the study (study and patient tasks) and to the patient's other
// studies (patient tasks), each image once with every task meant for it, and refiles
// the rewritten images through the data manager.
//
// Nothing is lost on the way: every rewritten image is first written into a staging
// folder of its own for this run (below the station's bin folder). Only when all are
// there, and the input folder takes files, are the originals deleted, in one
// transaction; a marker in the run's folder says so before it happens. Anything failing
// before that discards the run's staged files and changes nothing; from the deletion on
// everything staged is handed over to the input folder, and what a run cut off there
// left is handed over at the next start by recover().
class StudyUpdate {
public:
    static inline const QString Procedure = QStringLiteral("EditForm UpdateTimer");
    static inline const QString RunPrefix = QStringLiteral("Update-");

    // What the viewer holds, as the browser loaded it.
    struct Loaded {
        QString loadLevel; // "Studie" or "Serie"
        qint64 patId = 0;
        qint64 studyId = 0;
        QString studyUid;
        qint64 seriesId = 0;
        QStringList viewerFiles; // in viewer order: "Image #n" is the n-th
    };

    // What a run did.
    struct Result {
        int rewritten = 0;
        int handedOver = 0;
        QString windowSkipped; // why the window options were not applied, if so
    };

    StudyUpdate(Station &station, Progress &progress);

    // Throws AppError on a failure; the store is then as it was unless the originals
    // were already deleted, in which case the rewritten images are in the input folder
    // or (when it refused them) waiting for the next start.
    Result run(const QList<Task> &tasks, const Loaded &loaded);

    // Hands over or discards what cut-off runs left in the staging folder. Returns the
    // number of files handed over.
    static int recover(const StationPaths &paths, const StationLog &log);

    // Test hook: called at "staged" (all copies written, nothing deleted), "marked"
    // (marker written), "deleted" (originals gone) and "moved" (handed over).
    std::function<void(const QString &stage)> stageHook;

private:
    struct Item;
    void stage(const QString &name);
    QList<Item> collect(const QList<Task> &tasks, const Loaded &loaded);

    Station &m_station;
    Progress &m_progress;
};

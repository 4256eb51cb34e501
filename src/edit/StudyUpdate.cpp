#include "edit/StudyUpdate.h"
#include "core/AppError.h"
#include "core/Audit.h"
#include "core/Database.h"
#include "core/Progress.h"
#include "core/Station.h"
#include "core/StationLog.h"
#include "core/StationPaths.h"
#include "dicom/AuditSubjects.h"
#include "dicom/Image.h"
#include "dicom/Render.h"
#include "edit/TaskApplier.h"
#include "store/StoreDeletion.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QSqlQuery>
#include <cmath>
#include <unistd.h>

namespace {

const QString Marker = QStringLiteral("deleting.txt");   // originals about to go
const QString HandOver = QStringLiteral("handover.txt"); // originals gone: hand over
const QString RecoverProc = QStringLiteral("StudyUpdate Recover");

QStringList stagedFiles(const QString &folder)
{
    QStringList out;
    for (const QFileInfo &fi : QDir(folder).entryInfoList({QStringLiteral("*.dcm")}, QDir::Files, QDir::Name))
        out << fi.absoluteFilePath();
    return out;
}

// Moves every staged file into the input folder; a name taken there gets a number.
// Returns the files moved; the others stay and are counted in failed.
int moveToInput(const StationPaths &paths, const QString &folder, Progress &progress, int *failed)
{
    const QStringList files = stagedFiles(folder);
    progress.setMaximum(int(files.size()));
    progress.setValue(0);
    int moved = 0;
    for (const QString &f : files) {
        const QFileInfo fi(f);
        QString target = paths.tempDir() + QLatin1Char('/') + fi.fileName();
        for (int n = 1; QFileInfo::exists(target); ++n)
            target = paths.tempDir() + QLatin1Char('/') + fi.completeBaseName() + QStringLiteral("-%1.dcm").arg(n);
        if (QFile::rename(f, target))
            ++moved;
        else
            ++*failed;
        progress.setValue(moved + *failed);
        progress.yield();
    }
    return moved;
}

void removeRun(const QString &folder) { QDir(folder).removeRecursively(); }

void writeMarker(const QString &path, const QStringList &lines)
{
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(lines.join(QLatin1Char('\n')).toUtf8() + '\n') < 0 || !f.commit())
        throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot write %1").arg(path));
}

bool inputTakesFiles(const StationPaths &paths)
{
    QFile probe(paths.tempDir() + QStringLiteral("/.update-probe-%1").arg(::getpid()));
    if (!probe.open(QIODevice::WriteOnly))
        return false;
    probe.close();
    probe.remove();
    return true;
}

QStringList imagesOf(Database &db, const QString &sql, const QVariantList &binds)
{
    QStringList out;
    QSqlQuery q = db.exec(sql, binds);
    while (q.next())
        out << q.value(0).toString();
    return out;
}

} // namespace

struct StudyUpdate::Item {
    QString studyUid;
    QString imageUid;
    QList<int> tasks; // indexes into the task list, in list order
    bool loaded = false;
};

StudyUpdate::StudyUpdate(Station &station, Progress &progress) : m_station(station), m_progress(progress) {}

void StudyUpdate::stage(const QString &name)
{
    if (stageHook)
        stageHook(name);
}

QList<StudyUpdate::Item> StudyUpdate::collect(const QList<Task> &tasks, const Loaded &given)
{
    Loaded loaded = given;
    if (isValidUid(loaded.studyUid)) {
        // The keys by the study's UID, as the database holds them now.
        Database db = Database::openData(m_station.paths());
        QSqlQuery q =
            db.exec(QStringLiteral("SELECT StudyID, FKeyPATID FROM tblStudies WHERE StudyUID = ?"), {loaded.studyUid});
        if (q.next()) {
            loaded.studyId = q.value(0).toLongLong();
            loaded.patId = q.value(1).toLongLong();
        }
    }
    const bool series = loaded.loadLevel == QLatin1String("Serie");
    if ((!series && loaded.loadLevel != QLatin1String("Studie")) || !isValidUid(loaded.studyUid) || loaded.studyId == 0
        || (series && loaded.seriesId == 0))
        throw AppError(ErrorNo::BadInput, QStringLiteral("No study or series is loaded"));

    QList<int> patientTasks, studyTasks, loadedTasks;
    QHash<int, int> imageTaskNumber;  // task index: viewer number
    QHash<int, int> seriesTaskNumber; // a series task made at image level: viewer number
    for (int i = 0; i < tasks.size(); ++i) {
        TaskApplier::checkTask(tasks[i]);
        switch (tasks[i].scope()) {
        case Task::Scope::Patient:
            patientTasks << i;
            break;
        case Task::Scope::Study:
            studyTasks << i;
            break;
        case Task::Scope::Series:
            if (const int n = tasks[i].imageNumber(); n > 0 && !series) {
                if (n > loaded.viewerFiles.size())
                    throw AppError(ErrorNo::BadInput,
                                   QStringLiteral("%1: the viewer holds no such image").arg(tasks[i].level));
                seriesTaskNumber.insert(i, n);
            }
            break;
        case Task::Scope::Image: {
            const int n = tasks[i].imageNumber();
            if (n < 1 || n > loaded.viewerFiles.size())
                throw AppError(ErrorNo::BadInput,
                               QStringLiteral("%1: the viewer holds no such image").arg(tasks[i].level));
            imageTaskNumber.insert(i, n);
            break;
        }
        }
    }

    QList<Item> items;
    Database db = Database::openData(m_station.paths());
    // What is loaded, from the database: the viewer may have left out files it could not
    // show, and those must be rewritten before their rows go.
    const QStringList loadedUids =
        series
            ? imagesOf(
                db, QStringLiteral("SELECT ImageUID FROM tblImages WHERE FKeySeriesID = ? ORDER BY ImageNr, ImageUID"),
                {loaded.seriesId})
            : imagesOf(db,
                       QStringLiteral(
                           "SELECT i.ImageUID FROM tblImages i INNER JOIN tblSeries se ON i.FKeySeriesID = se.SeriesID"
                           " WHERE se.FKeyStudyID = ? ORDER BY i.FKeySeriesID, i.ImageNr, i.ImageUID"),
                       {loaded.studyId});
    if (loadedUids.isEmpty())
        throw AppError(ErrorNo::BadInput, QStringLiteral("The loaded images are no longer in the store"));
    const QSet<QString> loadedSet(loadedUids.cbegin(), loadedUids.cend());
    QHash<int, QString> imageOfTask;
    for (auto it = imageTaskNumber.cbegin(); it != imageTaskNumber.cend(); ++it) {
        const QString uid = QFileInfo(loaded.viewerFiles.at(it.value() - 1)).completeBaseName();
        if (!loadedSet.contains(uid))
            throw AppError(ErrorNo::BadInput,
                           QStringLiteral("%1 is no longer in the store").arg(tasks[it.key()].level));
        imageOfTask.insert(it.key(), uid);
    }
    // A series task made at an image of a loaded study is for the images of that image's
    // series, all of them.
    QHash<int, QSet<QString>> seriesOfTask;
    for (auto it = seriesTaskNumber.cbegin(); it != seriesTaskNumber.cend(); ++it) {
        const QString uid = QFileInfo(loaded.viewerFiles.at(it.value() - 1)).completeBaseName();
        if (!loadedSet.contains(uid))
            throw AppError(ErrorNo::BadInput,
                           QStringLiteral("%1 is no longer in the store").arg(tasks[it.key()].level));
        const QStringList members = imagesOf(db,
                                             QStringLiteral("SELECT ImageUID FROM tblImages WHERE FKeySeriesID ="
                                                            " (SELECT FKeySeriesID FROM tblImages WHERE ImageUID = ?)"),
                                             {uid});
        seriesOfTask.insert(it.key(), QSet<QString>(members.cbegin(), members.cend()));
    }
    for (const QString &uid : loadedUids) {
        Item item{loaded.studyUid, uid, {}, true};
        for (int i = 0; i < tasks.size(); ++i) {
            // Each image gets every patient task once, also when one series is loaded.
            if (imageOfTask.contains(i) && imageOfTask.value(i) != uid)
                continue;
            if (seriesOfTask.contains(i) && !seriesOfTask.value(i).contains(uid))
                continue;
            item.tasks << i;
        }
        items << item;
    }
    // The other series of the study take the study and patient tasks.
    if (series && !(studyTasks.isEmpty() && patientTasks.isEmpty())) {
        QList<int> own = studyTasks + patientTasks;
        std::sort(own.begin(), own.end());
        const QStringList others = imagesOf(
            db,
            QStringLiteral(
                "SELECT i.ImageUID FROM tblImages i INNER JOIN tblSeries se ON i.FKeySeriesID = se.SeriesID"
                " WHERE se.FKeyStudyID = ? AND se.SeriesID <> ? ORDER BY i.FKeySeriesID, i.ImageNr, i.ImageUID"),
            {loaded.studyId, loaded.seriesId});
        for (const QString &uid : others)
            items << Item{loaded.studyUid, uid, own, false};
    }
    // The patient's other studies take the patient tasks.
    if (!patientTasks.isEmpty()) {
        QSqlQuery q = db.exec(
            QStringLiteral(
                "SELECT StudyID, StudyUID FROM tblStudies WHERE FKeyPATID = ? AND StudyID <> ? ORDER BY StudyID"),
            {loaded.patId, loaded.studyId});
        QList<QPair<qint64, QString>> studies;
        while (q.next())
            studies.append({q.value(0).toLongLong(), q.value(1).toString()});
        for (const auto &[id, uid] : studies) {
            const QStringList images = imagesOf(
                db,
                QStringLiteral(
                    "SELECT i.ImageUID FROM tblImages i INNER JOIN tblSeries se ON i.FKeySeriesID = se.SeriesID"
                    " WHERE se.FKeyStudyID = ? ORDER BY i.FKeySeriesID, i.ImageNr, i.ImageUID"),
                {id});
            for (const QString &image : images)
                items << Item{uid, image, patientTasks, false};
        }
    }
    return items;
}

StudyUpdate::Result StudyUpdate::run(const QList<Task> &tasks, const Loaded &loaded)
{
    recover(m_station.paths(), m_station.log());
    Result result;
    const QList<Item> items = collect(tasks, loaded);

    // The window options, checked once: an unusable custom window is skipped and logged.
    const Settings &settings = m_station.settings();
    const bool computeWindow = settings.autoWindow == 1 && settings.computeWindow == 1;
    std::optional<std::pair<double, double>> customWindow;
    if (settings.autoWindow == 1 && settings.computeWindow != 1) {
        bool okW = false, okC = false;
        const double w = settings.customWidth.trimmed().toDouble(&okW);
        const double c = settings.customCenter.trimmed().toDouble(&okC);
        if (okW && okC && std::isfinite(w) && std::isfinite(c) && w >= 1)
            customWindow = std::make_pair(c, w);
        else {
            result.windowSkipped =
                QStringLiteral("The custom window (width \"%1\", center \"%2\") is not valid and was not written")
                    .arg(settings.customWidth, settings.customCenter);
            m_station.logError(ErrorNo::BadInput, result.windowSkipped, Procedure);
        }
    }

    const QString folder = m_station.paths().binDir() + QLatin1Char('/') + RunPrefix
                           + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmsszzz"))
                           + QStringLiteral("-%1").arg(::getpid());
    if (!QDir().mkpath(folder))
        throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot create the staging folder %1").arg(folder));

    QStringList originals;
    try {
        TaskApplier applier;
        QSet<QString> written;
        int otherStudy = 0;
        QString lastStudy;
        auto section = [&](const QString &text, int count) {
            m_progress.append(text);
            m_progress.setMaximum(count);
            m_progress.setValue(0);
        };
        int done = 0;
        for (int i = 0; i < items.size(); ++i) {
            const Item &item = items[i];
            // A new line for the loaded images, the other series and each other study.
            const bool first = i == 0 || items[i - 1].loaded != item.loaded || items[i - 1].studyUid != item.studyUid;
            if (first) {
                if (i > 0)
                    m_progress.appendLine(QStringLiteral("OK"));
                int count = 0;
                for (int j = i;
                     j < items.size() && items[j].loaded == item.loaded && items[j].studyUid == item.studyUid; ++j)
                    ++count;
                done = 0;
                if (item.loaded)
                    section(QStringLiteral("Updating active images (") + loaded.loadLevel + QStringLiteral(") ... "),
                            count);
                else if (item.studyUid == loaded.studyUid)
                    section(QStringLiteral("Updating active study ... "), count);
                else
                    section(QStringLiteral("Updating study #%1 ... ").arg(++otherStudy), count);
                lastStudy = item.studyUid;
            }
            const QString file = m_station.paths().imageFile(item.studyUid, item.imageUid);
            auto image = dicom::Image::readFile(file);
            for (int t : item.tasks) {
                try {
                    applier.apply(tasks[t], *image);
                } catch (const AppError &e) {
                    throw AppError(e.number(), tasks[t].level + QStringLiteral(", ") + tasks[t].task
                                                   + QStringLiteral(" ") + tasks[t].sourceTag() + QStringLiteral(": ")
                                                   + e.description());
                }
            }
            if (item.loaded && computeWindow) {
                const dicom::ViewImage shown = dicom::renderForViewer(file, QSize(64, 64));
                if (shown.windowWidth > 0)
                    image->setWindow(std::round(shown.windowCentre), std::max(1.0, std::round(shown.windowWidth)));
            } else if (item.loaded && customWindow) {
                image->setWindow(customWindow->first, customWindow->second);
            }
            // The data manager files by these UIDs: a copy it would quarantine is refused
            // here, while the original is still in place.
            const QString sop = image->sopInstanceUid();
            if (!isValidUid(sop) || !isValidUid(image->value(0x0020, 0x000D).value_or(QString()))
                || !isValidUid(image->value(0x0020, 0x000E).value_or(QString())))
                throw AppError(ErrorNo::BadInput,
                               QStringLiteral("Image %1 would be left without valid instance UIDs").arg(item.imageUid));
            if (written.contains(sop))
                throw AppError(ErrorNo::BadInput,
                               QStringLiteral("Two rewritten images would share the SOP Instance UID %1").arg(sop));
            written.insert(sop);
            image->writeFile(folder + QLatin1Char('/') + sop + QStringLiteral(".dcm"));
            originals << item.imageUid;
            ++result.rewritten;
            m_progress.setValue(++done);
            m_progress.yield();
        }
        if (!items.isEmpty())
            m_progress.appendLine(QStringLiteral("OK"));
        stage(QStringLiteral("staged"));
        if (!inputTakesFiles(m_station.paths()))
            throw AppError(ErrorNo::FileIo, QStringLiteral("The input folder %1 takes no files; nothing was changed")
                                                .arg(m_station.paths().tempDir()));
        writeMarker(folder + QLatin1Char('/') + Marker, originals);
        stage(QStringLiteral("marked"));
    } catch (...) {
        removeRun(folder);
        throw;
    }

    // From here on the originals go, and whatever is staged is handed over.
    StoreDeletion(m_station.paths(), m_station.log(), m_progress).deleteImages(originals);
    QFile::rename(folder + QLatin1Char('/') + Marker, folder + QLatin1Char('/') + HandOver);
    stage(QStringLiteral("deleted"));

    // What the edit changed, read before the images leave the folder.
    QList<AuditSubject> changed;
    if (Audit::active()) {
        QStringList staged;
        for (const QFileInfo &f : QDir(folder).entryInfoList(QDir::Files))
            staged << f.filePath();
        changed = dicom::auditSubjectsOfFiles(staged);
    }
    m_progress.append(QStringLiteral("Moving images to input folder ... "));
    int failed = 0;
    result.handedOver = moveToInput(m_station.paths(), folder, m_progress, &failed);
    for (const AuditSubject &subject : changed)
        Audit::log(AuditEvent::instancesAccessed(Audit::station(), AuditAction::Update, subject));
    if (failed > 0)
        throw AppError(ErrorNo::FileIo, QStringLiteral("%1 rewritten image(s) could not be moved to the input folder;"
                                                       " they stay in %2 and are handed over at the next start")
                                            .arg(failed)
                                            .arg(folder));
    removeRun(folder);
    m_progress.appendLine(QStringLiteral("OK"));
    stage(QStringLiteral("moved"));
    return result;
}

int StudyUpdate::recover(const StationPaths &paths, const StationLog &log)
{
    int handed = 0;
    const QDir bin(paths.binDir());
    for (const QFileInfo &fi : bin.entryInfoList({RunPrefix + QLatin1Char('*')}, QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString folder = fi.absoluteFilePath();
        try {
            bool handOver = QFileInfo::exists(folder + QLatin1Char('/') + HandOver);
            if (!handOver && QFileInfo::exists(folder + QLatin1Char('/') + Marker)) {
                // Deletion began: the originals' rows went in one transaction, so one of
                // them still there means it never committed.
                QFile f(folder + QLatin1Char('/') + Marker);
                if (!f.open(QIODevice::ReadOnly))
                    throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot read %1").arg(f.fileName()));
                const QStringList uids = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
                Database db = Database::openData(paths);
                qint64 left = 0;
                for (const QString &uid : uids)
                    left += db.scalar(QStringLiteral("SELECT COUNT(*) FROM tblImages WHERE ImageUID = ?"), {uid}, 0)
                                .toLongLong();
                handOver = left == 0;
            }
            if (!handOver) {
                removeRun(folder); // the originals are all in place
                continue;
            }
            NoProgress none;
            int failed = 0;
            handed += moveToInput(paths, folder, none, &failed);
            if (failed > 0)
                throw AppError(ErrorNo::FileIo,
                               QStringLiteral("%1 rewritten image(s) in %2 could not be moved to the input folder")
                                   .arg(failed)
                                   .arg(folder));
            removeRun(folder);
        } catch (const std::exception &e) {
            const ErrorParts p = errorParts(e);
            log.writeError(p.number, p.text, RecoverProc);
        }
    }
    return handed;
}

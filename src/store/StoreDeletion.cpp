#include "store/StoreDeletion.h"
#include "core/AppError.h"
#include "core/Audit.h"
#include "core/Database.h"
#include "core/Progress.h"
#include "core/StationLog.h"
#include "core/StationPaths.h"
#include "dicom/AuditSubjects.h"
#include "store/Schema.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QSet>
#include <QSqlQuery>
#include <filesystem>
#include <optional>

namespace {

const QString PatientProc = QStringLiteral("EditForm DeletePatientFromDatabase");
const QString StudyProc = QStringLiteral("EditForm DeleteStudyFromDatabase");
const QString SeriesProc = QStringLiteral("EditForm DeleteSeriesFromDatabase");
const QString AllProc = QStringLiteral("EditForm DeleteAllTimer");
const QString ImageProc = QStringLiteral("MainForm PopupDeleteImage_Click");
const QString RecoverProc = QStringLiteral("StoreDeletion Recover");

// Progress is yielded to the window every so many files.
constexpr int FilesPerYield = 64;
// Files removed under one hold of the write lock at most.
constexpr int FilesPerLock = 256;

qint64 count(Database &db, const QString &sql, const QVariantList &binds)
{
    return db.scalar(sql, binds, 0).toLongLong();
}

} // namespace

struct StoreDeletion::Plan {
    QString procedure;
    Result result;
    // The files of the removed image rows, by study folder, and the folders of the
    // removed studies (removed when left empty).
    QList<QPair<QString, QString>> files; // StudyUID, ImageUID
    QStringList folders;
    // The studies whose kept dose report goes (withDoseReports).
    QStringList reports;
};

StoreDeletion::StoreDeletion(const StationPaths &paths, const StationLog &log, Progress &progress)
    : m_paths(paths), m_log(log), m_progress(progress)
{
}

QString StoreDeletion::journalPath() const { return m_paths.dataDir() + QStringLiteral("/TqDelete.journal"); }

void StoreDeletion::stage(const QString &name)
{
    if (stageHook)
        stageHook(name);
}

// ---- what a deletion comes to -------------------------------------------------------

StoreDeletion::Target StoreDeletion::escalated(Target t) const
{
    Database db = Database::openData(m_paths);
    if (t.level == Level::Series) {
        const QVariant study =
            db.scalar(QStringLiteral("SELECT FKeyStudyID FROM tblSeries WHERE SeriesID = ?"), {t.key});
        if (study.isNull())
            return t;
        if (count(db, QStringLiteral("SELECT COUNT(*) FROM tblSeries WHERE FKeyStudyID = ?"), {study}) > 1)
            return t;
        t = {Level::Study, study.toLongLong()};
    }
    if (t.level == Level::Study) {
        const QVariant patient =
            db.scalar(QStringLiteral("SELECT FKeyPATID FROM tblStudies WHERE StudyID = ?"), {t.key});
        if (patient.isNull())
            return t;
        if (count(db, QStringLiteral("SELECT COUNT(*) FROM tblStudies WHERE FKeyPATID = ?"), {patient}) > 1)
            return t;
        t = {Level::Patient, patient.toLongLong()};
    }
    return t;
}

StoreDeletion::Target StoreDeletion::containerOfLastImage(const QString &imageUid, Level loadLevel) const
{
    Database db = Database::openData(m_paths);
    QSqlQuery q =
        db.exec(QStringLiteral("SELECT se.SeriesID, se.FKeyStudyID FROM tblImages i"
                               " INNER JOIN tblSeries se ON i.FKeySeriesID = se.SeriesID WHERE i.ImageUID = ?"),
                {imageUid});
    if (!q.next())
        return {Level::Image, 0};
    const qint64 series = q.value(0).toLongLong();
    const qint64 study = q.value(1).toLongLong();
    if (loadLevel == Level::Series) {
        if (count(db, QStringLiteral("SELECT COUNT(*) FROM tblImages WHERE FKeySeriesID = ?"), {series}) > 1)
            return {Level::Image, 0};
        return escalated({Level::Series, series});
    }
    const qint64 inStudy = count(db,
                                 QStringLiteral("SELECT COUNT(*) FROM tblImages i INNER JOIN tblSeries se"
                                                " ON i.FKeySeriesID = se.SeriesID WHERE se.FKeyStudyID = ?"),
                                 {study});
    if (inStudy > 1)
        return {Level::Image, 0};
    return escalated({Level::Study, study});
}

// ---- rows --------------------------------------------------------------------------

namespace {

// Deletes the image rows of one series: all of them, or only the confirmed ones. Returns
// the UIDs removed.
QStringList deleteSeriesImages(Database &db, qint64 seriesId, const QStringList *confirmed)
{
    QStringList removed;
    QSqlQuery q = db.exec(QStringLiteral("SELECT ImageUID FROM tblImages WHERE FKeySeriesID = ?"), {seriesId});
    while (q.next())
        if (!confirmed || confirmed->contains(q.value(0).toString()))
            removed << q.value(0).toString();
    for (const QString &uid : std::as_const(removed))
        db.exec(QStringLiteral("DELETE FROM tblImages WHERE ImageUID = ? AND FKeySeriesID = ?"), {uid, seriesId});
    return removed;
}

} // namespace

void StoreDeletion::collectStudy(Database &db, qint64 studyId, Plan &plan, const QStringList *confirmed)
{
    const QString studyUid =
        db.scalar(QStringLiteral("SELECT StudyUID FROM tblStudies WHERE StudyID = ?"), {studyId}).toString();
    QList<qint64> series;
    QSqlQuery s = db.exec(QStringLiteral("SELECT SeriesID FROM tblSeries WHERE FKeyStudyID = ?"), {studyId});
    while (s.next())
        series << s.value(0).toLongLong();
    for (qint64 id : std::as_const(series)) {
        for (const QString &uid : deleteSeriesImages(db, id, confirmed)) {
            plan.files.append({studyUid, uid});
            plan.result.imageUids << uid;
        }
        // A series keeps what was filed into it since the question.
        if (count(db, QStringLiteral("SELECT COUNT(*) FROM tblImages WHERE FKeySeriesID = ?"), {id}) > 0)
            continue;
        db.exec(QStringLiteral("DELETE FROM tblSeries WHERE SeriesID = ?"), {id});
        plan.result.series << id;
    }
    if (count(db, QStringLiteral("SELECT COUNT(*) FROM tblSeries WHERE FKeyStudyID = ?"), {studyId}) > 0)
        return;
    db.exec(QStringLiteral("DELETE FROM tblStudies WHERE StudyID = ?"), {studyId});
    plan.result.studies << studyId;
    plan.result.studyUids << studyUid;
    plan.folders << studyUid;
}

namespace {

// The containers a deletion left empty go as well: a study without series, a patient
// without studies.
void dropEmptyPatient(Database &db, qint64 patId, StoreDeletion::Result &r)
{
    if (count(db, QStringLiteral("SELECT COUNT(*) FROM tblStudies WHERE FKeyPATID = ?"), {patId}) > 0)
        return;
    const QVariant id1 = db.scalar(QStringLiteral("SELECT PatID1 FROM tblPatienten WHERE PatID = ?"), {patId});
    if (id1.isNull())
        return;
    db.exec(QStringLiteral("DELETE FROM tblPatienten WHERE PatID = ?"), {patId});
    r.patients << patId;
    r.patientIds << id1.toString();
}

} // namespace

StoreDeletion::Result StoreDeletion::deletePatient(qint64 patId, const QStringList *confirmed)
{
    return deleteWith(PatientProc, QStringLiteral("Updating Database ... "), [&](Database &db, Plan &plan) {
        QList<qint64> studies;
        QSqlQuery q = db.exec(QStringLiteral("SELECT StudyID FROM tblStudies WHERE FKeyPATID = ?"), {patId});
        while (q.next())
            studies << q.value(0).toLongLong();
        for (qint64 id : studies)
            collectStudy(db, id, plan, confirmed);
        dropEmptyPatient(db, patId, plan.result);
    });
}

StoreDeletion::Result StoreDeletion::deleteStudy(qint64 studyId, const QStringList *confirmed)
{
    return deleteWith(StudyProc, QStringLiteral("Updating Database ... "), [&](Database &db, Plan &plan) {
        const QVariant patId =
            db.scalar(QStringLiteral("SELECT FKeyPATID FROM tblStudies WHERE StudyID = ?"), {studyId});
        if (patId.isNull())
            return;
        collectStudy(db, studyId, plan, confirmed);
        dropEmptyPatient(db, patId.toLongLong(), plan.result);
    });
}

StoreDeletion::Result StoreDeletion::deleteSeries(qint64 seriesId, const QStringList *confirmed)
{
    auto collect = [&](Database &db, Plan &plan) {
        QSqlQuery s =
            db.exec(QStringLiteral("SELECT se.FKeyStudyID, st.StudyUID, st.FKeyPATID FROM tblSeries se"
                                   " INNER JOIN tblStudies st ON se.FKeyStudyID = st.StudyID WHERE se.SeriesID = ?"),
                    {seriesId});
        if (!s.next())
            return;
        const QString studyUid = s.value(1).toString();
        for (const QString &uid : deleteSeriesImages(db, seriesId, confirmed)) {
            plan.files.append({studyUid, uid});
            plan.result.imageUids << uid;
        }
        if (count(db, QStringLiteral("SELECT COUNT(*) FROM tblImages WHERE FKeySeriesID = ?"), {seriesId}) > 0)
            return; // filed into it since the question: the series stays with those
        db.exec(QStringLiteral("DELETE FROM tblSeries WHERE SeriesID = ?"), {seriesId});
        plan.result.series << seriesId;
        dropEmptyStudy(db, s.value(0).toLongLong(), studyUid, s.value(2).toLongLong(), plan);
    };
    // The study's folder goes when the series was its last.
    return deleteWith(SeriesProc, QStringLiteral("Updating Database ... "), collect, [](const Plan &plan) {
        return plan.folders.isEmpty() ? QStringLiteral("Removing images ... ")
                                      : QStringLiteral("Removing image directory ... ");
    });
}

StoreDeletion::Result StoreDeletion::deleteImage(const QString &imageUid)
{
    return deleteWith(ImageProc, QString(), [&](Database &db, Plan &plan) {
        QSqlQuery q =
            db.exec(QStringLiteral("SELECT i.FKeySeriesID, se.FKeyStudyID, st.StudyUID, st.FKeyPATID FROM tblImages i"
                                   " INNER JOIN tblSeries se ON i.FKeySeriesID = se.SeriesID"
                                   " INNER JOIN tblStudies st ON se.FKeyStudyID = st.StudyID WHERE i.ImageUID = ?"),
                    {imageUid});
        if (!q.next())
            return;
        const qint64 seriesId = q.value(0).toLongLong();
        db.exec(QStringLiteral("DELETE FROM tblImages WHERE ImageUID = ?"), {imageUid});
        plan.files.append({q.value(2).toString(), imageUid});
        plan.result.imageUids << imageUid;
        if (count(db, QStringLiteral("SELECT COUNT(*) FROM tblImages WHERE FKeySeriesID = ?"), {seriesId}) > 0)
            return;
        db.exec(QStringLiteral("DELETE FROM tblSeries WHERE SeriesID = ?"), {seriesId});
        plan.result.series << seriesId;
        dropEmptyStudy(db, q.value(1).toLongLong(), q.value(2).toString(), q.value(3).toLongLong(), plan);
    });
}

StoreDeletion::Result StoreDeletion::deleteImages(const QStringList &imageUids, const QString &procedure)
{
    recover(); // what an earlier run left undone first
    Plan plan;
    plan.procedure = procedure;
    m_progress.append(QStringLiteral("Updating Database ... "));
    {
        Database db = Database::openData(m_paths);
        Transaction t(db, Transaction::Write);
        QSet<qint64> seriesTouched;
        QHash<qint64, QPair<QString, qint64>> studies; // StudyID: StudyUID, PatID
        QHash<qint64, qint64> studyOfSeries;
        for (const QString &imageUid : imageUids) {
            QSqlQuery q = db.exec(
                QStringLiteral("SELECT i.FKeySeriesID, se.FKeyStudyID, st.StudyUID, st.FKeyPATID FROM tblImages i"
                               " INNER JOIN tblSeries se ON i.FKeySeriesID = se.SeriesID"
                               " INNER JOIN tblStudies st ON se.FKeyStudyID = st.StudyID WHERE i.ImageUID = ?"),
                {imageUid});
            if (!q.next())
                continue;
            const qint64 seriesId = q.value(0).toLongLong();
            const qint64 studyId = q.value(1).toLongLong();
            studies.insert(studyId, {q.value(2).toString(), q.value(3).toLongLong()});
            studyOfSeries.insert(seriesId, studyId);
            seriesTouched.insert(seriesId);
            db.exec(QStringLiteral("DELETE FROM tblImages WHERE ImageUID = ?"), {imageUid});
            plan.files.append({q.value(2).toString(), imageUid});
            plan.result.imageUids << imageUid;
        }
        for (qint64 seriesId : std::as_const(seriesTouched)) {
            if (count(db, QStringLiteral("SELECT COUNT(*) FROM tblImages WHERE FKeySeriesID = ?"), {seriesId}) > 0)
                continue;
            db.exec(QStringLiteral("DELETE FROM tblSeries WHERE SeriesID = ?"), {seriesId});
            plan.result.series << seriesId;
        }
        QSet<qint64> patients;
        for (auto it = studies.cbegin(); it != studies.cend(); ++it) {
            if (count(db, QStringLiteral("SELECT COUNT(*) FROM tblSeries WHERE FKeyStudyID = ?"), {it.key()}) > 0)
                continue;
            db.exec(QStringLiteral("DELETE FROM tblStudies WHERE StudyID = ?"), {it.key()});
            plan.result.studies << it.key();
            plan.result.studyUids << it->first;
            plan.folders << it->first;
            patients.insert(it->second);
        }
        for (qint64 patId : std::as_const(patients))
            dropEmptyPatient(db, patId, plan.result);
        collectReports(plan);
        commitRows(t, plan);
    }
    m_progress.appendLine(QStringLiteral("OK"));
    m_progress.append(QStringLiteral("Removing images ... "));
    return run(plan);
}

StoreDeletion::Result StoreDeletion::deleteAll()
{
    auto collect = [this](Database &db, Plan &plan) {
        // The dose records go as well: so does every kept report, also of studies that
        // never reached the store.
        if (withDoseReports)
            for (const QFileInfo &f :
                 QDir(m_paths.doseReportsDir()).entryInfoList({QStringLiteral("*.dcm")}, QDir::Files))
                if (isValidUid(f.completeBaseName()))
                    plan.reports << f.completeBaseName();
        QSqlQuery q = db.exec(QStringLiteral("SELECT st.StudyUID, i.ImageUID FROM tblImages i"
                                             " INNER JOIN tblSeries se ON i.FKeySeriesID = se.SeriesID"
                                             " INNER JOIN tblStudies st ON se.FKeyStudyID = st.StudyID"));
        while (q.next())
            plan.files.append({q.value(0).toString(), q.value(1).toString()});
        QSqlQuery s = db.exec(QStringLiteral("SELECT StudyID, StudyUID FROM tblStudies"));
        while (s.next()) {
            plan.result.studies << s.value(0).toLongLong();
            plan.result.studyUids << s.value(1).toString();
            plan.folders << s.value(1).toString();
        }
        QSqlQuery p = db.exec(QStringLiteral("SELECT PatID, PatID1 FROM tblPatienten"));
        while (p.next()) {
            plan.result.patients << p.value(0).toLongLong();
            plan.result.patientIds << p.value(1).toString();
        }
        // Every table emptied in place: the data manager may hold the file open, and a
        // file replaced under it would lose its writes.
        for (const QString &table : Schema::dataTables())
            db.exec(QStringLiteral("DELETE FROM ") + table);
        db.resetAutoKeys();
    };
    return deleteWith(AllProc, QStringLiteral("Removing database entries ... "), collect,
                      [](const Plan &) { return QStringLiteral("Removing images ... "); });
}

void StoreDeletion::dropEmptyStudy(Database &db, qint64 studyId, const QString &studyUid, qint64 patId, Plan &plan)
{
    if (count(db, QStringLiteral("SELECT COUNT(*) FROM tblSeries WHERE FKeyStudyID = ?"), {studyId}) > 0)
        return;
    db.exec(QStringLiteral("DELETE FROM tblStudies WHERE StudyID = ?"), {studyId});
    plan.result.studies << studyId;
    plan.result.studyUids << studyUid;
    plan.folders << studyUid;
    dropEmptyPatient(db, patId, plan.result);
}

StoreDeletion::Result StoreDeletion::deleteWith(const QString &procedure, const QString &before,
                                                const std::function<void(Database &, Plan &)> &collect,
                                                const std::function<QString(const Plan &)> &after)
{
    recover(); // what an earlier run left undone first
    Plan plan;
    plan.procedure = procedure;
    m_progress.append(before);
    {
        Database db = Database::openData(m_paths);
        Transaction t(db, Transaction::Write);
        collect(db, plan);
        collectReports(plan);
        commitRows(t, plan);
    }
    if (!before.isEmpty()) {
        m_progress.appendLine(QStringLiteral("OK"));
        m_progress.append(after ? after(plan) : QStringLiteral("Removing image directory ... "));
    }
    return run(plan);
}

// ---- files -------------------------------------------------------------------------

void StoreDeletion::commitRows(Transaction &t, const Plan &plan)
{
    // The files are named before the rows go, so that a run cut off after the commit
    // can be completed.
    writeJournal(plan);
    stage(QStringLiteral("journal"));
    t.commit();
    stage(QStringLiteral("rows"));
}

void StoreDeletion::writeJournal(const Plan &plan)
{
    QSaveFile journal(journalPath());
    if (!journal.open(QIODevice::WriteOnly))
        throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot write %1").arg(journalPath()));
    QByteArray text;
    for (const auto &[study, image] : plan.files)
        text += "F\t" + study.toUtf8() + '\t' + image.toUtf8() + '\n';
    for (const QString &study : plan.folders)
        text += "D\t" + study.toUtf8() + '\n';
    for (const QString &study : plan.reports)
        text += "R\t" + study.toUtf8() + '\n';
    journal.write(text);
    if (!journal.commit())
        throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot write %1").arg(journalPath()));
}

void StoreDeletion::auditDeletion(const QHash<QString, QStringList> &byStudy, const QStringList &wholeStudies) const
{
    if (!Audit::active())
        return;
    // One file of each study names its patient and kind; the count is the plan's.
    for (auto it = byStudy.cbegin(); it != byStudy.cend(); ++it) {
        QStringList files;
        for (const QString &image : it.value()) {
            try {
                files << m_paths.imageFile(it.key(), image);
            } catch (const AppError &) {
            }
        }
        for (const AuditSubject &subject : dicom::auditSubjectsOfStudy(files))
            Audit::log(wholeStudies.contains(it.key())
                           ? AuditEvent::studyDeleted(Audit::station(), subject)
                           : AuditEvent::instancesAccessed(Audit::station(), AuditAction::Delete, subject));
    }
}

bool StoreDeletion::removeFile(const QString &studyUid, const QString &imageUid, const QString &procedure)
{
    QString path;
    try {
        path = m_paths.imageFile(studyUid, imageUid);
    } catch (const AppError &e) {
        // Never a path outside the store: the row is gone, the file is not looked for.
        m_log.writeError(e.number(), e.description(), procedure);
        return true;
    }
    std::error_code ec;
    std::filesystem::remove(std::filesystem::path(path.toStdU16String()), ec);
    return !ec;
}

void StoreDeletion::collectReports(Plan &plan) const
{
    if (!withDoseReports)
        return;
    QSet<QString> named(plan.reports.cbegin(), plan.reports.cend());
    for (const QString &study : std::as_const(plan.result.studyUids))
        if (isValidUid(study) && !named.contains(study)) {
            named.insert(study);
            plan.reports << study;
        }
}

bool StoreDeletion::removeReport(Database &db, const QString &studyUid) const
{
    if (!isValidUid(studyUid))
        return true;
    // A study filed again under the UID since keeps its report.
    if (count(db, QStringLiteral("SELECT COUNT(*) FROM tblStudies WHERE StudyUID = ?"), {studyUid}) > 0)
        return true;
    const QString file = m_paths.doseReportFile(studyUid);
    return !QFileInfo::exists(file) || QFile::remove(file);
}

bool StoreDeletion::removeFolderIfEmpty(const QString &studyUid)
{
    if (!isValidUid(studyUid))
        return true;
    const QString dir = m_paths.studyDir(studyUid);
    std::error_code ec;
    const std::filesystem::path p(dir.toStdU16String());
    if (!std::filesystem::exists(p, ec))
        return true; // a missing folder is skipped
    if (!std::filesystem::is_empty(p, ec) || ec)
        return true; // something else lives there now; it is not ours to remove
    std::filesystem::remove(p, ec);
    return !ec;
}

QStringList StoreDeletion::imageUidsOf(const StationPaths &paths, Target target)
{
    static const QHash<Level, QString> sql = {
        {Level::Series, QStringLiteral("SELECT ImageUID FROM tblImages WHERE FKeySeriesID = ?")},
        {Level::Study, QStringLiteral("SELECT i.ImageUID FROM tblImages i INNER JOIN tblSeries se"
                                      " ON i.FKeySeriesID = se.SeriesID WHERE se.FKeyStudyID = ?")},
        {Level::Patient, QStringLiteral("SELECT i.ImageUID FROM tblImages i INNER JOIN tblSeries se"
                                        " ON i.FKeySeriesID = se.SeriesID INNER JOIN tblStudies st"
                                        " ON se.FKeyStudyID = st.StudyID WHERE st.FKeyPATID = ?")},
    };
    QStringList out;
    if (!sql.contains(target.level))
        return out;
    Database db = Database::openData(paths);
    QSqlQuery q = db.exec(sql.value(target.level), {target.key});
    while (q.next())
        out << q.value(0).toString();
    return out;
}

int StoreDeletion::imagesIn(const StationPaths &paths, Level level, qint64 key)
{
    return int(imageUidsOf(paths, {level, key}).size());
}

QSet<QString> StoreDeletion::filingNow() const
{
    // The data manager names a batch's images in its journal before it moves them.
    QSet<QString> out;
    QFile journal(m_paths.dataDir() + QStringLiteral("/TqDataMgr.journal"));
    if (journal.open(QIODevice::ReadOnly))
        for (const QByteArray &line : journal.readAll().split('\n')) {
            const QList<QByteArray> parts = line.trimmed().split('\t');
            if (parts.size() == 2)
                out << QString::fromLatin1(parts[1]);
        }
    return out;
}

bool StoreDeletion::fileIsTaken(Database &db, const QSet<QString> &filing, const QString &imageUid)
{
    return filing.contains(imageUid)
           || count(db, QStringLiteral("SELECT COUNT(*) FROM tblImages WHERE ImageUID = ?"), {imageUid}) > 0;
}

StoreDeletion::Result StoreDeletion::run(Plan &plan)
{
    Result &r = plan.result;
    // Each file goes while no one can file anything (the data manager moves files only
    // under the write lock): an image of the same UID filed anew since the rows went (a
    // re-sent object) keeps its file.
    Database db = Database::openData(m_paths);
    const QSet<QString> filing = filingNow();
    // The lock is taken for a few hundred files at a time, so the data manager waits only
    // moments.
    std::optional<Transaction> lock;
    int underLock = 0;
    auto release = [&] {
        if (lock)
            lock->commit();
        lock.reset();
        underLock = 0;
    };
    auto removeIfFree = [&](const QString &study, const QString &image) {
        if (!lock)
            lock.emplace(db, Transaction::Write);
        const bool ok = fileIsTaken(db, filing, image) || removeFile(study, image, plan.procedure);
        if (++underLock == FilesPerLock)
            release();
        return ok;
    };
    // Progress by folder where whole studies go, by file otherwise.
    const bool byFolder = !plan.folders.isEmpty();
    QHash<QString, QStringList> byStudy;
    for (const auto &[study, image] : plan.files)
        byStudy[study] << image;
    auditDeletion(byStudy, plan.folders);
    auto fail = [&](const QString &what) {
        ++r.filesFailed;
        m_log.writeError(ErrorNo::FileIo, QStringLiteral("Cannot remove %1").arg(what), plan.procedure);
    };

    int done = 0;
    if (byFolder) {
        QStringList folders = plan.folders;
        for (auto it = byStudy.cbegin(); it != byStudy.cend(); ++it)
            if (!folders.contains(it.key()))
                folders << it.key();
        m_progress.setMaximum(int(folders.size()));
        m_progress.setValue(0);
        for (const QString &study : folders) {
            for (const QString &image : byStudy.value(study))
                if (!removeIfFree(study, image))
                    fail(study + QLatin1Char('/') + image + QStringLiteral(".dcm"));
            if (plan.folders.contains(study) && !removeFolderIfEmpty(study))
                fail(study);
            m_progress.setValue(++done);
            release();
            m_progress.yield();
        }
    } else {
        m_progress.setMaximum(int(plan.files.size()));
        m_progress.setValue(0);
        for (const auto &[study, image] : plan.files) {
            if (!removeIfFree(study, image))
                fail(study + QLatin1Char('/') + image + QStringLiteral(".dcm"));
            m_progress.setValue(++done);
            if (done % FilesPerYield == 0) {
                release();
                m_progress.yield();
            }
        }
    }
    release();
    for (const QString &study : std::as_const(plan.reports))
        if (!removeReport(db, study))
            fail(m_paths.doseReportFile(study));
    QFile::remove(journalPath());
    stage(QStringLiteral("files"));
    m_progress.appendLine(r.filesFailed ? QStringLiteral("failed") : QStringLiteral("OK"));
    m_progress.scrollToEnd();
    return r;
}

void StoreDeletion::recover()
{
    QFile journal(journalPath());
    if (!journal.exists())
        return;
    if (!journal.open(QIODevice::ReadOnly))
        throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot read %1").arg(journalPath()));
    const QList<QByteArray> lines = journal.readAll().split('\n');
    journal.close();
    Database db = Database::openData(m_paths);
    Transaction lock(db, Transaction::Write);
    const QSet<QString> filing = filingNow();
    // Only what has no row any more goes: a run cut off before its commit removed no
    // rows, and its files stay.
    for (const QByteArray &line : lines) {
        const QList<QByteArray> parts = line.split('\t');
        if (parts.size() == 3 && parts[0] == "F") {
            const QString study = QString::fromUtf8(parts[1]), image = QString::fromUtf8(parts[2]);
            if (!fileIsTaken(db, filing, image) && !removeFile(study, image, RecoverProc))
                m_log.writeError(ErrorNo::FileIo, QStringLiteral("Cannot remove %1/%2.dcm").arg(study, image),
                                 RecoverProc);
        }
    }
    for (const QByteArray &line : lines) {
        const QList<QByteArray> parts = line.split('\t');
        if (parts.size() == 2 && parts[0] == "D") {
            const QString study = QString::fromUtf8(parts[1]);
            if (count(db, QStringLiteral("SELECT COUNT(*) FROM tblStudies WHERE StudyUID = ?"), {study}) == 0)
                removeFolderIfEmpty(study);
        } else if (parts.size() == 2 && parts[0] == "R") {
            const QString study = QString::fromUtf8(parts[1]);
            if (!removeReport(db, study))
                m_log.writeError(ErrorNo::FileIo, QStringLiteral("Cannot remove %1").arg(m_paths.doseReportFile(study)),
                                 RecoverProc);
        }
    }
    QFile::remove(journalPath());
    lock.commit();
}

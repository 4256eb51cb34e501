#include "store/ImageFiler.h"
#include "core/AppError.h"
#include "core/Database.h"
#include "core/DateText.h"
#include "core/StationLog.h"
#include "core/StationPaths.h"
#include "dicom/ElementScan.h"
#include "dicom/FileFacts.h"
#include "store/Quarantine.h"
#include "store/Schema.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QSet>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

struct ImageFiler::Item {
    QString source; // where the file is now
    QString target; // its place in the store
    FileFacts facts;
    // The file as it was read: a newer file renamed over it meanwhile is not this one.
    quint64 device = 0, inode = 0;
};

// A file the rows sent elsewhere or left behind: moved from one study's folder into
// another's, or removed (empty to). Journaled before the rows commit, done after.
struct ImageFiler::FileMove {
    QString fromStudy, toStudy, sop;
};

namespace {

QVariant numberOrNull(const QString &text)
{
    bool ok = false;
    const qint64 v = text.trimmed().toLongLong(&ok);
    return ok ? QVariant(v) : QVariant(QMetaType::fromType<qint64>());
}

// Moves a file over another, atomically where the file system allows it.
bool moveReplace(const QString &from, const QString &to, QString *error)
{
    const QByteArray f = QFile::encodeName(from), t = QFile::encodeName(to);
    if (std::rename(f.constData(), t.constData()) == 0)
        return true;
    if (errno != EXDEV) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    // Another file system: copy under a temporary name, then rename.
    const QString part = to + QStringLiteral(".part");
    QFile::remove(part);
    if (!QFile::copy(from, part)) {
        *error = QStringLiteral("copy failed");
        return false;
    }
    if (std::rename(QFile::encodeName(part).constData(), t.constData()) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        QFile::remove(part);
        return false;
    }
    QFile::remove(from);
    return true;
}

// Empty texts are stored as empty text, never as null: the lists and the dose list
// compare them with what the worklist gives.
QString text(const QString &t) { return t.isNull() ? QStringLiteral("") : t; }

QString firstOf(const QString &a, const QString &b, const QString &c)
{
    return !a.isEmpty() ? a : !b.isEmpty() ? b : c;
}

// The key of the row whose unique column holds key: the row is updated with the values
// when it exists and added otherwise. Table and column names are fixed texts of this file.
qint64 upsertRow(Database &db, const QString &table, const QString &idColumn, const QString &keyColumn,
                 const QStringList &columns, const QVariantList &values, const QString &key)
{
    const QVariant id =
        db.scalar(QStringLiteral("SELECT %1 FROM %2 WHERE %3 = ?").arg(idColumn, table, keyColumn), {key});
    if (id.isValid()) {
        db.exec(QStringLiteral("UPDATE %1 SET %2 = ? WHERE %3 = ?")
                    .arg(table, columns.join(QStringLiteral(" = ?, ")), idColumn),
                values + QVariantList{id});
        return id.toLongLong();
    }
    QStringList marks;
    for (int i = 0; i <= columns.size(); ++i)
        marks << QStringLiteral("?");
    QSqlQuery q =
        db.exec(QStringLiteral("INSERT INTO %1 (%2, %3) VALUES (%4)")
                    .arg(table, columns.join(QStringLiteral(", ")), keyColumn, marks.join(QStringLiteral(", "))),
                values + QVariantList{key});
    return db.lastInsertId(q);
}

} // namespace

ImageFiler::Result &ImageFiler::Result::operator+=(const Result &o)
{
    filed += o.filed;
    quarantined += o.quarantined;
    clashes += o.clashes;
    deferred += o.deferred;
    batches += o.batches;
    return *this;
}

ImageFiler::ImageFiler(const StationPaths &paths, const StationLog &log) : m_paths(paths), m_log(log) {}

QString ImageFiler::journalPath() const { return m_paths.dataDir() + QStringLiteral("/TqDataMgr.journal"); }

void ImageFiler::stage(const QString &name)
{
    if (stageHook)
        stageHook(name);
}

QString ImageFiler::readingMarkPath() const { return m_paths.dataDir() + QStringLiteral("/TqDataMgr.reading"); }

QStringList ImageFiler::inputFiles() const
{
    // Hidden files are objects still being received; sub-folders are not ours. Links and
    // other special files are listed so that they are taken out of the way, never filed.
    const QFileInfoList infos =
        QDir(m_paths.tempDir())
            .entryInfoList(QDir::Files | QDir::System | QDir::NoDotAndDotDot, QDir::Time | QDir::Reversed);
    QStringList files;
    files.reserve(infos.size());
    for (const QFileInfo &fi : infos)
        files << fi.absoluteFilePath();
    return files;
}

void ImageFiler::quarantine(const QString &file, const QString &reason)
{
    QuarantinedObject what;
    what.reason = reason;
    keepApart(file, what);
}

void ImageFiler::keepApart(const QString &file, const QuarantinedObject &what)
{
    const QString name = QFileInfo(file).fileName();
    QString error;
    const QString target = Quarantine::keepApart(m_paths, file, what, &error);
    if (!target.isEmpty())
        m_log.writeError(ErrorNo::Dicom, QStringLiteral("%1: %2; moved to %3").arg(name, what.reason, target),
                         Procedure);
    else
        m_log.writeError(ErrorNo::FileIo,
                         QStringLiteral("%1: %2; cannot move it to quarantine: %3").arg(name, what.reason, error),
                         Procedure);
}

std::optional<QuarantinedObject> ImageFiler::clashOf(Database &db, const FileFacts &f,
                                                     const QHash<QString, QString> &inBatch)
{
    // Who owns each UID already: the store, or an object of this very batch.
    struct Level {
        const char *name;
        const QString &uid;
        const char *sql;
    };
    const Level levels[] = {
        {"Image", f.sopUid,
         "SELECT p.PatID1, p.PatNachname, p.PatVorname FROM tblImages i"
         " INNER JOIN tblSeries se ON i.FKeySeriesID = se.SeriesID INNER JOIN tblStudies st ON se.FKeyStudyID = "
         "st.StudyID"
         " INNER JOIN tblPatienten p ON st.FKeyPATID = p.PatID WHERE i.ImageUID = ?"},
        {"Series", f.seriesUid,
         "SELECT p.PatID1, p.PatNachname, p.PatVorname FROM tblSeries se"
         " INNER JOIN tblStudies st ON se.FKeyStudyID = st.StudyID"
         " INNER JOIN tblPatienten p ON st.FKeyPATID = p.PatID WHERE se.SeriesUID = ?"},
        {"Study", f.studyUid,
         "SELECT p.PatID1, p.PatNachname, p.PatVorname FROM tblStudies st"
         " INNER JOIN tblPatienten p ON st.FKeyPATID = p.PatID WHERE st.StudyUID = ?"},
    };
    const QString patientId = text(f.patientId);
    for (const Level &l : levels) {
        QString ownerId, ownerName;
        QSqlQuery q = db.exec(QString::fromLatin1(l.sql), {l.uid});
        if (q.next()) {
            ownerId = q.value(0).toString();
            ownerName = q.value(1).toString() + QLatin1Char('^') + q.value(2).toString();
        } else if (inBatch.contains(l.uid)) {
            ownerId = inBatch.value(l.uid);
            ownerName = inBatch.value(QStringLiteral("name:") + l.uid);
        } else {
            continue;
        }
        if (ownerId == patientId)
            continue;
        QuarantinedObject o;
        o.clash = true;
        o.level = QString::fromLatin1(l.name);
        o.uid = l.uid;
        o.sopUid = f.sopUid;
        o.storedPatientId = ownerId;
        o.storedPatientName = ownerName;
        o.newPatientId = patientId;
        o.newPatientName = f.lastName + QLatin1Char('^') + f.firstName;
        o.reason =
            QStringLiteral("%1 Instance UID %2 is stored for patient %3 (%4); this object %5 is of patient %6 (%7)")
                .arg(o.level, o.uid, ownerId, ownerName, f.sopUid, patientId, o.newPatientName);
        return o;
    }
    return std::nullopt;
}

QList<ImageFiler::Item> ImageFiler::keepClashesApart(Database &db, const QList<Item> &items, Result &r)
{
    QList<Item> accepted;
    // The patient of each UID an accepted object of this batch brings.
    QHash<QString, QString> inBatch;
    for (const Item &it : items) {
        const std::optional<QuarantinedObject> clash = clashOf(db, it.facts, inBatch);
        if (clash && !Quarantine::takeConsent(m_paths, it.facts.sopUid, clash->newPatientId)) {
            keepApart(it.source, *clash);
            ++r.quarantined;
            ++r.clashes;
            continue;
        }
        if (clash)
            m_log.writeError(ErrorNo::Dicom, QStringLiteral("Filed as the operator chose: ") + clash->reason,
                             Procedure);
        for (const QString &uid : {it.facts.sopUid, it.facts.seriesUid, it.facts.studyUid}) {
            inBatch.insert(uid, text(it.facts.patientId));
            inBatch.insert(QStringLiteral("name:") + uid, it.facts.lastName + QLatin1Char('^') + it.facts.firstName);
        }
        accepted << it;
    }
    return accepted;
}

// The file being read is named in a mark beside the journal, with the number of runs that
// began reading it. A run that dies inside the toolkit's parser leaves the mark behind; a
// file that was being read when two runs in a row died is quarantined, never read again.
// (One death alone may be a kill from outside, which says nothing about the file.)
int ImageFiler::markReading(const QString &file)
{
    int attempts = 1;
    QFile mark(readingMarkPath());
    if (mark.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> parts = mark.readAll().trimmed().split('\t');
        mark.close();
        if (parts.size() == 2 && QFile::decodeName(parts[1]) == file)
            attempts = parts[0].toInt() + 1;
    }
    if (mark.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        mark.write(QByteArray::number(attempts) + '\t' + QFile::encodeName(file) + '\n');
        mark.close();
    }
    return attempts;
}

void ImageFiler::clearReadingMark() { QFile::remove(readingMarkPath()); }

bool ImageFiler::readItem(const QString &file, Item &item, Result &r)
{
    QString reason;
    struct stat st {};
    if (::lstat(QFile::encodeName(file).constData(), &st) != 0)
        return false; // taken away meanwhile
    if (!S_ISREG(st.st_mode)) {
        if (S_ISDIR(st.st_mode))
            return false;
        quarantine(file, QStringLiteral("not a regular file"));
        ++r.quarantined;
        return false;
    }
    if (markReading(file) > MaxReadAttempts) {
        clearReadingMark();
        quarantine(file, QStringLiteral("the data manager ended while reading it"));
        ++r.quarantined;
        return false;
    }
    try {
        // The cheap walk first: what would crash or stall the parser never reaches it.
        const QString scan = dicom::scanElementStream(file);
        if (!scan.isEmpty())
            throw AppError(ErrorNo::Dicom, scan);
        item.facts = dicom::readFileFacts(file);
        clearReadingMark();
        if (!isValidUid(item.facts.studyUid))
            reason = QStringLiteral("no valid Study Instance UID ('%1')").arg(item.facts.studyUid.left(80));
        else if (!isValidUid(item.facts.seriesUid))
            reason = QStringLiteral("no valid Series Instance UID ('%1')").arg(item.facts.seriesUid.left(80));
        else if (!isValidUid(item.facts.sopUid))
            reason = QStringLiteral("no valid SOP Instance UID ('%1')").arg(item.facts.sopUid.left(80));
    } catch (const AppError &e) {
        clearReadingMark();
        if (!QFileInfo::exists(file))
            return false; // taken away meanwhile
        // A file still being written by someone reads as broken: give it time.
        const QDateTime changed = QFileInfo(file).lastModified();
        if (changed.secsTo(QDateTime::currentDateTime()) < m_settleSeconds) {
            ++r.deferred;
            return false;
        }
        reason = QStringLiteral("not a DICOM file (%1)").arg(e.description());
    }
    if (!reason.isEmpty()) {
        quarantine(file, reason);
        ++r.quarantined;
        return false;
    }
    item.source = file;
    item.target = m_paths.imageFile(item.facts.studyUid, item.facts.sopUid);
    item.device = quint64(st.st_dev);
    item.inode = quint64(st.st_ino);
    return true;
}

ImageFiler::Result ImageFiler::fileBatch(const QStringList &files)
{
    Result r = recover();
    QList<Item> items;
    for (const QString &f : files) {
        Item item;
        if (readItem(f, item, r))
            items << item;
    }
    if (items.isEmpty())
        return r;

    Schema::ensureDataDb(m_paths);
    Database db = Database::openData(m_paths);
    // From the clash check to the rows the batch holds the write lock: what the check saw
    // stays true, and no deletion removes a file between its move and its row.
    Transaction t(db, Transaction::Write);
    // An object whose study, series or image is stored for another patient never touches
    // what is stored: it is kept apart for the operator to decide.
    items = keepClashesApart(db, items, r);
    if (items.isEmpty()) {
        t.commit();
        return r;
    }

    // 1. The journal names every image of the batch before anything moves.
    QByteArray journal;
    for (const Item &it : items)
        journal += (it.facts.studyUid + QLatin1Char('\t') + it.facts.sopUid + QLatin1Char('\n')).toLatin1();
    writeJournal(journal);
    stage(QStringLiteral("journal"));

    // 2. The files move into the store (replacing an earlier copy of the same image),
    // each the very file that was read.
    QList<Item> placed;
    for (Item &it : items) {
        struct stat now {};
        if (::lstat(QFile::encodeName(it.source).constData(), &now) != 0 || quint64(now.st_dev) != it.device
            || quint64(now.st_ino) != it.inode)
            continue; // replaced or taken away since it was read: read again next time
        QDir().mkpath(QFileInfo(it.target).absolutePath());
        QString error;
        if (!moveReplace(it.source, it.target, &error)) {
            if (QFileInfo::exists(it.source))
                m_log.writeError(ErrorNo::FileIo,
                                 QStringLiteral("Cannot move %1 to %2: %3").arg(it.source, it.target, error),
                                 Procedure);
            continue; // stays in the input folder and is tried again
        }
        placed << it;
    }
    stage(QStringLiteral("moved"));

    // 3. The rows; the files they send elsewhere are journaled before the commit, so a
    // run cut off after it completes them at its next start.
    QList<FileMove> after;
    r += writeRows(db, placed, false, after);
    for (const FileMove &m : std::as_const(after))
        journal += (QStringLiteral("M\t%1\t%2\t%3\n").arg(m.fromStudy, m.toStudy, m.sop)).toLatin1();
    if (!after.isEmpty())
        writeJournal(journal);
    stage(QStringLiteral("rows"));
    t.commit();
    r.batches = placed.isEmpty() ? 0 : 1;
    stage(QStringLiteral("committed"));
    doFileMoves(after, placed);
    QFile::remove(journalPath());
    return r;
}

void ImageFiler::writeJournal(const QByteArray &text)
{
    QSaveFile journal(journalPath());
    if (!journal.open(QIODevice::WriteOnly) || journal.write(text) != text.size() || !journal.commit())
        throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot write %1").arg(journalPath()));
}

void ImageFiler::doFileMoves(const QList<FileMove> &moves, const QList<Item> &batch)
{
    QSet<QString> batchSops;
    for (const Item &it : batch)
        batchSops << it.facts.sopUid;
    for (const FileMove &m : moves) {
        if (!isValidUid(m.fromStudy) || !isValidUid(m.sop) || (!m.toStudy.isEmpty() && !isValidUid(m.toStudy)))
            continue;
        const QString from = m_paths.imageFile(m.fromStudy, m.sop);
        if (m.toStudy.isEmpty() || batchSops.contains(m.sop)) {
            QFile::remove(from); // a copy left behind, or the new copy is in place already
        } else if (QFileInfo::exists(from)) {
            const QString to = m_paths.imageFile(m.toStudy, m.sop);
            QDir().mkpath(QFileInfo(to).absolutePath());
            QString error;
            if (!moveReplace(from, to, &error))
                m_log.writeError(ErrorNo::FileIo, QStringLiteral("Cannot move %1 to %2: %3").arg(from, to, error),
                                 Procedure);
        }
        QDir().rmdir(QFileInfo(from).absolutePath()); // only when empty
    }
}

ImageFiler::Result ImageFiler::writeRows(Database &db, QList<Item> &items, bool recovering, QList<FileMove> &after)
{
    Result r;
    if (items.isEmpty())
        return r;

    const QString firstPatient = text(items.first().facts.patientId);
    QSqlQuery ins = db.exec(QStringLiteral("INSERT INTO tblReceive (PatID, ImageCount, ReceivedAt) VALUES (?, ?, ?)"),
                            {firstPatient, 0, DateText::today() + QLatin1Char(' ') + DateText::now()});
    const qint64 receiveId = db.lastInsertId(ins);

    QHash<QString, qint64> patients, studies, series;
    QSet<qint64> leftSeries, leftStudies; // what images that moved to another study left behind
    int counted = 0;                      // images that had no row before: a recovered batch counts only these
    for (const Item &it : items) {
        FileFacts f = it.facts;
        for (QString *t : {&f.patientId, &f.lastName, &f.firstName, &f.middleName, &f.sex, &f.modality, &f.bodyPart,
                           &f.accessionNumber, &f.studyDescription, &f.sopClassUid})
            *t = text(*t);

        qint64 patId = patients.value(f.patientId, 0);
        if (!patId) {
            patId =
                upsertRow(db, QStringLiteral("tblPatienten"), QStringLiteral("PatID"), QStringLiteral("PatID1"),
                          {QStringLiteral("PatNachname"), QStringLiteral("PatVorname"), QStringLiteral("Pat2Vorname"),
                           QStringLiteral("PatGebDatum"), QStringLiteral("PatSex")},
                          {f.lastName, f.firstName, f.middleName, text(DateText::fromDicomDate(f.birthDate)), f.sex},
                          f.patientId);
            patients.insert(f.patientId, patId);
        }

        qint64 studyId = studies.value(f.studyUid, 0);
        if (!studyId) {
            studyId = upsertRow(db, QStringLiteral("tblStudies"), QStringLiteral("StudyID"), QStringLiteral("StudyUID"),
                                {QStringLiteral("FKeyPATID"), QStringLiteral("StudyDate"), QStringLiteral("StudyTime"),
                                 QStringLiteral("Modality"), QStringLiteral("Bodypart"), QStringLiteral("AccessionNr"),
                                 QStringLiteral("StudyDescription")},
                                {patId, text(DateText::fromDicomDate(f.studyDate)),
                                 text(DateText::fromDicomTime(f.studyTime)), f.modality, f.bodyPart, f.accessionNumber,
                                 f.studyDescription},
                                f.studyUid);
            studies.insert(f.studyUid, studyId);
        }

        qint64 seriesId = series.value(f.seriesUid, 0);
        if (!seriesId) {
            // Looked at before the series row moves: afterwards its old study is unknown.
            QSqlQuery was = db.exec(QStringLiteral("SELECT se.SeriesID, st.StudyUID, se.FKeyStudyID FROM tblSeries se"
                                                   " LEFT JOIN tblStudies st ON se.FKeyStudyID = st.StudyID"
                                                   " WHERE se.SeriesUID = ?"),
                                    {f.seriesUid});
            if (was.next() && was.value(1).toString() != f.studyUid) {
                const qint64 movedSeries = was.value(0).toLongLong();
                const QString oldStudy = was.value(1).toString();
                leftStudies << was.value(2).toLongLong();
                was.finish();
                if (isValidUid(oldStudy)) {
                    QSqlQuery imgs =
                        db.exec(QStringLiteral("SELECT ImageUID FROM tblImages WHERE FKeySeriesID = ?"), {movedSeries});
                    while (imgs.next())
                        if (isValidUid(imgs.value(0).toString()))
                            // Images of a series the sender now files under another study:
                            // their files follow the series into the new study's folder.
                            after << FileMove{oldStudy, f.studyUid, imgs.value(0).toString()};
                }
            }
            was.finish();
            seriesId =
                upsertRow(db, QStringLiteral("tblSeries"), QStringLiteral("SeriesID"), QStringLiteral("SeriesUID"),
                          {QStringLiteral("SeriesNr"), QStringLiteral("FKeyStudyID"), QStringLiteral("Modality"),
                           QStringLiteral("Bodypart")},
                          {numberOrNull(f.seriesNumber), studyId, f.modality, f.bodyPart}, f.seriesUid);
            series.insert(f.seriesUid, seriesId);
        }

        const QVariantList values = {
            numberOrNull(f.instanceNumber), seriesId,
            text(DateText::fromDicomDate(firstOf(f.contentDate, f.acquisitionDate, f.studyDate))),
            text(DateText::fromDicomTime(firstOf(f.contentTime, f.acquisitionTime, f.studyTime))), f.sopClassUid};
        QSqlQuery old =
            db.exec(QStringLiteral("SELECT i.ImageID, st.StudyUID, i.FKeySeriesID, se.FKeyStudyID FROM tblImages i"
                                   " LEFT JOIN tblSeries se ON i.FKeySeriesID = se.SeriesID"
                                   " LEFT JOIN tblStudies st ON se.FKeyStudyID = st.StudyID"
                                   " WHERE i.ImageUID = ?"),
                    {f.sopUid});
        if (old.next()) {
            const qint64 imageId = old.value(0).toLongLong();
            const QString oldStudy = old.value(1).toString();
            const qint64 oldSeriesId = old.value(2).toLongLong(), oldStudyId = old.value(3).toLongLong();
            old.finish();
            if (oldSeriesId != seriesId) {
                leftSeries << oldSeriesId;
                leftStudies << oldStudyId;
            }
            db.exec(QStringLiteral("UPDATE tblImages SET ImageNr = ?, FKeySeriesID = ?, ImageDate = ?, ImageTime = ?,"
                                   " SOPClassUID = ? WHERE ImageID = ?"),
                    values + QVariantList{imageId});
            if (!oldStudy.isEmpty() && oldStudy != f.studyUid && isValidUid(oldStudy))
                after << FileMove{oldStudy, QString(), f.sopUid}; // the copy in the old study's folder
        } else {
            old.finish();
            db.exec(QStringLiteral(
                        "INSERT INTO tblImages (ImageNr, FKeySeriesID, ImageDate, ImageTime, SOPClassUID, ImageUID)"
                        " VALUES (?, ?, ?, ?, ?, ?)"),
                    values + QVariantList{f.sopUid});
            ++counted;
        }
        ++r.filed;
    }
    // A series or study that its images all left is gone from the lists as well.
    for (qint64 id : leftSeries)
        db.exec(QStringLiteral("DELETE FROM tblSeries WHERE SeriesID = ?"
                               " AND NOT EXISTS (SELECT ImageID FROM tblImages WHERE FKeySeriesID = ?)"),
                {id, id});
    for (qint64 id : leftStudies)
        db.exec(QStringLiteral("DELETE FROM tblStudies WHERE StudyID = ?"
                               " AND NOT EXISTS (SELECT SeriesID FROM tblSeries WHERE FKeyStudyID = ?)"),
                {id, id});
    // A batch whose rows were committed before the run died was counted then.
    if (!recovering)
        counted = r.filed;
    if (counted == 0)
        db.exec(QStringLiteral("DELETE FROM tblReceive WHERE ReceiveID = ?"), {receiveId});
    else
        db.exec(QStringLiteral("UPDATE tblReceive SET ImageCount = ? WHERE ReceiveID = ?"), {counted, receiveId});
    return r;
}

ImageFiler::Result ImageFiler::recover()
{
    Result r;
    QFile journal(journalPath());
    if (!journal.exists())
        return r;
    if (!journal.open(QIODevice::ReadOnly))
        throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot read %1").arg(journalPath()));
    // Images that reached the store get their rows; the others are still in the input
    // folder and are filed with it. The files the committed rows sent elsewhere follow.
    QList<Item> items;
    QList<FileMove> journaled;
    while (!journal.atEnd()) {
        const QList<QByteArray> parts = journal.readLine().trimmed().split('\t');
        if (parts.size() == 4 && parts[0] == "M") {
            journaled << FileMove{QString::fromLatin1(parts[1]), QString::fromLatin1(parts[2]),
                                  QString::fromLatin1(parts[3])};
            continue;
        }
        if (parts.size() != 2)
            continue;
        const QString study = QString::fromLatin1(parts[0]), sop = QString::fromLatin1(parts[1]);
        if (!isValidUid(study) || !isValidUid(sop))
            continue;
        const QString file = m_paths.imageFile(study, sop);
        if (!QFileInfo::exists(file))
            continue;
        Item it;
        try {
            it.facts = dicom::readFileFacts(file);
        } catch (const AppError &e) {
            m_log.writeError(e.number(), QStringLiteral("%1: %2").arg(file, e.description()), Procedure);
            continue;
        }
        if (it.facts.studyUid != study || it.facts.sopUid != sop || !isValidUid(it.facts.seriesUid))
            continue;
        it.source = it.target = file;
        items << it;
    }
    journal.close();
    Schema::ensureDataDb(m_paths);
    Database db = Database::openData(m_paths);
    Transaction t(db, Transaction::Write);
    QList<FileMove> moves;
    r += writeRows(db, items, true, moves);
    // A copy left behind goes only when the image's row is in another study by now.
    for (const FileMove &m : std::as_const(journaled)) {
        if (m.toStudy.isEmpty()) {
            QSqlQuery q =
                db.exec(QStringLiteral("SELECT st.StudyUID FROM tblImages i"
                                       " INNER JOIN tblSeries se ON i.FKeySeriesID = se.SeriesID"
                                       " INNER JOIN tblStudies st ON se.FKeyStudyID = st.StudyID WHERE i.ImageUID = ?"),
                        {m.sop});
            if (!q.next() || q.value(0).toString() == m.fromStudy)
                continue;
        }
        moves << m;
    }
    t.commit();
    r.batches = items.isEmpty() ? 0 : 1;
    doFileMoves(moves, {});
    QFile::remove(journalPath());
    return r;
}

ImageFiler::Result ImageFiler::fileInput(int maxBatch)
{
    Result r = recover();
    const QStringList files = inputFiles();
    for (qsizetype i = 0; i < files.size(); i += maxBatch)
        r += fileBatch(files.mid(i, maxBatch));
    return r;
}

#include "store/StoreQueries.h"
#include "core/Database.h"

#include <QSqlRecord>

namespace {

QList<ImageRow> readImageRows(QSqlQuery q)
{
    QList<ImageRow> rows;
    while (q.next()) {
        ImageRow r;
        r.imageId = q.value(QStringLiteral("ImageID")).toLongLong();
        r.date = textOf(q, "ImageDate");
        r.time = textOf(q, "ImageTime");
        r.imageUid = textOf(q, "ImageUID");
        rows.append(r);
    }
    return rows;
}

QList<PatientRow> readPatients(QSqlQuery q)
{
    // The columns are looked up by name once: the whole patient list is read this way,
    // and a lookup by name on every value builds the query's record anew each time.
    const QSqlRecord record = q.record();
    const int patId = record.indexOf(QStringLiteral("PatID")), patId1 = record.indexOf(QStringLiteral("PatID1")),
              last = record.indexOf(QStringLiteral("PatNachname")),
              first = record.indexOf(QStringLiteral("PatVorname")),
              second = record.indexOf(QStringLiteral("Pat2Vorname")),
              birth = record.indexOf(QStringLiteral("PatGebDatum"));
    QList<PatientRow> rows;
    while (q.next()) {
        PatientRow r;
        r.patId = q.value(patId).toLongLong();
        r.patId1 = q.value(patId1).toString();
        r.lastName = q.value(last).toString();
        r.firstName = q.value(first).toString();
        r.secondName = q.value(second).toString();
        r.birthDate = q.value(birth).toString();
        rows.append(r);
    }
    return rows;
}

} // namespace

QString PatientRow::displayName() const { return StoreQueries::displayName(lastName, firstName); }

namespace StoreQueries {

QString displayName(const QString &lastName, const QString &firstName)
{
    if (!lastName.isEmpty() && !firstName.isEmpty())
        return lastName + QStringLiteral(", ") + firstName;
    return lastName;
}

qint64 receiveCount(Database &db)
{
    return db.scalar(QStringLiteral("SELECT Count(PatID) AS ReceiveCount FROM tblReceive"), {}, 0).toLongLong();
}

void clearReceive(Database &db) { db.exec(QStringLiteral("DELETE FROM tblReceive")); }

std::optional<QList<PatientRow>> takeAnnouncedPatients(Database &db, bool onlyWhenAnnounced, int limit)
{
    // Nothing announced: nothing to take, and no write lock to wait for.
    if (onlyWhenAnnounced && receiveCount(db) == 0)
        return std::nullopt;
    // Written as one: a notice that arrives meanwhile waits for the next refresh.
    Transaction t(db, Transaction::Write);
    if (receiveCount(db) == 0 && onlyWhenAnnounced)
        return std::nullopt;
    QList<PatientRow> rows = patients(db, limit);
    clearReceive(db);
    t.commit();
    return rows;
}

// By ID, the list's order: the list then finds them in place. The ID's unique index
// gives each page without reading the ones before it.
const char *const PatientColumns =
    "SELECT PatID, PatID1, PatNachname, PatVorname, Pat2Vorname, PatGebDatum FROM tblPatienten ";

QList<PatientRow> patients(Database &db, int limit)
{
    return readPatients(
        db.exec(QLatin1String(PatientColumns) + QStringLiteral("ORDER BY PatID1 LIMIT ?"), {limit < 0 ? -1 : limit}));
}

QList<PatientRow> patientsAfter(Database &db, const QString &afterPatId1, int limit)
{
    return readPatients(
        db.exec(QLatin1String(PatientColumns) + QStringLiteral("WHERE PatID1 > ? ORDER BY PatID1 LIMIT ?"),
                {afterPatId1, limit}));
}

std::optional<PatientRow> patientOfStudy(Database &db, const QString &studyUid)
{
    const QList<PatientRow> rows = readPatients(db.exec(
        QStringLiteral("SELECT p.PatID AS PatID, p.PatID1 AS PatID1, p.PatNachname AS PatNachname,"
                       " p.PatVorname AS PatVorname, p.Pat2Vorname AS Pat2Vorname, p.PatGebDatum AS PatGebDatum"
                       " FROM tblStudies s INNER JOIN tblPatienten p ON s.FKeyPATID = p.PatID WHERE s.StudyUID = ?"),
        {studyUid}));
    if (rows.isEmpty())
        return std::nullopt;
    return rows.first();
}

QList<StudyRow> studiesOfPatient(Database &db, const QString &patId1)
{
    QSqlQuery q = db.exec(QStringLiteral("SELECT StudyID, StudyUID, StudyDate, StudyTime, Modality, Bodypart "
                                         "FROM view_studies WHERE PatID1 = ?"),
                          {patId1});
    QList<StudyRow> rows;
    while (q.next()) {
        StudyRow r;
        r.studyId = q.value(QStringLiteral("StudyID")).toLongLong();
        r.studyUid = textOf(q, "StudyUID");
        r.date = textOf(q, "StudyDate");
        r.time = textOf(q, "StudyTime");
        r.modality = textOf(q, "Modality");
        r.bodypart = textOf(q, "Bodypart");
        rows.append(r);
    }
    return rows;
}

QList<SeriesRow> seriesOfStudy(Database &db, qint64 studyId)
{
    QSqlQuery q = db.exec(QStringLiteral("SELECT SeriesID, SeriesUID, SeriesNr FROM tblSeries "
                                         "WHERE FKeyStudyID = ? ORDER BY SeriesNr, SeriesID"),
                          {studyId});
    QList<SeriesRow> rows;
    while (q.next()) {
        SeriesRow r;
        r.seriesId = q.value(QStringLiteral("SeriesID")).toLongLong();
        r.seriesUid = textOf(q, "SeriesUID");
        r.seriesNr = textOf(q, "SeriesNr");
        rows.append(r);
    }
    return rows;
}

// A study's images are those of its series; a study without series simply has none.
qint64 imageCount(Database &db, const ImageSelection &sel)
{
    if (sel.level == ImageSelection::Series)
        return db
            .scalar(QStringLiteral("SELECT COUNT(ImageUID) AS ImageCount FROM tblImages WHERE FKeySeriesID = ?"),
                    {sel.id}, 0)
            .toLongLong();
    return db
        .scalar(QStringLiteral("SELECT COUNT(ImageUID) AS ImageCount FROM tblImages WHERE FKeySeriesID IN "
                               "(SELECT SeriesID FROM tblSeries WHERE FKeyStudyID = ?)"),
                {sel.id}, 0)
        .toLongLong();
}

QStringList imageUids(Database &db, const ImageSelection &sel)
{
    QSqlQuery q =
        sel.level == ImageSelection::Series
            ? db.exec(QStringLiteral("SELECT ImageUID FROM tblImages WHERE FKeySeriesID = ? ORDER BY ImageNr, ImageID"),
                      {sel.id})
            : db.exec(QStringLiteral("SELECT ImageUID FROM tblImages WHERE FKeySeriesID IN "
                                     "(SELECT SeriesID FROM tblSeries WHERE FKeyStudyID = ?) "
                                     "ORDER BY FKeySeriesID, ImageNr, ImageID"),
                      {sel.id});
    QStringList uids;
    while (q.next())
        uids.append(q.value(0).toString());
    return uids;
}

QList<ImageRow> imagesOfStudy(Database &db, const QString &studyUid)
{
    return readImageRows(db.exec(QStringLiteral("SELECT ImageID, ImageDate, ImageTime, ImageUID FROM View_Images "
                                                "WHERE StudyUID = ? ORDER BY ImageDate, ImageTime"),
                                 {studyUid}));
}

QList<ImageRow> imagesOfSeries(Database &db, qint64 seriesId)
{
    return readImageRows(db.exec(QStringLiteral("SELECT ImageID, ImageDate, ImageTime, ImageUID FROM View_Images "
                                                "WHERE FKeySeriesID = ? ORDER BY ImageDate, ImageTime"),
                                 {seriesId}));
}

} // namespace StoreQueries

#include "store/Schema.h"
#include "core/AppError.h"
#include "core/Database.h"
#include "core/StationPaths.h"
#include "dicom/Dictionary.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

const char *const DataStatements[] = {
    "CREATE TABLE IF NOT EXISTS tblPatienten ("
    " PatID INTEGER PRIMARY KEY AUTOINCREMENT,"
    " PatID1 TEXT NOT NULL UNIQUE,"
    " PatNachname TEXT, PatVorname TEXT, Pat2Vorname TEXT, PatGebDatum TEXT, PatSex TEXT)",

    "CREATE TABLE IF NOT EXISTS tblStudies ("
    " StudyID INTEGER PRIMARY KEY AUTOINCREMENT,"
    " StudyUID TEXT NOT NULL UNIQUE,"
    " FKeyPATID INTEGER NOT NULL,"
    " StudyDate TEXT, StudyTime TEXT, Modality TEXT, Bodypart TEXT, AccessionNr TEXT, StudyDescription TEXT)",
    "CREATE INDEX IF NOT EXISTS ixStudiesPat ON tblStudies (FKeyPATID)",

    "CREATE TABLE IF NOT EXISTS tblSeries ("
    " SeriesID INTEGER PRIMARY KEY AUTOINCREMENT,"
    " SeriesUID TEXT NOT NULL UNIQUE,"
    " SeriesNr INTEGER,"
    " FKeyStudyID INTEGER NOT NULL,"
    " Modality TEXT, Bodypart TEXT)",
    "CREATE INDEX IF NOT EXISTS ixSeriesStudy ON tblSeries (FKeyStudyID)",

    "CREATE TABLE IF NOT EXISTS tblImages ("
    " ImageID INTEGER PRIMARY KEY AUTOINCREMENT,"
    " ImageUID TEXT NOT NULL UNIQUE,"
    " ImageNr INTEGER,"
    " FKeySeriesID INTEGER NOT NULL,"
    " ImageDate TEXT, ImageTime TEXT, SOPClassUID TEXT)",
    "CREATE INDEX IF NOT EXISTS ixImagesSeries ON tblImages (FKeySeriesID)",

    "CREATE TABLE IF NOT EXISTS tblReceive ("
    " ReceiveID INTEGER PRIMARY KEY AUTOINCREMENT,"
    " PatID TEXT, ImageCount INTEGER, ReceivedAt TEXT)",

    "CREATE TABLE IF NOT EXISTS tblDosis ("
    " ID INTEGER PRIMARY KEY AUTOINCREMENT,"
    " PatFirstname TEXT, PatLastname TEXT, PatBirthdate TEXT,"
    " mGy1 TEXT, mGy2 TEXT, mGy3 TEXT, expTime TEXT,"
    " \"Date\" TEXT, \"Time\" TEXT, Status TEXT, Bodypart TEXT, ImgNo INTEGER,"
    " FKeyPatID TEXT, Patname TEXT, Datum TEXT, Zeit TEXT,"
    " KVP TEXT, ma TEXT, Dicke TEXT, Druck TEXT, mGy TEXT, Sonstiges TEXT,"
    // The unit that captured the record (General\XrayComm then): the merge writes an
    // HFE 501 dose-area product elsewhere than the other units' entrance doses.
    " XrayComm INTEGER,"
    // The worklist patient the exposure was captured for: the merge and the assignment
    // give a record to that patient's images only.
    " WorklistPatID TEXT,"
    // The exposure's own key from the capture journal: an exposure taken up again after
    // a crash is never stored twice.
    " RecordUID TEXT,"
    // The exposure's Irradiation Event UID in the study's dose report and in its image,
    // and the study it was reported in: made once, kept for every later report.
    " EventUID TEXT, StudyUID TEXT)",
    "CREATE INDEX IF NOT EXISTS ixDosisStatus ON tblDosis (Status)",
    "CREATE UNIQUE INDEX IF NOT EXISTS ixDosisRecordUID ON tblDosis (RecordUID)",

    "CREATE VIEW IF NOT EXISTS view_studies AS"
    " SELECT s.StudyID AS StudyID, s.StudyUID AS StudyUID, s.StudyDate AS StudyDate,"
    " s.StudyTime AS StudyTime, s.Modality AS Modality, s.Bodypart AS Bodypart,"
    " p.PatID AS PatID, p.PatID1 AS PatID1"
    " FROM tblStudies s INNER JOIN tblPatienten p ON s.FKeyPATID = p.PatID",

    "CREATE VIEW IF NOT EXISTS View_Images AS"
    " SELECT i.ImageID AS ImageID, i.ImageDate AS ImageDate, i.ImageTime AS ImageTime,"
    " i.ImageUID AS ImageUID, i.ImageNr AS ImageNr, i.FKeySeriesID AS FKeySeriesID,"
    " se.SeriesNr AS SeriesNr, st.StudyID AS StudyID, st.StudyUID AS StudyUID"
    " FROM tblImages i INNER JOIN tblSeries se ON i.FKeySeriesID = se.SeriesID"
    " INNER JOIN tblStudies st ON se.FKeyStudyID = st.StudyID",
};

const char *const UserStatements[] = {
    "CREATE TABLE IF NOT EXISTS tblSCP ("
    " ID INTEGER PRIMARY KEY AUTOINCREMENT,"
    " Alias TEXT, AET TEXT, IP TEXT, Port TEXT, \"Default\" INTEGER NOT NULL DEFAULT 0,"
    // A dose registry: every dose report the station makes goes there too.
    " DoseReports INTEGER NOT NULL DEFAULT 0,"
    // After a transfer the station asks it for storage commitment.
    " StorageCommitment INTEGER NOT NULL DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS tblRules ("
    " ID INTEGER PRIMARY KEY AUTOINCREMENT,"
    " fName TEXT, fLevel TEXT, fSource TEXT, fTask TEXT, fTaskID INTEGER, fTarget TEXT)",
    "CREATE TABLE IF NOT EXISTS tblRuleKey (fKeyName TEXT PRIMARY KEY)",
    "CREATE TABLE IF NOT EXISTS tblDictionary ("
    " \"Index\" INTEGER PRIMARY KEY AUTOINCREMENT,"
    " Tag TEXT NOT NULL, Type TEXT, Description TEXT, Visible INTEGER NOT NULL DEFAULT 0)",
    "CREATE INDEX IF NOT EXISTS ixDictionaryTag ON tblDictionary (Tag)",
    "CREATE TABLE IF NOT EXISTS tblModality (Modality TEXT PRIMARY KEY)",
};

void createFresh(const QString &file, void (*fill)(Database &))
{
    // Built under a temporary name and renamed, so a half-made file never stands in.
    const QString tmp = file + QStringLiteral(".new");
    QFile::remove(tmp);
    QDir().mkpath(QFileInfo(file).absolutePath());
    {
        Database db(tmp, true);
        db.exec(QStringLiteral("PRAGMA journal_mode=DELETE"));
        fill(db);
    }
    QFile::remove(file);
    if (!QFile::rename(tmp, file))
        throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot create %1").arg(file));
}

} // namespace

namespace Schema {

void createDataTables(Database &db)
{
    Transaction t(db);
    for (const char *s : DataStatements)
        db.exec(QString::fromLatin1(s));
    t.commit();
}

void createUserTables(Database &db)
{
    Transaction t(db);
    for (const char *s : UserStatements)
        db.exec(QString::fromLatin1(s));
    if (db.scalar(QStringLiteral("SELECT COUNT(*) FROM tblDictionary")).toLongLong() == 0) {
        for (const auto &e : dicom::standardDictionary()) {
            db.exec(QStringLiteral("INSERT INTO tblDictionary (Tag, Type, Description, Visible) VALUES (?, ?, ?, ?)"),
                    {e.tag, e.vr, e.name, e.retired ? 0 : -1});
        }
    }
    t.commit();
}

void ensureTemplate(const StationPaths &paths)
{
    if (!QFileInfo::exists(paths.templateDb()))
        createFresh(paths.templateDb(), &createDataTables);
}

bool ensureDataDb(const StationPaths &paths)
{
    if (QFileInfo::exists(paths.dataDb()))
        return false;
    resetDataDb(paths);
    return true;
}

QStringList dataTables()
{
    return {QStringLiteral("tblImages"),    QStringLiteral("tblSeries"),  QStringLiteral("tblStudies"),
            QStringLiteral("tblPatienten"), QStringLiteral("tblReceive"), QStringLiteral("tblDosis")};
}

void resetDataDb(const StationPaths &paths)
{
    ensureTemplate(paths);
    const QString tmp = paths.dataDb() + QStringLiteral(".new");
    QFile::remove(tmp);
    if (!QFile::copy(paths.templateDb(), tmp))
        throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot copy the template to %1").arg(paths.dataDb()));
    QFile(tmp).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    for (const QString &side : {QStringLiteral("-wal"), QStringLiteral("-shm")})
        QFile::remove(paths.dataDb() + side);
    QFile::remove(paths.dataDb());
    if (!QFile::rename(tmp, paths.dataDb()))
        throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot create %1").arg(paths.dataDb()));
}

void ensureUserDb(const StationPaths &paths)
{
    if (!QFileInfo::exists(paths.userDb()))
        createFresh(paths.userDb(), &createUserTables);
}

void addMissingColumns(const QString &file)
{
    if (!QFileInfo::exists(file))
        return;
    Database db(file);
    QStringList have;
    QSqlQuery q = db.exec(QStringLiteral("PRAGMA table_info(tblDosis)"));
    while (q.next())
        have << q.value(1).toString().toLower();
    const std::pair<const char *, const char *> added[] = {{"XrayComm", "INTEGER"},
                                                           {"WorklistPatID", "TEXT"},
                                                           {"RecordUID", "TEXT"},
                                                           {"EventUID", "TEXT"},
                                                           {"StudyUID", "TEXT"}};
    for (const auto &[column, type] : added)
        if (!have.contains(QString::fromLatin1(column).toLower()))
            db.exec(QStringLiteral("ALTER TABLE tblDosis ADD COLUMN %1 %2")
                        .arg(QLatin1String(column), QLatin1String(type)));
    db.exec(QStringLiteral("CREATE UNIQUE INDEX IF NOT EXISTS ixDosisRecordUID ON tblDosis (RecordUID)"));
}

void ensureDatabases(const StationPaths &paths)
{
    QDir().mkpath(paths.dataDir());
    ensureTemplate(paths);
    ensureDataDb(paths);
    ensureUserDb(paths);
    // Files made by an earlier version get the columns added since.
    addMissingColumns(paths.templateDb());
    addMissingColumns(paths.dataDb());
    addMissingUserColumns(paths.userDb());
}

void addMissingUserColumns(const QString &file)
{
    if (!QFileInfo::exists(file))
        return;
    Database db(file);
    QStringList have;
    QSqlQuery q = db.exec(QStringLiteral("PRAGMA table_info(tblSCP)"));
    while (q.next())
        have << q.value(1).toString().toLower();
    if (!have.isEmpty() && !have.contains(QStringLiteral("dosereports")))
        db.exec(QStringLiteral("ALTER TABLE tblSCP ADD COLUMN DoseReports INTEGER NOT NULL DEFAULT 0"));
    if (!have.isEmpty() && !have.contains(QStringLiteral("storagecommitment")))
        db.exec(QStringLiteral("ALTER TABLE tblSCP ADD COLUMN StorageCommitment INTEGER NOT NULL DEFAULT 0"));
}

} // namespace Schema

#include "store/Schema.h"
#include "core/AppError.h"
#include "core/Database.h"
#include "core/StationPaths.h"
#include "dicom/Dictionary.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlRecord>
#include <iterator>

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
    " EventUID TEXT, StudyUID TEXT,"
    // The room (the station's AE title) that captured it: the site's registry holds every room's.
    " Room TEXT)",
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
    " ID %KEY%,"
    " Alias TEXT, AET TEXT, IP TEXT, Port TEXT, \"Default\" INTEGER NOT NULL DEFAULT 0,"
    // A dose registry: every dose report the station makes goes there too.
    " DoseReports INTEGER NOT NULL DEFAULT 0,"
    // After a transfer the station asks it for storage commitment.
    " StorageCommitment INTEGER NOT NULL DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS tblRules ("
    " ID %KEY%,"
    " fName TEXT, fLevel TEXT, fSource TEXT, fTask TEXT, fTaskID INTEGER, fTarget TEXT)",
    "CREATE TABLE IF NOT EXISTS tblRuleKey (fKeyName TEXT PRIMARY KEY)",
    "CREATE TABLE IF NOT EXISTS tblDictionary ("
    " \"Index\" %KEY%,"
    " Tag TEXT NOT NULL, Type TEXT, Description TEXT, Visible INTEGER NOT NULL DEFAULT 0)",
    "CREATE INDEX IF NOT EXISTS ixDictionaryTag ON tblDictionary (Tag)",
    "CREATE TABLE IF NOT EXISTS tblModality (Modality TEXT PRIMARY KEY)",
};

// The statements name an automatic key "%KEY%": each database spells it its own way.
QString spelled(const char *statement, Database::Dialect d)
{
    QString sql = QString::fromLatin1(statement);
    sql.replace(QStringLiteral("%KEY%"), d == Database::Dialect::PostgreSQL
                                             ? QStringLiteral("BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY")
                                             : QStringLiteral("INTEGER PRIMARY KEY AUTOINCREMENT"));
    return sql;
}

// The columns of a table as the database names them.
QStringList columnsOf(Database &db, const QString &table)
{
    const QSqlRecord r = Schema::tableRecord(db, table);
    QStringList out;
    for (int i = 0; i < r.count(); ++i)
        out << r.fieldName(i);
    return out;
}

bool hasColumn(const QStringList &columns, const QString &name) { return columns.contains(name, Qt::CaseInsensitive); }

// A column's name in a statement that both databases read alike: the names SQL reserves
// quoted as they were made, the filter columns (upper case, made quoted) quoted, the rest
// plain (PostgreSQL folds plain names, SQLite ignores case).
QString columnInSql(const QString &table, const QString &column)
{
    static const QStringList reserved{QStringLiteral("Index"), QStringLiteral("Default"), QStringLiteral("Date"),
                                      QStringLiteral("Time")};
    for (const QString &r : reserved)
        if (r.compare(column, Qt::CaseInsensitive) == 0)
            return QLatin1Char('"') + r + QLatin1Char('"');
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]*$"));
    if (!plain.match(column).hasMatch())
        throw AppError(ErrorNo::Database, QStringLiteral("Unexpected column name in %1: %2").arg(table, column));
    static const QStringList dictionary{QStringLiteral("tag"), QStringLiteral("type"), QStringLiteral("description"),
                                        QStringLiteral("visible")};
    if (table.compare(QStringLiteral("tblDictionary"), Qt::CaseInsensitive) == 0
        && !dictionary.contains(column.toLower()))
        return QLatin1Char('"') + column.toUpper() + QLatin1Char('"');
    return column;
}

void fillDictionary(Database &db)
{
    if (db.scalar(QStringLiteral("SELECT COUNT(*) FROM tblDictionary")).toLongLong() != 0)
        return;
    QList<QVariantList> rows;
    for (const auto &e : dicom::standardDictionary())
        rows.append({e.tag, e.vr, e.name, e.retired ? 0 : -1});
    db.execRows(QStringLiteral("INSERT INTO tblDictionary (Tag, Type, Description, Visible) VALUES (?, ?, ?, ?)"),
                rows);
}

// The dose record's columns besides its key, as the registry and the outbox hold them.
const std::pair<const char *, const char *> DoseColumns[] = {
    {"RecordUID", "TEXT"},    {"Room", "TEXT"},          {"PatFirstname", "TEXT"}, {"PatLastname", "TEXT"},
    {"PatBirthdate", "TEXT"}, {"mGy1", "TEXT"},          {"mGy2", "TEXT"},         {"mGy3", "TEXT"},
    {"expTime", "TEXT"},      {"\"Date\"", "TEXT"},      {"\"Time\"", "TEXT"},     {"Status", "TEXT"},
    {"Bodypart", "TEXT"},     {"ImgNo", "INTEGER"},      {"FKeyPatID", "TEXT"},    {"Patname", "TEXT"},
    {"Datum", "TEXT"},        {"Zeit", "TEXT"},          {"KVP", "TEXT"},          {"ma", "TEXT"},
    {"Dicke", "TEXT"},        {"Druck", "TEXT"},         {"mGy", "TEXT"},          {"Sonstiges", "TEXT"},
    {"XrayComm", "INTEGER"},  {"WorklistPatID", "TEXT"}, {"EventUID", "TEXT"},     {"StudyUID", "TEXT"},
};

QString doseColumnList(const QString &prefix = {})
{
    QStringList out;
    for (const QString &name : Schema::doseRecordColumns())
        out << prefix + name;
    return out.join(QStringLiteral(", "));
}

QString doseColumnDefinitions()
{
    QStringList out;
    for (const auto &[name, type] : DoseColumns)
        out << QString::fromLatin1(name) + QLatin1Char(' ') + QString::fromLatin1(type);
    return out.join(QStringLiteral(", "));
}

// The local outbox of the dose registry: every stored or changed dose record, as it was
// then, waits here in order until the registry has it. Filled by the database itself, so
// that no write of a record can forget it, in the same transaction as the write.
QStringList outboxStatements()
{
    const QString columns = doseColumnList();
    const QString values = doseColumnList(QStringLiteral("NEW."));
    QStringList out;
    out << QStringLiteral("CREATE TABLE IF NOT EXISTS tblRegistryOutbox (Seq INTEGER PRIMARY KEY AUTOINCREMENT,"
                          " LocalID INTEGER, %1)")
               .arg(doseColumnDefinitions());
    for (const char *event : {"INSERT", "UPDATE"})
        out << QStringLiteral("CREATE TRIGGER IF NOT EXISTS trgDosisOutbox%1 AFTER %2 ON tblDosis"
                              " WHEN NEW.RecordUID IS NOT NULL BEGIN"
                              " INSERT INTO tblRegistryOutbox (LocalID, %3) VALUES (NEW.ID, %4); END")
                   .arg(QString::fromLatin1(event).left(1) + QString::fromLatin1(event).mid(1).toLower(),
                        QString::fromLatin1(event), columns, values);
    return out;
}

struct Migration {
    int version;
    const char *description;
    bool sharedOnly; // only the site's shared database has it
    void (*apply)(Database &);
};

const Migration Migrations[] = {
    {1, "configuration tables", false,
     [](Database &db) {
         for (const char *statement : UserStatements)
             db.exec(spelled(statement, db.dialect()));
         fillDictionary(db);
     }},
    {2, "destination flags: dose reports, storage commitment", false,
     [](Database &db) {
         // Files made before the flags existed.
         const QStringList have = columnsOf(db, QStringLiteral("tblSCP"));
         for (const char *column : {"DoseReports", "StorageCommitment"})
             if (!hasColumn(have, QString::fromLatin1(column)))
                 db.exec(QStringLiteral("ALTER TABLE tblSCP ADD COLUMN %1 INTEGER NOT NULL DEFAULT 0")
                             .arg(QLatin1String(column)));
     }},
    {3, "dose registry", true,
     [](Database &db) {
         db.exec(
             spelled("CREATE TABLE IF NOT EXISTS tblDosis (ID %KEY%, LocalID BIGINT, UploadedAt TEXT, ", db.dialect())
             + doseColumnDefinitions() + QStringLiteral(", UNIQUE (RecordUID))"));
         db.exec(QStringLiteral("CREATE INDEX IF NOT EXISTS ixDosisRoom ON tblDosis (Room)"));
         db.exec(QStringLiteral("CREATE INDEX IF NOT EXISTS ixDosisPatient ON tblDosis (FKeyPatID)"));
     }},
};

// A key that every station takes before it looks at the shared schema's version.
constexpr qint64 SchemaLockKey = 0x43616c7678; // "Calvx"

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

const QStringList &configurationTables()
{
    static const QStringList tables{QStringLiteral("tblSCP"), QStringLiteral("tblRules"), QStringLiteral("tblRuleKey"),
                                    QStringLiteral("tblModality"), QStringLiteral("tblDictionary")};
    return tables;
}

} // namespace

namespace Schema {

void createDataTables(Database &db)
{
    Transaction t(db);
    for (const char *s : DataStatements)
        db.exec(QString::fromLatin1(s));
    for (const QString &s : outboxStatements())
        db.exec(s);
    t.commit();
}

void createUserTables(Database &db) { migrate(db); }

QList<int> migrate(Database &db) { return migrate(db, db.isShared()); }

QList<int> migrate(Database &db, bool shared)
{
    Transaction t(db, Transaction::Write);
    // Two stations that start at the same moment: the second waits here until the first
    // committed, then finds every step done.
    if (db.dialect() == Database::Dialect::PostgreSQL)
        db.exec(QStringLiteral("SELECT pg_advisory_xact_lock(?)"), {SchemaLockKey});
    db.exec(QStringLiteral(
        "CREATE TABLE IF NOT EXISTS tblSchemaVersion (Version INTEGER PRIMARY KEY, Description TEXT, AppliedAt TEXT)"));
    QList<int> done;
    QSqlQuery q = db.exec(QStringLiteral("SELECT Version FROM tblSchemaVersion"));
    while (q.next())
        done << q.value(0).toInt();
    QList<int> applied;
    for (const Migration &m : Migrations) {
        if (done.contains(m.version))
            continue;
        if (shared || !m.sharedOnly)
            m.apply(db);
        db.exec(QStringLiteral("INSERT INTO tblSchemaVersion (Version, Description, AppliedAt) VALUES (?, ?, ?)"),
                {m.version, QString::fromLatin1(m.description), QDateTime::currentDateTimeUtc().toString(Qt::ISODate)});
        applied << m.version;
    }
    t.commit();
    return applied;
}

QSqlRecord tableRecord(Database &db, const QString &table)
{
    // PostgreSQL keeps the names it was given unquoted in lower case.
    return db.db().record(db.dialect() == Database::Dialect::PostgreSQL ? table.toLower() : table);
}

int latestVersion() { return std::end(Migrations)[-1].version; }

QStringList doseRecordColumns()
{
    QStringList out;
    for (const auto &[name, type] : DoseColumns)
        out << QString::fromLatin1(name);
    return out;
}

void copyConfiguration(Database &from, Database &to)
{
    Transaction t(to, Transaction::Write);
    // The filter columns of the dictionary first: the copy has those of its source.
    const QString dictionary = QStringLiteral("tblDictionary");
    const QStringList want = columnsOf(from, dictionary);
    const QStringList have = columnsOf(to, dictionary);
    for (const QString &c : want)
        if (!hasColumn(have, c))
            to.exec(QStringLiteral("ALTER TABLE tblDictionary ADD %1 INTEGER NOT NULL DEFAULT 0")
                        .arg(columnInSql(dictionary, c)));
    for (const QString &c : have)
        if (!hasColumn(want, c))
            to.exec(QStringLiteral("ALTER TABLE tblDictionary DROP COLUMN %1").arg(columnInSql(dictionary, c)));
    for (const QString &table : configurationTables()) {
        QStringList columns;
        for (const QString &c : columnsOf(from, table))
            columns << columnInSql(table, c);
        const QString list = columns.join(QStringLiteral(", "));
        QList<QVariantList> rows;
        QSqlQuery q = from.exec(QStringLiteral("SELECT %1 FROM %2").arg(list, table));
        while (q.next()) {
            QVariantList row;
            for (int i = 0; i < columns.size(); ++i)
                row << q.value(i);
            rows << row;
        }
        to.exec(QStringLiteral("DELETE FROM %1").arg(table));
        QStringList marks;
        for (int i = 0; i < columns.size(); ++i)
            marks << QStringLiteral("?");
        to.execRows(
            QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)").arg(table, list, marks.join(QStringLiteral(", "))), rows);
    }
    if (to.dialect() == Database::Dialect::PostgreSQL) {
        // The keys were copied as they were: the next automatic key follows the highest.
        for (const auto &[table, key] : {std::pair{"tblscp", "id"}, {"tblrules", "id"}, {"tbldictionary", "Index"}})
            to.exec(QStringLiteral("SELECT setval(pg_get_serial_sequence('%1', '%2'), COALESCE(MAX(\"%2\"), 0) + 1,"
                                   " false) FROM %1")
                        .arg(QLatin1String(table), QLatin1String(key)));
    }
    t.commit();
}

bool configurationEmpty(Database &db)
{
    for (const char *table : {"tblSCP", "tblRules", "tblModality"})
        if (db.scalar(QStringLiteral("SELECT COUNT(*) FROM %1").arg(QLatin1String(table))).toLongLong() > 0)
            return false;
    return true;
}

void syncShared(const StationPaths &paths)
{
    if (!paths.shared())
        return;
    Database shared = Database::openShared(paths);
    migrate(shared);
    Database local(paths.userDb());
    // The first station of a site brings its configuration along instead of losing it.
    if (configurationEmpty(shared) && !configurationEmpty(local))
        copyConfiguration(local, shared);
    paths.shared()->configChanged = false;
    copyConfiguration(shared, local);
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
    // Every column a record has now: the registry's outbox copies them all.
    const QStringList have = columnsOf(db, QStringLiteral("tblDosis"));
    for (const auto &[column, type] : DoseColumns) {
        const QString name = QString::fromLatin1(column);
        if (!hasColumn(have, QString(name).remove(QLatin1Char('"'))))
            db.exec(QStringLiteral("ALTER TABLE tblDosis ADD COLUMN %1 %2").arg(name, QLatin1String(type)));
    }
    db.exec(QStringLiteral("CREATE UNIQUE INDEX IF NOT EXISTS ixDosisRecordUID ON tblDosis (RecordUID)"));
    for (const QString &s : outboxStatements())
        db.exec(s);
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
    migrate(db);
}

} // namespace Schema

#pragma once
#include <QList>
#include <QSqlRecord>
#include <QString>
#include <QStringList>

class StationPaths;
class Database;

// Creates the station's database files when they are missing: the template "TqDef.dat"
// (an empty data database), the data database "TqData.dat" (a copy of the template) and
// the user database "TqUser.dat" (configuration, with the dictionary of standard
// elements). The station and the data manager companion share this code.
namespace Schema {
// Creates the tables and views of a data database in an open, empty database.
void createDataTables(Database &db);
// Creates the tables of a user database and fills the dictionary.
void createUserTables(Database &db);

// Brings a configuration database (the station's file or the site's shared database) to
// the latest version: the steps it lacks run in order, each once, recorded in
// tblSchemaVersion; on the shared database under a lock, so that stations starting at the
// same moment make the schema once. Returns the versions it applied.
QList<int> migrate(Database &db);
// The same, with the registry's tables or without them (a file that plays the registry).
QList<int> migrate(Database &db, bool withRegistry);
int latestVersion();
// A table's columns with their types, defaults and whether they may be null, in either database.
QSqlRecord tableRecord(Database &db, const QString &table);
// The columns a dose record has in the registry and in its outbox, besides the keys.
QStringList doseRecordColumns();
// Makes the configuration tables of "to" (destinations, rule sets, dictionary with its
// filter columns, filters) a copy of those of "from", in one transaction.
void copyConfiguration(Database &from, Database &to);
// With a shared database: brings its schema up to date, gives it this station's
// configuration when it has none yet, and renews the station's local copy from it.
// Throws AppError when the server is away.
void syncShared(const StationPaths &paths);

// Template first, then the data database from it, then the user database.
void ensureDatabases(const StationPaths &paths);
// Adds the columns a database file made by an earlier version lacks.
void addMissingColumns(const QString &file);
// The same for the user database (tblSCP).
void addMissingUserColumns(const QString &file);
// Writes a fresh template when it is missing.
void ensureTemplate(const StationPaths &paths);
// Copies the template over the data database when that is missing. True when it copied.
bool ensureDataDb(const StationPaths &paths);
void ensureUserDb(const StationPaths &paths);
// Writes the data database as a fresh copy of the template (while it is missing: a file
// that others may hold open is never replaced).
void resetDataDb(const StationPaths &paths);
// The tables of a data database, children before parents.
QStringList dataTables();
} // namespace Schema

#pragma once
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

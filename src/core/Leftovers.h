#pragma once
#include <QString>
#include <QStringList>
#include <QtGlobal>

// What a process that ended unexpectedly (killed, a power cut) leaves in the station
// folder: files it was writing under a hidden name that carries its process id
// ("<prefix><pid>-<n><suffix>"), and staging folders named "<prefix><stamp>-<pid>". Only
// those of processes that no longer run are removed: a second program started by mistake
// never takes what the running one is writing.
namespace Leftovers {

// The process id a leftover's name carries after prefix (up to the next '-'), 0 when none.
qint64 pidAfter(const QString &name, const QString &prefix);
// The process id at the end of a staging folder's name ("...-<pid>"), 0 when none.
qint64 trailingPid(const QString &name);

// Removes the partial files of ended processes in dir; returns how many.
int removePartials(const QString &dir, const QString &prefix, const QString &suffix);
// Removes the staging folders (with what they hold) of ended processes below dir whose
// names begin with prefix; returns how many.
int removeStagingFolders(const QString &dir, const QString &prefix);

} // namespace Leftovers

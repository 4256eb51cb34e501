#pragma once
#include <QString>

class Database;
class StationPaths;

// The site's dose registry: every dose record this room stores or changes waits in the
// local outbox (filled by the database with each write) and goes to the shared database
// from there, oldest first. The record UID makes a second upload of the same record
// change nothing, so a batch sent again after a failure is harmless.
namespace DoseRegistry {

struct Upload {
    int sent = 0;
    int waiting = 0; // what is still in the outbox
    QString problem; // why the last batch did not go; empty when all went
};

int waiting(Database &local);
// Sends what waits in batches, each in one transaction on the registry; a batch leaves the
// outbox only after the registry committed it. Stops at the first failure. Records
// without a room are this station's (stored before rooms were kept).
Upload upload(Database &local, Database &registry, const QString &ownRoom, int batch = 200);
// The same for a station: with no shared database the outbox is only emptied.
Upload uploadWaiting(const StationPaths &paths, const QString &ownRoom);

// "Dose registry offline: 3 records waiting"; empty while the registry answers.
QString statusText(bool offline, int waiting);

} // namespace DoseRegistry

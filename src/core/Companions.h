#pragma once
#include <QString>
#include <QtGlobal>

class Station;

// The two companion programs beside the station: the receiver TqReceiver (DICOM storage
// into the input folder) and the data manager TqDataMgr (files the input folder into the
// store). The station finds them in the process list, starts them detached with the
// station folder in CALVAREX_HOME, remembers their process ids and stops them.
namespace Companions {

// The executable names as the process list shows them.
QString receiverName();
QString dataManagerName();

// Where the companion executables are looked for: beside the running executable, or
// the folder named by CALVAREX_BIN_DIR.
QString executableDir();
QString executablePath(const QString &name);

// The id of the first running process whose executable name contains name (without
// regard to case); 0 when there is none. With a station folder given, processes that
// serve another station folder (their CALVAREX_HOME, else their executable's folder), or
// whose folder cannot be read, are passed over, so two stations on one machine do not take
// each other's companions.
qint64 FindProcess(const QString &name, const QString &stationFolder = {});
// The station folder a process serves, empty when that cannot be read.
QString processStationFolder(qint64 pid);
// True when the process exists and has not ended; false for 0.
bool IsProcessAlive(qint64 pid);

// Start the receiver (only with a port configured) or the data manager, and remember
// the process id. A missing executable means no start and no message.
void StartReceiver(Station &station);
void StartDataManager(Station &station);
// Ask the remembered process to end (SIGTERM), end it hard after a grace period, and
// forget its id. An id of 0 or of an ended process is forgotten silently.
void StopReceiver(Station &station);
void StopDataManager(Station &station);

struct Status {
    bool receiverAlive = false;
    bool dataManagerAlive = false;
};
// Looks up each companion whose id is not remembered, then reports which are alive.
Status RefreshCompanionStatus(Station &station);

// Before images are handed to the input folder: a data manager that is not running is
// started. Returns what the operator is told: empty when it was running; else that it
// was started, or that it could not be and the images wait in the input folder.
QString ensureDataManager(Station &station);

// The start-up rule: a companion not found in the process list is started; one found
// running is left alone and its id is not remembered.
void startAtStartup(Station &station);

// Ends a process: SIGTERM, then SIGKILL when it is still there after graceMs. A process
// whose executable name does not contain expectedName (the id was reused) is left alone.
void terminate(qint64 pid, const QString &expectedName, int graceMs = 5000);

// The executable name of a running process, empty when there is no such process.
QString processName(qint64 pid);

// Why a companion ended on its own (a port it may not open, an AE title too long): it
// writes the reason into Logs/<name>.stopped when it gives up, and removes the file when
// it starts to work. Empty when there is no such reason.
void writeStopReason(const QString &logsDir, const QString &name, const QString &reason);
void clearStopReason(const QString &logsDir, const QString &name);
QString stopReason(const QString &logsDir, const QString &name);

} // namespace Companions

#pragma once
#include "core/AuditMessage.h"

#include <QString>
#include <QStringList>

struct SecuritySettings;

// The audit trail of this program, set up once at its start and written to from anywhere
// (any thread). Writing never throws: an audit message that cannot be written is said on
// the standard error and in the return value, and the work it records goes on.
namespace Audit {

// Sets the trail up from the settings (the log: Audit/Log, else audit.log in the logs
// folder; the repository: Audit/Repository over Audit/Transport) and writes this
// program's Application Start.
void begin(const QString &applicationName, const QString &aeTitle, const QString &logsDir,
           const SecuritySettings &security);
// Writes the Application Stop and closes the trail (one more short try to hand waiting
// messages to the repository).
void end();
// Whether begin() ran and end() did not.
bool active();
// This program as its messages name it.
AuditStation station();
// Writes one message to the log (on disk when it returns) and queues it for the
// repository. False when it could not be written or no trail is set up.
bool log(const AuditEvent &event);
// The log file of the trail set up; empty when none is.
QString logFile();

// What an auditor reads off one message: the event (EventID code), its action and
// outcome, the outcome's description, the IDs of the participant objects (patient IDs,
// study UIDs, ...) and of the active participants (AE titles, addresses, users).
struct Summary {
    QString event, action, outcome, description;
    QStringList objects, users;
};
Summary summarize(const QByteArray &xml);

} // namespace Audit

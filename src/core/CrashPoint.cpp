#include "core/CrashPoint.h"

#include <QByteArray>
#include <QList>
#include <QtGlobal>

#include <csignal>
#include <cstdlib>

namespace CrashPoint {

void reached(const char *name)
{
    static const QByteArray setting = qgetenv("CALVAREX_CRASH_AT");
    if (setting.isEmpty())
        return;
    static const QByteArray wanted = setting.split(':').first();
    static const int times = setting.contains(':') ? setting.split(':').last().toInt() : 1;
    static int seen = 0;
    if (wanted != name || ++seen < times)
        return;
#ifdef SIGKILL
    std::raise(SIGKILL);
#endif
    std::abort();
}

} // namespace CrashPoint

#include "core/Leftovers.h"
#include "core/Companions.h"

#include <QDir>

namespace Leftovers {

qint64 pidAfter(const QString &name, const QString &prefix)
{
    if (!name.startsWith(prefix))
        return 0;
    const qsizetype dash = name.indexOf(QLatin1Char('-'), prefix.size());
    bool ok = false;
    const qint64 pid = name.mid(prefix.size(), dash < 0 ? -1 : dash - prefix.size()).toLongLong(&ok);
    return ok ? pid : 0;
}

qint64 trailingPid(const QString &name)
{
    bool ok = false;
    const qint64 pid = name.mid(name.lastIndexOf(QLatin1Char('-')) + 1).toLongLong(&ok);
    return ok ? pid : 0;
}

int removePartials(const QString &dir, const QString &prefix, const QString &suffix)
{
    int n = 0;
    QDir d(dir);
    for (const QString &name : d.entryList({prefix + QLatin1Char('*') + suffix}, QDir::Files | QDir::Hidden)) {
        const qint64 pid = pidAfter(name, prefix);
        if (pid > 0 && !Companions::IsProcessAlive(pid) && d.remove(name))
            ++n;
    }
    return n;
}

int removeStagingFolders(const QString &dir, const QString &prefix)
{
    int n = 0;
    QDir d(dir);
    for (const QString &name : d.entryList({prefix + QLatin1Char('*')}, QDir::Dirs | QDir::NoDotAndDotDot)) {
        const qint64 pid = trailingPid(name);
        if (pid > 0 && !Companions::IsProcessAlive(pid) && QDir(d.filePath(name)).removeRecursively())
            ++n;
    }
    return n;
}

} // namespace Leftovers

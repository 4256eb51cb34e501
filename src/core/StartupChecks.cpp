#include "core/StartupChecks.h"
#include "core/StationPaths.h"
#include "core/Version.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

namespace StartupChecks {

bool screenLargeEnough(const QSize &screen) { return screen.width() >= 1024 && screen.height() >= 768; }

QString screenTooSmallText()
{
    return QStringLiteral("ATTENTION!\nA screen resolution of 1024x768 pixel is required for this application!");
}

QString secondInstanceText()
{
    return QStringLiteral("Your can only run one instance of '") + Version::ProductName + QStringLiteral("'");
}

bool diskSpaceLow(qint64 freeBytes) { return freeBytes >= 0 && freeBytes < MinFreeBytes; }

qint64 freeBytes(const QString &folder)
{
    QStorageInfo info(folder);
    if (!info.isValid())
        return -1;
    return info.bytesAvailable();
}

QString lowDiskSpaceText(qint64 freeBytes)
{
    return QStringLiteral("Low disk space: only %1 MB are free on the drive of the station folder.\n"
                          "Received images may be lost when the drive fills up. "
                          "Please send and delete old studies or free space on the drive.")
        .arg(freeBytes / 1000000);
}

QString lowDiskSpaceStatus(qint64 freeBytes)
{
    return QStringLiteral("Low disk space: %1 MB free").arg(freeBytes / 1000000);
}

InstanceLock::InstanceLock(const QString &appPath)
{
    QDir().mkpath(appPath);
    m_lock = std::make_unique<QLockFile>(QDir(appPath).filePath(QStringLiteral("Calvarex.lock")));
    // A lock left by a crashed instance is taken over at once.
    m_lock->setStaleLockTime(0);
    m_acquired = m_lock->tryLock(0);
}

QString stationFolderProblem(const QString &appPath)
{
    const QString where = qEnvironmentVariableIsSet("CALVAREX_HOME") ? QStringLiteral("CALVAREX_HOME")
                          : StationPaths::installed()                ? QStringLiteral("the user's data folder")
                                                                     : QStringLiteral("the program's folder");
    const QFileInfo fi(appPath);
    if (fi.exists() && !fi.isDir())
        return QStringLiteral("The station folder %1 (%2) is not a folder.").arg(appPath, where);
    if (!fi.exists() && !QDir().mkpath(appPath))
        return QStringLiteral("The station folder %1 (%2) cannot be created.").arg(appPath, where);
    if (!QFileInfo(appPath).isWritable())
        return QStringLiteral("The station folder %1 (%2) cannot be written.").arg(appPath, where);
    return {};
}

} // namespace StartupChecks

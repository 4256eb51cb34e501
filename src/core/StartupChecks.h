#pragma once
#include <QLockFile>
#include <QSize>
#include <QString>
#include <memory>

// The checks of the start-up: screen size, one instance per station, free disk space.
namespace StartupChecks {
constexpr qint64 MinFreeBytes = 1200000000;

bool screenLargeEnough(const QSize &screen);
QString screenTooSmallText();
QString secondInstanceText();
// Why the station folder cannot serve (not a folder, cannot be created or written); empty
// when it can. Names where it comes from.
QString stationFolderProblem(const QString &appPath);
bool diskSpaceLow(qint64 freeBytes);
// Free bytes on the drive of the given folder; -1 when unknown.
qint64 freeBytes(const QString &folder);
QString lowDiskSpaceText(qint64 freeBytes);
QString lowDiskSpaceStatus(qint64 freeBytes);

// Holds the station's instance lock while it lives. A second instance of the same
// station finds the lock taken.
class InstanceLock {
public:
    explicit InstanceLock(const QString &appPath);
    bool acquired() const { return m_acquired; }

private:
    std::unique_ptr<QLockFile> m_lock;
    bool m_acquired = false;
};
} // namespace StartupChecks

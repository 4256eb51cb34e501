#pragma once
#include <QString>

// The station's version and the two ways it is written.
namespace Version {
constexpr int Major = CALVAREX_VERSION_MAJOR;
constexpr int Minor = CALVAREX_VERSION_MINOR;
constexpr int Revision = CALVAREX_VERSION_REVISION;
inline const QString ProductName = QStringLiteral("Calvarex");

// Splash: the revision padded to two digits ("1.4.03").
inline QString splashNumber(int major, int minor, int revision)
{
    return QStringLiteral("%1.%2.%3").arg(major).arg(minor).arg(revision, 2, 10, QLatin1Char('0'));
}
// Main window: the revision as it is ("1.4.3").
inline QString captionNumber(int major, int minor, int revision)
{
    return QStringLiteral("%1.%2.%3").arg(major).arg(minor).arg(revision);
}
inline QString splashCaption()
{
    return ProductName + QStringLiteral(" Version ") + splashNumber(Major, Minor, Revision);
}
inline QString splashVersionLabel() { return QStringLiteral("Version ") + splashNumber(Major, Minor, Revision); }
inline QString mainCaption()
{
    return ProductName + QStringLiteral(" Version ") + captionNumber(Major, Minor, Revision);
}
} // namespace Version

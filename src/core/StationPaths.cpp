#include "core/StationPaths.h"
#include "core/AppError.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

StationPaths::StationPaths(const QString &appPath) : m_appPath(QDir::cleanPath(QDir(appPath).absolutePath())) {}

QString StationPaths::dataDir() const { return m_appPath + QStringLiteral("/Data"); }
QString StationPaths::imagesDir() const { return m_appPath + QStringLiteral("/Images"); }
QString StationPaths::tempDir() const { return m_appPath + QStringLiteral("/temp"); }
QString StationPaths::binDir() const { return m_appPath + QStringLiteral("/bin"); }
QString StationPaths::transferDir() const { return m_appPath + QStringLiteral("/transfer"); }
QString StationPaths::logsDir() const { return m_appPath + QStringLiteral("/Logs"); }
QString StationPaths::quarantineDir() const { return m_appPath + QStringLiteral("/quarantine"); }
QString StationPaths::dataDb() const { return dataDir() + QStringLiteral("/TqData.dat"); }
QString StationPaths::userDb() const { return dataDir() + QStringLiteral("/TqUser.dat"); }
QString StationPaths::templateDb() const { return dataDir() + QStringLiteral("/TqDef.dat"); }
QString StationPaths::file(const QString &name) const { return m_appPath + QLatin1Char('/') + name; }

QString StationPaths::studyDir(const QString &studyUid) const
{
    if (!isValidUid(studyUid))
        throw AppError(ErrorNo::BadInput,
                       QStringLiteral("Not a valid Study Instance UID: '%1'").arg(studyUid.left(80)));
    return imagesDir() + QLatin1Char('/') + studyUid;
}

QString StationPaths::imageFile(const QString &studyUid, const QString &sopUid) const
{
    const QString dir = studyDir(studyUid);
    if (!isValidUid(sopUid))
        throw AppError(ErrorNo::BadInput, QStringLiteral("Not a valid SOP Instance UID: '%1'").arg(sopUid.left(80)));
    return dir + QLatin1Char('/') + sopUid + QStringLiteral(".dcm");
}

QString StationPaths::doseReportsDir() const { return m_appPath + QStringLiteral("/DoseReports"); }

QString StationPaths::doseReportFile(const QString &studyUid) const
{
    if (!isValidUid(studyUid))
        throw AppError(ErrorNo::BadInput,
                       QStringLiteral("Not a valid Study Instance UID: '%1'").arg(studyUid.left(80)));
    return doseReportsDir() + QLatin1Char('/') + studyUid + QStringLiteral(".dcm");
}

QString StationPaths::commitReportsDir() const { return dataDir() + QStringLiteral("/Commitments"); }

void StationPaths::createFolders() const
{
    QDir d;
    for (const QString &p : {dataDir(), imagesDir(), tempDir(), binDir(), transferDir(), commitReportsDir()})
        d.mkpath(p);
}

bool StationPaths::installed()
{
    return QFileInfo(QCoreApplication::applicationDirPath() + QStringLiteral("/../share/calvarex")).isDir();
}

QString StationPaths::resourceDir()
{
    const QString exe = QCoreApplication::applicationDirPath();
    return installed() ? QDir::cleanPath(exe + QStringLiteral("/../share/calvarex")) : exe;
}

QString StationPaths::defaultAppPath()
{
    const QByteArray home = qgetenv("CALVAREX_HOME");
    if (!home.isEmpty())
        return QString::fromLocal8Bit(home);
    if (!installed())
        return QCoreApplication::applicationDirPath();
    // An installed program folder is no place for data: the user's data folder is.
    QString data = QString::fromLocal8Bit(qgetenv("XDG_DATA_HOME"));
    if (data.isEmpty() || QDir::isRelativePath(data))
        data = QDir::homePath() + QStringLiteral("/.local/share");
    return data + QStringLiteral("/calvarex");
}

bool isValidUid(const QString &uid)
{
    if (uid.isEmpty() || uid.size() > 64)
        return false;
    bool lastDot = true; // no leading dot
    for (QChar c : uid) {
        if (c == QLatin1Char('.')) {
            if (lastDot)
                return false;
            lastDot = true;
        } else if (c >= QLatin1Char('0') && c <= QLatin1Char('9')) {
            lastDot = false;
        } else {
            return false;
        }
    }
    return !lastDot;
}

#include "core/StationLog.h"
#include "core/AppError.h"
#include "core/DateText.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

StationLog::StationLog(const QString &logsDir) : m_dir(logsDir) {}

QString StationLog::errorLogPath() const { return m_dir + QStringLiteral("/Error.log"); }
QString StationLog::debugLogPath() const { return m_dir + QStringLiteral("/debug.log"); }

qint64 StationLog::logFileSize(const QString &path)
{
    QFileInfo fi(path);
    if (!fi.exists())
        throw AppError(53, QStringLiteral("File not found"));
    return fi.size();
}

void StationLog::writeError(long number, const QString &description, const QString &procedure) const noexcept
{
    QString line =
        DateText::logStamp() + QLatin1Char('#') + QString::number(number) + QStringLiteral(" - ") + description;
    if (!procedure.isEmpty())
        line += QStringLiteral(" [") + procedure + QLatin1Char(']');
    append(errorLogPath(), line);
}

void StationLog::writeDebug(const QString &text, const QString &detail) const noexcept
{
    QString line = DateText::logStamp() + text;
    if (!detail.isEmpty())
        line += QLatin1Char(' ') + detail;
    append(debugLogPath(), line);
}

void StationLog::append(const QString &path, const QString &line) const noexcept
{
    try {
        QFileInfo fi(path);
        if (fi.exists() && fi.size() > MaxSize)
            QFile::remove(path);
        QDir().mkpath(m_dir);
        QFile f(path);
        if (!f.open(QIODevice::Append | QIODevice::WriteOnly))
            return;
        QString text = line;
        text.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
        f.write((text + QStringLiteral("\r\n")).toUtf8());
    } catch (...) {
        // A log that cannot be written loses the entry.
    }
}

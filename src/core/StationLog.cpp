#include "core/StationLog.h"
#include "core/AppError.h"
#include "core/DateText.h"

#include <QDateTime>
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
        throw AppError(ErrorNo::FileNotFound, QStringLiteral("File not found"));
    return fi.size();
}

void StationLog::writeError(long number, const QString &description, const QString &procedure) const noexcept
{
    try {
        QString text = QLatin1Char('#') + QString::number(number) + QStringLiteral(" - ") + description;
        if (!procedure.isEmpty())
            text += QStringLiteral(" [") + procedure + QLatin1Char(']');
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        QMutexLocker lock(&m_mutex);
        Repeat &r = m_repeats[text];
        if (r.lastWritten && now - r.lastWritten < RepeatWindow * 1000LL) {
            ++r.suppressed;
            return;
        }
        QString line = DateText::logStamp() + text;
        if (r.suppressed)
            line += QStringLiteral(" (repeated %1 times)").arg(r.suppressed);
        r = Repeat{now, 0, text};
        append(errorLogPath(), line);
        if (m_repeats.size() > 1000) // distinct errors without end: forget the old ones
            m_repeats.clear();
    } catch (...) {
    }
}

void StationLog::flushRepeats() const noexcept
{
    try {
        QMutexLocker lock(&m_mutex);
        for (auto it = m_repeats.begin(); it != m_repeats.end(); ++it) {
            if (it->suppressed)
                append(errorLogPath(),
                       DateText::logStamp() + it->line + QStringLiteral(" (repeated %1 times)").arg(it->suppressed));
            it->suppressed = 0;
        }
    } catch (...) {
    }
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
        // The log folder is made again when it was removed, but never the station folder
        // around it: a companion logging after its station was removed would bring the
        // station back, and the companions take a missing station as their sign to end.
        if (!QFileInfo::exists(m_dir)) {
            if (!QFileInfo::exists(QFileInfo(m_dir).absolutePath()))
                return;
            QDir().mkdir(m_dir);
        }
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

#pragma once
#include <QHash>
#include <QMutex>
#include <QString>

// The error log "Error.log" and the debug log "debug.log" in the station's Logs folder.
// Writing never throws: a log that cannot be written loses the entry, nothing more.
class StationLog {
public:
    static constexpr qint64 MaxSize = 1000000;

    explicit StationLog(const QString &logsDir);

    // One line: stamp + "#" + number + " - " + description + " [" + procedure + "]".
    // The same error from the same procedure again within RepeatWindow seconds is only
    // counted; the next line written for it says how often it came meanwhile
    // (" (repeated n times)"), so a fault that recurs every second cannot flood the log.
    void writeError(long number, const QString &description, const QString &procedure) const noexcept;
    // Writes the counts still held for repeated errors.
    void flushRepeats() const noexcept;

    static constexpr int RepeatWindow = 60;
    // One line: stamp + text. The detail is written after the text, for the cases where
    // it says what went wrong (a port that did not open).
    void writeDebug(const QString &text, const QString &detail = {}) const noexcept;

    QString errorLogPath() const;
    QString debugLogPath() const;

    // Size of a file in bytes; throws AppError when it does not exist.
    static qint64 logFileSize(const QString &path);

private:
    void append(const QString &path, const QString &line) const noexcept;
    QString m_dir;
    struct Repeat {
        qint64 lastWritten = 0; // msecs since epoch
        int suppressed = 0;
        QString line;
    };
    // Logging is const for its callers; the repeat counts are bookkeeping only.
    mutable QHash<QString, Repeat> m_repeats;
    mutable QMutex m_mutex;
};

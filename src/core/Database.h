#pragma once
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <atomic>
#include <mutex>

#include "core/Settings.h"

class StationPaths;

// The site's shared database as this process sees it: where it is, and whether it answered
// the last time. After a failed connection it counts as offline for RetryMs, so that the
// station reads its local copy at once instead of waiting for the network each time.
class SharedDatabase {
public:
    explicit SharedDatabase(SharedDbSettings settings) : m_settings(std::move(settings)) {}
    const SharedDbSettings &settings() const { return m_settings; }

    // The station's background round tries every few seconds and marks it online again,
    // so the window's reads hardly ever try themselves.
    static constexpr qint64 RetryMs = 60000;

    // True unless a connection failed less than RetryMs ago.
    bool mayTry() const;
    bool offline() const { return m_offlineSinceMs.load() != 0; }
    QString offlineReason() const;
    void markOffline(const QString &reason);
    void markOnline();

    // Set when this station changed the shared configuration: its local copy is renewed
    // soon after.
    std::atomic<bool> configChanged{false};

private:
    SharedDbSettings m_settings;
    std::atomic<qint64> m_offlineSinceMs{0};
    std::atomic<qint64> m_lastFailureMs{0};
    mutable std::mutex m_mutex;
    QString m_reason;
};

// One scoped connection to a database file: opened at the start of an action, closed
// when it goes out of scope, also on an error path. WAL mode and a busy timeout let the
// companions write while the station reads. Every value is bound, never pasted.
class Database {
public:
    // Opens the file; throws AppError when it cannot (a missing file is an error unless
    // create is true).
    // busyTimeoutMs: how long a statement waits for another connection's write lock.
    explicit Database(const QString &file, bool create = false, int busyTimeoutMs = DefaultBusyTimeoutMs);
    ~Database();
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    // A connection to the site's shared PostgreSQL database; throws AppError naming the
    // server when it cannot connect (within ConnectTimeoutS).
    explicit Database(const SharedDbSettings &shared);

    static constexpr int DefaultBusyTimeoutMs = 10000;
    static constexpr int ConnectTimeoutS = 3;
    static Database openData(const StationPaths &p, int busyTimeoutMs = DefaultBusyTimeoutMs);
    // The configuration: the shared database when the station has one and it answers;
    // while it is away, the station's own copy, which refuses every change with a message
    // (so that no room drifts from the others unnoticed). Without a shared database, the
    // station's own file.
    static Database openUser(const StationPaths &p);
    // The shared database itself; throws AppError when there is none or it is away.
    static Database openShared(const StationPaths &p);

    enum class Dialect { SQLite, PostgreSQL };
    Dialect dialect() const { return m_dialect; }
    bool isShared() const { return m_dialect == Dialect::PostgreSQL; }
    // True for the local copy that stands in for the shared database while it is away.
    bool isStandIn() const { return !m_standInReason.isEmpty(); }
    Database(Database &&other) noexcept;

    // Runs a statement with bound values; throws AppError with the driver's text on failure.
    QSqlQuery exec(const QString &sql, const QVariantList &binds = {});
    // Runs one statement once per row of values, prepared once.
    void execRows(const QString &sql, const QList<QVariantList> &rows);
    // The first column of the first row, or def when there is no row.
    QVariant scalar(const QString &sql, const QVariantList &binds = {}, const QVariant &def = {});
    // The key the last INSERT gave its row.
    qint64 lastInsertId(QSqlQuery &q) const;

    // Starts the automatic keys of the emptied tables again from 1, as in a new file.
    void resetAutoKeys();

    void begin();
    // A transaction that takes the write lock at once: what it reads stays true until it
    // commits, since no other connection can write meanwhile.
    void beginWrite();
    void commit();
    void rollback();

    QSqlDatabase &db() { return m_db; }
    const QString &file() const { return m_file; }

    // The message that refuses a change of the shared configuration while it is away.
    static QString offlineChangeMessage(const SharedDbSettings &s, const QString &reason);

private:
    QString m_name;
    QString m_file;
    QSqlDatabase m_db;
    Dialect m_dialect = Dialect::SQLite;
    SharedDatabase *m_shared = nullptr;
    bool m_isConfiguration = false; // opened for the configuration: its changes are copied locally
    QString m_standInReason;
};

// Commits at commit(), rolls back when left without it.
class Transaction {
public:
    enum Kind { Deferred, Write };
    explicit Transaction(Database &db, Kind kind = Deferred) : m_db(db)
    {
        if (kind == Write)
            m_db.beginWrite();
        else
            m_db.begin();
    }
    ~Transaction();
    void commit();

private:
    Database &m_db;
    bool m_done = false;
};

// A column value as display text: null reads as empty.
inline QString textOf(const QSqlQuery &q, const char *column)
{
    return q.value(QString::fromLatin1(column)).toString();
}

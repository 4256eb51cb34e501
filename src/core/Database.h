#pragma once
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariant>
#include <QVariantList>

class StationPaths;

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

    static constexpr int DefaultBusyTimeoutMs = 10000;
    static Database openData(const StationPaths &p, int busyTimeoutMs = DefaultBusyTimeoutMs);
    static Database openUser(const StationPaths &p);
    Database(Database &&other) noexcept;

    // Runs a statement with bound values; throws AppError with the driver's text on failure.
    QSqlQuery exec(const QString &sql, const QVariantList &binds = {});
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

private:
    QString m_name;
    QString m_file;
    QSqlDatabase m_db;
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

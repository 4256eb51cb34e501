#include "core/Database.h"
#include "core/AppError.h"
#include "core/StationPaths.h"

#include <QFileInfo>
#include <QSqlError>
#include <QSqlRecord>
#include <atomic>

namespace {
std::atomic<quint64> g_connectionCounter{0};

[[noreturn]] void fail(const QString &what, const QSqlError &err)
{
    throw AppError(ErrorNo::Database, what + QStringLiteral(": ") + err.text().trimmed());
}
} // namespace

Database::Database(const QString &file, bool create, int busyTimeoutMs)
    : m_name(QStringLiteral("cx%1").arg(++g_connectionCounter)), m_file(file)
{
    if (!create && !QFileInfo::exists(file))
        throw AppError(ErrorNo::Database, QStringLiteral("Database file not found: %1").arg(file));
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
    m_db.setDatabaseName(file);
    m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs));
    if (!m_db.open()) {
        const QSqlError err = m_db.lastError();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_name);
        fail(QStringLiteral("Cannot open %1").arg(file), err);
    }
    QSqlQuery q(m_db);
    q.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
    q.exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    q.exec(QStringLiteral("PRAGMA foreign_keys=OFF"));
}

Database::Database(Database &&other) noexcept
    : m_name(std::move(other.m_name)), m_file(std::move(other.m_file)), m_db(std::move(other.m_db))
{
    other.m_name.clear();
    other.m_db = QSqlDatabase();
}

Database::~Database()
{
    if (m_name.isEmpty())
        return;
    if (m_db.isOpen())
        m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_name);
}

Database Database::openData(const StationPaths &p, int busyTimeoutMs)
{
    return Database(p.dataDb(), false, busyTimeoutMs);
}
Database Database::openUser(const StationPaths &p) { return Database(p.userDb()); }

QSqlQuery Database::exec(const QString &sql, const QVariantList &binds)
{
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!q.prepare(sql))
        fail(QStringLiteral("Statement failed"), q.lastError());
    for (int i = 0; i < binds.size(); ++i)
        q.bindValue(i, binds[i]);
    if (!q.exec())
        fail(QStringLiteral("Statement failed"), q.lastError());
    return q;
}

QVariant Database::scalar(const QString &sql, const QVariantList &binds, const QVariant &def)
{
    QSqlQuery q = exec(sql, binds);
    return q.next() ? q.value(0) : def;
}

qint64 Database::lastInsertId(QSqlQuery &q) const { return q.lastInsertId().toLongLong(); }

void Database::begin()
{
    if (!m_db.transaction())
        fail(QStringLiteral("Cannot begin a transaction"), m_db.lastError());
}

void Database::resetAutoKeys()
{
    // SQLite keeps the last AUTOINCREMENT key of each table in sqlite_sequence.
    if (m_db.driverName() != QLatin1String("QSQLITE"))
        return;
    if (scalar(QStringLiteral("SELECT COUNT(*) FROM sqlite_master WHERE name = 'sqlite_sequence'")).toInt() > 0)
        exec(QStringLiteral("DELETE FROM sqlite_sequence"));
}

void Database::beginWrite()
{
    // SQLite's plain BEGIN takes the write lock only at the first write, and a reader
    // that then wants to write can lose to another writer.
    if (m_db.driverName() != QLatin1String("QSQLITE")) {
        begin();
        return;
    }
    QSqlQuery q(m_db);
    if (!q.exec(QStringLiteral("BEGIN IMMEDIATE")))
        fail(QStringLiteral("Cannot begin a write transaction"), q.lastError());
}

void Database::commit()
{
    if (!m_db.commit())
        fail(QStringLiteral("Cannot commit"), m_db.lastError());
}

void Database::rollback() { m_db.rollback(); }

Transaction::~Transaction()
{
    if (!m_done)
        m_db.rollback();
}

void Transaction::commit()
{
    m_db.commit();
    m_done = true;
}

#include "core/Database.h"
#include "core/AppError.h"
#include "core/StationPaths.h"

#include <QDateTime>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlRecord>
#include <atomic>

namespace {
std::atomic<quint64> g_connectionCounter{0};

[[noreturn]] void fail(const QString &what, const QSqlError &err)
{
    throw AppError(ErrorNo::Database, what + QStringLiteral(": ") + err.text().trimmed());
}

// A statement that changes the database (and not one that only reads it).
bool isChange(const QString &sql)
{
    static const QRegularExpression change(QStringLiteral("^\\s*(INSERT|UPDATE|DELETE|REPLACE|ALTER|CREATE|DROP)\\b"),
                                           QRegularExpression::CaseInsensitiveOption);
    return change.match(sql).hasMatch();
}

// A value for libpq's connection string: quoted, with its quotes and backslashes escaped.
QString connValue(const QString &v)
{
    QString out = v;
    out.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    out.replace(QLatin1Char('\''), QStringLiteral("\\'"));
    return QLatin1Char('\'') + out + QLatin1Char('\'');
}

qint64 nowMs() { return QDateTime::currentMSecsSinceEpoch(); }
} // namespace

bool SharedDatabase::mayTry() const
{
    const qint64 failed = m_lastFailureMs.load();
    return failed == 0 || nowMs() - failed >= RetryMs;
}

QString SharedDatabase::offlineReason() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reason;
}

void SharedDatabase::markOffline(const QString &reason)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_reason = reason;
    }
    m_lastFailureMs = nowMs();
    qint64 zero = 0;
    m_offlineSinceMs.compare_exchange_strong(zero, nowMs());
}

void SharedDatabase::markOnline()
{
    m_lastFailureMs = 0;
    m_offlineSinceMs = 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_reason.clear();
}

QString Database::offlineChangeMessage(const SharedDbSettings &s, const QString &reason)
{
    return QStringLiteral("The shared configuration database %1 cannot be reached (%2). The change is not saved; "
                          "make it again when the server is back.")
        .arg(s.describe(), reason.isEmpty() ? QStringLiteral("offline") : reason);
}

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

Database::Database(const SharedDbSettings &shared)
    : m_name(QStringLiteral("cx%1").arg(++g_connectionCounter)), m_file(shared.describe()),
      m_dialect(Dialect::PostgreSQL)
{
    // Qt passes the options on with ";" read as a separator.
    if (shared.passFile.contains(QLatin1Char(';')))
        throw AppError(ErrorNo::BadInput,
                       QStringLiteral("The pass file's path must not hold \";\": %1").arg(shared.passFile));
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_name);
    m_db.setHostName(shared.host.trimmed());
    if (!shared.port.trimmed().isEmpty())
        m_db.setPort(shared.port.trimmed().toInt());
    m_db.setDatabaseName(shared.database.trimmed());
    m_db.setUserName(shared.user.trimmed());
    // No password here: libpq reads it from the pass file or PGPASSWORD. A statement the
    // server does not answer within a minute fails instead of holding the station.
    QString options = QStringLiteral("connect_timeout=%1;application_name=Calvarex;"
                                     "options='-c statement_timeout=60000'")
                          .arg(ConnectTimeoutS);
    if (!shared.passFile.trimmed().isEmpty())
        options += QStringLiteral(";passfile=") + connValue(shared.passFile.trimmed());
    m_db.setConnectOptions(options);
    if (!m_db.open()) {
        const QSqlError err = m_db.lastError();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_name);
        fail(QStringLiteral("Cannot connect to the shared database %1").arg(shared.describe()), err);
    }
    QSqlQuery q(m_db);
    q.exec(QStringLiteral("SET client_min_messages TO WARNING"));
}

Database::Database(Database &&other) noexcept
    : m_name(std::move(other.m_name)), m_file(std::move(other.m_file)), m_db(std::move(other.m_db)),
      m_dialect(other.m_dialect), m_shared(other.m_shared), m_isConfiguration(other.m_isConfiguration),
      m_standInReason(std::move(other.m_standInReason))
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
Database Database::openUser(const StationPaths &p)
{
    SharedDatabase *shared = p.shared();
    if (!shared)
        return Database(p.userDb());
    if (shared->mayTry()) {
        try {
            Database db(shared->settings());
            db.m_shared = shared;
            db.m_isConfiguration = true;
            shared->markOnline();
            return db;
        } catch (const AppError &e) {
            shared->markOffline(e.description());
        }
    }
    Database db(p.userDb());
    db.m_shared = shared;
    db.m_standInReason = shared->offlineReason();
    if (db.m_standInReason.isEmpty())
        db.m_standInReason = QStringLiteral("offline");
    return db;
}

Database Database::openShared(const StationPaths &p)
{
    SharedDatabase *shared = p.shared();
    if (!shared)
        throw AppError(ErrorNo::Database, QStringLiteral("This station has no shared database"));
    try {
        Database db(shared->settings());
        db.m_shared = shared;
        shared->markOnline();
        return db;
    } catch (const AppError &e) {
        shared->markOffline(e.description());
        throw;
    }
}

QSqlQuery Database::exec(const QString &sql, const QVariantList &binds)
{
    if (m_shared && isChange(sql)) {
        if (isStandIn())
            throw AppError(ErrorNo::Database, offlineChangeMessage(m_shared->settings(), m_standInReason));
        if (isShared() && m_isConfiguration)
            m_shared->configChanged = true;
    }
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (binds.isEmpty() && m_dialect == Dialect::PostgreSQL) {
        // PostgreSQL prepares only queries and changes of rows, not the schema's statements.
        if (!q.exec(sql))
            fail(QStringLiteral("Statement failed"), q.lastError());
        return q;
    }
    if (!q.prepare(sql))
        fail(QStringLiteral("Statement failed"), q.lastError());
    for (int i = 0; i < binds.size(); ++i)
        q.bindValue(i, binds[i]);
    if (!q.exec())
        fail(QStringLiteral("Statement failed"), q.lastError());
    return q;
}

void Database::execRows(const QString &sql, const QList<QVariantList> &rows)
{
    if (rows.isEmpty())
        return;
    if (m_shared && isStandIn() && isChange(sql))
        throw AppError(ErrorNo::Database, offlineChangeMessage(m_shared->settings(), m_standInReason));
    if (m_shared && m_isConfiguration && isShared() && isChange(sql))
        m_shared->configChanged = true;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!q.prepare(sql))
        fail(QStringLiteral("Statement failed"), q.lastError());
    for (const QVariantList &binds : rows) {
        for (int i = 0; i < binds.size(); ++i)
            q.bindValue(i, binds[i]);
        if (!q.exec())
            fail(QStringLiteral("Statement failed"), q.lastError());
    }
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
    if (m_dialect != Dialect::SQLite)
        return;
    if (scalar(QStringLiteral("SELECT COUNT(*) FROM sqlite_master WHERE name = 'sqlite_sequence'")).toInt() > 0)
        exec(QStringLiteral("DELETE FROM sqlite_sequence"));
}

void Database::beginWrite()
{
    // SQLite's plain BEGIN takes the write lock only at the first write, and a reader
    // that then wants to write can lose to another writer.
    if (m_dialect != Dialect::SQLite) {
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

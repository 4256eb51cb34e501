#pragma once
// A private PostgreSQL server for the tests, the benchmarks and the demo room: a cluster
// made with Debian's initdb in a scratch folder, listening on a free loopback port, run as
// the "postgres" user when this process runs as root (the server refuses root). It ends
// with its owner, also when the owner is killed.
#include "PeerProcess.h"
#include "core/Settings.h"

#include <QString>
#include <QTemporaryDir>
#include <memory>

namespace peers {

class PostgresServer {
public:
    PostgresServer();
    ~PostgresServer();
    PostgresServer(const PostgresServer &) = delete;
    PostgresServer &operator=(const PostgresServer &) = delete;

    // Makes the cluster (once) and starts the server on its port; false with the reason in
    // error() when either failed.
    bool start();
    // A fast shutdown: the clients' connections end at once.
    void stop();
    bool running() const { return m_server && m_server->running(); }
    quint16 port() const { return m_port; }
    QString error() const { return m_error; }

    // A new, empty database that the stations' role owns, and the settings that reach it
    // (the role's password in a pass file, never in the settings).
    SharedDbSettings createDatabase(const QString &name);
    // Runs SQL as the superuser on a database; the output of psql, or a null string on
    // failure (then error() says why).
    QString psql(const QString &sql, const QString &database = QStringLiteral("postgres"));

    // The folder of Debian's server programs; empty when the server is not installed.
    static QString binDir();
    static const char *stationRole() { return "calvarex"; }

private:
    bool run(const QString &program, const QStringList &args, bool asServerUser, QString *output = nullptr);
    QStringList asServerUser(const QString &program, const QStringList &args) const;

    QTemporaryDir m_dir;
    quint16 m_port = 0;
    bool m_made = false;
    QString m_error;
    std::unique_ptr<PeerProcess> m_server;
};

// The server the tests of one process share, started on first use; null when it could not
// start (the reason is printed).
PostgresServer *sharedTestServer();

} // namespace peers

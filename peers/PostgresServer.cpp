#include "PostgresServer.h"
#include "Ports.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace peers {

namespace {
const QString SuperPassword = QStringLiteral("super-secret");
const QString RolePassword = QStringLiteral("room-secret");
} // namespace

QString PostgresServer::binDir()
{
    QDir root(QStringLiteral("/usr/lib/postgresql"));
    QStringList versions = root.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    std::sort(versions.begin(), versions.end(),
              [](const QString &a, const QString &b) { return a.toInt() > b.toInt(); });
    for (const QString &v : versions)
        if (QFile::exists(root.filePath(v + QStringLiteral("/bin/postgres"))))
            return root.filePath(v + QStringLiteral("/bin"));
    return {};
}

PostgresServer::PostgresServer() = default;

PostgresServer::~PostgresServer() { stop(); }

QStringList PostgresServer::asServerUser(const QString &program, const QStringList &args) const
{
    if (::getuid() != 0)
        return QStringList{program} + args;
    // setpriv execs the program itself (no process between) and sets the death signal after
    // the change of user, which would otherwise clear it.
    return QStringList{QStringLiteral("setpriv"),          QStringLiteral("--reuid=postgres"),
                       QStringLiteral("--regid=postgres"), QStringLiteral("--init-groups"),
                       QStringLiteral("--pdeathsig=INT"),  program}
           + args;
}

bool PostgresServer::run(const QString &program, const QStringList &args, bool serverUser, QString *output)
{
    const QStringList cmd = serverUser ? asServerUser(program, args) : QStringList{program} + args;
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.setWorkingDirectory(m_dir.path());
    p.start(cmd.first(), cmd.mid(1));
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        m_error = QStringLiteral("%1 failed: %2 %3")
                      .arg(QFileInfo(program).fileName(), p.errorString(), QString::fromLocal8Bit(p.readAll()));
        return false;
    }
    if (output)
        *output = QString::fromLocal8Bit(p.readAll());
    return true;
}

bool PostgresServer::start()
{
    if (running())
        return true;
    const QString bin = binDir();
    if (bin.isEmpty()) {
        m_error = QStringLiteral("PostgreSQL is not installed (no /usr/lib/postgresql/*/bin/postgres)");
        return false;
    }
    const QString data = m_dir.filePath(QStringLiteral("data"));
    if (!m_made) {
        if (!m_dir.isValid()) {
            m_error = QStringLiteral("no scratch folder");
            return false;
        }
        const QString pwFile = m_dir.filePath(QStringLiteral("superuser.pw"));
        QFile pw(pwFile);
        if (!pw.open(QIODevice::WriteOnly) || pw.write(SuperPassword.toUtf8() + '\n') <= 0) {
            m_error = QStringLiteral("cannot write %1").arg(pwFile);
            return false;
        }
        pw.close();
        if (::getuid() == 0
            && !run(QStringLiteral("chown"), {QStringLiteral("-R"), QStringLiteral("postgres:postgres"), m_dir.path()},
                    false))
            return false;
        if (!run(bin + QStringLiteral("/initdb"),
                 {QStringLiteral("-D"), data, QStringLiteral("-U"), QStringLiteral("postgres"),
                  QStringLiteral("--pwfile=") + pwFile, QStringLiteral("--auth-local=trust"),
                  QStringLiteral("--auth-host=scram-sha-256"), QStringLiteral("-E"), QStringLiteral("UTF8"),
                  QStringLiteral("--locale=C"), QStringLiteral("--no-sync")},
                 true))
            return false;
        m_made = true;
    }
    if (m_port == 0)
        m_port = freePort();
    m_server = std::make_unique<PeerProcess>();
    // A fast shutdown on the polite ending: SIGTERM would wait for every client.
    m_server->setPoliteEnding([](QProcess &p) { ::kill(pid_t(p.processId()), SIGINT); });
    const QStringList args = asServerUser(
        bin + QStringLiteral("/postgres"),
        {QStringLiteral("-D"), data, QStringLiteral("-p"), QString::number(m_port), QStringLiteral("-k"), m_dir.path(),
         QStringLiteral("-c"), QStringLiteral("listen_addresses=127.0.0.1"), QStringLiteral("-c"),
         QStringLiteral("fsync=off"), QStringLiteral("-c"), QStringLiteral("full_page_writes=off"),
         QStringLiteral("-c"), QStringLiteral("max_connections=200")});
    if (!m_server->start(args.first(), args.mid(1))) {
        m_error = QStringLiteral("postgres did not start: %1").arg(m_server->errorString());
        return false;
    }
    // Ready when it answers on its socket.
    for (int i = 0; i < 300; ++i) {
        if (!m_server->running())
            break;
        QProcess ready;
        ready.start(bin + QStringLiteral("/pg_isready"),
                    {QStringLiteral("-h"), m_dir.path(), QStringLiteral("-p"), QString::number(m_port)});
        if (ready.waitForFinished(5000) && ready.exitCode() == 0)
            return true;
        QThread::msleep(100);
    }
    m_error = QStringLiteral("postgres did not become ready: %1").arg(m_server->output());
    m_server.reset();
    return false;
}

void PostgresServer::stop()
{
    if (m_server) {
        m_server->stop(20000);
        m_server.reset();
    }
}

QString PostgresServer::psql(const QString &sql, const QString &database)
{
    QString out;
    if (!run(QStringLiteral("psql"),
             {QStringLiteral("-h"), m_dir.path(), QStringLiteral("-p"), QString::number(m_port), QStringLiteral("-U"),
              QStringLiteral("postgres"), QStringLiteral("-d"), database, QStringLiteral("-X"), QStringLiteral("-A"),
              QStringLiteral("-t"), QStringLiteral("-v"), QStringLiteral("ON_ERROR_STOP=1"), QStringLiteral("-c"), sql},
             false, &out))
        return {};
    return out.isNull() ? QStringLiteral("") : out;
}

SharedDbSettings PostgresServer::createDatabase(const QString &name)
{
    static const QRegularExpression plain(QStringLiteral("^[a-z][a-z0-9_]*$"));
    if (!plain.match(name).hasMatch())
        qFatal("not a plain database name: %s", qPrintable(name));
    const QString role = QString::fromLatin1(stationRole());
    if (psql(QStringLiteral("SELECT 1 FROM pg_roles WHERE rolname = '%1'").arg(role)).trimmed().isEmpty())
        psql(QStringLiteral("CREATE ROLE %1 LOGIN PASSWORD '%2'").arg(role, RolePassword));
    psql(QStringLiteral("CREATE DATABASE %1 OWNER %2").arg(name, role));
    const QString passFile = m_dir.filePath(QStringLiteral("station.pgpass"));
    if (!QFile::exists(passFile)) {
        QFile f(passFile);
        if (f.open(QIODevice::WriteOnly))
            f.write(QStringLiteral("127.0.0.1:%1:*:%2:%3\n").arg(m_port).arg(role, RolePassword).toUtf8());
        f.close();
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    }
    SharedDbSettings s;
    s.host = QStringLiteral("127.0.0.1");
    s.port = QString::number(m_port);
    s.database = name;
    s.user = role;
    s.passFile = passFile;
    return s;
}

PostgresServer *sharedTestServer()
{
    static std::unique_ptr<PostgresServer> server;
    static bool tried = false;
    if (!tried) {
        tried = true;
        server = std::make_unique<PostgresServer>();
        if (!server->start()) {
            std::fprintf(stderr, "PostgreSQL test server: %s\n", qPrintable(server->error()));
            server.reset();
        }
    }
    return server.get();
}

} // namespace peers

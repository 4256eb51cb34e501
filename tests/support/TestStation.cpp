#include "TestStation.h"
#include "peers/Ports.h"
#include "peers/PostgresServer.h"
#include "peers/StationFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QSettings>
#include <atomic>

TestStation::TestStation(bool withDatabases)
{
    if (withDatabases && sharedDatabaseRun()) {
        // Every station of the run on a database of its own on the shared server.
        static std::atomic<int> counter{0};
        peers::PostgresServer *server = peers::sharedTestServer();
        if (!server)
            qFatal("CALVAREX_SHARED_DB=postgresql, but the PostgreSQL server did not start");
        const QString name = QStringLiteral("t%1_%2").arg(QCoreApplication::applicationPid()).arg(++counter);
        const SharedDbSettings s = server->createDatabase(name);
        QSettings ini(settingsFile(), QSettings::IniFormat);
        ini.setValue(QStringLiteral("Registry/Host"), s.host);
        ini.setValue(QStringLiteral("Registry/Port"), s.port);
        ini.setValue(QStringLiteral("Registry/Database"), s.database);
        ini.setValue(QStringLiteral("Registry/User"), s.user);
        ini.setValue(QStringLiteral("Registry/PassFile"), s.passFile);
        ini.sync();
    }
    station = peers::openStation(dir.path(), settingsFile(), prompter, withDatabases);
}

bool sharedDatabaseRun() { return qgetenv("CALVAREX_SHARED_DB") == "postgresql"; }

QString binDir()
{
    const QByteArray env = qgetenv("CALVAREX_BIN_DIR");
    return env.isEmpty() ? QStringLiteral(CALVAREX_BIN_DIR) : QString::fromLocal8Bit(env);
}

quint16 freeTcpPort() { return peers::freePort(); }

QString pydicomTestFiles()
{
    for (const char *p : {"/usr/lib/python3/dist-packages/pydicom/data/test_files"}) {
        if (QDir(QString::fromLatin1(p)).exists())
            return QString::fromLatin1(p);
    }
    return {};
}

#include "TestStation.h"
#include "peers/Ports.h"
#include "peers/StationFolder.h"

#include <QDir>

TestStation::TestStation(bool withDatabases)
{
    station = peers::openStation(dir.path(), settingsFile(), prompter, withDatabases);
}

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

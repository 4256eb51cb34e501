#include "store/ArrivalNotice.h"
#include "core/StationPaths.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

namespace ArrivalNotice {

QString serverName(const StationPaths &paths)
{
    // A name, not a path: the same on every platform, short enough for a Unix socket
    // under any station folder, and one per folder.
    const QByteArray folder = QDir::cleanPath(QDir(paths.appPath()).absolutePath()).toUtf8();
    return QStringLiteral("calvarex-arrivals-")
           + QString::fromLatin1(QCryptographicHash::hash(folder, QCryptographicHash::Sha1).toHex().left(20));
}

bool send(const StationPaths &paths, int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(serverName(paths), QIODevice::WriteOnly);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    socket.write(QByteArrayLiteral("batch\n"));
    const bool written = socket.waitForBytesWritten(timeoutMs) || socket.bytesToWrite() == 0;
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(timeoutMs);
    return written;
}

} // namespace ArrivalNotice

ArrivalListener::ArrivalListener(const StationPaths &paths, QObject *parent)
    : QObject(parent), m_server(new QLocalServer(this))
{
    const QString name = ArrivalNotice::serverName(paths);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    // A station that runs on this folder answers: its name stays its own (a listen would
    // take the name over). A socket file left by a station that was killed is removed.
    QLocalSocket probe;
    probe.connectToServer(name);
    if (probe.waitForConnected(200)) {
        probe.abort();
        m_error = QStringLiteral("another station listens on %1").arg(name);
        return;
    }
    QLocalServer::removeServer(name);
    if (!m_server->listen(name))
        m_error = m_server->errorString();
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *s = m_server->nextPendingConnection()) {
            connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
            connect(s, &QLocalSocket::readyRead, this, [this, s] {
                while (s->canReadLine()) {
                    const QByteArray line = s->readLine(256).trimmed();
                    if (line == "batch")
                        emit batchCommitted();
                }
                // A peer that sends no line ending never fills the station's memory.
                if (s->bytesAvailable() > 4096)
                    s->abort();
            });
        }
    });
}

ArrivalListener::~ArrivalListener() = default;

bool ArrivalListener::isListening() const { return m_server->isListening(); }

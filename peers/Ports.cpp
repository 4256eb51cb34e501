#include "Ports.h"

#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace peers {

quint16 freePort(quint16 wanted)
{
    QTcpServer s;
    if (wanted && s.listen(QHostAddress::LocalHost, wanted))
        return wanted;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

bool waitForPort(quint16 port, int ms)
{
    if (port == 0)
        return false;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QTcpSocket s;
        s.connectToHost(QStringLiteral("127.0.0.1"), port);
        if (s.waitForConnected(200))
            return true;
        // A refused connection comes back at once: a short pause with events running
        // before the next try.
        QEventLoop pause;
        QTimer::singleShot(50, &pause, &QEventLoop::quit);
        pause.exec();
    }
    return false;
}

} // namespace peers

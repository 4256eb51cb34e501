#pragma once
// Loopback ports for the peers, and waiting with events running.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QtGlobal>

namespace peers {

// A free TCP port on loopback: the wanted one when it is free, else one the system
// picks (0 when none could be had).
quint16 freePort(quint16 wanted = 0);

// Waits until something accepts connections on the loopback port, with events running
// meanwhile; false after ms.
bool waitForPort(quint16 port, int ms = 10000);

// Waits, with events running, until cond holds or ms passed.
template <typename F> bool waitUntil(F cond, int ms = 5000)
{
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

} // namespace peers

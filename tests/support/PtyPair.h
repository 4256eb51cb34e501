#pragma once
// A pseudo-terminal pair as the serial line of the tests.
#include "peers/PseudoTerminal.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <QThread>

#include <poll.h>
#include <unistd.h>

// A pseudo-terminal: the station opens the slave path as its serial port, the test
// plays the unit on the master side.
class PtyPair {
public:
    PtyPair()
    {
        if (m_line.open())
            m_slave = QString::fromLocal8Bit(m_line.slavePath().c_str());
    }
    bool ok() const { return m_line.ok(); }
    const QString &slavePath() const { return m_slave; }

    // The unit sends: bytes onto the line.
    void send(const QByteArray &bytes) const
    {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master(), bytes.constData() + done, size_t(bytes.size() - done));
            if (n > 0)
                done += n;
            else
                QThread::msleep(5);
        }
    }
    // What the station sent, waiting up to ms for it.
    QByteArray receive(int ms = 1000, const QByteArray &until = {}) const
    {
        QByteArray got;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) {
            pollfd p{master(), POLLIN, 0};
            if (::poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
                char buf[512];
                const ssize_t n = ::read(master(), buf, sizeof buf);
                if (n > 0)
                    got.append(buf, n);
                if (!until.isEmpty() && got.contains(until))
                    break;
            }
        }
        return got;
    }
    int master() const { return m_line.master(); }

private:
    peers::PseudoTerminal m_line;
    QString m_slave;
};

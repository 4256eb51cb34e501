#pragma once
// A pseudo-terminal pair as the serial line of the tests.
#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <QThread>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

// A pseudo-terminal: the station opens the slave path as its serial port, the test
// plays the unit on the master side.
class PtyPair {
public:
    PtyPair()
    {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
            return;
        const char *name = ::ptsname(m_master);
        if (name)
            m_slave = QString::fromLocal8Bit(name);
        // Keep the line up while the station closes and reopens it, raw from the start.
        m_keep = ::open(name, O_RDWR | O_NOCTTY);
        if (m_keep >= 0) {
            termios t{};
            ::tcgetattr(m_keep, &t);
            ::cfmakeraw(&t);
            ::tcsetattr(m_keep, TCSANOW, &t);
        }
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    }
    ~PtyPair()
    {
        if (m_keep >= 0)
            ::close(m_keep);
        if (m_master >= 0)
            ::close(m_master);
    }
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool ok() const { return m_master >= 0 && !m_slave.isEmpty(); }
    const QString &slavePath() const { return m_slave; }

    // The unit sends: bytes onto the line.
    void send(const QByteArray &bytes) const
    {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
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
            pollfd p{m_master, POLLIN, 0};
            if (::poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
                char buf[512];
                const ssize_t n = ::read(m_master, buf, sizeof buf);
                if (n > 0)
                    got.append(buf, n);
                if (!until.isEmpty() && got.contains(until))
                    break;
            }
        }
        return got;
    }
    int master() const { return m_master; }

private:
    int m_master = -1;
    int m_keep = -1;
    QString m_slave;
};

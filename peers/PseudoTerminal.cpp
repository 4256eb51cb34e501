#include "PseudoTerminal.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace peers {

void makeRawLine(int fd, int baud)
{
    termios t{};
    if (::tcgetattr(fd, &t) != 0)
        return;
    ::cfmakeraw(&t);
    if (baud != 0) {
        speed_t sp = B4800;
        switch (baud) {
        case 110:
            sp = B110;
            break;
        case 300:
            sp = B300;
            break;
        case 600:
            sp = B600;
            break;
        case 1200:
            sp = B1200;
            break;
        case 2400:
            sp = B2400;
            break;
        case 9600:
            sp = B9600;
            break;
        case 19200:
            sp = B19200;
            break;
        case 38400:
            sp = B38400;
            break;
        case 57600:
            sp = B57600;
            break;
        case 115200:
            sp = B115200;
            break;
        default:
            break;
        }
        ::cfsetispeed(&t, sp);
        ::cfsetospeed(&t, sp);
        t.c_cflag |= CLOCAL | CREAD;
    }
    ::tcsetattr(fd, TCSANOW, &t);
}

PseudoTerminal::~PseudoTerminal()
{
    if (m_keep >= 0)
        ::close(m_keep);
    if (m_master >= 0)
        ::close(m_master);
}

bool PseudoTerminal::open(int baud)
{
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
        m_error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    const char *name = ::ptsname(m_master);
    if (!name) {
        m_error = std::string("no slave device: ") + std::strerror(errno);
        return false;
    }
    m_slave = name;
    m_keep = ::open(name, O_RDWR | O_NOCTTY);
    if (m_keep >= 0)
        makeRawLine(m_keep, baud);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    return true;
}

} // namespace peers

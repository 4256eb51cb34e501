#pragma once
// A pseudo-terminal as a serial line: whoever plays the unit reads and writes the master
// side, the station opens the slave path as its serial device. Plain C++, so the unit
// simulator shares it with the tests.
#include <string>

namespace peers {

// Raw mode (no echo, no line editing), the receiver on, modem lines ignored, and the
// given speed (an unknown one: 4800 baud; 0: the speed is left as it is).
void makeRawLine(int fd, int baud);

class PseudoTerminal {
public:
    PseudoTerminal() = default;
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    // Opens a new pair. The slave side is held open here too, so the line stays up
    // while the station closes and reopens it, and it is raw from the start. The
    // master side does not block. False (with the reason in error()) when it failed.
    bool open(int baud = 0);

    bool ok() const { return m_master >= 0 && !m_slave.empty(); }
    int master() const { return m_master; }
    const std::string &slavePath() const { return m_slave; }
    const std::string &error() const { return m_error; }

private:
    int m_master = -1;
    int m_keep = -1;
    std::string m_slave;
    std::string m_error;
};

} // namespace peers

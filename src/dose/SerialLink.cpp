#include "dose/SerialLink.h"
#include "core/AppError.h"
#include "core/Settings.h"
#include "core/Station.h"

#include <QElapsedTimer>
#include <QSerialPort>

#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>
#include <termios.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

namespace {

QString listEntry(const QStringList &list, int index, const char *what)
{
    if (index < 0 || index >= list.size())
        throw AppError(
            ErrorNo::InvalidPropertyValue,
            QStringLiteral("Invalid property value (%1 index %2)").arg(QString::fromLatin1(what)).arg(index));
    return list.at(index);
}

} // namespace

const QStringList &SerialLink::speeds()
{
    static const QStringList l = {"110",   "300",   "600",   "1200",  "2400",  "4800",   "9600",
                                  "14400", "19200", "28800", "38400", "56000", "128000", "256000"};
    return l;
}

const QStringList &SerialLink::parities()
{
    static const QStringList l = {"E", "M", "N", "O", "S"};
    return l;
}

const QStringList &SerialLink::dataBits()
{
    static const QStringList l = {"4", "5", "6", "7", "8"};
    return l;
}

const QStringList &SerialLink::stopBits()
{
    static const QStringList l = {"1", "1.5", "2"};
    return l;
}

const QStringList &SerialLink::handshakes()
{
    static const QStringList l = {"comNone", "comXOnXOff", "comRTS", "comRTSXOnXOff"};
    return l;
}

QString SerialLink::settingsString(const Settings &s)
{
    return listEntry(speeds(), s.comSpeed, "speed") + QLatin1Char(',') + listEntry(parities(), s.comParity, "parity")
           + QLatin1Char(',') + listEntry(dataBits(), s.comBitGet, "data bits") + QLatin1Char(',')
           + listEntry(stopBits(), s.comBitPut, "stop bits");
}

QString SerialLink::deviceFor(const Settings &s)
{
    const QString device = s.comDevice.trimmed();
    if (!device.isEmpty())
        return device;
    return QStringLiteral("/dev/ttyS") + QString::number(s.comPort - 1);
}

QByteArray SerialLink::toLine(const QString &text) { return text.toLatin1(); }
QString SerialLink::fromLine(const QByteArray &bytes) { return QString::fromLatin1(bytes); }

SerialLink::SerialLink(Station &station, QObject *parent)
    : QObject(parent), m_station(station), m_port(new QSerialPort(this))
{
    m_port->setReadBufferSize(m_bufferSize);
    connect(m_port, &QSerialPort::readyRead, this, [this] {
        if (m_threshold > 0)
            emit commEvent(EvReceive);
    });
    // A USB adapter pulled out or a line that went away: the port is closed and the
    // loss logged; the next activation of the main window opens it again.
    connect(m_port, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError error) {
        // A failing read repeats for as long as the port stays open.
        if ((error != QSerialPort::ResourceError && error != QSerialPort::ReadError) || !m_port->isOpen())
            return;
        m_station.log().writeError(
            ErrorNo::Serial,
            QStringLiteral("The serial port %1 was lost: %2").arg(m_port->portName(), m_port->errorString()),
            QStringLiteral("MSComm1_OnComm"));
        m_port->clearError();
        m_port->close();
    });
}

SerialLink::~SerialLink()
{
    if (m_port->isOpen())
        m_port->close();
}

void SerialLink::setReceiveBufferSize(qint64 bytes)
{
    m_bufferSize = bytes;
    m_port->setReadBufferSize(bytes);
}

bool SerialLink::isOpen() const { return m_port->isOpen(); }
QString SerialLink::portName() const { return m_port->portName(); }
qintptr SerialLink::handle() const { return m_port->isOpen() ? m_port->handle() : -1; }

void SerialLink::configure(QSerialPort &port, const Settings &s)
{
    // Read through the lists first, so an index outside them fails like a bad
    // settings string.
    const QStringList parts = settingsString(s).split(QLatin1Char(','));
    if (s.comFlux < 0 || s.comFlux > 3)
        throw AppError(ErrorNo::InvalidPropertyValue,
                       QStringLiteral("Invalid property value (handshaking %1)").arg(s.comFlux));

    port.setBaudRate(parts[0].toInt());

    static const QSerialPort::Parity parity[] = {QSerialPort::EvenParity, QSerialPort::MarkParity,
                                                 QSerialPort::NoParity, QSerialPort::OddParity,
                                                 QSerialPort::SpaceParity};
    port.setParity(parity[s.comParity]);

    const int bits = parts[2].toInt();
    if (bits < 5)
        throw AppError(
            ErrorNo::InvalidPropertyValue,
            QStringLiteral("Invalid property value (%1 data bits are not supported by this serial port)").arg(bits));
    port.setDataBits(static_cast<QSerialPort::DataBits>(bits));

    static const QSerialPort::StopBits stop[] = {QSerialPort::OneStop, QSerialPort::OneAndHalfStop,
                                                 QSerialPort::TwoStop};
    port.setStopBits(stop[s.comBitPut]);

    // 0 none, 1 XON/XOFF, 2 RTS/CTS, 3 both. The port layer knows one mode at a time;
    // for both, XON/XOFF is switched on beside RTS/CTS once the port is open.
    static const QSerialPort::FlowControl flow[] = {QSerialPort::NoFlowControl, QSerialPort::SoftwareControl,
                                                    QSerialPort::HardwareControl, QSerialPort::HardwareControl};
    port.setFlowControl(flow[s.comFlux]);
    m_bothHandshakes = (s.comFlux == 3);
}

void SerialLink::applyBothHandshakes()
{
    const int fd = static_cast<int>(m_port->handle());
    termios tio{};
    if (fd < 0 || ::tcgetattr(fd, &tio) != 0)
        throw AppError(ErrorNo::Serial, QStringLiteral("Cannot read the line settings of %1").arg(m_port->portName()));
    tio.c_iflag |= IXON | IXOFF;
    tio.c_cflag |= CRTSCTS;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0)
        throw AppError(ErrorNo::Serial, QStringLiteral("Cannot set handshaking on %1: %2")
                                            .arg(m_port->portName(), QString::fromLocal8Bit(std::strerror(errno))));
}

void SerialLink::open()
{
    if (m_port->isOpen())
        return;
    if (!m_port->open(QIODevice::ReadWrite)) {
        const QString why = m_port->errorString();
        m_port->clearError();
        throw AppError(ErrorNo::Serial,
                       QStringLiteral("Cannot open the serial port %1: %2").arg(m_port->portName(), why));
    }
    if (m_bothHandshakes) {
        try {
            applyBothHandshakes();
        } catch (...) {
            m_port->close();
            throw;
        }
    }
    m_fullReported = false;
    m_countersKnown = false;
}

void SerialLink::close()
{
    if (m_port->isOpen())
        m_port->close();
}

void SerialLink::initialise()
{
    static const QString proc = QStringLiteral("Initialise_cPort");
    m_lastError.clear();
    try {
        if (m_port->isOpen())
            m_port->close();
        const Settings &s = m_station.settings();
        m_port->setPortName(deviceFor(s));
        configure(*m_port, s);
        if (!m_port->isOpen())
            open();
        if (!m_port->isOpen()) {
            m_lastError = QStringLiteral("the port did not open");
            m_station.log().writeDebug(proc + QStringLiteral(" Port Open False"));
            return;
        }
        if (s.debug == 1) {
            m_station.log().writeDebug(proc + QStringLiteral(" Port Open True"));
            m_station.log().writeDebug(QStringLiteral("Initialize_cPort ") + currentSettings());
        }
    } catch (const AppError &e) {
        m_lastError = e.description();
        m_station.logError(e, proc);
        m_station.log().writeDebug(proc + QStringLiteral(" Port Open False"), e.description());
    }
}

qint64 SerialLink::waiting() const { return m_port->isOpen() ? m_port->bytesAvailable() : 0; }

QString SerialLink::readAll()
{
    if (!m_port->isOpen())
        return {};
    const QString text = fromLine(m_port->readAll());
    if (m_port->bytesAvailable() < m_bufferSize)
        m_fullReported = false;
    return text;
}

QString SerialLink::readAnswer(int firstMs, int quietMs, int totalMs)
{
    if (!m_port->isOpen())
        return {};
    QElapsedTimer clock;
    clock.start();
    // The receive event must not take the answer while we wait for it.
    const int threshold = m_threshold;
    m_threshold = 0;
    QByteArray got = m_port->readAll();
    while (clock.elapsed() < totalMs) {
        const qint64 left = totalMs - clock.elapsed();
        const qint64 wait = got.isEmpty() ? qMin<qint64>(left, qMax<qint64>(0, firstMs - clock.elapsed()))
                                          : qMin<qint64>(left, quietMs);
        if (wait <= 0 || !m_port->waitForReadyRead(static_cast<int>(wait)))
            break;
        got += m_port->readAll();
    }
    m_threshold = threshold;
    return fromLine(got);
}

void SerialLink::write(const QString &text)
{
    if (!m_port->isOpen())
        throw AppError(ErrorNo::Serial, QStringLiteral("The serial port is not open"));
    const QByteArray bytes = toLine(text);
    if (m_port->write(bytes) != bytes.size())
        throw AppError(ErrorNo::Serial,
                       QStringLiteral("Cannot write to %1: %2").arg(m_port->portName(), m_port->errorString()));
    m_port->flush();
}

QString SerialLink::currentSettings() const
{
    QString parity;
    switch (m_port->parity()) {
    case QSerialPort::EvenParity:
        parity = QStringLiteral("E");
        break;
    case QSerialPort::MarkParity:
        parity = QStringLiteral("M");
        break;
    case QSerialPort::OddParity:
        parity = QStringLiteral("O");
        break;
    case QSerialPort::SpaceParity:
        parity = QStringLiteral("S");
        break;
    default:
        parity = QStringLiteral("N");
        break;
    }
    QString stop;
    switch (m_port->stopBits()) {
    case QSerialPort::OneAndHalfStop:
        stop = QStringLiteral("1.5");
        break;
    case QSerialPort::TwoStop:
        stop = QStringLiteral("2");
        break;
    default:
        stop = QStringLiteral("1");
        break;
    }
    return QString::number(m_port->baudRate()) + QLatin1Char(',') + parity + QLatin1Char(',')
           + QString::number(static_cast<int>(m_port->dataBits())) + QLatin1Char(',') + stop;
}

void SerialLink::checkLineErrors()
{
    if (!m_port->isOpen())
        return;
    // The station did not read in time and the port's buffer is full: what comes
    // next is dropped by the driver.
    if (m_port->bytesAvailable() >= m_bufferSize) {
        if (!m_fullReported) {
            m_fullReported = true;
            emit commEvent(EvRxOver);
        }
    }
#ifdef __linux__
    // Real serial ports count overruns in the driver; pseudo-terminals and some USB
    // adapters have no counters, then only the buffer check above applies.
    serial_icounter_struct ic{};
    const int fd = static_cast<int>(m_port->handle());
    if (fd >= 0 && ::ioctl(fd, TIOCGICOUNT, &ic) == 0) {
        const quint64 overrun = static_cast<quint64>(ic.overrun);
        const quint64 bufOverrun = static_cast<quint64>(ic.buf_overrun);
        if (m_countersKnown) {
            if (overrun > m_overrunSeen)
                emit commEvent(EvOverrun);
            if (bufOverrun > m_bufOverrunSeen)
                emit commEvent(EvRxOver);
        }
        m_overrunSeen = overrun;
        m_bufOverrunSeen = bufOverrun;
        m_countersKnown = true;
    }
#endif
}

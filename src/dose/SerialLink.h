#pragma once
#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

class QSerialPort;
class Station;
struct Settings;

// The one serial port to the X-ray unit. It is configured from the stored settings
// (port number or device path, the settings string "4800,N,8,1", handshaking) and
// reopened on every activation of the main window, so changed options take effect at
// once. Text goes both ways as the port delivers it: one character per byte (the units
// send ANSI text, "²" is the byte 0xB2).
//
// Communication events are reported as the serial control numbered them:
// 2 = characters received, 1006 = hardware overrun, 1008 = receive-buffer overflow.
class SerialLink : public QObject {
    Q_OBJECT
public:
    enum CommEvent { EvReceive = 2, EvOverrun = 1006, EvRxOver = 1008 };

    // The option lists, in index order (the options dialog shows the same entries).
    static const QStringList &speeds();     // 14 entries, "110" ... "256000"
    static const QStringList &parities();   // "E", "M", "N", "O", "S"
    static const QStringList &dataBits();   // "4" ... "8"
    static const QStringList &stopBits();   // "1", "1.5", "2"
    static const QStringList &handshakes(); // "comNone" ... "comRTSXOnXOff"

    // "4800,N,8,1" from the four list indexes; throws AppError for an index outside
    // its list.
    static QString settingsString(const Settings &s);
    // The device: "ComPort/Device" when not empty, else port n -> "/dev/ttyS" + (n-1).
    static QString deviceFor(const Settings &s);

    explicit SerialLink(Station &station, QObject *parent = nullptr);
    ~SerialLink() override;

    // Initialise_cPort steps 2 to 5: close, configure, open, write the debug lines. What
    // waits in the port stays there to be read: it may be an exposure the unit sent while
    // the station was not running. Failures are logged under "Initialise_cPort"; the
    // station runs on without an open port.
    void initialise();

    bool isOpen() const;
    // Why the last initialise() left the port closed (empty when it opened).
    const QString &lastError() const { return m_lastError; }
    // Opens the port with the settings of the last initialise(); throws AppError when
    // it cannot.
    void open();
    void close();

    // Characters received and not yet read.
    qint64 waiting() const;
    // Every waiting character, removed from the port.
    QString readAll();
    // Waits up to firstMs for an answer to begin, then reads until the line has been
    // quiet for quietMs (at most totalMs in all). Blocks the caller: the polling timer
    // cannot take the answer away meanwhile.
    QString readAnswer(int firstMs, int quietMs, int totalMs);
    // Queues the text for sending and pushes it out.
    void write(const QString &text);

    // The serial control's receive threshold: with 0 (its default) no receive events
    // are raised and the polling timer gathers everything; above 0 each arrival raises
    // event 2.
    void setReceiveThreshold(int n) { m_threshold = n; }
    int receiveThreshold() const { return m_threshold; }

    // The port's own receive buffer. When it fills up before the station reads it,
    // characters are lost: event 1008.
    void setReceiveBufferSize(qint64 bytes);
    qint64 receiveBufferSize() const { return m_bufferSize; }
    // Checks the line for data loss (overrun counters of the driver, a full receive
    // buffer) and raises 1006/1008 once per loss. Called by the polling timer.
    void checkLineErrors();

    // The settings string as the port holds it now (read back for the debug line).
    QString currentSettings() const;
    QString portName() const;
    // The platform's handle of the open port (-1 when closed).
    qintptr handle() const;

    // Text <-> bytes on the line: one byte per character.
    static QByteArray toLine(const QString &text);
    static QString fromLine(const QByteArray &bytes);

signals:
    void commEvent(int code);

private:
    void configure(QSerialPort &port, const Settings &s);
    void applyBothHandshakes();

    Station &m_station;
    QSerialPort *m_port;
    int m_threshold = 0;
    qint64 m_bufferSize = 64 * 1024;
    bool m_bothHandshakes = false;
    bool m_fullReported = false;
    quint64 m_overrunSeen = 0;
    quint64 m_bufOverrunSeen = 0;
    bool m_countersKnown = false;
    QString m_lastError;
};

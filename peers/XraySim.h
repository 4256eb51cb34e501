#pragma once
// The X-ray unit simulator (tools/xray-sim) as a process, driven through its standard
// input: it plays the unit on a pseudo-terminal whose slave device it names at start.
#include "PeerProcess.h"

#include <QString>
#include <QStringList>

namespace peers {

class XraySim {
public:
    // binDir: the folder of the xray-sim executable.
    explicit XraySim(const QString &binDir);
    ~XraySim();

    // Starts it and waits for its device; false when it did not start or named none.
    bool start(const QStringList &args = {});
    void stop() { m_proc.stop(2000); }
    // The serial device the station opens.
    const QString &device() const { return m_device; }
    qint64 processId() const { return m_proc.processId(); }
    // One command line (see tools/xray-sim).
    void command(const QString &line);
    // The next output line starting with prefix (lines read before it are dropped),
    // empty on time-out. Events keep running while it waits.
    QString waitFor(const QString &prefix, int ms = 5000);
    // Every output line read so far.
    const QStringList &lines() const { return m_lines; }
    // From now on its reports are read away unseen, so its pipe never fills.
    void ignoreOutput();

private:
    QString m_binDir;
    PeerProcess m_proc;
    QString m_device;
    QStringList m_lines;
};

} // namespace peers

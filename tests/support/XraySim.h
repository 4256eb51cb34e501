#pragma once
// The X-ray unit simulator (tools/xray-sim) as a process the tests drive.
#include "TestStation.h"
#include "Wait.h"

#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

// The X-ray unit simulator, driven through its standard input.
class XraySim {
public:
    bool start(const QStringList &args = {})
    {
        const QString exe = binDir() + QStringLiteral("/xray-sim");
        if (!QFile::exists(exe))
            return false;
        m_proc.start(exe, args);
        if (!m_proc.waitForStarted(5000))
            return false;
        const QString first = waitFor(QStringLiteral("PTY "), 5000);
        if (first.isEmpty())
            return false;
        m_device = first.mid(4).trimmed();
        return true;
    }
    ~XraySim()
    {
        if (m_proc.state() != QProcess::NotRunning) {
            m_proc.write("quit\n");
            if (!m_proc.waitForFinished(2000)) {
                m_proc.kill();
                m_proc.waitForFinished(2000);
            }
        }
    }
    const QString &device() const { return m_device; }
    void command(const QString &line)
    {
        m_proc.write((line + QLatin1Char('\n')).toLatin1());
        m_proc.waitForBytesWritten(1000);
    }
    // The next output line starting with prefix (lines read before it are dropped),
    // empty on time-out. Events keep running while it waits.
    QString waitFor(const QString &prefix, int ms = 5000)
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) {
            while (m_proc.canReadLine()) {
                const QString line = QString::fromLatin1(m_proc.readLine()).trimmed();
                m_lines.append(line);
                if (line.startsWith(prefix))
                    return line;
            }
            m_proc.waitForReadyRead(10);
            QCoreApplication::processEvents();
        }
        return {};
    }
    const QStringList &lines() const { return m_lines; }

private:
    QProcess m_proc;
    QString m_device;
    QStringList m_lines;
};

#include "XraySim.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

namespace peers {

XraySim::XraySim(const QString &binDir) : m_binDir(binDir)
{
    // Separate channels: its reports on standard output, its complaints go to ours.
    m_proc.process().setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_proc.setPoliteEnding([](QProcess &p) { p.write("quit\n"); });
}

XraySim::~XraySim() { stop(); }

bool XraySim::start(const QStringList &args)
{
    const QString exe = m_binDir + QStringLiteral("/xray-sim");
    if (!QFile::exists(exe) || !m_proc.start(exe, args, 5000))
        return false;
    const QString first = waitFor(QStringLiteral("PTY "), 5000);
    if (first.isEmpty())
        return false;
    m_device = first.mid(4).trimmed();
    return true;
}

void XraySim::command(const QString &line)
{
    m_proc.process().write((line + QLatin1Char('\n')).toLatin1());
    m_proc.process().waitForBytesWritten(1000);
}

QString XraySim::waitFor(const QString &prefix, int ms)
{
    QProcess &p = m_proc.process();
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        while (p.canReadLine()) {
            const QString line = QString::fromLatin1(p.readLine()).trimmed();
            m_lines.append(line);
            if (line.startsWith(prefix))
                return line;
        }
        p.waitForReadyRead(10);
        QCoreApplication::processEvents();
    }
    return {};
}

void XraySim::ignoreOutput()
{
    QProcess *p = &m_proc.process();
    p->readAll();
    QObject::connect(p, &QProcess::readyRead, p, [p] { p->readAll(); });
}

} // namespace peers

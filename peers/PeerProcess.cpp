#include "PeerProcess.h"

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#endif

namespace peers {

PeerProcess::PeerProcess()
{
    m_proc.setProcessChannelMode(QProcess::MergedChannels);
#ifdef Q_OS_LINUX
    // A peer never outlives the process that started it.
    m_proc.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif
}

PeerProcess::~PeerProcess() { stop(); }

bool PeerProcess::start(const QString &program, const QStringList &args, int ms)
{
    m_proc.start(program, args);
    return m_proc.waitForStarted(ms);
}

void PeerProcess::stop(int ms)
{
    if (m_proc.state() == QProcess::NotRunning)
        return;
    if (m_ending)
        m_ending(m_proc);
    else
        m_proc.terminate();
    if (!m_proc.waitForFinished(ms)) {
        m_proc.kill();
        m_proc.waitForFinished(3000);
    }
}

} // namespace peers

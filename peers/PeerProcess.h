#pragma once
// A program that plays a peer (a worklist provider, a PACS, a storage receiver, a
// simulator), owned by whoever started it.
#include <QProcess>
#include <QString>
#include <QStringList>
#include <functional>

namespace peers {

class PeerProcess {
public:
    PeerProcess();
    ~PeerProcess();
    PeerProcess(const PeerProcess &) = delete;
    PeerProcess &operator=(const PeerProcess &) = delete;

    // Starts the program with its output merged into one channel; it ends with this
    // process even when this process is killed. False when it did not start.
    bool start(const QString &program, const QStringList &args, int ms = 10000);
    // Ends it: the polite ending (SIGTERM unless one is set), after ms a kill.
    // Idempotent.
    void stop(int ms = 5000);
    // How the program is asked to end (e.g. a "quit" line on its standard input).
    void setPoliteEnding(std::function<void(QProcess &)> ending) { m_ending = std::move(ending); }

    bool running() const { return m_proc.state() != QProcess::NotRunning; }
    qint64 processId() const { return m_proc.processId(); }
    QString errorString() const { return m_proc.errorString(); }
    QProcess &process() { return m_proc; }
    // What the program printed and nobody read yet.
    QString output() { return QString::fromLocal8Bit(m_proc.readAll()); }

private:
    QProcess m_proc;
    std::function<void(QProcess &)> m_ending;
};

} // namespace peers

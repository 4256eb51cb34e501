#pragma once
#include <QObject>
#include <QString>

class QLocalServer;
class StationPaths;

// The data manager tells the station the moment a batch of images is committed, so the
// station shows new images at once instead of at its next timer round. The notice goes
// over a local socket (a Unix domain socket, a named pipe on Windows) named after the
// station folder: it never leaves the machine, and only the station's own user can open
// it. A notice that is lost (no station running, the data manager killed after the
// commit) costs nothing but time: the station's timer still finds the batch in tblReceive.
namespace ArrivalNotice {

// The socket's name for the station folder of these paths.
QString serverName(const StationPaths &paths);
// Tells a listening station that a batch was committed. Waits at most timeoutMs; false
// when no station listens. Never throws.
bool send(const StationPaths &paths, int timeoutMs = 200);

} // namespace ArrivalNotice

// The station's end: listens on the folder's socket and reports each notice.
class ArrivalListener : public QObject {
    Q_OBJECT
public:
    explicit ArrivalListener(const StationPaths &paths, QObject *parent = nullptr);
    ~ArrivalListener() override;

    bool isListening() const;
    // Why it does not listen (empty while it does).
    QString errorString() const { return m_error; }

signals:
    // A batch was committed.
    void batchCommitted();

private:
    QLocalServer *m_server = nullptr;
    QString m_error;
};

#pragma once
// A Modality Performed Procedure Step provider on a free loopback port: peers/mpps_scp.js
// on Node and dcmjs-dimse (an implementation independent of the station's toolkit), which
// records every N-CREATE and N-SET it answered.
#include "PeerProcess.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QTemporaryDir>

namespace peers {

class MppsProvider {
public:
    explicit MppsProvider(const QString &aet = QStringLiteral("MPPS"));
    ~MppsProvider();

    // False when Node, the script or its npm packages (scripts/deps) are missing, or it
    // did not come up; why in problem().
    bool start();
    void stop() { m_proc.stop(); }
    bool running() const { return m_proc.running(); }
    qint64 processId() const { return m_proc.processId(); }
    QString aet() const { return m_aet; }
    quint16 port() const { return m_port; }
    QString problem() const { return m_problem; }

    // The messages answered, in order: {type "N-CREATE"|"N-SET", calling, uid, status,
    // attributes (by keyword)}.
    QJsonArray messages() const;
    // The steps as they stand now, by SOP Instance UID.
    QJsonObject steps() const;

    // The folder of peers/mpps_scp.js and its npm packages (CALVAREX_PEERS_DIR overrides).
    static QString scriptDir();

private:
    QJsonObject record() const;

    QTemporaryDir m_dir;
    QString m_aet;
    quint16 m_port = 0;
    QString m_problem;
    PeerProcess m_proc;
};

} // namespace peers

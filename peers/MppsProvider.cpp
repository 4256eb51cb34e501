#include "MppsProvider.h"
#include "Ports.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QStandardPaths>

namespace peers {

MppsProvider::MppsProvider(const QString &aet) : m_aet(aet) {}

MppsProvider::~MppsProvider() { stop(); }

QString MppsProvider::scriptDir()
{
    const QString env = qEnvironmentVariable("CALVAREX_PEERS_DIR");
    return env.isEmpty() ? QStringLiteral(CALVAREX_PEERS_DIR) : env;
}

bool MppsProvider::start()
{
    const QString node = QStandardPaths::findExecutable(QStringLiteral("node"));
    const QString script = scriptDir() + QStringLiteral("/mpps_scp.js");
    if (node.isEmpty()) {
        m_problem = QStringLiteral("node is not installed (scripts/deps)");
        return false;
    }
    if (!QFileInfo::exists(scriptDir() + QStringLiteral("/npm/node_modules/dcmjs-dimse/package.json"))) {
        m_problem = QStringLiteral("dcmjs-dimse is not installed in %1/npm (scripts/deps)").arg(scriptDir());
        return false;
    }
    m_port = freePort();
    const bool up = m_proc.start(node,
                                 {script, QStringLiteral("--port"), QString::number(m_port), QStringLiteral("--aet"),
                                  m_aet, QStringLiteral("--record"), m_dir.filePath(QStringLiteral("record.json"))},
                                 5000)
                    && waitForPort(m_port);
    if (!up)
        m_problem = QStringLiteral("the MPPS provider did not come up: ") + m_proc.output();
    return up;
}

QJsonObject MppsProvider::record() const
{
    QFile f(m_dir.filePath(QStringLiteral("record.json")));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(f.readAll()).object();
}

QJsonArray MppsProvider::messages() const { return record().value(QStringLiteral("messages")).toArray(); }

QJsonObject MppsProvider::steps() const { return record().value(QStringLiteral("steps")).toObject(); }

} // namespace peers

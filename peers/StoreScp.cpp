#include "StoreScp.h"
#include "Ports.h"

#include <QDir>

namespace peers {

StoreScp::StoreScp(bool acceptAll, const QString &aet) : m_aet(aet), m_acceptAll(acceptAll) {}

StoreScp::~StoreScp() { stop(); }

bool StoreScp::start()
{
    m_port = freePort();
    QStringList args{QStringLiteral("-aet"), m_aet, QStringLiteral("-od"), m_dir.path(), QStringLiteral("-uf")};
    if (m_acceptAll)
        args << QStringLiteral("+xa");
    args << m_extra << QString::number(m_port);
    return m_proc.start(QStringLiteral("storescp"), args, 5000) && waitForPort(m_port);
}

QStringList StoreScp::files() const
{
    QStringList out;
    for (const QString &n : QDir(m_dir.path()).entryList(QDir::Files, QDir::Name))
        out << m_dir.path() + QLatin1Char('/') + n;
    return out;
}

} // namespace peers

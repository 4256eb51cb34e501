#pragma once
// DCMTK's storescp as a storage destination on a free loopback port, writing what it
// receives into a folder of its own.
#include "PeerProcess.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace peers {

class StoreScp {
public:
    // acceptAll: every transfer syntax (else storescp's uncompressed ones).
    explicit StoreScp(bool acceptAll = false, const QString &aet = QStringLiteral("ARCHIVE"));
    ~StoreScp();

    // Further options for storescp (TLS: "+tls key cert +cf ca"), before start.
    void setExtraArguments(const QStringList &args) { m_extra = args; }
    bool start();
    void stop() { m_proc.stop(); }
    QString aet() const { return m_aet; }
    quint16 port() const { return m_port; }
    QString folder() const { return m_dir.path(); }
    // The received files, by name.
    QStringList files() const;

private:
    QTemporaryDir m_dir;
    QString m_aet;
    bool m_acceptAll;
    QStringList m_extra;
    quint16 m_port = 0;
    PeerProcess m_proc;
};

} // namespace peers

#pragma once
// Orthanc as a PACS on loopback, with a private configuration: its DICOM port takes the
// images, its REST API says what arrived.
#include "PeerProcess.h"

#include <QByteArray>
#include <QJsonArray>
#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <memory>

namespace peers {

// The body of an HTTP GET on loopback; empty when it failed or took longer than ms.
QByteArray httpGet(quint16 port, const QString &path, int ms = 15000);

class OrthancPacs {
public:
    struct Options {
        QString aet = QStringLiteral("PACS");
        QString name = QStringLiteral("pacs");
        QString folder;       // its configuration and storage (db/); empty: a temporary one
        QString storage;      // the objects' folder when not <folder>/db (e.g. another's)
        quint16 httpPort = 0; // the web port when it is free, else any free one
        // Known DICOM peers (DicomModalities): a station's AE title with the host and
        // port its storage commitment reports go to.
        struct Modality {
            QString aet;
            QString host = QStringLiteral("127.0.0.1");
            quint16 port = 0;
            bool tls = false; // Orthanc speaks TLS to it
        };
        QList<Modality> modalities;
        // DICOM over TLS when a certificate is given: its key and certificate, the
        // certificates it trusts (one file), and whether callers must show one.
        struct Tls {
            QString certFile, keyFile, trustedFile;
            bool requireCallerCertificate = true;
        } tls;
    };
    OrthancPacs();
    explicit OrthancPacs(const Options &options);
    ~OrthancPacs();

    // Writes the configuration, starts Orthanc and waits for both its ports.
    bool start();
    void stop() { m_proc.stop(); }

    QString aet() const { return m_o.aet; }
    quint16 port() const { return m_port; }
    quint16 httpPort() const { return m_http; }
    // Where it keeps the objects it received.
    QString storage() const { return m_o.storage.isEmpty() ? m_o.folder + QStringLiteral("/db") : m_o.storage; }
    qint64 processId() const { return m_proc.processId(); }
    QString output() { return m_proc.output(); }

    // The REST answer to a GET, empty when it failed.
    QByteArray get(const QString &path) const { return httpGet(m_http, path); }
    // The REST answer to a POST, empty when it failed.
    QByteArray post(const QString &path, const QByteArray &body = {}) const;
    // Its jobs of storage commitment reports (GET /jobs?expand, Type StorageCommitmentScp).
    QJsonArray commitmentJobs() const;
    // Deletes an instance it holds, by its SOP Instance UID; true when it is gone.
    bool removeInstance(const QString &sopUid) const;
    // The received file of an instance, by its SOP Instance UID; empty when not there.
    QByteArray fileOf(const QString &sopUid) const;

private:
    Options m_o;
    std::unique_ptr<QTemporaryDir> m_own;
    PeerProcess m_proc;
    quint16 m_port = 0;
    quint16 m_http = 0;
};

} // namespace peers

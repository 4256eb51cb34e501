#include "Orthanc.h"
#include "Ports.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

namespace peers {

namespace {

QByteArray httpCall(quint16 port, const QString &path, const QByteArray *postBody, int ms, bool remove = false)
{
    QNetworkAccessManager net;
    const QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path)));
    QNetworkReply *reply = remove     ? net.deleteResource(request)
                           : postBody ? net.post(request, *postBody)
                                      : net.get(request);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    const QByteArray body =
        reply->isFinished() && reply->error() == QNetworkReply::NoError ? reply->readAll() : QByteArray();
    reply->abort();
    delete reply;
    return body;
}

} // namespace

QByteArray httpGet(quint16 port, const QString &path, int ms) { return httpCall(port, path, nullptr, ms); }

OrthancPacs::OrthancPacs() : OrthancPacs(Options{}) {}

OrthancPacs::OrthancPacs(const Options &options) : m_o(options)
{
    if (m_o.folder.isEmpty()) {
        m_own = std::make_unique<QTemporaryDir>();
        m_o.folder = m_own->path();
    }
}

OrthancPacs::~OrthancPacs() { stop(); }

bool OrthancPacs::start()
{
    m_port = freePort();
    m_http = freePort(m_o.httpPort);
    if (!QDir().mkpath(m_o.folder))
        return false;
    const QString config = m_o.folder + QStringLiteral("/orthanc.json");
    QJsonObject cfg{
        {"Name", m_o.name},
        {"StorageDirectory", storage()},
        {"IndexDirectory", storage()},
        {"DicomAet", m_o.aet},
        {"DicomPort", m_port},
        {"HttpPort", m_http},
        {"HttpServerEnabled", true},
        {"RemoteAccessAllowed", false},
        {"AuthenticationEnabled", false},
        {"DicomCheckCalledAet", true},
        {"DicomAlwaysAllowStore", true},
        {"DicomCheckModalityHost", false},
        {"Plugins", QJsonArray()},
        {"SaveJobs", true},
        {"DicomScuTimeout", 5},
    };
    QJsonObject modalities;
    for (int i = 0; i < m_o.modalities.size(); ++i) {
        const Options::Modality &m = m_o.modalities[i];
        modalities.insert(QStringLiteral("peer%1").arg(i), QJsonObject{{"AET", m.aet},
                                                                       {"Host", m.host},
                                                                       {"Port", m.port},
                                                                       {"AllowStorageCommitment", true},
                                                                       {"UseDicomTls", m.tls}});
    }
    cfg.insert(QStringLiteral("DicomModalities"), modalities);
    if (!m_o.tls.certFile.isEmpty()) {
        cfg.insert(QStringLiteral("DicomTlsEnabled"), true);
        cfg.insert(QStringLiteral("DicomTlsCertificate"), m_o.tls.certFile);
        cfg.insert(QStringLiteral("DicomTlsPrivateKey"), m_o.tls.keyFile);
        cfg.insert(QStringLiteral("DicomTlsTrustedCertificates"), m_o.tls.trustedFile);
        cfg.insert(QStringLiteral("DicomTlsRemoteCertificateRequired"), m_o.tls.requireCallerCertificate);
    }
    QFile f(config);
    const QByteArray text = QJsonDocument(cfg).toJson();
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(text) != text.size())
        return false;
    f.close();
    return m_proc.start(QStringLiteral("Orthanc"), {config}) && waitForPort(m_http, 30000)
           && waitForPort(m_port, 30000);
}

QByteArray OrthancPacs::post(const QString &path, const QByteArray &body) const
{
    return httpCall(m_http, path, &body, 15000);
}

bool OrthancPacs::removeInstance(const QString &sopUid) const
{
    const QByteArray uid = sopUid.toLatin1();
    const QJsonArray found =
        QJsonDocument::fromJson(httpCall(m_http, QStringLiteral("/tools/lookup"), &uid, 15000)).array();
    for (const QJsonValue &v : found)
        if (v.toObject().value(QStringLiteral("Type")).toString() == QLatin1String("Instance")) {
            httpCall(m_http, QStringLiteral("/instances/%1").arg(v.toObject().value(QStringLiteral("ID")).toString()),
                     nullptr, 15000, true);
            return fileOf(sopUid).isEmpty();
        }
    return false;
}

QJsonArray OrthancPacs::commitmentJobs() const
{
    QJsonArray out;
    for (const QJsonValue &v : QJsonDocument::fromJson(get(QStringLiteral("/jobs?expand"))).array())
        if (v.toObject().value(QStringLiteral("Type")).toString() == QLatin1String("StorageCommitmentScp"))
            out.append(v);
    return out;
}

QByteArray OrthancPacs::fileOf(const QString &sopUid) const
{
    const QByteArray uid = sopUid.toLatin1();
    const QJsonArray found =
        QJsonDocument::fromJson(httpCall(m_http, QStringLiteral("/tools/lookup"), &uid, 15000)).array();
    for (const QJsonValue &v : found)
        if (v.toObject().value(QStringLiteral("Type")).toString() == QLatin1String("Instance"))
            return get(QStringLiteral("/instances/%1/file").arg(v.toObject().value(QStringLiteral("ID")).toString()));
    return {};
}

} // namespace peers

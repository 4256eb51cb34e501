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

QByteArray httpCall(quint16 port, const QString &path, const QByteArray *postBody, int ms)
{
    QNetworkAccessManager net;
    const QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path)));
    QNetworkReply *reply = postBody ? net.post(request, *postBody) : net.get(request);
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
    const QJsonObject cfg{
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
    };
    QFile f(config);
    const QByteArray text = QJsonDocument(cfg).toJson();
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(text) != text.size())
        return false;
    f.close();
    return m_proc.start(QStringLiteral("Orthanc"), {config}) && waitForPort(m_http, 30000)
           && waitForPort(m_port, 30000);
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

#pragma once
// Storage destinations for send tests on free loopback ports: DCMTK's storescp (as a
// process, optionally accepting every transfer syntax), a small DCMTK-based SCP that
// answers the n-th C-STORE with a failure status, and a port that accepts connections
// and never answers.
#include "TestStation.h"
#include "dicom/Codecs.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/scp.h>

#include <QCryptographicHash>
#include <QDir>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <functional>
#include <map>
#include <thread>

// The Instance Number of a DICOM file (0 when it has none).
inline int instanceNumber(const QString &file)
{
    DcmFileFormat ff;
    ff.loadFile(QFile::encodeName(file).constData());
    Sint32 n = 0;
    ff.getDataset()->findAndGetSint32(DCM_InstanceNumber, n);
    return n;
}

inline bool waitForPort(quint16 port, int ms = 10000)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QTcpSocket s;
        s.connectToHost(QStringLiteral("127.0.0.1"), port);
        if (s.waitForConnected(200))
            return true;
        QTest::qWait(50);
    }
    return false;
}

class StoreScp {
public:
    explicit StoreScp(bool acceptAll = false, const QString &aet = QStringLiteral("ARCHIVE"))
        : m_aet(aet), m_acceptAll(acceptAll)
    {
    }
    ~StoreScp()
    {
        if (m_proc.state() != QProcess::NotRunning) {
            m_proc.kill();
            m_proc.waitForFinished(3000);
        }
    }
    bool start()
    {
        m_port = freeTcpPort();
        QStringList args{QStringLiteral("-aet"), m_aet, QStringLiteral("-od"), m_dir.path(), QStringLiteral("-uf")};
        if (m_acceptAll)
            args << QStringLiteral("+xa");
        args << QString::number(m_port);
        m_proc.setProcessChannelMode(QProcess::MergedChannels);
        m_proc.start(QStringLiteral("storescp"), args);
        return m_proc.waitForStarted(5000) && waitForPort(m_port);
    }
    QString aet() const { return m_aet; }
    quint16 port() const { return m_port; }
    QString folder() const { return m_dir.path(); }
    QStringList files() const
    {
        QStringList out;
        for (const QString &n : QDir(m_dir.path()).entryList(QDir::Files, QDir::Name))
            out << m_dir.path() + QLatin1Char('/') + n;
        return out;
    }

private:
    QTemporaryDir m_dir;
    QString m_aet;
    bool m_acceptAll;
    quint16 m_port = 0;
    QProcess m_proc;
};

// What a DICOM file holds, for comparing sent and received objects.
struct ObjectFacts {
    QString sopUid, sopClass, transferSyntax;
    QByteArray pixelHash;   // of the decoded pixel values
    QByteArray encodedHash; // of the compressed fragments, as they travel; empty when uncompressed
    QString entranceDose, areaDoseProduct; // (0040,8302), (0018,115E); "-" when absent
};

inline ObjectFacts objectFacts(const QString &path)
{
    ObjectFacts f;
    DcmFileFormat ff;
    if (ff.loadFile(QFile::encodeName(path).constData()).bad())
        return f;
    DcmDataset *ds = ff.getDataset();
    OFString s;
    if (ds->findAndGetOFString(DCM_SOPInstanceUID, s).good())
        f.sopUid = QString::fromLatin1(s.c_str());
    if (ds->findAndGetOFString(DCM_SOPClassUID, s).good())
        f.sopClass = QString::fromLatin1(s.c_str());
    if (ff.getMetaInfo()->findAndGetOFString(DCM_TransferSyntaxUID, s).good())
        f.transferSyntax = QString::fromLatin1(s.c_str());
    auto text = [&](const DcmTagKey &k) {
        OFString v;
        return ds->tagExists(k) && ds->findAndGetOFStringArray(k, v).good() ? QString::fromLatin1(v.c_str()) : QStringLiteral("-");
    };
    f.entranceDose = text(DCM_EntranceDoseInmGy);
    f.areaDoseProduct = text(DCM_ImageAndFluoroscopyAreaDoseProduct);
    DcmElement *pe = nullptr;
    if (ds->findAndGetElement(DCM_PixelData, pe).good() && pe) {
        auto *pd = static_cast<DcmPixelData *>(pe);
        const DcmRepresentationParameter *param = nullptr;
        DcmPixelSequence *seq = nullptr;
        const E_TransferSyntax own = ds->getOriginalXfer();
        if (DcmXfer(own).isEncapsulated() && pd->getEncapsulatedRepresentation(own, param, seq).good() && seq) {
            QCryptographicHash h(QCryptographicHash::Sha1);
            for (unsigned long i = 0; i < seq->card(); ++i) {
                DcmPixelItem *item = nullptr;
                Uint8 *bytes = nullptr;
                if (seq->getItem(item, i).good() && item->getUint8Array(bytes).good() && bytes)
                    h.addData(QByteArrayView(reinterpret_cast<const char *>(bytes), qsizetype(item->getLength())));
            }
            f.encodedHash = h.result();
        }
    }
    dicom::ensureCodecs();
    ds->chooseRepresentation(EXS_LittleEndianExplicit, nullptr);
    const Uint8 *px = nullptr;
    unsigned long n = 0;
    if (ds->findAndGetUint8Array(DCM_PixelData, px, &n).good() && px)
        f.pixelHash = QCryptographicHash::hash(QByteArrayView(reinterpret_cast<const char *>(px), qsizetype(n)),
                                               QCryptographicHash::Sha1);
    return f;
}

// Answers every C-STORE with success, except the numbers (1-based) given in refuse,
// which get the given failure status.
class RefusingScp {
public:
    explicit RefusingScp(std::map<int, Uint16> refuse) : m_refuse(std::move(refuse)) {}
    ~RefusingScp()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    bool start()
    {
        m_port = freeTcpPort();
        m_scp.owner = this;
        m_scp.setAETitle("REFUSER");
        m_scp.setPort(m_port);
        m_scp.setConnectionBlockingMode(DUL_NOBLOCK);
        m_scp.setConnectionTimeout(1);
        OFList<OFString> xfers;
        xfers.push_back(UID_LittleEndianExplicitTransferSyntax);
        xfers.push_back(UID_LittleEndianImplicitTransferSyntax);
        m_scp.setEnableVerification();
        for (int i = 0; i < numberOfDcmAllStorageSOPClassUIDs; ++i)
            m_scp.addPresentationContext(dcmAllStorageSOPClassUIDs[i], xfers);
        m_thread = std::thread([this] { m_scp.listen(); });
        return waitForPort(m_port);
    }
    quint16 port() const { return m_port; }
    int received() const { return m_count; }
    // Runs before the n-th object is answered (on the peer's thread): the sender waits
    // meanwhile, as on a peer that pauses in the middle of a transfer.
    std::map<int, std::function<void()>> beforeAnswer;
    // The association is aborted instead of answering the n-th object (0: never).
    int abortAt = 0;

private:
    struct Scp : DcmSCP {
        RefusingScp *owner = nullptr;
        OFCondition handleIncomingCommand(T_DIMSE_Message *msg, const DcmPresentationContextInfo &info) override
        {
            if (msg->CommandField != DIMSE_C_STORE_RQ)
                return DcmSCP::handleIncomingCommand(msg, info);
            T_DIMSE_C_StoreRQ &req = msg->msg.CStoreRQ;
            DcmDataset *ds = nullptr;
            OFCondition c = receiveSTORERequest(req, info.presentationContextID, ds);
            delete ds;
            if (c.bad())
                return c;
            const int n = ++owner->m_count;
            if (const auto pause = owner->beforeAnswer.find(n); pause != owner->beforeAnswer.end())
                pause->second();
            if (n == owner->abortAt)
                return DIMSE_ILLEGALASSOCIATION;
            const auto it = owner->m_refuse.find(n);
            return sendSTOREResponse(info.presentationContextID, req, it == owner->m_refuse.end() ? 0 : it->second);
        }
        OFBool stopAfterConnectionTimeout() override { return owner->m_stop.load(); }
        OFBool stopAfterCurrentAssociation() override { return owner->m_stop.load(); }
    };
    std::map<int, Uint16> m_refuse;
    Scp m_scp;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_count{0};
    quint16 m_port = 0;
};

// Accepts connections and never says a word.
class SilentPeer {
public:
    bool start()
    {
        if (!m_server.listen(QHostAddress::LocalHost, 0))
            return false;
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket *s = m_server.nextPendingConnection())
                m_held << s;
        });
        return true;
    }
    quint16 port() const { return m_server.serverPort(); }
    int connections() const { return int(m_held.size()); }

private:
    QTcpServer m_server;
    QList<QTcpSocket *> m_held;
};

// Orthanc as a PACS: its DICOM port takes the images, its REST API (on loopback) says
// what arrived.
class OrthancPacs {
public:
    ~OrthancPacs()
    {
        if (m_proc.state() != QProcess::NotRunning) {
            m_proc.terminate();
            if (!m_proc.waitForFinished(5000))
                m_proc.kill();
            m_proc.waitForFinished(3000);
        }
    }
    bool start()
    {
        m_port = freeTcpPort();
        m_http = freeTcpPort();
        const QString config = m_dir.path() + QStringLiteral("/orthanc.json");
        QFile f(config);
        if (!f.open(QIODevice::WriteOnly))
            return false;
        f.write(QStringLiteral(R"({ "Name": "test pacs", "StorageDirectory": "%1/db", "IndexDirectory": "%1/db",
  "DicomAet": "PACS", "DicomPort": %2, "HttpPort": %3, "HttpServerEnabled": true,
  "RemoteAccessAllowed": false, "AuthenticationEnabled": false, "DicomCheckCalledAet": true,
  "DicomAlwaysAllowStore": true, "DicomCheckModalityHost": false, "Plugins": [] })")
                    .arg(m_dir.path())
                    .arg(m_port)
                    .arg(m_http)
                    .toUtf8());
        f.close();
        m_proc.setProcessChannelMode(QProcess::MergedChannels);
        m_proc.start(QStringLiteral("Orthanc"), {config});
        return m_proc.waitForStarted(5000) && waitForPort(m_http, 20000) && waitForPort(m_port, 20000);
    }
    quint16 port() const { return m_port; }
    // The REST answer to a GET, empty when it failed.
    QByteArray get(const QString &path)
    {
        QProcess curl;
        curl.start(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("http://127.0.0.1:%1%2").arg(m_http).arg(path)});
        curl.waitForFinished(10000);
        return curl.readAllStandardOutput();
    }
    // The received file of an instance, by its SOP Instance UID; empty when not there.
    QByteArray fileOf(const QString &sopUid)
    {
        QProcess curl;
        curl.start(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-X"), QStringLiteral("POST"),
                                            QStringLiteral("--data"), sopUid,
                                            QStringLiteral("http://127.0.0.1:%1/tools/lookup").arg(m_http)});
        curl.waitForFinished(10000);
        const QByteArray answer = curl.readAllStandardOutput();
        const int at = answer.indexOf("\"ID\"");
        if (at < 0)
            return {};
        const int open = answer.indexOf('"', answer.indexOf(':', at) + 1);
        const int close = answer.indexOf('"', open + 1);
        const QString id = QString::fromLatin1(answer.mid(open + 1, close - open - 1));
        return get(QStringLiteral("/instances/%1/file").arg(id));
    }

private:
    QTemporaryDir m_dir;
    quint16 m_port = 0;
    quint16 m_http = 0;
    QProcess m_proc;
};


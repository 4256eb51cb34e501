#pragma once
// Storage destinations for send tests on free loopback ports: DCMTK's storescp and
// Orthanc (from peers/), a small DCMTK-based SCP that answers the n-th C-STORE with a
// failure status, and a port that accepts connections and never answers.
#include "TestStation.h"
#include "dicom/Codecs.h"
#include "peers/Orthanc.h"
#include "peers/Ports.h"
#include "peers/StoreScp.h"

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
#include <QTcpServer>
#include <QTcpSocket>
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

using peers::StoreScp;
using peers::waitForPort;

// What a DICOM file holds, for comparing sent and received objects.
struct ObjectFacts {
    QString sopUid, sopClass, transferSyntax;
    QByteArray pixelHash;                  // of the decoded pixel values
    QByteArray encodedHash;                // of the compressed fragments, as they travel; empty when uncompressed
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
        return ds->tagExists(k) && ds->findAndGetOFStringArray(k, v).good() ? QString::fromLatin1(v.c_str())
                                                                            : QStringLiteral("-");
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

using peers::OrthancPacs;

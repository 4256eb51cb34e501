#include "dicom/StorageReceiver.h"
#include "core/StationPaths.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmnet/scp.h>
#include <dcmtk/oflog/oflog.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free);

const QString PartPrefix = QStringLiteral(".rcv-");
const QString PartSuffix = QStringLiteral(".part");

} // namespace

class StorageReceiver::Scp : public DcmSCP {
public:
    explicit Scp(const StorageReceiver::Config &cfg, StorageReceiver &owner) : m_cfg(cfg), m_owner(owner) {}

protected:
    OFCondition handleIncomingCommand(T_DIMSE_Message *msg, const DcmPresentationContextInfo &presInfo) override
    {
        if (msg->CommandField != DIMSE_C_STORE_RQ)
            return DcmSCP::handleIncomingCommand(msg, presInfo); // C-ECHO and the refusals of others

        T_DIMSE_C_StoreRQ &req = msg->msg.CStoreRQ;
        QDir().mkpath(m_cfg.outputDir); // removed by hand meanwhile
        const QString partName = m_cfg.outputDir + QLatin1Char('/') + PartPrefix
            + QString::number(::getpid()) + QLatin1Char('-') + QString::number(++m_counter) + PartSuffix;
        const QByteArray partPath = QFile::encodeName(partName);

        // The data set is taken in whatever the answer is, so the association stays in step.
        OFCondition cond = receiveSTORERequest(req, presInfo.presentationContextID, OFString(partPath.constData()));
        if (cond.bad()) {
            ::unlink(partPath.constData());
            problem(QStringLiteral("Receiving %1 from %2 failed: %3")
                        .arg(QString::fromLatin1(req.AffectedSOPInstanceUID), QString::fromLatin1(getPeerAETitle().c_str()),
                             QString::fromLatin1(cond.text())));
            return cond;
        }

        Uint16 status = STATUS_Success;
        const QString sopClass = QString::fromLatin1(req.AffectedSOPClassUID);
        const QString sopUid = QString::fromLatin1(req.AffectedSOPInstanceUID);
        if (!StorageReceiver::sopClasses().contains(sopClass)) {
            status = STATUS_STORE_Refused_SOPClassNotSupported;
            problem(QStringLiteral("Refused %1: storage class %2 is not accepted").arg(sopUid, sopClass));
        } else if (!isValidUid(sopUid)) {
            status = STATUS_STORE_Error_CannotUnderstand;
            problem(QStringLiteral("Refused an object with the invalid SOP Instance UID '%1'").arg(sopUid.left(80)));
        } else {
            const QString finalName = m_cfg.outputDir + QLatin1Char('/') + sopUid + QStringLiteral(".dcm");
            if (std::rename(partPath.constData(), QFile::encodeName(finalName).constData()) != 0) {
                status = STATUS_STORE_Refused_OutOfResources;
                problem(QStringLiteral("Cannot write %1: %2").arg(finalName, QString::fromLocal8Bit(std::strerror(errno))));
            } else if (m_owner.onStored) {
                m_owner.onStored(finalName);
            }
        }
        if (status != STATUS_Success)
            ::unlink(partPath.constData());
        return sendSTOREResponse(presInfo.presentationContextID, req, status);
    }

    // A sender's offer that none of our transfer syntaxes meets is refused during the
    // negotiation, before any object arrives: the operator finds out why in the log.
    void notifyAssociationRequest(const T_ASC_Parameters &params, DcmSCPActionType &desiredAction) override
    {
        DcmSCP::notifyAssociationRequest(params, desiredAction);
        auto *p = const_cast<T_ASC_Parameters *>(&params);
        const QStringList accepted = StorageReceiver::transferSyntaxes();
        const QStringList classes = StorageReceiver::sopClasses();
        const QString caller = QString::fromLatin1(params.DULparams.callingAPTitle).trimmed();
        const int n = ASC_countPresentationContexts(p);
        for (int i = 0; i < n; ++i) {
            T_ASC_PresentationContext pc;
            if (ASC_getPresentationContext(p, i, &pc).bad() || !classes.contains(QString::fromLatin1(pc.abstractSyntax)))
                continue;
            bool met = false;
            for (int t = 0; t < pc.transferSyntaxCount && !met; ++t)
                met = accepted.contains(QString::fromLatin1(pc.proposedTransferSyntaxes[t]));
            if (met)
                continue;
            for (int t = 0; t < pc.transferSyntaxCount; ++t) {
                const char *uid = pc.proposedTransferSyntaxes[t];
                const char *name = dcmFindNameOfUID(uid, nullptr);
                problem(QStringLiteral("Refused transfer syntax %1 (%2) offered by %3")
                            .arg(name ? QString::fromLatin1(name) : QStringLiteral("unknown"), QString::fromLatin1(uid),
                                 caller));
            }
        }
    }

    // A receiver whose station folder was removed has nowhere to put images: it ends.
    OFBool stopAfterConnectionTimeout() override
    {
        const QString station = QFileInfo(m_cfg.outputDir).absolutePath();
        return g_stop.load() || ::access(QFile::encodeName(station).constData(), F_OK) != 0;
    }
    OFBool stopAfterCurrentAssociation() override { return g_stop.load(); }

private:
    void problem(const QString &text)
    {
        if (m_owner.onProblem)
            m_owner.onProblem(text);
    }

    StorageReceiver::Config m_cfg;
    StorageReceiver &m_owner;
    quint64 m_counter = 0;
};

StorageReceiver::StorageReceiver(Config config) : m_config(std::move(config)) {}
StorageReceiver::~StorageReceiver() = default;

void StorageReceiver::requestStop() { g_stop.store(true); }
bool StorageReceiver::stopRequested() { return g_stop.load(); }

QStringList StorageReceiver::sopClasses()
{
    static const QStringList list = {
        QStringLiteral(UID_DigitalMammographyXRayImageStorageForPresentation),
        QStringLiteral(UID_DigitalMammographyXRayImageStorageForProcessing),
        QStringLiteral(UID_BreastTomosynthesisImageStorage),
        QStringLiteral(UID_BreastProjectionXRayImageStorageForPresentation),
        QStringLiteral(UID_BreastProjectionXRayImageStorageForProcessing),
        QStringLiteral(UID_ComputedRadiographyImageStorage),
        QStringLiteral(UID_DigitalXRayImageStorageForPresentation),
        QStringLiteral(UID_DigitalXRayImageStorageForProcessing),
        QStringLiteral(UID_SecondaryCaptureImageStorage),
        QStringLiteral(UID_MultiframeSingleBitSecondaryCaptureImageStorage),
        QStringLiteral(UID_MultiframeGrayscaleByteSecondaryCaptureImageStorage),
        QStringLiteral(UID_MultiframeGrayscaleWordSecondaryCaptureImageStorage),
        QStringLiteral(UID_MultiframeTrueColorSecondaryCaptureImageStorage),
        QStringLiteral(UID_CTImageStorage),
        QStringLiteral(UID_EnhancedCTImageStorage),
        QStringLiteral(UID_MRImageStorage),
        QStringLiteral(UID_EnhancedMRImageStorage),
        QStringLiteral(UID_UltrasoundImageStorage),
        QStringLiteral(UID_UltrasoundMultiframeImageStorage),
    };
    return list;
}

QStringList StorageReceiver::transferSyntaxes()
{
    static const QStringList list = {
        QStringLiteral(UID_LittleEndianExplicitTransferSyntax),
        QStringLiteral(UID_LittleEndianImplicitTransferSyntax),
        QStringLiteral(UID_BigEndianExplicitTransferSyntax),
        QStringLiteral(UID_JPEGProcess14SV1TransferSyntax),
        QStringLiteral(UID_JPEGProcess14TransferSyntax),
        QStringLiteral(UID_JPEGLSLosslessTransferSyntax),
        QStringLiteral(UID_RLELosslessTransferSyntax),
        QStringLiteral(UID_JPEGProcess1TransferSyntax),
        QStringLiteral(UID_JPEGProcess2_4TransferSyntax),
        QStringLiteral(UID_JPEGLSLossyTransferSyntax),
        // JPEG 2000 is stored as received; the viewer decodes it.
        QStringLiteral(UID_JPEG2000LosslessOnlyTransferSyntax),
        QStringLiteral(UID_JPEG2000TransferSyntax),
    };
    return list;
}

bool StorageReceiver::isPartialName(const QString &fileName)
{
    return fileName.startsWith(PartPrefix) && fileName.endsWith(PartSuffix);
}

int StorageReceiver::removeLeftovers(const QString &outputDir)
{
    int n = 0;
    QDir dir(outputDir);
    const QStringList names = dir.entryList({PartPrefix + QLatin1Char('*') + PartSuffix}, QDir::Files | QDir::Hidden);
    for (const QString &name : names)
        if (dir.remove(name))
            ++n;
    return n;
}

QString StorageReceiver::run()
{
    OFLog::configure(OFLogger::FATAL_LOG_LEVEL);
    if (!QDir().mkpath(m_config.outputDir))
        return QStringLiteral("Cannot create the input folder %1").arg(m_config.outputDir);
    if (m_config.port == 0)
        return QStringLiteral("No port configured for the receiver");
    const QByteArray aet = m_config.aeTitle.toLatin1();
    if (aet.isEmpty() || aet.size() > 16)
        return QStringLiteral("The AE title '%1' is not usable (1 to 16 characters)").arg(m_config.aeTitle);

    m_scp = std::make_unique<Scp>(m_config, *this);
    m_scp->setAETitle(aet.constData());
    m_scp->setPort(m_config.port);
    m_scp->setHostLookupEnabled(OFFalse);
    m_scp->setMaxReceivePDULength(ASC_MAXIMUMPDUSIZE);
    // A one-second accept timeout lets the loop notice a stop request while idle.
    m_scp->setConnectionBlockingMode(DUL_NOBLOCK);
    m_scp->setConnectionTimeout(1);
    m_scp->setACSETimeout(30);
    m_scp->setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    m_scp->setDIMSETimeout(60);

    OFList<OFString> xfers;
    for (const QString &ts : transferSyntaxes())
        xfers.push_back(OFString(ts.toLatin1().constData()));
    OFCondition cond = m_scp->setEnableVerification();
    for (const QString &sc : sopClasses()) {
        if (cond.bad())
            break;
        cond = m_scp->addPresentationContext(sc.toLatin1().constData(), xfers);
    }
    if (cond.bad())
        return QStringLiteral("Receiver set-up failed: %1").arg(QString::fromLatin1(cond.text()));

    cond = m_scp->listen();
    if (cond == NET_EC_StopAfterConnectionTimeout || cond == NET_EC_StopAfterAssociation || cond.good())
        return {};
    if (cond == NET_EC_InsufficientPortPrivileges)
        return QStringLiteral("Port %1 needs privileges that the receiver does not have; "
                              "configure a port of 1024 or above under Communication in the Options")
            .arg(m_config.port);
    return QStringLiteral("Cannot listen on port %1: %2").arg(m_config.port).arg(QString::fromLatin1(cond.text()));
}

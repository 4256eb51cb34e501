#include "dicom/MppsSender.h"
#include "core/AppError.h"
#include "dicom/Image.h"
#include "dicom/ScuSetup.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/diutil.h>
#include <dcmtk/dcmnet/scu.h>

#include <cstring>
#include <memory>

namespace dicom {

namespace {

QString text(const OFCondition &c) { return QString::fromLatin1(c.text()); }

// DcmSCU sends N-CREATE and N-SET only through its protected message calls.
class Scu : public DcmSCU {
public:
    OFCondition exchange(bool create, const OFString &uid, DcmDataset &attributes, Uint16 &status, OFString &comment)
    {
        const T_ASC_PresentationContextID pc =
            findAnyPresentationContextID(UID_ModalityPerformedProcedureStepSOPClass, "");
        if (pc == 0)
            return DIMSE_NOVALIDPRESENTATIONCONTEXTID;
        T_DIMSE_Message rq;
        std::memset(&rq, 0, sizeof(rq));
        if (create) {
            rq.CommandField = DIMSE_N_CREATE_RQ;
            T_DIMSE_N_CreateRQ &c = rq.msg.NCreateRQ;
            c.MessageID = ++m_messageId;
            OFStandard::strlcpy(c.AffectedSOPClassUID, UID_ModalityPerformedProcedureStepSOPClass,
                                sizeof(c.AffectedSOPClassUID));
            OFStandard::strlcpy(c.AffectedSOPInstanceUID, uid.c_str(), sizeof(c.AffectedSOPInstanceUID));
            // The station names the step; without this flag the UID is not encoded.
            c.opts = O_NCREATE_AFFECTEDSOPINSTANCEUID;
            c.DataSetType = DIMSE_DATASET_PRESENT;
        } else {
            rq.CommandField = DIMSE_N_SET_RQ;
            T_DIMSE_N_SetRQ &s = rq.msg.NSetRQ;
            s.MessageID = ++m_messageId;
            OFStandard::strlcpy(s.RequestedSOPClassUID, UID_ModalityPerformedProcedureStepSOPClass,
                                sizeof(s.RequestedSOPClassUID));
            OFStandard::strlcpy(s.RequestedSOPInstanceUID, uid.c_str(), sizeof(s.RequestedSOPInstanceUID));
            s.DataSetType = DIMSE_DATASET_PRESENT;
        }
        OFCondition cond = sendDIMSEMessage(pc, &rq, &attributes);
        if (cond.bad())
            return cond;
        T_DIMSE_Message rsp;
        std::memset(&rsp, 0, sizeof(rsp));
        DcmDataset *detail = nullptr;
        T_ASC_PresentationContextID rpc = 0;
        cond = receiveDIMSECommand(&rpc, &rsp, &detail);
        if (cond.bad())
            return cond;
        std::unique_ptr<DcmDataset> details(detail);
        if (details) {
            OFString s;
            if (details->findAndGetOFString(DCM_ErrorComment, s).good())
                comment = s;
        }
        const T_DIMSE_Command expected = create ? DIMSE_N_CREATE_RSP : DIMSE_N_SET_RSP;
        if (rsp.CommandField != expected)
            return DIMSE_BADCOMMANDTYPE;
        status = create ? rsp.msg.NCreateRSP.DimseStatus : rsp.msg.NSetRSP.DimseStatus;
        const bool withData =
            (create ? rsp.msg.NCreateRSP.DataSetType : rsp.msg.NSetRSP.DataSetType) != DIMSE_DATASET_NULL;
        if (withData) {
            // The attributes as the provider keeps them: read, not needed.
            DcmDataset *back = nullptr;
            T_ASC_PresentationContextID id = 0;
            cond = receiveDIMSEDataset(&id, &back);
            delete back;
        }
        return cond;
    }

private:
    Uint16 m_messageId = 0;
};

} // namespace

MppsSender::MppsSender(StoreSender::Peer peer, StoreSender::Timeouts timeouts)
    : m_peer(std::move(peer)), m_timeouts(timeouts)
{
}

QString MppsSender::statusText(quint16 status, bool create, const QString &comment)
{
    const char *name = create ? DU_ncreateStatusString(status) : DU_nsetStatusString(status);
    QString t = QStringLiteral("%1H %2").arg(status, 4, 16, QLatin1Char('0')).arg(QString::fromLatin1(name));
    if (!comment.isEmpty())
        t += QStringLiteral(" (%1)").arg(comment);
    return t;
}

MppsSender::Result MppsSender::create(const QString &uid, const DataSet &attributes)
{
    return exchange(true, uid, attributes);
}

MppsSender::Result MppsSender::set(const QString &uid, const DataSet &modifications)
{
    return exchange(false, uid, modifications);
}

MppsSender::Result MppsSender::exchange(bool create, const QString &uid, const DataSet &attributes)
{
    Result r;
    bool portOk = false;
    const int port = m_peer.port.trimmed().toInt(&portOk);
    if (!portOk || port < 1 || port > 65535 || m_peer.ip.trimmed().isEmpty() || m_peer.calledAet.trimmed().isEmpty()) {
        r.problem = QStringLiteral("The MPPS provider has no complete address");
        return r;
    }
    // The attributes as the toolkit's data set.
    std::unique_ptr<Image> carrier = Image::create();
    for (const DataSet::Element &e : attributes.elements()) {
        if (e.isSequence)
            carrier->setSequence(e.group, e.element, e.items);
        else
            carrier->setText(e.group, e.element, e.text);
    }

    std::unique_ptr<DcmTransportLayer> tls;
    Scu scu;
    r.problem = openScu(scu, tls, m_peer, m_timeouts, UID_ModalityPerformedProcedureStepSOPClass);
    if (!r.problem.isEmpty())
        return r;
    Uint16 status = 0;
    OFString comment;
    OFCondition c = scu.exchange(create, OFString(uid.toLatin1().constData()), *carrier->fileFormat().getDataset(),
                                 status, comment);
    if (c.bad()) {
        r.problem = text(c);
        scu.abortAssociation();
        return r;
    }
    scu.releaseAssociation();
    r.answered = true;
    r.status = status;
    if (!r.ok())
        r.problem = statusText(status, create, QString::fromLatin1(comment.c_str()));
    return r;
}

} // namespace dicom

#include "dicom/CommitmentRequester.h"
#include "dicom/CommitmentWire.h"
#include "dicom/ScuSetup.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/diutil.h>
#include <dcmtk/dcmnet/scu.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstring>
#include <memory>

namespace dicom {

namespace {

QString text(const OFCondition &c) { return QString::fromLatin1(c.text()); }

QList<CommittedObject> objectsOf(DcmDataset &ds, const DcmTagKey &sequence, bool withReason)
{
    QList<CommittedObject> out;
    DcmItem *item = nullptr;
    for (signed long i = 0; ds.findAndGetSequenceItem(sequence, item, i).good() && item; ++i) {
        CommittedObject o;
        OFString s;
        if (item->findAndGetOFString(DCM_ReferencedSOPClassUID, s).good())
            o.sopClass = QString::fromLatin1(s.c_str()).trimmed();
        if (item->findAndGetOFString(DCM_ReferencedSOPInstanceUID, s).good())
            o.sopInstance = QString::fromLatin1(s.c_str()).trimmed();
        Uint16 reason = 0;
        if (withReason && item->findAndGetUint16(DCM_FailureReason, reason).good())
            o.reason = reason;
        if (!o.sopInstance.isEmpty())
            out << o;
        item = nullptr;
    }
    return out;
}

QJsonArray toArray(const QList<CommittedObject> &list, bool withReason)
{
    QJsonArray a;
    for (const CommittedObject &o : list) {
        QJsonObject j{{QStringLiteral("class"), o.sopClass}, {QStringLiteral("instance"), o.sopInstance}};
        if (withReason)
            j.insert(QStringLiteral("reason"), int(o.reason));
        a.append(j);
    }
    return a;
}

QList<CommittedObject> fromArray(const QJsonArray &a)
{
    QList<CommittedObject> out;
    for (const QJsonValue &v : a) {
        const QJsonObject j = v.toObject();
        CommittedObject o;
        o.sopClass = j.value(QStringLiteral("class")).toString();
        o.sopInstance = j.value(QStringLiteral("instance")).toString();
        o.reason = quint16(j.value(QStringLiteral("reason")).toInt());
        if (!o.sopInstance.isEmpty())
            out << o;
    }
    return out;
}

// DcmSCU sends the N-ACTION and answers a report only through its protected message calls.
class Scu : public DcmSCU {
public:
    // Sends the N-ACTION and reads its answer; a report that comes before the answer is
    // answered and kept.
    OFCondition action(const OFString &transactionUid, const QList<CommittedObject> &objects, Uint16 &status,
                       std::optional<CommitmentReport> &report)
    {
        const T_ASC_PresentationContextID pc =
            findPresentationContextID(UID_StorageCommitmentPushModelSOPClass, "", ASC_SC_ROLE_DEFAULT);
        if (pc == 0)
            return DIMSE_NOVALIDPRESENTATIONCONTEXTID;
        DcmDataset ds;
        ds.putAndInsertOFStringArray(DCM_TransactionUID, transactionUid);
        // Present also when empty: the archive requires the sequence.
        ds.insertEmptyElement(DCM_ReferencedSOPSequence);
        for (const CommittedObject &o : objects) {
            DcmItem *item = nullptr;
            if (ds.findOrCreateSequenceItem(DCM_ReferencedSOPSequence, item, -2).bad() || !item)
                return EC_MemoryExhausted;
            item->putAndInsertString(DCM_ReferencedSOPClassUID, o.sopClass.toLatin1().constData());
            item->putAndInsertString(DCM_ReferencedSOPInstanceUID, o.sopInstance.toLatin1().constData());
        }
        T_DIMSE_Message rq;
        std::memset(&rq, 0, sizeof(rq));
        rq.CommandField = DIMSE_N_ACTION_RQ;
        T_DIMSE_N_ActionRQ &a = rq.msg.NActionRQ;
        a.MessageID = ++m_messageId;
        OFStandard::strlcpy(a.RequestedSOPClassUID, UID_StorageCommitmentPushModelSOPClass,
                            sizeof(a.RequestedSOPClassUID));
        OFStandard::strlcpy(a.RequestedSOPInstanceUID, UID_StorageCommitmentPushModelSOPInstance,
                            sizeof(a.RequestedSOPInstanceUID));
        a.ActionTypeID = 1;
        a.DataSetType = DIMSE_DATASET_PRESENT;
        OFCondition cond = sendDIMSEMessage(pc, &rq, &ds);
        if (cond.bad())
            return cond;
        for (;;) {
            T_DIMSE_Message rsp;
            std::memset(&rsp, 0, sizeof(rsp));
            DcmDataset *detail = nullptr;
            T_ASC_PresentationContextID rpc = 0;
            cond = receiveDIMSECommand(&rpc, &rsp, &detail);
            delete detail;
            if (cond.bad())
                return cond;
            if (rsp.CommandField == DIMSE_N_EVENT_REPORT_RQ) {
                cond = answerReport(rpc, rsp.msg.NEventReportRQ, report);
                if (cond.bad())
                    return cond;
                continue;
            }
            if (rsp.CommandField != DIMSE_N_ACTION_RSP)
                return DIMSE_BADCOMMANDTYPE;
            status = rsp.msg.NActionRSP.DimseStatus;
            if (rsp.msg.NActionRSP.DataSetType != DIMSE_DATASET_NULL) {
                DcmDataset *reply = nullptr;
                T_ASC_PresentationContextID id = 0;
                cond = receiveDIMSEDataset(&id, &reply);
                delete reply;
            }
            return cond;
        }
    }

    // Waits up to seconds for a report on this association; nothing coming is no error.
    OFCondition awaitReport(Uint32 seconds, std::optional<CommitmentReport> &report)
    {
        T_DIMSE_Message msg;
        std::memset(&msg, 0, sizeof(msg));
        DcmDataset *detail = nullptr;
        T_ASC_PresentationContextID pc = 0;
        OFCondition cond = receiveDIMSECommand(&pc, &msg, &detail, nullptr, seconds);
        delete detail;
        if (cond == DIMSE_NODATAAVAILABLE)
            return EC_Normal;
        if (cond.bad())
            return cond;
        if (msg.CommandField != DIMSE_N_EVENT_REPORT_RQ)
            return DIMSE_BADCOMMANDTYPE;
        return answerReport(pc, msg.msg.NEventReportRQ, report);
    }

private:
    OFCondition answerReport(T_ASC_PresentationContextID pc, const T_DIMSE_N_EventReportRQ &rq,
                             std::optional<CommitmentReport> &report)
    {
        Uint16 status = STATUS_Success;
        if (rq.DataSetType == DIMSE_DATASET_NULL) {
            status = STATUS_N_InvalidArgumentValue;
        } else {
            DcmDataset *ds = nullptr;
            T_ASC_PresentationContextID id = 0;
            OFCondition cond = receiveDIMSEDataset(&id, &ds);
            std::unique_ptr<DcmDataset> owned(ds);
            if (cond.bad())
                return cond;
            report = reportOfDataSet(*owned, rq.EventTypeID);
            if (!report)
                status = STATUS_N_InvalidArgumentValue;
            else
                report->reportedBy = QString::fromLatin1(getPeerAETitle().c_str()).trimmed();
        }
        T_DIMSE_Message rsp = eventReportAnswer(rq, status);
        return sendDIMSEMessage(pc, &rsp, nullptr);
    }

    Uint16 m_messageId = 0;
};

} // namespace

std::optional<CommitmentReport> reportOfDataSet(DcmDataset &ds, quint16 eventType)
{
    OFString uid;
    if (ds.findAndGetOFString(DCM_TransactionUID, uid).bad() || uid.empty())
        return std::nullopt;
    CommitmentReport r;
    r.transactionUid = QString::fromLatin1(uid.c_str()).trimmed();
    r.eventType = eventType;
    r.committed = objectsOf(ds, DCM_ReferencedSOPSequence, false);
    r.failed = objectsOf(ds, DCM_FailedSOPSequence, true);
    return r;
}

T_DIMSE_Message eventReportAnswer(const T_DIMSE_N_EventReportRQ &rq, Uint16 status)
{
    T_DIMSE_Message rsp;
    std::memset(&rsp, 0, sizeof(rsp));
    rsp.CommandField = DIMSE_N_EVENT_REPORT_RSP;
    T_DIMSE_N_EventReportRSP &r = rsp.msg.NEventReportRSP;
    r.MessageIDBeingRespondedTo = rq.MessageID;
    r.DimseStatus = status;
    r.DataSetType = DIMSE_DATASET_NULL;
    OFStandard::strlcpy(r.AffectedSOPClassUID, rq.AffectedSOPClassUID, sizeof(r.AffectedSOPClassUID));
    OFStandard::strlcpy(r.AffectedSOPInstanceUID, rq.AffectedSOPInstanceUID, sizeof(r.AffectedSOPInstanceUID));
    r.EventTypeID = rq.EventTypeID;
    r.opts = O_NEVENTREPORT_AFFECTEDSOPCLASSUID | O_NEVENTREPORT_AFFECTEDSOPINSTANCEUID | O_NEVENTREPORT_EVENTTYPEID;
    return rsp;
}

QByteArray CommitmentReport::toJson() const
{
    const QJsonObject o{{QStringLiteral("transaction"), transactionUid},
                        {QStringLiteral("event"), int(eventType)},
                        {QStringLiteral("reportedBy"), reportedBy},
                        {QStringLiteral("committed"), toArray(committed, false)},
                        {QStringLiteral("failed"), toArray(failed, true)}};
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

std::optional<CommitmentReport> CommitmentReport::fromJson(const QByteArray &json)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    const QJsonObject o = doc.object();
    CommitmentReport r;
    r.transactionUid = o.value(QStringLiteral("transaction")).toString();
    if (r.transactionUid.isEmpty())
        return std::nullopt;
    r.eventType = quint16(o.value(QStringLiteral("event")).toInt());
    r.reportedBy = o.value(QStringLiteral("reportedBy")).toString();
    r.committed = fromArray(o.value(QStringLiteral("committed")).toArray());
    r.failed = fromArray(o.value(QStringLiteral("failed")).toArray());
    return r;
}

QString CommitmentReport::reasonText(quint16 reason)
{
    QString name;
    switch (reason) {
    case 0x0110:
        name = QStringLiteral("processing failure");
        break;
    case 0x0112:
        name = QStringLiteral("no such object instance");
        break;
    case 0x0213:
        name = QStringLiteral("resource limitation");
        break;
    case 0x0122:
        name = QStringLiteral("SOP class not supported");
        break;
    case 0x0119:
        name = QStringLiteral("class/instance conflict");
        break;
    case 0x0131:
        name = QStringLiteral("duplicate transaction UID");
        break;
    default:
        name = QStringLiteral("failure");
    }
    return QStringLiteral("%1H %2").arg(QString::number(reason, 16).rightJustified(4, QLatin1Char('0')).toUpper(),
                                        name);
}

CommitmentRequester::CommitmentRequester(StoreSender::Peer peer, StoreSender::Timeouts timeouts, int reportWaitMs)
    : m_peer(std::move(peer)), m_timeouts(timeouts), m_reportWaitMs(reportWaitMs)
{
}

CommitmentRequester::Result CommitmentRequester::request(const QString &transactionUid,
                                                         const QList<CommittedObject> &objects)
{
    Result r;
    const int port = StoreSender::portNumber(m_peer.port.trimmed());
    if (port == 0 || m_peer.ip.trimmed().isEmpty() || m_peer.calledAet.trimmed().isEmpty()) {
        r.problem = QStringLiteral("The destination has no complete address");
        return r;
    }
    std::unique_ptr<DcmTransportLayer> tls;
    Scu scu;
    r.problem = openScu(scu, tls, m_peer, m_timeouts, UID_StorageCommitmentPushModelSOPClass);
    if (!r.problem.isEmpty())
        return r;
    Uint16 status = 0;
    OFCondition c = scu.action(OFString(transactionUid.toLatin1().constData()), objects, status, r.report);
    if (c == DIMSE_NOVALIDPRESENTATIONCONTEXTID) {
        scu.releaseAssociation();
        r.problem = QStringLiteral("%1 does not take storage commitment requests").arg(m_peer.calledAet);
        return r;
    }
    if (c.bad()) {
        r.problem = text(c);
        scu.abortAssociation();
        return r;
    }
    r.answered = true;
    r.status = status;
    if (!r.ok()) {
        r.problem = QStringLiteral("%1H %2")
                        .arg(status, 4, 16, QLatin1Char('0'))
                        .arg(QString::fromLatin1(DU_nactionStatusString(status)));
    } else if (!r.report && m_reportWaitMs > 0) {
        // Seconds are what the toolkit waits in; a short wait is at least one.
        const Uint32 seconds = static_cast<Uint32>((m_reportWaitMs + 999) / 1000);
        c = scu.awaitReport(seconds, r.report);
        if (c.bad()) {
            // The request stands; only the same-association report was lost.
            scu.abortAssociation();
            return r;
        }
    }
    scu.releaseAssociation();
    return r;
}

} // namespace dicom

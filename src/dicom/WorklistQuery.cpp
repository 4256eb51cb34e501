#include "dicom/WorklistQuery.h"
#include "dicom/Network.h"
#include "dicom/TlsLayer.h"

#include "core/AppError.h"
#include "core/Audit.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/diutil.h>
#include <dcmtk/dcmnet/scu.h>

#include <QStringDecoder>
#include <QTemporaryFile>

#include <memory>
#include <sstream>

namespace dicom {
namespace {

// Answers are turned into UTF-8 where they name their character set. Providers that
// leave (0008,0005) out still send Latin-1 names: what is not valid UTF-8 is read so.
QString text(const OFString &s)
{
    const QByteArray bytes(s.c_str(), static_cast<qsizetype>(s.length()));
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString out = utf8(bytes);
    if (utf8.hasError())
        out = QString::fromLatin1(bytes);
    return out.trimmed();
}

QString textOf(DcmItem *item, const DcmTagKey &key)
{
    if (!item)
        return {};
    OFString v;
    // All values of a multi-valued element, as the dump would show them.
    if (item->findAndGetOFStringArray(key, v, OFFalse).good())
        return text(v);
    return {};
}

void empty(DcmItem &item, const DcmTagKey &key) { item.insertEmptyElement(key, OFTrue); }

void put(DcmItem &item, const DcmTagKey &key, const QString &value)
{
    if (value.isEmpty())
        empty(item, key);
    else
        item.putAndInsertString(key, value.toUtf8().constData(), OFTrue);
}

// A sequence with one item holding the given empty keys.
DcmItem *sequenceItem(DcmItem &parent, const DcmTagKey &seq)
{
    DcmItem *item = nullptr;
    parent.findOrCreateSequenceItem(seq, item, 0);
    return item;
}

void buildIdentifier(DcmDataset &ds, const WorklistQueryParams &p)
{
    const QDate day = p.date.isValid() ? p.date : QDate::currentDate();
    const QString ymd = day.toString(QStringLiteral("yyyyMMdd"));

    empty(ds, DCM_SpecificCharacterSet);
    empty(ds, DCM_AccessionNumber);
    empty(ds, DCM_ReferringPhysicianName);
    if (DcmItem *ref = sequenceItem(ds, DCM_ReferencedStudySequence)) {
        empty(*ref, DCM_ReferencedSOPClassUID);
        empty(*ref, DCM_ReferencedSOPInstanceUID);
    }
    empty(ds, DCM_PatientName);
    empty(ds, DCM_PatientID);
    empty(ds, DCM_IssuerOfPatientID);
    empty(ds, DCM_PatientBirthDate);
    empty(ds, DCM_PatientSex);
    empty(ds, DCM_PatientSize);
    empty(ds, DCM_PatientWeight);
    empty(ds, DCM_PatientAddress);
    empty(ds, DCM_MedicalAlerts);
    empty(ds, DCM_Allergies); // (0010,2110) Contrast Allergies
    // A return key like the others: a value here would be a matching key, and providers
    // that match on it answer nothing.
    empty(ds, DCM_PregnancyStatus);
    empty(ds, DCM_StudyInstanceUID);
    empty(ds, DCM_RequestingPhysician);
    empty(ds, DCM_RequestingService);
    empty(ds, DCM_RequestedProcedureDescription);
    if (DcmItem *code = sequenceItem(ds, DCM_RequestedProcedureCodeSequence)) {
        empty(*code, DCM_CodeValue);
        empty(*code, DCM_CodingSchemeDesignator);
        empty(*code, DCM_CodeMeaning);
    }
    empty(ds, DCM_AdmissionID);
    empty(ds, DCM_SpecialNeeds);
    empty(ds, DCM_CurrentPatientLocation);
    empty(ds, DCM_PatientInstitutionResidence);
    empty(ds, DCM_PatientState);
    if (DcmItem *sps = sequenceItem(ds, DCM_ScheduledProcedureStepSequence)) {
        empty(*sps, DCM_Modality);
        empty(*sps, DCM_BodyPartExamined);
        empty(*sps, DCM_RequestedContrastAgent);
        put(*sps, DCM_ScheduledStationAETitle, p.localAet);
        sps->putAndInsertString(DCM_ScheduledProcedureStepStartDate,
                                (ymd + QLatin1Char('-') + ymd).toLatin1().constData(), OFTrue);
        sps->putAndInsertString(DCM_ScheduledProcedureStepStartTime, "000000-235959", OFTrue);
        empty(*sps, DCM_ScheduledPerformingPhysicianName);
        empty(*sps, DCM_ScheduledProcedureStepDescription);
        if (DcmItem *proto = sequenceItem(*sps, DCM_ScheduledProtocolCodeSequence)) {
            empty(*proto, DCM_CodeValue);
            empty(*proto, DCM_CodingSchemeDesignator);
            empty(*proto, DCM_CodeMeaning);
        }
        empty(*sps, DCM_ScheduledProcedureStepID);
        empty(*sps, DCM_ScheduledStationName);
        empty(*sps, DCM_ScheduledProcedureStepLocation);
        empty(*sps, DCM_PreMedication);
    }
    empty(ds, DCM_RequestedProcedureID);
    empty(ds, DCM_RequestedProcedurePriority);
    empty(ds, DCM_PatientTransportArrangements);
    empty(ds, DCM_ConfidentialityConstraintOnPatientDataDescription);
}

QList<WorklistAnswer::Code> codesOf(DcmItem *item, const DcmTagKey &key)
{
    QList<WorklistAnswer::Code> out;
    DcmSequenceOfItems *seq = nullptr;
    if (!item || item->findAndGetSequence(key, seq).bad() || !seq)
        return out;
    for (unsigned long i = 0; i < seq->card(); ++i) {
        DcmItem *code = seq->getItem(i);
        WorklistAnswer::Code c{textOf(code, DCM_CodeValue), textOf(code, DCM_CodingSchemeDesignator),
                               textOf(code, DCM_CodeMeaning)};
        if (!c.value.isEmpty())
            out << c;
    }
    return out;
}

WorklistAnswer toAnswer(DcmDataset &ds)
{
    // The character set as the provider named it (after the conversion the values are
    // UTF-8, which is what the performed step says).
    const QString answeredCharset = textOf(&ds, DCM_SpecificCharacterSet);
    // Names may come in another character set; work in UTF-8 when the toolkit can.
    ds.convertToUTF8();

    WorklistAnswer a;
    a.patientName = textOf(&ds, DCM_PatientName);
    a.patientId = textOf(&ds, DCM_PatientID);
    a.birthDate = textOf(&ds, DCM_PatientBirthDate);
    a.sex = textOf(&ds, DCM_PatientSex);
    a.accessionNumber = textOf(&ds, DCM_AccessionNumber);
    a.referringPhysician = textOf(&ds, DCM_ReferringPhysicianName);
    a.institutionName = textOf(&ds, DCM_InstitutionName);
    a.bodyPart = textOf(&ds, DCM_BodyPartExamined);
    a.characterSet = answeredCharset;
    a.studyUid = textOf(&ds, DCM_StudyInstanceUID);
    a.requestedProcedureId = textOf(&ds, DCM_RequestedProcedureID);
    a.requestedProcedureDescription = textOf(&ds, DCM_RequestedProcedureDescription);
    a.issuerOfPatientId = textOf(&ds, DCM_IssuerOfPatientID);
    a.procedureCodes = codesOf(&ds, DCM_RequestedProcedureCodeSequence);

    DcmItem *sps = nullptr;
    if (ds.findAndGetSequenceItem(DCM_ScheduledProcedureStepSequence, sps, 0).good() && sps) {
        a.stepStartTime = textOf(sps, DCM_ScheduledProcedureStepStartTime);
        a.stepStartDate = textOf(sps, DCM_ScheduledProcedureStepStartDate);
        a.stationAet = textOf(sps, DCM_ScheduledStationAETitle);
        a.stepId = textOf(sps, DCM_ScheduledProcedureStepID);
        a.stepDescription = textOf(sps, DCM_ScheduledProcedureStepDescription);
        a.protocolCodes = codesOf(sps, DCM_ScheduledProtocolCodeSequence);
        // Providers answer Body Part Examined where it was asked for: in the step.
        if (a.bodyPart.isEmpty())
            a.bodyPart = textOf(sps, DCM_BodyPartExamined);
    }

    DcmSequenceOfItems *codes = nullptr;
    if (ds.findAndGetSequence(DCM_RequestedProcedureCodeSequence, codes).good() && codes) {
        a.hasProcedureCodeSequence = true;
        if (codes->card() > 0)
            a.procedureCodeValue = textOf(codes->getItem(0), DCM_CodeValue);
    }
    return a;
}

// The identifier as it goes on the wire (implicit little endian), for the audit trail.
QByteArray encoded(DcmDataset &ds)
{
    QTemporaryFile file;
    if (!file.open())
        return {};
    file.close();
    if (ds.saveFile(QFile::encodeName(file.fileName()).constData(), EXS_LittleEndianImplicit).bad())
        return {};
    return file.open() ? file.readAll() : QByteArray();
}

[[noreturn]] void fail(const QString &what, const OFCondition &cond)
{
    throw AppError(ErrorNo::Network, what + QStringLiteral(": ") + associationProblem(cond));
}

struct ResponseList {
    OFList<QRResponse *> list;
    ~ResponseList()
    {
        for (QRResponse *r : list)
            delete r;
    }
};

} // namespace

QString worklistIdentifierDump(const WorklistQueryParams &p)
{
    DcmDataset ds;
    buildIdentifier(ds, p);
    std::ostringstream out;
    ds.print(out);
    return QString::fromStdString(out.str());
}

std::vector<WorklistAnswer> queryWorklist(const WorklistQueryParams &p)
{
    bool portOk = false;
    const uint port = p.remotePort.trimmed().toUInt(&portOk);
    if (!portOk || port == 0 || port > 65535)
        throw AppError(ErrorNo::Network, QStringLiteral("Invalid worklist provider port \"%1\"").arg(p.remotePort));
    if (p.remoteIp.trimmed().isEmpty())
        throw AppError(ErrorNo::Network, QStringLiteral("No worklist provider address configured"));

    std::unique_ptr<DcmTransportLayer> tls;
    DcmSCU scu;
    scu.setAETitle(p.localAet.toLatin1().constData());
    scu.setPeerAETitle(p.remoteAet.toLatin1().constData());
    scu.setPeerHostName(p.remoteIp.trimmed().toLatin1().constData());
    scu.setPeerPort(static_cast<Uint16>(port));
    scu.setConnectionTimeout(p.connectTimeoutSec);
    scu.setACSETimeout(static_cast<Uint32>(p.responseTimeoutSec));
    scu.setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    scu.setDIMSETimeout(static_cast<Uint32>(p.responseTimeoutSec));

    OFList<OFString> syntaxes;
    syntaxes.push_back(UID_LittleEndianExplicitTransferSyntax);
    syntaxes.push_back(UID_BigEndianExplicitTransferSyntax);
    syntaxes.push_back(UID_LittleEndianImplicitTransferSyntax);
    scu.addPresentationContext(UID_FINDModalityWorklistInformationModel, syntaxes);

    prepareNetwork();
    OFCondition cond = scu.initNetwork();
    if (cond.bad())
        fail(QStringLiteral("Worklist network set-up failed"), cond);
    tls = secureScu(scu, p.tls);
    cond = scu.negotiateAssociation();
    if (cond.bad())
        fail(QStringLiteral("No association with the worklist provider %1 at %2:%3")
                 .arg(p.remoteAet, p.remoteIp)
                 .arg(port),
             cond);

    const T_ASC_PresentationContextID pid = scu.findPresentationContextID(UID_FINDModalityWorklistInformationModel, "");
    if (pid == 0) {
        scu.abortAssociation();
        throw AppError(ErrorNo::Network, QStringLiteral("The worklist provider does not accept worklist queries"));
    }

    DcmDataset identifier;
    buildIdentifier(identifier, p);
    ResponseList responses;
    const QByteArray asked = encoded(identifier);
    cond = scu.sendFINDRequest(pid, &identifier, &responses.list);
    AuditEvent audit = AuditEvent::query(Audit::station(), {p.remoteAet, p.remoteIp.trimmed()}, asked);
    if (cond.bad())
        audit.setOutcome(AuditOutcome::MinorFailure, QString::fromLatin1(cond.text()));
    Audit::log(audit);
    if (cond.bad()) {
        scu.abortAssociation();
        fail(QStringLiteral("Worklist query failed"), cond);
    }

    std::vector<WorklistAnswer> answers;
    Uint16 finalStatus = 0;
    for (QRResponse *r : responses.list) {
        if (!r)
            continue;
        if (DICOM_PENDING_STATUS(r->m_status)) {
            if (r->m_dataset)
                answers.push_back(toAnswer(*r->m_dataset));
        } else {
            finalStatus = r->m_status;
        }
    }
    scu.releaseAssociation();

    if (finalStatus != STATUS_Success && !DICOM_WARNING_STATUS(finalStatus))
        throw AppError(ErrorNo::Network, QStringLiteral("The worklist provider answered with status 0x%1 (%2)")
                                             .arg(finalStatus, 4, 16, QLatin1Char('0'))
                                             .arg(QString::fromLatin1(DU_cfindStatusString(finalStatus))));
    return answers;
}

} // namespace dicom

#include "net/WorklistEntry.h"

#include "core/DateText.h"
#include "core/PatientName.h"
#include "core/Settings.h"

QStringList WorklistEntry::headings()
{
    return {QStringLiteral("Time"),       QStringLiteral("Patient Name"),
            QStringLiteral("First Name"), QStringLiteral("Middle Initial"),
            QStringLiteral("Birthdate"),  QStringLiteral("ID"),
            QStringLiteral("Sex"),        QStringLiteral("Bodypart"),
            QStringLiteral("Acc No."),    QStringLiteral("Ref. Physician"),
            QStringLiteral("Inst. Name")};
}

namespace Worklist {

dicom::WorklistQueryParams queryParams(const Settings &s, const QDate &day)
{
    dicom::WorklistQueryParams p;
    p.localAet = s.worklistLocalAet;
    p.remoteAet = s.worklist.aet;
    p.remoteIp = s.worklist.ip;
    p.remotePort = s.worklist.port;
    p.date = day;
    p.tls = s.security.forPeer(s.worklist.ip, s.worklist.port);
    return p;
}

WorklistEntry buildEntry(const dicom::WorklistAnswer &a)
{
    WorklistEntry e;
    e.answer = a;
    auto set = [&e](WorklistEntry::Column c, const QString &v) { e.columns[c] = v; };

    set(WorklistEntry::Time, a.stepStartTime.isEmpty() ? QString() : DateText::fromDicomTime(a.stepStartTime));

    const QStringList parts = a.patientName.split(QLatin1Char('^'));
    set(WorklistEntry::FamilyName, PatientName::replaceApostrophes(parts.value(0).trimmed()));
    set(WorklistEntry::GivenName, PatientName::replaceApostrophes(parts.value(1).trimmed()));
    set(WorklistEntry::MiddleName, PatientName::replaceApostrophes(parts.value(2).trimmed()));

    set(WorklistEntry::BirthDate, a.birthDate.isEmpty() ? QString() : DateText::fromDicomDate(a.birthDate));
    set(WorklistEntry::PatientId, a.patientId);
    set(WorklistEntry::Sex, a.sex);

    // The requested procedure's code, when the provider sends one, says more to the
    // operator than the accession number.
    QString acc = a.accessionNumber;
    if (a.hasProcedureCodeSequence && !a.procedureCodeValue.trimmed().isEmpty())
        acc = a.procedureCodeValue.trimmed();
    set(WorklistEntry::AccessionOrCode, acc);

    set(WorklistEntry::BodyPart, a.bodyPart);
    set(WorklistEntry::ReferringPhysician, PatientName::replaceApostrophes(a.referringPhysician));
    set(WorklistEntry::InstitutionName, a.institutionName);
    return e;
}

} // namespace Worklist

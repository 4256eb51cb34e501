#include "net/WorklistEntry.h"

#include "app/DateText.h"
#include "app/Settings.h"
#include "dose/DoseState.h"

QStringList WorklistEntry::headings()
{
    return {QStringLiteral("Time"),         QStringLiteral("Patient Name"), QStringLiteral("First Name"),
            QStringLiteral("Middle Initial"), QStringLiteral("Birthdate"),  QStringLiteral("ID"),
            QStringLiteral("Sex"),          QStringLiteral("Bodypart"),     QStringLiteral("Acc No."),
            QStringLiteral("Ref. Physician"), QStringLiteral("Inst. Name")};
}

namespace Worklist {

QString replaceApostrophes(const QString &name)
{
    QString out = name;
    out.replace(QLatin1Char('\''), QChar(0x00B4));
    return out;
}

dicom::WorklistQueryParams queryParams(const Settings &s, const QDate &day)
{
    dicom::WorklistQueryParams p;
    p.localAet = s.worklistLocalAet;
    p.remoteAet = s.worklist.aet;
    p.remoteIp = s.worklist.ip;
    p.remotePort = s.worklist.port;
    p.date = day;
    return p;
}

WorklistEntry buildEntry(const dicom::WorklistAnswer &a)
{
    WorklistEntry e;
    auto set = [&e](WorklistEntry::Column c, const QString &v) { e.columns[c] = v; };

    set(WorklistEntry::Time, a.stepStartTime.isEmpty() ? QString() : DateText::fromDicomTime(a.stepStartTime));

    const QStringList parts = a.patientName.split(QLatin1Char('^'));
    set(WorklistEntry::FamilyName, replaceApostrophes(parts.value(0).trimmed()));
    set(WorklistEntry::GivenName, replaceApostrophes(parts.value(1).trimmed()));
    set(WorklistEntry::MiddleName, replaceApostrophes(parts.value(2).trimmed()));

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
    set(WorklistEntry::ReferringPhysician, replaceApostrophes(a.referringPhysician));
    set(WorklistEntry::InstitutionName, a.institutionName);
    return e;
}

void applyToPanel(const WorklistEntry &e, DoseState &state)
{
    state.setRow(1, e.at(WorklistEntry::PatientId));
    state.setRow(2, e.at(WorklistEntry::GivenName));
    state.setRow(3, e.at(WorklistEntry::FamilyName));
    state.setRow(4, e.at(WorklistEntry::MiddleName));
    state.setRow(5, e.at(WorklistEntry::BirthDate));
    state.setRow(6, e.at(WorklistEntry::Sex));
    state.setRow(7, e.at(WorklistEntry::AccessionOrCode).left(15));
    const QString body = e.at(WorklistEntry::BodyPart);
    state.setRow(8, body.isEmpty() ? QStringLiteral("Unknown") : body);
    state.assignmentMode = 1;
    // Exposures that waited for a patient are offered for this one now.
    state.notifyPatientChosen();
}

} // namespace Worklist

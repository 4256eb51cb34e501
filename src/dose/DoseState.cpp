#include "dose/DoseState.h"
#include "core/Audit.h"
#include "net/WorklistEntry.h"

void DoseState::takeWorklistPatient(const WorklistEntry &e)
{
    const QString body = e.at(WorklistEntry::BodyPart);
    takePatientRows({e.at(WorklistEntry::PatientId), e.at(WorklistEntry::GivenName), e.at(WorklistEntry::FamilyName),
                     e.at(WorklistEntry::MiddleName), e.at(WorklistEntry::BirthDate), e.at(WorklistEntry::Sex),
                     e.at(WorklistEntry::AccessionOrCode).left(15), body.isEmpty() ? QStringLiteral("Unknown") : body});
    // The worklist's patient becomes this examination's: a patient record made here.
    Audit::log(
        AuditEvent::patientRecord(Audit::station(), AuditAction::Create, {e.answer.patientId, e.answer.patientName}));
    emit worklistAnswerTaken(e.answer);
}

void DoseState::takePatientRows(const std::array<QString, 8> &rows)
{
    panel = rows;
    assignmentMode = AssignmentMode::WorklistPatient;
    emit changed();
    emit patientChosen();
}

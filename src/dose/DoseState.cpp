#include "dose/DoseState.h"
#include "net/WorklistEntry.h"

void DoseState::takeWorklistPatient(const WorklistEntry &e)
{
    const QString body = e.at(WorklistEntry::BodyPart);
    takePatientRows({e.at(WorklistEntry::PatientId), e.at(WorklistEntry::GivenName), e.at(WorklistEntry::FamilyName),
                     e.at(WorklistEntry::MiddleName), e.at(WorklistEntry::BirthDate), e.at(WorklistEntry::Sex),
                     e.at(WorklistEntry::AccessionOrCode).left(15), body.isEmpty() ? QStringLiteral("Unknown") : body});
    emit worklistAnswerTaken(e.answer);
}

void DoseState::takePatientRows(const std::array<QString, 8> &rows)
{
    panel = rows;
    assignmentMode = AssignmentMode::WorklistPatient;
    emit changed();
    emit patientChosen();
}

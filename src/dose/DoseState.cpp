#include "dose/DoseState.h"
#include "net/WorklistEntry.h"

void DoseState::takeWorklistPatient(const WorklistEntry &e)
{
    setRow(1, e.at(WorklistEntry::PatientId));
    setRow(2, e.at(WorklistEntry::GivenName));
    setRow(3, e.at(WorklistEntry::FamilyName));
    setRow(4, e.at(WorklistEntry::MiddleName));
    setRow(5, e.at(WorklistEntry::BirthDate));
    setRow(6, e.at(WorklistEntry::Sex));
    setRow(7, e.at(WorklistEntry::AccessionOrCode).left(15));
    const QString body = e.at(WorklistEntry::BodyPart);
    setRow(8, body.isEmpty() ? QStringLiteral("Unknown") : body);
    assignmentMode = AssignmentMode::WorklistPatient;
    emit changed();
    emit patientChosen();
}

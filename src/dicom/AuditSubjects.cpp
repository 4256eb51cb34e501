#include "dicom/AuditSubjects.h"
#include "core/AppError.h"

#include <algorithm>

namespace dicom {

QList<AuditSubject> auditSubjects(const QList<FileFacts> &objects)
{
    QList<AuditSubject> subjects;
    for (const FileFacts &f : objects) {
        auto patient = std::find_if(subjects.begin(), subjects.end(),
                                    [&](const AuditSubject &s) { return s.patient.id == f.patientId; });
        if (patient == subjects.end()) {
            QString name = f.lastName;
            for (const QString &part : {f.firstName, f.middleName})
                if (!part.isEmpty())
                    name += QLatin1Char('^') + part;
            AuditSubject subject;
            subject.patient = {f.patientId, name};
            subjects.append(subject);
            patient = subjects.end() - 1;
        }
        auto study = std::find_if(patient->studies.begin(), patient->studies.end(),
                                  [&](const AuditStudy &s) { return s.instanceUid == f.studyUid; });
        if (study == patient->studies.end()) {
            AuditStudy s;
            s.instanceUid = f.studyUid;
            s.accessionNumber = f.accessionNumber;
            s.description = f.studyDescription;
            patient->studies.append(s);
            study = patient->studies.end() - 1;
        }
        auto sop = std::find_if(study->sopClasses.begin(), study->sopClasses.end(),
                                [&](const QPair<QString, int> &c) { return c.first == f.sopClassUid; });
        if (sop == study->sopClasses.end())
            study->sopClasses.append(qMakePair(f.sopClassUid, 1));
        else
            ++sop->second;
    }
    return subjects;
}

QList<AuditSubject> auditSubjectsOfFiles(const QStringList &files)
{
    QList<FileFacts> objects;
    for (const QString &file : files) {
        try {
            objects.append(readFileFacts(file));
        } catch (const AppError &) {
        }
    }
    return auditSubjects(objects);
}

QList<AuditSubject> auditSubjectsOfStudy(const QStringList &files)
{
    for (const QString &file : files) {
        try {
            return auditSubjects(QList<FileFacts>(files.size(), readFileFacts(file)));
        } catch (const AppError &) {
        }
    }
    return {};
}

} // namespace dicom

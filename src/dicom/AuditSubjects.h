#pragma once
#include "core/AuditMessage.h"
#include "dicom/FileFacts.h"

#include <QList>
#include <QStringList>

namespace dicom {

// The patients and studies of these objects as an audit message names them: one subject
// per patient (in the order first met), its studies with the number of instances of
// each SOP class.
QList<AuditSubject> auditSubjects(const QList<FileFacts> &objects);
// The same of files; a file that cannot be read as DICOM is left out.
QList<AuditSubject> auditSubjectsOfFiles(const QStringList &files);
// The files of one study of the store, read cheaply: the first readable file names the
// patient, the study and the kind, the count is the files'. Empty when none is readable.
QList<AuditSubject> auditSubjectsOfStudy(const QStringList &files);

} // namespace dicom

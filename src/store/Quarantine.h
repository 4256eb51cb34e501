#pragma once
#include <QDateTime>
#include <QList>
#include <QString>

class StationPaths;

// What the data manager kept apart from the store, in the quarantine folder: each object
// with a reason file beside it (<name>.reason.json). Most are objects it cannot file (not
// DICOM, no valid UIDs). A clash is an object whose study, series or image UID is stored
// already for another patient: the stored data stays as it is, and only the operator may
// file the newcomer anyway (which gives the UID to the newcomer's patient), after a
// question naming both patients.
struct QuarantinedObject {
    QString file;   // the object in the quarantine folder
    QString reason; // why it was kept apart, as the operator reads it
    QDateTime when;
    bool clash = false; // kept apart for a UID stored under another patient
    QString level;      // "Study", "Series" or "Image" (clashes)
    QString uid;        // the clashing UID
    QString sopUid;     // the object's own SOP Instance UID
    QString storedPatientId, storedPatientName;
    QString newPatientId, newPatientName;
};

namespace Quarantine {

// Moves file into the quarantine folder (under a free name) and writes its reason file.
// Returns the new path; empty when the file could not be moved (why in error).
QString keepApart(const StationPaths &paths, const QString &file, const QuarantinedObject &what, QString *error);

// The objects in the quarantine folder, newest first (files without a reason file, from
// an earlier version, are listed with an unknown reason).
QList<QuarantinedObject> list(const StationPaths &paths);

// Deletes the object and its reason file. False when the file could not be deleted.
bool remove(const QuarantinedObject &object);

// The question before a clashing object is filed anyway.
QString fileAnywayQuestion(const QuarantinedObject &object);
// Gives the object to the data manager again, with the operator's consent to file it
// despite the clash: the consent names the object's SOP Instance UID and its patient.
// Throws AppError when it cannot.
void fileAnyway(const StationPaths &paths, const QuarantinedObject &object);
// The data manager's side: true (and the consent used up) when the operator chose to
// file this object of this patient anyway.
bool takeConsent(const StationPaths &paths, const QString &sopUid, const QString &patientId);

} // namespace Quarantine

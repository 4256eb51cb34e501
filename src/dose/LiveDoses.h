#pragma once
#include <QHash>
#include <QString>
#include <QStringList>
#include <QtGlobal>

class Database;

// What the live examination view reads: the study of the open examination among the
// stored ones, its images in the order they came, and the dose line of each exposure.
namespace LiveDoses {

inline const QString NoDoseYet = QStringLiteral("no dose yet");

// The values of one exposure as the viewer shows them under its image, e.g.
// "28 kV · 63 mAs · 12.5 cGy·cm²" (HFE 501: kV, mAs and dose-area product) or
// "1.23 mGy" (the channel units' entrance dose, with kV and mAs where the record has them).
QString caption(qint16 unit, const QString &mGy1, const QString &mGy2, const QString &mGy3, const QString &kvp,
                const QString &mas);
// The open records of the worklist patient by exposure number (the later one where a
// number repeats); records without a unit are taken as captured by configuredUnit.
QHash<int, QString> captions(Database &db, const QString &worklistPatientId, qint16 configuredUnit);
// The open examination's study: the worklist's study when the modality kept its UID,
// else the patient's newest study dated on or after sinceDicomDate (when given). Empty
// while none is stored. Only studies of this Patient ID are ever taken.
QString examinationStudy(Database &db, const QString &patId1, const QString &scheduledStudyUid,
                         const QString &sinceDicomDate);
// The SOP Instance UIDs of a study's images in the order they were filed.
QStringList imagesByArrival(Database &db, const QString &studyUid);

} // namespace LiveDoses

#pragma once
#include <QString>

// The header facts the data manager needs to file an image into the store, read from a
// DICOM file without its pixel data. Texts are as stored in the file (trimmed, UTF-8);
// dates and times are the raw DICOM forms (DA "yyyymmdd", TM "hhmmss.frac").
struct FileFacts {
    QString patientId;
    QString lastName;   // first component of Patient's Name
    QString firstName;  // second component
    QString middleName; // third component
    QString birthDate;
    QString sex;
    QString studyUid;
    QString studyDate;
    QString studyTime;
    QString studyDescription;
    QString accessionNumber;
    QString modality;
    QString bodyPart;
    QString seriesUid;
    QString seriesNumber;
    QString sopUid;
    QString sopClassUid;
    QString instanceNumber;
    QString contentDate;
    QString contentTime;
    QString acquisitionDate;
    QString acquisitionTime;
};

namespace dicom {
// Reads the facts of a DICOM file (with or without meta header). Throws AppError
// (ErrorNo::Dicom) when the file cannot be parsed as DICOM.
FileFacts readFileFacts(const QString &path);
// Keeps the toolkit's own warnings off the console of a windowless companion.
void quietToolkitLog();
} // namespace dicom

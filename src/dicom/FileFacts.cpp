#include "dicom/FileFacts.h"
#include "core/AppError.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/oflog/oflog.h>

#include <QFile>
#include <QStringList>

namespace {

QString text(DcmDataset &ds, const DcmTagKey &tag, bool utf8)
{
    OFString v;
    if (ds.findAndGetOFStringArray(tag, v).bad())
        return {};
    const QByteArray raw(v.c_str(), static_cast<qsizetype>(v.length()));
    return (utf8 ? QString::fromUtf8(raw) : QString::fromLatin1(raw)).trimmed();
}

} // namespace

namespace dicom {

FileFacts readFileFacts(const QString &path)
{
    if (!QFile::exists(path))
        throw AppError(ErrorNo::FileIo, QStringLiteral("File not found: %1").arg(path));
    DcmFileFormat ff;
    // Long values (the pixel data) stay on disk; the whole file is still parsed, so a
    // file cut short reads as broken.
    OFCondition cond;
    try {
        cond = ff.loadFile(OFFilename(QFile::encodeName(path).constData()), EXS_Unknown, EGL_noChange, 1024,
                           ERM_autoDetect);
    } catch (const std::exception &e) {
        // The toolkit throws on some damaged values (a directory record type of the wrong
        // length): a broken file, not the end of the process.
        throw AppError(ErrorNo::Dicom,
                       QStringLiteral("Not a readable DICOM file (%1)").arg(QString::fromLatin1(e.what())));
    }
    if (cond.bad())
        throw AppError(ErrorNo::Dicom,
                       QStringLiteral("Not a readable DICOM file (%1)").arg(QString::fromLatin1(cond.text())));
    DcmDataset &ds = *ff.getDataset();

    // Names may be in another character set: convert to UTF-8 when one is declared.
    bool utf8 = true;
    OFString charset;
    if (ds.findAndGetOFStringArray(DCM_SpecificCharacterSet, charset).good() && !charset.empty()
        && charset != "ISO_IR 192" && charset != "ISO_IR 6") {
        if (ds.convertToUTF8().bad())
            utf8 = false; // fall back to Latin-1, the usual single-byte case
    }

    FileFacts f;
    f.patientId = text(ds, DCM_PatientID, utf8);
    const QStringList name = text(ds, DCM_PatientName, utf8).split(QLatin1Char('^'));
    f.lastName = name.value(0).trimmed();
    f.firstName = name.value(1).trimmed();
    f.middleName = name.value(2).trimmed();
    f.birthDate = text(ds, DCM_PatientBirthDate, utf8);
    f.sex = text(ds, DCM_PatientSex, utf8);
    f.studyUid = text(ds, DCM_StudyInstanceUID, utf8);
    f.studyDate = text(ds, DCM_StudyDate, utf8);
    f.studyTime = text(ds, DCM_StudyTime, utf8);
    f.studyDescription = text(ds, DCM_StudyDescription, utf8);
    f.accessionNumber = text(ds, DCM_AccessionNumber, utf8);
    f.modality = text(ds, DCM_Modality, utf8);
    f.bodyPart = text(ds, DCM_BodyPartExamined, utf8);
    f.seriesUid = text(ds, DCM_SeriesInstanceUID, utf8);
    f.seriesNumber = text(ds, DCM_SeriesNumber, utf8);
    f.sopUid = text(ds, DCM_SOPInstanceUID, utf8);
    f.sopClassUid = text(ds, DCM_SOPClassUID, utf8);
    f.instanceNumber = text(ds, DCM_InstanceNumber, utf8);
    f.contentDate = text(ds, DCM_ContentDate, utf8);
    f.contentTime = text(ds, DCM_ContentTime, utf8);
    f.acquisitionDate = text(ds, DCM_AcquisitionDate, utf8);
    f.acquisitionTime = text(ds, DCM_AcquisitionTime, utf8);
    // UIDs may carry a trailing NUL pad.
    for (QString *uid : {&f.studyUid, &f.seriesUid, &f.sopUid, &f.sopClassUid})
        while (uid->endsWith(QChar(0)))
            uid->chop(1);
    return f;
}

void quietToolkitLog() { OFLog::configure(OFLogger::ERROR_LOG_LEVEL); }

} // namespace dicom

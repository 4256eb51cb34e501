#include "dicom/DicomDir.h"

#include "core/AppError.h"
#include "dicom/Codecs.h"
#include "dicom/DcmSupport.h"
#include "dicom/Image.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcddirif.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcdicdir.h>
#include <dcmtk/dcmdata/dcdirrec.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <filesystem>
#include <optional>

namespace dicom {

namespace {

AppError dirError(const QString &path, const QString &why)
{
    return AppError(ErrorNo::Dicom, QStringLiteral("Cannot read DICOMDIR \"%1\": %2").arg(path, why));
}

QString trimmedUid(QString s)
{
    while (s.endsWith(QChar(0)))
        s.chop(1);
    return s.trimmed();
}

// The record's file reference; nullopt for a record that names no file (patients,
// studies, series) unless it is an image record, which must name one.
std::optional<DirImageRecord> fileRecord(DcmItem &item)
{
    DirImageRecord r;
    OFString type;
    item.findAndGetOFString(DCM_DirectoryRecordType, type);
    r.recordType = QString::fromLatin1(type.c_str()).trimmed();
    DcmElement *el = nullptr;
    const bool named = item.findAndGetElement(DCM_ReferencedFileID, el).good() && el;
    if (named) {
        for (unsigned long k = 0; k < el->getVM(); ++k) {
            OFString part;
            if (el->getOFString(part, k).good())
                r.fileId << QString::fromLatin1(part.c_str()).trimmed();
        }
    }
    if (!named && r.recordType != QLatin1String("IMAGE"))
        return std::nullopt;
    OFString sop;
    if (item.findAndGetOFString(DCM_ReferencedSOPInstanceUIDInFile, sop).good())
        r.sopInstanceUid = trimmedUid(QString::fromLatin1(sop.c_str()));
    return r;
}

void collectFiles(DcmDirectoryRecord &record, std::vector<DirImageRecord> &out, int depth)
{
    // Records nest four levels deep; a damaged directory must not take us round in circles.
    if (depth > 16)
        return;
    for (unsigned long i = 0; i < record.cardSub(); ++i) {
        DcmDirectoryRecord *sub = record.getSub(i);
        if (!sub)
            continue;
        if (auto r = fileRecord(*sub))
            out.push_back(std::move(*r));
        collectFiles(*sub, out, depth + 1);
    }
}

// The file records in the order the record sequence holds them, for a directory whose
// offsets no longer link its records (a tool changed it without updating them).
std::vector<DirImageRecord> flatFiles(DcmDataset &ds)
{
    std::vector<DirImageRecord> out;
    DcmSequenceOfItems *seq = nullptr;
    if (ds.findAndGetSequence(DCM_DirectoryRecordSequence, seq).bad() || !seq)
        return out;
    for (unsigned long i = 0; i < seq->card(); ++i) {
        DcmItem *item = seq->getItem(i);
        if (!item)
            continue;
        if (auto r = fileRecord(*item))
            out.push_back(std::move(*r));
    }
    return out;
}

void renameOver(const QString &from, const QString &to)
{
    std::error_code ec;
    std::filesystem::rename(std::filesystem::path(from.toStdU16String()), std::filesystem::path(to.toStdU16String()),
                            ec);
    if (ec) {
        QFile::remove(from);
        throw AppError(ErrorNo::FileIo,
                       QStringLiteral("Cannot write \"%1\": %2").arg(to, QString::fromStdString(ec.message())));
    }
}

QString tempBeside(const QString &path)
{
    const QFileInfo fi(path);
    return fi.absoluteDir().filePath(
        QStringLiteral(".%1.%2.part").arg(fi.fileName()).arg(QRandomGenerator::global()->generate64(), 0, 16));
}
} // namespace

std::vector<DirImageRecord> readDicomDir(const QString &path)
{
    std::unique_ptr<DcmFileFormat> ff = loadFileFormat(path);
    OFString sopClass;
    ff->getMetaInfo()->findAndGetOFString(DCM_MediaStorageSOPClassUID, sopClass);
    const bool isDir = trimmedUid(QString::fromLatin1(sopClass.c_str())) == MediaDirectoryStorage
                       || ff->getDataset()->tagExists(DCM_DirectoryRecordSequence, OFFalse);
    if (!isDir)
        throw dirError(path, QStringLiteral("the file is not a DICOMDIR"));
    std::vector<DirImageRecord> flat = flatFiles(*ff->getDataset());
    ff.reset();

    // The toolkit writes a directory back when it had to repair it: it reads a copy.
    QTemporaryDir scratch;
    if (!scratch.isValid())
        throw dirError(path, QStringLiteral("no temporary folder for a working copy"));
    const QString copy = scratch.filePath(QStringLiteral("DICOMDIR"));
    if (!QFile::copy(path, copy))
        throw dirError(path, QStringLiteral("the file cannot be copied for reading"));
    std::vector<DirImageRecord> out;
    try {
        DcmDicomDir dir(toFilename(copy));
        if (dir.error().bad())
            throw dirError(path, QString::fromLocal8Bit(dir.error().text()));
        collectFiles(dir.getRootRecord(), out, 0);
    } catch (const AppError &) {
        throw;
    } catch (const std::exception &e) {
        // The toolkit throws on some damaged records: the directory is broken.
        throw dirError(path, QString::fromLatin1(e.what()));
    }
    // Offsets that lead nowhere lose records from the tree; the sequence still has them all.
    if (out.size() < flat.size())
        return flat;
    return out;
}

bool isValidFileIdComponent(const QString &component)
{
    if (component.isEmpty() || component.size() > 8)
        return false;
    for (QChar c : component) {
        const ushort u = c.unicode();
        if (!((u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '_'))
            return false;
    }
    return true;
}

namespace {

// "RTPlanStorage" -> "RT Plan Storage": the toolkit's class names as words.
QString spacedName(const QString &name)
{
    QString out;
    for (int i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        if (i > 0 && c.isUpper()) {
            const QChar before = name.at(i - 1);
            const bool wordEnds = before.isLower() || before.isDigit();
            const bool acronymEnds = before.isUpper() && i + 1 < name.size() && name.at(i + 1).isLower();
            if (wordEnds || acronymEnds)
                out += QLatin1Char(' ');
        }
        out += c;
    }
    return out;
}

QString className(const QString &uid)
{
    const char *name = dcmFindNameOfUID(uid.toLatin1().constData(), nullptr);
    return name ? QStringLiteral("%1, %2").arg(spacedName(QString::fromLatin1(name)), uid)
                : (uid.isEmpty() ? QStringLiteral("no storage class") : QStringLiteral("storage class %1").arg(uid));
}

// The Modality an image of a storage class has; "OT" for a class that does not say.
const char *modalityOf(const OFString &sopClass)
{
    static const std::pair<const char *, const char *> table[] = {
        {UID_DigitalMammographyXRayImageStorageForPresentation, "MG"},
        {UID_DigitalMammographyXRayImageStorageForProcessing, "MG"},
        {UID_BreastTomosynthesisImageStorage, "MG"},
        {UID_BreastProjectionXRayImageStorageForPresentation, "MG"},
        {UID_BreastProjectionXRayImageStorageForProcessing, "MG"},
        {UID_ComputedRadiographyImageStorage, "CR"},
        {UID_DigitalXRayImageStorageForPresentation, "DX"},
        {UID_DigitalXRayImageStorageForProcessing, "DX"},
        {UID_DigitalIntraOralXRayImageStorageForPresentation, "IO"},
        {UID_DigitalIntraOralXRayImageStorageForProcessing, "IO"},
        {UID_CTImageStorage, "CT"},
        {UID_EnhancedCTImageStorage, "CT"},
        {UID_MRImageStorage, "MR"},
        {UID_EnhancedMRImageStorage, "MR"},
        {UID_UltrasoundImageStorage, "US"},
        {UID_UltrasoundMultiframeImageStorage, "US"},
        {UID_NuclearMedicineImageStorage, "NM"},
        {UID_PositronEmissionTomographyImageStorage, "PT"},
        {UID_XRayAngiographicImageStorage, "XA"},
        {UID_XRayRadiofluoroscopicImageStorage, "RF"},
    };
    for (const auto &[uid, modality] : table) {
        if (sopClass == uid)
            return modality;
    }
    return "OT";
}

// Adds an element empty when the data set lacks it.
void addEmptyWhenMissing(DcmDataset &ds, const DcmTagKey &tag)
{
    if (!ds.tagExists(tag, OFFalse))
        ds.insertEmptyElement(tag, OFFalse);
}
} // namespace

QString whyNotAnImage(const Image &image)
{
    const QString uid = trimmedUid(image.sopClassUid());
    const QByteArray latin = uid.toLatin1();
    if (!uid.isEmpty() && dcmIsaStorageSOPClassUID(latin.constData(), ESSC_All)
        && !dcmIsImageStorageSOPClassUID(latin.constData()))
        return QStringLiteral("it is not an image (%1)").arg(className(uid));
    auto &ff = const_cast<DcmFileFormat &>(image.fileFormat());
    if (!ff.getDataset()->tagExists(DCM_PixelData, OFFalse))
        return QStringLiteral("it holds no image: no pixel data (%1)").arg(className(uid));
    return {};
}

void writeForMedia(const Image &image, const QString &path)
{
    ensureCodecs();
    auto &source = const_cast<DcmFileFormat &>(image.fileFormat());
    if (source.loadAllDataIntoMemory().bad())
        throw AppError(ErrorNo::Dicom,
                       QStringLiteral("Cannot write DICOM file \"%1\": its source can no longer be read").arg(path));
    DcmFileFormat ff(source);
    DcmDataset *ds = ff.getDataset();
    if (ds->chooseRepresentation(EXS_LittleEndianExplicit, nullptr).bad()
        || !ds->canWriteXfer(EXS_LittleEndianExplicit))
        throw AppError(ErrorNo::Dicom,
                       QStringLiteral("Cannot write DICOM file \"%1\": the pixel data cannot be decoded (%2)")
                           .arg(path, QString::fromLatin1(DcmXfer(ds->getOriginalXfer()).getXferName())));
    // The directory's records copy these from every file: type 2 in the image and in
    // the records, they must at least be present.
    for (const DcmTagKey &tag :
         {DCM_PatientName, DCM_PatientID, DCM_PatientBirthDate, DCM_PatientSex, DCM_StudyDate, DCM_StudyTime,
          DCM_ReferringPhysicianName, DCM_StudyID, DCM_AccessionNumber, DCM_SeriesNumber, DCM_InstanceNumber})
        addEmptyWhenMissing(*ds, tag);
    // Modality is type 1 in the series record: the storage class says what it is.
    OFString modality;
    if (ds->findAndGetOFString(DCM_Modality, modality).bad()
        || QString::fromLatin1(modality.c_str()).trimmed().isEmpty()) {
        OFString sopClass;
        ds->findAndGetOFString(DCM_SOPClassUID, sopClass);
        ds->putAndInsertString(DCM_Modality, modalityOf(sopClass));
    }
    if (!QFileInfo(path).absoluteDir().exists())
        throw AppError(ErrorNo::FileIo,
                       QStringLiteral("Cannot write DICOM file \"%1\": the folder does not exist").arg(path));
    const QString temp = tempBeside(path);
    const OFCondition c = ff.saveFile(toFilename(temp), EXS_LittleEndianExplicit, EET_ExplicitLength, EGL_recalcGL,
                                      EPD_noChange, 0, 0, EWM_updateMeta);
    if (c.bad()) {
        QFile::remove(temp);
        throw AppError(
            ErrorNo::Dicom,
            QStringLiteral("Cannot write DICOM file \"%1\": %2").arg(path, QString::fromLocal8Bit(c.text())));
    }
    renameOver(temp, path);
}

// --- DicomDirWriter ---------------------------------------------------------------------------

DicomDirWriter::DicomDirWriter(const QString &folder)
    : m_folder(QDir(folder).absolutePath()), m_dir(std::make_unique<DicomDirInterface>())
{
    const QString existing = QDir(m_folder).filePath(QStringLiteral("DICOMDIR"));
    m_temp = tempBeside(existing);
    m_dir->disableBackupMode();
    m_dir->enableInventMode(OFTrue);
    m_dir->enableInventPatientIDMode(OFTrue);
    OFCondition c;
    if (QFileInfo::exists(existing)) {
        // An earlier export's medium: its records stay, the new files join them. The
        // toolkit works on a copy, so the medium keeps its directory until the new one
        // is complete.
        m_extends = true;
        try {
            for (const DirImageRecord &r : readDicomDir(existing)) {
                if (!r.sopInstanceUid.isEmpty())
                    m_listed.insert(r.sopInstanceUid, r.fileId.join(QLatin1Char('\\')));
            }
        } catch (const AppError &e) {
            throw AppError(
                ErrorNo::Dicom,
                QStringLiteral("The DICOMDIR in \"%1\" cannot be extended: %2").arg(m_folder, e.description()));
        }
        if (!QFile::copy(existing, m_temp))
            throw AppError(
                ErrorNo::FileIo,
                QStringLiteral("The DICOMDIR in \"%1\" cannot be extended: it cannot be copied").arg(m_folder));
        c = m_dir->appendToDicomDir(DicomDirInterface::AP_GeneralPurpose, toFilename(m_temp));
        if (c.bad())
            throw AppError(ErrorNo::Dicom, QStringLiteral("The DICOMDIR in \"%1\" cannot be extended: %2")
                                               .arg(m_folder, QString::fromLocal8Bit(c.text())));
        return;
    }
    c = m_dir->createNewDicomDir(DicomDirInterface::AP_GeneralPurpose, toFilename(m_temp), "CALVAREX");
    if (c.bad())
        throw AppError(
            ErrorNo::Dicom,
            QStringLiteral("Cannot create a DICOMDIR in \"%1\": %2").arg(m_folder, QString::fromLocal8Bit(c.text())));
}

DicomDirWriter::~DicomDirWriter()
{
    m_dir.reset();
    // The toolkit's own temporary and backup names beside ours, after a failed write.
    for (const QString &suffix :
         {QString(), QStringLiteral(DICOMDIR_TEMP_SUFFIX), QStringLiteral(DICOMDIR_BACKUP_SUFFIX)})
        QFile::remove(m_temp + suffix);
}

QString DicomDirWriter::fileIdOf(const QString &sopInstanceUid) const { return m_listed.value(sopInstanceUid); }

void DicomDirWriter::add(const QString &fileId, const QString &sopInstanceUid)
{
    for (const QString &part : fileId.split(QLatin1Char('/'))) {
        if (!isValidFileIdComponent(part))
            throw AppError(ErrorNo::BadInput, QStringLiteral("\"%1\" cannot name a file in a DICOMDIR").arg(fileId));
    }
    const OFCondition c = m_dir->addDicomFile(toFilename(fileId), toFilename(m_folder));
    if (c.bad())
        throw AppError(
            ErrorNo::Dicom,
            QStringLiteral("Cannot add \"%1\" to the DICOMDIR: %2").arg(fileId, QString::fromLocal8Bit(c.text())));
    if (!sopInstanceUid.isEmpty())
        m_listed.insert(sopInstanceUid, QString(fileId).replace(QLatin1Char('/'), QLatin1Char('\\')));
    ++m_count;
}

void DicomDirWriter::write()
{
    const OFCondition c = m_dir->writeDicomDir(EET_ExplicitLength, EGL_withoutGL);
    if (c.bad()) {
        QFile::remove(m_temp);
        throw AppError(
            ErrorNo::Dicom,
            QStringLiteral("Cannot write the DICOMDIR in \"%1\": %2").arg(m_folder, QString::fromLocal8Bit(c.text())));
    }
    renameOver(m_temp, QDir(m_folder).filePath(QStringLiteral("DICOMDIR")));
}
} // namespace dicom

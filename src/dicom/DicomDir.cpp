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
#include <dcmtk/dcmdata/dcxfer.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <filesystem>

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

void collectImages(DcmDirectoryRecord &record, std::vector<DirImageRecord> &out, int depth)
{
    // Records nest four levels deep; a damaged directory must not take us round in circles.
    if (depth > 16)
        return;
    for (unsigned long i = 0; i < record.cardSub(); ++i) {
        DcmDirectoryRecord *sub = record.getSub(i);
        if (!sub)
            continue;
        if (sub->getRecordType() == ERT_Image) {
            DirImageRecord r;
            DcmElement *el = nullptr;
            if (sub->findAndGetElement(DCM_ReferencedFileID, el).good() && el) {
                for (unsigned long k = 0; k < el->getVM(); ++k) {
                    OFString part;
                    if (el->getOFString(part, k).good())
                        r.fileId << QString::fromLatin1(part.c_str()).trimmed();
                }
            }
            out.push_back(std::move(r));
        }
        collectImages(*sub, out, depth + 1);
    }
}

// The image records in the order the record sequence holds them, for a directory whose
// offsets no longer link its records (a tool changed it without updating them).
std::vector<DirImageRecord> flatImages(DcmDataset &ds)
{
    std::vector<DirImageRecord> out;
    DcmSequenceOfItems *seq = nullptr;
    if (ds.findAndGetSequence(DCM_DirectoryRecordSequence, seq).bad() || !seq)
        return out;
    for (unsigned long i = 0; i < seq->card(); ++i) {
        DcmItem *item = seq->getItem(i);
        OFString type;
        if (!item || item->findAndGetOFString(DCM_DirectoryRecordType, type).bad() || QString::fromLatin1(type.c_str()).trimmed() != QLatin1String("IMAGE"))
            continue;
        DirImageRecord r;
        DcmElement *el = nullptr;
        if (item->findAndGetElement(DCM_ReferencedFileID, el).good() && el) {
            for (unsigned long k = 0; k < el->getVM(); ++k) {
                OFString part;
                if (el->getOFString(part, k).good())
                    r.fileId << QString::fromLatin1(part.c_str()).trimmed();
            }
        }
        out.push_back(std::move(r));
    }
    return out;
}

void renameOver(const QString &from, const QString &to)
{
    std::error_code ec;
    std::filesystem::rename(std::filesystem::path(from.toStdU16String()), std::filesystem::path(to.toStdU16String()), ec);
    if (ec) {
        QFile::remove(from);
        throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot write \"%1\": %2").arg(to, QString::fromStdString(ec.message())));
    }
}

QString tempBeside(const QString &path)
{
    const QFileInfo fi(path);
    return fi.absoluteDir().filePath(
        QStringLiteral(".%1.%2.part").arg(fi.fileName()).arg(QRandomGenerator::global()->generate64(), 0, 16));
}
}  // namespace

std::vector<DirImageRecord> readDicomDir(const QString &path)
{
    std::unique_ptr<DcmFileFormat> ff = loadFileFormat(path);
    OFString sopClass;
    ff->getMetaInfo()->findAndGetOFString(DCM_MediaStorageSOPClassUID, sopClass);
    const bool isDir = trimmedUid(QString::fromLatin1(sopClass.c_str())) == MediaDirectoryStorage
                       || ff->getDataset()->tagExists(DCM_DirectoryRecordSequence, OFFalse);
    if (!isDir)
        throw dirError(path, QStringLiteral("the file is not a DICOMDIR"));
    std::vector<DirImageRecord> flat = flatImages(*ff->getDataset());
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
        collectImages(dir.getRootRecord(), out, 0);
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

void writeForMedia(const Image &image, const QString &path)
{
    ensureCodecs();
    auto &source = const_cast<DcmFileFormat &>(image.fileFormat());
    if (source.loadAllDataIntoMemory().bad())
        throw AppError(ErrorNo::Dicom, QStringLiteral("Cannot write DICOM file \"%1\": its source can no longer be read").arg(path));
    DcmFileFormat ff(source);
    DcmDataset *ds = ff.getDataset();
    if (ds->chooseRepresentation(EXS_LittleEndianExplicit, nullptr).bad() || !ds->canWriteXfer(EXS_LittleEndianExplicit))
        throw AppError(ErrorNo::Dicom, QStringLiteral("Cannot write DICOM file \"%1\": the pixel data cannot be decoded (%2)")
                                           .arg(path, QString::fromLatin1(DcmXfer(ds->getOriginalXfer()).getXferName())));
    if (!QFileInfo(path).absoluteDir().exists())
        throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot write DICOM file \"%1\": the folder does not exist").arg(path));
    const QString temp = tempBeside(path);
    const OFCondition c = ff.saveFile(toFilename(temp), EXS_LittleEndianExplicit, EET_ExplicitLength, EGL_recalcGL, EPD_noChange, 0, 0,
                                      EWM_updateMeta);
    if (c.bad()) {
        QFile::remove(temp);
        throw AppError(ErrorNo::Dicom, QStringLiteral("Cannot write DICOM file \"%1\": %2").arg(path, QString::fromLocal8Bit(c.text())));
    }
    renameOver(temp, path);
}

// --- DicomDirWriter ---------------------------------------------------------------------------

DicomDirWriter::DicomDirWriter(const QString &folder)
    : m_folder(QDir(folder).absolutePath()), m_dir(std::make_unique<DicomDirInterface>())
{
    m_temp = tempBeside(QDir(m_folder).filePath(QStringLiteral("DICOMDIR")));
    m_dir->disableBackupMode();
    m_dir->enableInventMode(OFTrue);
    m_dir->enableInventPatientIDMode(OFTrue);
    const OFCondition c = m_dir->createNewDicomDir(DicomDirInterface::AP_GeneralPurpose, toFilename(m_temp), "CALVAREX");
    if (c.bad())
        throw AppError(ErrorNo::Dicom, QStringLiteral("Cannot create a DICOMDIR in \"%1\": %2").arg(m_folder, QString::fromLocal8Bit(c.text())));
}

DicomDirWriter::~DicomDirWriter()
{
    m_dir.reset();
    QFile::remove(m_temp);
}

void DicomDirWriter::add(const QString &fileId)
{
    for (const QString &part : fileId.split(QLatin1Char('/'))) {
        if (!isValidFileIdComponent(part))
            throw AppError(ErrorNo::BadInput, QStringLiteral("\"%1\" cannot name a file in a DICOMDIR").arg(fileId));
    }
    const OFCondition c = m_dir->addDicomFile(toFilename(fileId), toFilename(m_folder));
    if (c.bad())
        throw AppError(ErrorNo::Dicom,
                       QStringLiteral("Cannot add \"%1\" to the DICOMDIR: %2").arg(fileId, QString::fromLocal8Bit(c.text())));
    ++m_count;
}

void DicomDirWriter::write()
{
    const OFCondition c = m_dir->writeDicomDir(EET_ExplicitLength, EGL_withoutGL);
    if (c.bad()) {
        QFile::remove(m_temp);
        throw AppError(ErrorNo::Dicom, QStringLiteral("Cannot write the DICOMDIR in \"%1\": %2").arg(m_folder, QString::fromLocal8Bit(c.text())));
    }
    renameOver(m_temp, QDir(m_folder).filePath(QStringLiteral("DICOMDIR")));
}
}

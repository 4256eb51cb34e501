#include "dicom/DcmSupport.h"

#include "core/AppError.h"
#include "dicom/Codecs.h"
#include "dicom/ElementScan.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcelem.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcspchrs.h>

#include <QFile>
#include <QFileInfo>

#include <new>

namespace dicom {

OFFilename toFilename(const QString &path)
{
#ifdef _WIN32
    return OFFilename(reinterpret_cast<const wchar_t *>(path.utf16()), OFTrue);
#else
    return OFFilename(QFile::encodeName(path).constData(), OFTrue);
#endif
}

namespace {

AppError readError(const QString &path, const QString &why)
{
    return AppError(ErrorNo::Dicom, QStringLiteral("Cannot read DICOM file \"%1\": %2").arg(path, why));
}

// Plain ASCII needs no conversion; ESC starts an ISO 2022 code extension.
bool isAscii(const char *s, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        if (static_cast<unsigned char>(s[i]) >= 0x80 || s[i] == 0x1B)
            return false;
    }
    return true;
}

QString characterSetOf(DcmItem &dataset)
{
    OFString cs;
    if (dataset.findAndGetOFStringArray(DCM_SpecificCharacterSet, cs, OFFalse).bad())
        return {};
    return QString::fromLatin1(cs.c_str()).trimmed();
}

bool isUtf8Set(const QString &cs) { return cs == QLatin1String("ISO_IR 192"); }

bool isLatin1Set(const QString &cs) { return cs == QLatin1String("ISO_IR 100"); }
} // namespace

std::unique_ptr<DcmFileFormat> loadFileFormat(const QString &path)
{
    ensureCodecs();
    const QFileInfo fi(path);
    if (path.isEmpty())
        throw AppError(ErrorNo::Dicom, QStringLiteral("Cannot read DICOM file: no file name given"));
    if (!fi.exists())
        throw readError(path, QStringLiteral("the file does not exist"));
    if (fi.isDir())
        throw readError(path, QStringLiteral("it is a folder"));
    if (fi.size() == 0)
        throw readError(path, QStringLiteral("the file is empty"));

    // A file from outside (an import, a medium) may be built to crash the parser: the
    // walk the data manager makes refuses it first where it passes the parser's limits.
    const QString scan = scanParserLimits(path);
    if (!scan.isEmpty())
        throw readError(path, QStringLiteral("the file is damaged (%1)").arg(scan));

    auto ff = std::make_unique<DcmFileFormat>();
    OFCondition c;
    try {
        c = ff->loadFile(toFilename(path), EXS_Unknown, EGL_noChange, DCM_MaxReadLength, ERM_autoDetect);
    } catch (const std::bad_alloc &) {
        throw readError(path, QStringLiteral("the file is damaged (an element claims more memory than there is)"));
    } catch (const std::exception &e) {
        // The toolkit throws on some damaged values (a directory record type of the wrong length).
        throw readError(path, QStringLiteral("the file is damaged (%1)").arg(QString::fromLatin1(e.what())));
    }
    if (c.bad()) {
        if (c == EC_StreamNotifyClient || c == EC_InvalidStream)
            throw readError(
                path, QStringLiteral("the file is damaged or incomplete (%1)").arg(QString::fromLocal8Bit(c.text())));
        if (c == EC_FileMetaInfoHeaderMissing)
            throw readError(path, QStringLiteral("it is not a DICOM file"));
        throw readError(path, QString::fromLocal8Bit(c.text()));
    }
    // Without meta information the toolkit takes anything that parses as elements; a
    // DICOM object always identifies itself, random bytes do not.
    DcmDataset *ds = ff->getDataset();
    const bool hasMeta = ff->getMetaInfo() && ff->getMetaInfo()->card() > 0;
    if (ds->card() == 0 && !hasMeta)
        throw readError(path, QStringLiteral("it is not a DICOM file (no DICOM elements found)"));
    if (!hasMeta) {
        bool identified = false;
        for (const DcmTagKey &k :
             {DCM_SOPClassUID, DCM_SOPInstanceUID, DCM_StudyInstanceUID, DCM_SeriesInstanceUID, DCM_Modality,
              DCM_PatientID, DCM_PatientName, DCM_SpecificCharacterSet, DCM_ImageType}) {
            if (ds->tagExists(k, OFFalse))
                identified = true;
        }
        if (!identified)
            throw readError(path, QStringLiteral("it is not a DICOM file (no identifying elements found)"));
    }
    return ff;
}

QString decodeText(const OFString &raw, const DcmElement *el, DcmItem &dataset)
{
    if (isAscii(raw.c_str(), raw.length()) || !el || !const_cast<DcmElement *>(el)->isAffectedBySpecificCharacterSet())
        return QString::fromLatin1(raw.c_str(), static_cast<qsizetype>(raw.length()));
    const QString cs = characterSetOf(dataset);
    if (isUtf8Set(cs))
        return QString::fromUtf8(raw.c_str(), static_cast<qsizetype>(raw.length()));
    if (cs.isEmpty() || isLatin1Set(cs))
        return QString::fromLatin1(raw.c_str(), static_cast<qsizetype>(raw.length()));
    DcmSpecificCharacterSet conv;
    OFString utf8;
    const OFString delimiters = el->ident() == EVR_PN ? OFString("\\^=") : OFString("\\");
    if (conv.selectCharacterSet(OFString(cs.toLatin1().constData()), "ISO_IR 192").good()
        && conv.convertString(raw, utf8, delimiters).good())
        return QString::fromUtf8(utf8.c_str(), static_cast<qsizetype>(utf8.length()));
    return QString::fromLatin1(raw.c_str(), static_cast<qsizetype>(raw.length()));
}

QByteArray encodeText(const QString &text, const DcmElement *el, DcmItem &dataset)
{
    bool ascii = true;
    bool latin1 = true;
    for (QChar ch : text) {
        if (ch.unicode() >= 0x80)
            ascii = false;
        if (ch.unicode() > 0xFF)
            latin1 = false;
    }
    if (ascii || !el || !const_cast<DcmElement *>(el)->isAffectedBySpecificCharacterSet())
        return text.toLatin1();
    const QString cs = characterSetOf(dataset);
    if (isUtf8Set(cs))
        return text.toUtf8();
    if (latin1 && isLatin1Set(cs))
        return text.toLatin1();
    if (latin1 && cs.isEmpty()) {
        // Plain-ASCII objects take Latin-1 text by declaring it.
        dataset.putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 100");
        return text.toLatin1();
    }
    // The object's character set cannot hold the text: convert the object to UTF-8.
    if (dataset.convertToUTF8().bad())
        throw AppError(ErrorNo::Dicom,
                       QStringLiteral("Cannot store \"%1\": the object's character set (%2) cannot hold it")
                           .arg(text.left(80), cs));
    return text.toUtf8();
}
} // namespace dicom

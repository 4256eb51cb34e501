#pragma once
// Helpers shared by the files of the DICOM layer; they speak the toolkit's types, so
// nothing outside src/dicom includes this header.
#include <QByteArray>
#include <QString>
#include <memory>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/ofstd/offname.h>

class DcmElement;
class DcmItem;

namespace dicom {

OFFilename toFilename(const QString &path);

// Reads a DICOM file (with or without meta information, any transfer syntax the toolkit
// reads). Large values stay in the file until they are used. Throws AppError naming the
// file when it is missing, is not DICOM, or is damaged.
std::unique_ptr<DcmFileFormat> loadFileFormat(const QString &path);

// Element text in the data set's character set, as Unicode.
QString decodeText(const OFString &raw, const DcmElement *el, DcmItem &dataset);
// Unicode text as the element's bytes in the data set's character set. Where the data set
// cannot hold the text in its character set, the data set is switched to UTF-8 first.
QByteArray encodeText(const QString &text, const DcmElement *el, DcmItem &dataset);
} // namespace dicom

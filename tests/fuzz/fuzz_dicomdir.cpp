// A DICOMDIR from a medium the operator imports: its image records, read the way the
// import reads them. A damaged directory is refused or read in part, never a crash, and
// the medium is never written, also when the toolkit repairs what it read.
#include "FuzzSupport.h"
#include "core/AppError.h"
#include "dicom/DicomDir.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::quietToolkit();
    const QString file = fuzz::asFile(data, size, "DICOMDIR");
    try {
        dicom::readDicomDir(file);
    } catch (const AppError &) {
        // refused with a message: the import names the medium and goes on
    }
    QFile after(file);
    fuzz::check(after.open(QIODevice::ReadOnly), "the DICOMDIR is gone after reading");
    fuzz::check(after.readAll() == QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size)),
                "the DICOMDIR was written while reading it");
    return 0;
}

// A received file on its way into the store: the cheap walk over its element stream, and
// only when the walk lets it pass, the facts the data manager files it by (the receiver
// makes the same two steps before it answers the sender). The walk over the file and over
// the same bytes in memory must agree.
#include "FuzzSupport.h"
#include "core/AppError.h"
#include "dicom/ElementScan.h"
#include "dicom/FileFacts.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::quietToolkit();
    const QString file = fuzz::asFile(data, size, "received.dcm");
    const QString scan = dicom::scanElementStream(file);
    const QString inMemory = dicom::scanElementBytes(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    fuzz::check(scan.isEmpty() == inMemory.isEmpty(), "the walk over the file and over its bytes disagree",
                scan + QStringLiteral(" / ") + inMemory);
    if (!scan.isEmpty())
        return 0; // refused before the parser sees it
    try {
        const FileFacts f = dicom::readFileFacts(file);
        for (const QString *uid : {&f.studyUid, &f.seriesUid, &f.sopUid})
            fuzz::check(!uid->endsWith(QChar(0)), "a UID keeps its NUL pad", *uid);
    } catch (const AppError &) {
        // not DICOM after all: quarantined, as it must be
    }
    return 0;
}

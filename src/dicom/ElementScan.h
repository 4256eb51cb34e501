#pragma once
#include <QByteArray>
#include <QString>

// A cheap walk over the element stream of a DICOM file, before the toolkit parses it.
// The toolkit's parser recurses once per nested sequence and trusts every length; a file
// nested thousands deep overflows its stack, and a huge file of garbage costs minutes of
// CPU. The walk reads only the element headers (values are skipped by seeking), keeps its
// own stack, and refuses what no real image holds: nesting deeper than the limit, a length
// that runs past its container or the file, an item outside a sequence, a file without a
// preamble whose first element is implausible. A deflated data set is inflated and walked.
namespace dicom {

struct ScanLimits {
    int maxDepth = 64;                      // sequences within sequences
    qint64 maxElements = 4000000;           // headers read in all; bounds the cost of a file
    qint64 maxInflated = qint64(256) << 20; // a deflated data set, inflated for the walk
};

// Empty when the file may be handed to the parser, else why it is refused.
QString scanElementStream(const QString &path, const ScanLimits &limits = {});
// Only what would crash or stall the parser: nesting, element count, inflated size past
// the limits (empty otherwise). For files from media and imports, which the toolkit reads
// even where a length is doubtful (a DICOMDIR whose sequence lengths were not updated).
QString scanParserLimits(const QString &path, const ScanLimits &limits = {});
// The same for bytes in memory (the fuzz driver, and tests).
QString scanElementBytes(const QByteArray &bytes, const ScanLimits &limits = {});

} // namespace dicom

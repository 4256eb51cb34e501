#pragma once
#include <QByteArray>
#include <QString>

namespace dicom {

// JPEG 2000 for the toolkit, by OpenJPEG: a decoder for the lossless and the lossy
// transfer syntax, registered with the toolkit's other decoders (ensureCodecs), so that
// reading, rendering and converting such objects works like any other compression.
void registerJ2kDecoder();

// The lossless JPEG 2000 code stream of one grey frame (8 or 16 bits allocated,
// native byte order). Throws AppError.
QByteArray encodeJ2kLossless(const void *pixels, int width, int height, int bitsAllocated, int bitsStored,
                             bool isSigned);

// Writes a copy of an uncompressed single-frame grey image file with its pixel data as
// lossless JPEG 2000, everything else unchanged; codeStream, when given, receives the
// code stream as written. Throws AppError.
void writeJ2kLosslessCopy(const QString &source, const QString &target, QByteArray *codeStream = nullptr);
} // namespace dicom

#pragma once
#include <QString>

namespace dicom {

class Image;

// Writes the first frame of an image as a JPEG file at full size: monochrome images as
// 8-bit grey shown with their own window (the stored window, else the stored VOI LUT,
// else one computed from the pixels), MONOCHROME1 the right way round, colour in colour.
// quality is 1 to 100. Written under a temporary name and renamed over the target.
// Throws AppError.
void writeJpeg(const Image &image, const QString &path, int quality);
}

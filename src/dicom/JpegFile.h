#pragma once
#include <QString>
#include <QStringList>

namespace dicom {

class Image;

// Writes the first frame of an image as a JPEG file at full size: monochrome images as
// 8-bit grey shown with their own window (the stored window, else the stored VOI LUT,
// else one computed from the pixels), MONOCHROME1 the right way round, colour in colour.
// quality is 1 to 100. Written under a temporary name and renamed over the target.
// Throws AppError.
void writeJpeg(const Image &image, const QString &path, int quality);

// The frames an image holds: Number of Frames, 1 when it is absent or not above 0.
int frameCount(const Image &image);

// Writes every frame of an image, each as writeJpeg writes one: a single frame as path,
// several as numbered files beside it ("name.jpg" gives "name_001.jpg", "name_002.jpg",
// ..., three digits or as many as the last number needs). All or nothing: when a frame
// cannot be written, the frames written before it are removed and AppError names the
// frame and the reason. Returns the files written, in frame order.
QStringList writeJpegFrames(const Image &image, const QString &path, int quality);
} // namespace dicom

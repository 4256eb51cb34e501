#pragma once
#include <QImage>
#include <QSize>
#include <QString>
#include <optional>
#include <utility>

namespace dicom {

class Image;

struct ViewImage {
    QImage image; // rendered, scaled to fit maxSize, aspect kept
    QString sopInstanceUid;
    QString sopClassUid;
    int instanceNumber = 0; // (0020,0013), 0 when absent
    QSize fullSize;         // columns x rows of the stored image
    // The window the image is shown with (the stored one, else the computed one), in the
    // units of the rescaled pixel values; width 0 for colour images and VOI LUTs.
    double windowCentre = 0;
    double windowWidth = 0;
    // What the hanging of mammograms goes by: Modality, Body Part Examined, Image
    // Laterality (else Laterality) and View Position (else the view code), trimmed.
    QString modality;
    QString bodyPart;
    QString laterality;   // "R", "L", "B" or empty
    QString view;         // "CC", "MLO", "ML", ... or empty
    QString rowDirection; // first value of Patient Orientation: where the rows run to

    // Only from renderWindowSource: the modality values from windowLow to windowHigh
    // spread linearly over 0..65535 (inverted for MONOCHROME1), for changing the window
    // without reading the file again.
    QImage grey16;
    double valueLow = 0;
    double valueHigh = 0;
    bool inverted = false;
};

// Reads the file, renders the first frame with the first window stored in the file
// (else a window computed from the pixel values), MONOCHROME1 shown the right way round,
// colour in colour, scaled to fit maxSize, and frees the pixel data. Throws AppError.
// Safe to call from several threads at once.
ViewImage renderForViewer(const QString &path, const QSize &maxSize);

// Like renderForViewer, and also fills grey16 for a monochrome image (left null for
// colour), so that windowed() can show it with any window.
ViewImage renderWindowSource(const QString &path, const QSize &maxSize);

// The picture of a window source shown with the given window (centre and width in
// modality values); the source's own picture when it has no grey16.
QImage windowed(const ViewImage &source, double centre, double width);

// Renders the first frame of an object in memory the same way; an empty maxSize renders
// at full size (export). Leaves the object's values unchanged. Throws AppError.
QImage renderImage(const Image &image, const QSize &maxSize = QSize());

// The window (centre, width) the station would show the image with, from its pixel
// values when it stores none; nullopt when its pixels cannot be read.
std::optional<std::pair<double, double>> pixelWindow(const Image &image);
} // namespace dicom

#pragma once
#include "dicom/Render.h"

#include <QString>
#include <utility>

// One image in the viewer: the picture rendered at about the size of a cell (never the
// full-resolution pixels) with what identifies it, the file it came from, and the
// user's rotation and mirroring.
struct ViewerImage : dicom::ViewImage {
    ViewerImage() = default;
    ViewerImage(dicom::ViewImage rendered, QString file) : dicom::ViewImage(std::move(rendered)), path(std::move(file))
    {
    }

    QString path;
    int rotation = 0; // clockwise, 0/90/180/270
    bool mirrorH = false;
    bool mirrorV = false;
    // A line under the picture: in an open examination, the dose of the image's exposure.
    QString caption;
    bool loaded() const { return !image.isNull(); } // null while it is still being rendered
};

#pragma once
#include <QString>
#include <functional>

namespace dicom {
class Image;
}

// Turns an image into a Digital Mammography X-Ray Image for Presentation: the SOP class,
// modality and fixed presentation elements, the breast as anatomic region, the view
// recognised from View Position with its code, laterality and patient orientation, and
// no shutter or patient position left over. What the mammogram requires and the image
// lacks is added (image type, lossy compression, imager pixel spacing from the pixel
// spacing, a window from the pixel values); a view or side it cannot tell is asked, and
// without an answer nothing is made. An image of another SOP class becomes a new object:
// a new SOP Instance UID, with the source in the Source Image Sequence. Changes the image
// in memory only; the pixel data and the transfer syntax stay as they are.
class ModifyImage {
public:
    static inline const QString Procedure = QStringLiteral("ModifyImage");
    static inline const QString MammoSopClass = QStringLiteral("1.2.840.10008.5.1.4.1.1.1.2");

    // For the "ML" view, which names no side: asks the operator ("L", "R", or empty when
    // the question was closed without an answer).
    using SideAsker = std::function<QString(const dicom::Image &)>;
    // For a view that is not known (or a CC or MLO whose side is not): asks for the view
    // with its side ("R CC", "L MLO", "R ML", ...); empty when not answered.
    using ViewAsker = std::function<QString(const dicom::Image &)>;

    // What the view text stands for; all empty when it is not recognised.
    struct View {
        QString orientation;
        QString codeValue;
        QString codeMeaning;
        QString laterality;
        QString viewPosition; // the new View Position for a view without side; else empty
        bool rewritesViewPosition = false;
        bool asksSide = false; // "ML"
    };

    explicit ModifyImage(SideAsker askSide = {}, ViewAsker askView = {});

    // Modifies the image in place. Throws AppError (BadInput) for an image that cannot be
    // a mammogram (colour, signed or multi-frame pixels) or whose view or side stayed
    // unknown, before anything is changed; on a toolkit failure what was written until
    // then stays written.
    void apply(dicom::Image &image);

    // The side of the last image ("L", "R" or empty); emptied at the start of each call.
    const QString &viewSide() const { return m_viewSide; }

    // The recognition alone, for a view text (upper-cased, untrimmed) and the image's
    // Laterality; "ML" gets its side from side.
    static View recognise(const QString &viewText, const QString &laterality, const QString &side);

private:
    SideAsker m_askSide;
    ViewAsker m_askView;
    QString m_viewSide;
};

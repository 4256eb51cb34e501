#include "dicom/Render.h"

#include "core/AppError.h"
#include "dicom/DcmSupport.h"
#include "dicom/Image.h"

#include <dcmtk/dcmdata/dccodec.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmimage/diregist.h> // colour images
#include <dcmtk/dcmimgle/dcmimage.h>

#include <QHash>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace dicom {

namespace {

constexpr quint64 MaxPixelsPerFrame = quint64(200) * 1000 * 1000;

AppError renderError(const QString &what, const QString &why)
{
    return AppError(ErrorNo::Dicom, QStringLiteral("Cannot display %1: %2").arg(what, why));
}

QSize fitInto(const QSize &full, const QSize &maxSize)
{
    if (!maxSize.isValid() || maxSize.isEmpty())
        return full;
    const double scale = std::min(double(maxSize.width()) / full.width(), double(maxSize.height()) / full.height());
    const int w = std::max(1, int(std::lround(full.width() * scale)));
    const int h = std::max(1, int(std::lround(full.height() * scale)));
    return QSize(std::min(w, maxSize.width()), std::min(h, maxSize.height()));
}

// Chooses the display window of a monochrome image: the first stored window, else the
// first stored VOI LUT, else one computed from the pixel values (the 1 % tails of the
// histogram left out, so a few hot pixels or the collimator edge do not flatten it).
void applyWindow(DicomImage &img)
{
    if (!img.isMonochrome())
        return;
    if (img.getWindowCount() > 0 && img.setWindow(0))
        return;
    if (img.getVoiLutCount() > 0 && img.setVoiLut(0))
        return;
    // The histogram has one bin per value: for data spread over a huge range (32-bit dose
    // grids) it would take ages, and the extremes-free min/max window does as well there.
    double lowest = 0, highest = 0;
    if (img.getMinMaxValues(lowest, highest) && highest - lowest <= 65536 && img.setHistogramWindow(0.01))
        return;
    img.setMinMaxWindow(1);
}

QImage toQImage(DicomImage &img, const QString &what)
{
    const int w = int(img.getWidth());
    const int h = int(img.getHeight());
    const bool mono = img.isMonochrome();
    const void *data = img.getOutputData(8, 0, 0);
    if (!data)
        throw renderError(what, QStringLiteral("the pixel data cannot be rendered (%1)")
                                    .arg(QString::fromLatin1(DicomImage::getString(img.getStatus()))));
    QImage out(w, h, mono ? QImage::Format_Grayscale8 : QImage::Format_RGB888);
    if (out.isNull())
        throw renderError(what, QStringLiteral("not enough memory"));
    const int rowBytes = mono ? w : 3 * w;
    const auto *src = static_cast<const uchar *>(data);
    for (int y = 0; y < h; ++y)
        std::memcpy(out.scanLine(y), src + qsizetype(y) * rowBytes, size_t(rowBytes));
    img.deleteOutputData();
    return out;
}

// The toolkit's RLE decoder trusts the segment table at the start of each frame and
// reads far outside the data when it is damaged; the table is checked here first.
void checkRleFrame(DcmItem &ds, const QString &what)
{
    DcmElement *el = nullptr;
    if (ds.findAndGetElement(DCM_PixelData, el, OFFalse).bad() || !el || el->ident() != EVR_PixelData)
        return;
    DcmPixelSequence *seq = nullptr;
    if (static_cast<DcmPixelData *>(el)->getEncapsulatedRepresentation(EXS_RLELossless, nullptr, seq).bad() || !seq)
        return; // no encapsulated data: the toolkit reports that itself
    DcmPixelItem *item = nullptr;
    Uint8 *data = nullptr;
    if (seq->card() < 2 || seq->getItem(item, 1).bad() || !item || item->getUint8Array(data).bad() || !data)
        throw renderError(what, QStringLiteral("the compressed pixel data is incomplete"));
    const Uint32 length = item->getLength();
    auto word = [data](int i) {
        return Uint32(data[4 * i]) | (Uint32(data[4 * i + 1]) << 8) | (Uint32(data[4 * i + 2]) << 16)
               | (Uint32(data[4 * i + 3]) << 24);
    };
    const Uint32 segments = length >= 64 ? word(0) : 0;
    bool ok = segments >= 1 && segments <= 15 && word(1) == 64;
    for (Uint32 i = 1; ok && i <= segments; ++i)
        ok = word(int(i)) < length && (i == 1 || word(int(i)) > word(int(i) - 1));
    if (!ok)
        throw renderError(what, QStringLiteral("the compressed pixel data is damaged"));
}

// Renders the first frame of a data set; reads only that frame's pixel data.
QImage renderDataset(DcmItem *object, E_TransferSyntax xfer, const QSize &maxSize, const QString &what, QSize *fullSize,
                     std::pair<double, double> *window = nullptr, ViewImage *source = nullptr)
{
    // A damaged size would have the toolkit allocate gigabytes for a frame; the largest
    // real images (tomosynthesis, full-field mammograms) stay far below this.
    Uint16 rows = 0, columns = 0, samples = 1;
    object->findAndGetUint16(DCM_Rows, rows);
    object->findAndGetUint16(DCM_Columns, columns);
    object->findAndGetUint16(DCM_SamplesPerPixel, samples);
    if (quint64(rows) * columns * std::max<Uint16>(samples, 1) > MaxPixelsPerFrame)
        throw renderError(what, QStringLiteral("the image is too large to display (%1 x %2)").arg(columns).arg(rows));
    if (xfer == EXS_RLELossless)
        checkRleFrame(*object, what);
    const DcmXfer x(xfer);
    if (x.isEncapsulated() && !DcmCodecList::canChangeCoding(xfer, EXS_LittleEndianExplicit))
        throw renderError(
            what,
            QStringLiteral("its compression (%1) cannot be decoded here").arg(QString::fromLatin1(x.getXferName())));
    DicomImage full(object, xfer, CIF_UsePartialAccessToPixelData, 0, 1);
    if (full.getStatus() != EIS_Normal)
        throw renderError(what, QString::fromLatin1(DicomImage::getString(full.getStatus())));
    const QSize fullDims(int(full.getWidth()), int(full.getHeight()));
    if (fullDims.isEmpty())
        throw renderError(what, QStringLiteral("the image has no pixels"));
    if (fullSize)
        *fullSize = fullDims;

    const QSize target = fitInto(fullDims, maxSize);
    std::unique_ptr<DicomImage> scaled;
    DicomImage *shown = &full;
    bool upscale = false;
    if (target.width() < fullDims.width() && target.height() <= fullDims.height()) {
        // Area-averaging reduction inside the toolkit, before windowing: the window is
        // then computed over far fewer pixels.
        scaled.reset(full.createScaledImage(ulong(target.width()), ulong(target.height()), 1, 0));
        if (!scaled || scaled->getStatus() != EIS_Normal)
            throw renderError(what, QStringLiteral("the image cannot be scaled"));
        shown = scaled.get();
    } else if (target != fullDims) {
        upscale = true;
    }
    applyWindow(*shown);
    if (window && shown->isMonochrome()) {
        double centre = 0, width = 0;
        if (shown->getWindow(centre, width))
            *window = {centre, width};
    }
    QImage out = toQImage(*shown, what);
    if (upscale)
        out = out.scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    if (source && shown->isMonochrome()) {
        // The whole range of values, linear: any window is then a table look-up.
        double lo = 0, hi = 0;
        if (shown->getMinMaxValues(lo, hi) && hi > lo && shown->setMinMaxWindow(0)) {
            const void *data = shown->getOutputData(16, 0, 0);
            if (data) {
                const int w = int(shown->getWidth());
                const int h = int(shown->getHeight());
                QImage g(w, h, QImage::Format_Grayscale16);
                const auto *src = static_cast<const uchar *>(data);
                for (int y = 0; y < h; ++y)
                    std::memcpy(g.scanLine(y), src + qsizetype(y) * w * 2, size_t(w) * 2);
                shown->deleteOutputData();
                source->grey16 = upscale ? g.scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation) : g;
                source->valueLow = lo;
                source->valueHigh = hi;
                source->inverted = shown->getPhotometricInterpretation() == EPI_Monochrome1;
            }
        }
    }
    return out;
}

QString textOf(DcmItem *ds, const DcmTagKey &tag)
{
    OFString s;
    if (ds->findAndGetOFString(tag, s).good())
        return QString::fromLatin1(s.c_str()).trimmed();
    return {};
}

// The view of a mammogram from View Position, else from the first view code.
QString viewOf(DcmItem *ds)
{
    QString v = textOf(ds, DCM_ViewPosition).toUpper();
    if (!v.isEmpty())
        return v;
    DcmItem *code = nullptr;
    if (ds->findAndGetSequenceItem(DCM_ViewCodeSequence, code, 0).bad() || !code)
        return {};
    static const QHash<QString, QString> byCode = {
        {QStringLiteral("R-10242"), QStringLiteral("CC")},   {QStringLiteral("R-10226"), QStringLiteral("MLO")},
        {QStringLiteral("R-10224"), QStringLiteral("ML")},   {QStringLiteral("R-10228"), QStringLiteral("LM")},
        {QStringLiteral("R-1024A"), QStringLiteral("XCCL")}, {QStringLiteral("R-1024B"), QStringLiteral("XCCM")},
        {QStringLiteral("R-10230"), QStringLiteral("LMO")},  {QStringLiteral("R-10244"), QStringLiteral("FB")},
        {QStringLiteral("R-40AAA"), QStringLiteral("SIO")},
    };
    return byCode.value(textOf(code, DCM_CodeValue));
}

ViewImage renderFile(const QString &path, const QSize &maxSize, bool withSource)
{
    try {
        std::unique_ptr<DcmFileFormat> ff = loadFileFormat(path);
        DcmDataset *ds = ff->getDataset();
        ViewImage v;
        OFString s;
        if (ds->findAndGetOFString(DCM_SOPInstanceUID, s).good()
            || ff->getMetaInfo()->findAndGetOFString(DCM_MediaStorageSOPInstanceUID, s).good())
            v.sopInstanceUid = QString::fromLatin1(s.c_str()).trimmed();
        if (ds->findAndGetOFString(DCM_SOPClassUID, s).good()
            || ff->getMetaInfo()->findAndGetOFString(DCM_MediaStorageSOPClassUID, s).good())
            v.sopClassUid = QString::fromLatin1(s.c_str()).trimmed();
        Sint32 number = 0;
        if (ds->findAndGetSint32(DCM_InstanceNumber, number).good())
            v.instanceNumber = int(number);
        v.modality = textOf(ds, DCM_Modality).toUpper();
        v.bodyPart = textOf(ds, DCM_BodyPartExamined).toUpper();
        v.laterality = textOf(ds, DCM_ImageLaterality).toUpper();
        if (v.laterality.isEmpty())
            v.laterality = textOf(ds, DCM_Laterality).toUpper();
        v.view = viewOf(ds);
        v.rowDirection = textOf(ds, DCM_PatientOrientation).section(QLatin1Char('\\'), 0, 0).toUpper();
        if (!ds->tagExists(DCM_PixelData))
            throw renderError(QStringLiteral("\"%1\"").arg(path), QStringLiteral("the file holds no image"));
        std::pair<double, double> window{0, 0};
        v.image = renderDataset(ds, ds->getOriginalXfer(), maxSize, QStringLiteral("\"%1\"").arg(path), &v.fullSize,
                                &window, withSource ? &v : nullptr);
        v.windowCentre = window.first;
        v.windowWidth = window.second;
        return v; // the file's data and every intermediate image are freed here
    } catch (const std::bad_alloc &) {
        throw renderError(QStringLiteral("\"%1\"").arg(path), QStringLiteral("not enough memory"));
    }
}
} // namespace

ViewImage renderForViewer(const QString &path, const QSize &maxSize) { return renderFile(path, maxSize, false); }

ViewImage renderWindowSource(const QString &path, const QSize &maxSize) { return renderFile(path, maxSize, true); }

QImage windowed(const ViewImage &source, double centre, double width)
{
    const QImage &g = source.grey16;
    if (g.isNull() || source.valueHigh <= source.valueLow)
        return source.image;
    // The linear window of the standard: below c - 0.5 - (w-1)/2 black, above the top white.
    width = std::max(1.0, width);
    std::vector<uchar> lut(65536);
    const double span = source.valueHigh - source.valueLow;
    for (int x = 0; x < 65536; ++x) {
        const double f = x / 65535.0;
        const double v = source.inverted ? source.valueHigh - f * span : source.valueLow + f * span;
        double y = ((v - (centre - 0.5)) / (width - 1.0 > 0 ? width - 1.0 : 1.0) + 0.5) * 255.0;
        y = std::clamp(y, 0.0, 255.0);
        lut[size_t(x)] = uchar(std::lround(source.inverted ? 255.0 - y : y));
    }
    QImage out(g.size(), QImage::Format_Grayscale8);
    for (int y = 0; y < g.height(); ++y) {
        const auto *src = reinterpret_cast<const quint16 *>(g.constScanLine(y));
        uchar *dst = out.scanLine(y);
        for (int x = 0; x < g.width(); ++x)
            dst[x] = lut[src[x]];
    }
    return out;
}

QImage renderImage(const Image &image, const QSize &maxSize)
{
    const QString what = image.sourcePath().isEmpty() ? QStringLiteral("image %1").arg(image.sopInstanceUid())
                                                      : QStringLiteral("\"%1\"").arg(image.sourcePath());
    try {
        auto &ff = const_cast<DcmFileFormat &>(image.fileFormat());
        DcmDataset *ds = ff.getDataset();
        if (!ds->tagExists(DCM_PixelData))
            throw renderError(what, QStringLiteral("it holds no image"));
        return renderDataset(ds, ds->getOriginalXfer(), maxSize, what, nullptr);
    } catch (const std::bad_alloc &) {
        throw renderError(what, QStringLiteral("not enough memory"));
    }
}

std::optional<std::pair<double, double>> pixelWindow(const Image &image)
{
    try {
        auto &ff = const_cast<DcmFileFormat &>(image.fileFormat());
        DcmDataset *ds = ff.getDataset();
        if (!ds->tagExists(DCM_PixelData))
            return std::nullopt;
        std::pair<double, double> window{0, 0};
        renderDataset(ds, ds->getOriginalXfer(), QSize(512, 512), image.sopInstanceUid(), nullptr, &window);
        if (window.second > 0)
            return window;
    } catch (const std::exception &) {
    }
    return std::nullopt;
}
} // namespace dicom

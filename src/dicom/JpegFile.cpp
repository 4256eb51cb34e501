#include "dicom/JpegFile.h"

#include "core/AppError.h"
#include "dicom/Codecs.h"
#include "dicom/Image.h"
#include "dicom/Render.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QSaveFile>

#include <memory>

namespace dicom {

namespace {

void writePicture(const QImage &picture, const QString &path, int quality)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw AppError(ErrorNo::FileIo,
                       QStringLiteral("Cannot write JPEG file \"%1\": %2").arg(path, file.errorString()));
    QImageWriter writer(&file, "jpeg");
    writer.setQuality(qBound(1, quality, 100));
    if (!writer.write(picture)) {
        file.cancelWriting();
        throw AppError(ErrorNo::FileIo,
                       QStringLiteral("Cannot write JPEG file \"%1\": %2").arg(path, writer.errorString()));
    }
    if (!file.commit())
        throw AppError(ErrorNo::FileIo,
                       QStringLiteral("Cannot write JPEG file \"%1\": %2").arg(path, file.errorString()));
}

QString what(const Image &image)
{
    return image.sourcePath().isEmpty() ? QStringLiteral("image %1").arg(image.sopInstanceUid())
                                        : QStringLiteral("\"%1\"").arg(image.sourcePath());
}

AppError frameError(const Image &image, const QString &why)
{
    return AppError(ErrorNo::Dicom,
                    QStringLiteral("Cannot write the frames of %1 as JPEG files: %2").arg(what(image), why));
}

// Each frame in turn as a single-frame object the renderer takes: the pixel data decoded
// once, then one frame's values at a time in a copy of the data set.
class FrameSplitter {
public:
    FrameSplitter(const Image &image, int frames) : m_frames(frames)
    {
        ensureCodecs();
        auto &source = const_cast<DcmFileFormat &>(image.fileFormat());
        if (source.loadAllDataIntoMemory().bad())
            throw frameError(image, QStringLiteral("its file can no longer be read"));
        auto work = std::make_unique<DcmFileFormat>(source);
        DcmDataset *ds = work->getDataset();
        if (ds->chooseRepresentation(EXS_LittleEndianExplicit, nullptr).bad()
            || !ds->canWriteXfer(EXS_LittleEndianExplicit))
            throw frameError(image, QStringLiteral("the pixel data cannot be decoded (%1)")
                                        .arg(QString::fromLatin1(DcmXfer(ds->getOriginalXfer()).getXferName())));
        Uint16 rows = 0, columns = 0, samples = 1, bits = 0;
        ds->findAndGetUint16(DCM_Rows, rows);
        ds->findAndGetUint16(DCM_Columns, columns);
        ds->findAndGetUint16(DCM_SamplesPerPixel, samples);
        ds->findAndGetUint16(DCM_BitsAllocated, bits);
        const quint64 frameBits = quint64(rows) * columns * qMax<Uint16>(samples, 1) * bits;
        if (frameBits == 0 || frameBits % 8 != 0)
            throw frameError(image,
                             QStringLiteral("its frames (%1 x %2, %3 bits allocated) do not start on byte boundaries")
                                 .arg(columns)
                                 .arg(rows)
                                 .arg(bits));
        m_frameBytes = frameBits / 8;
        DcmElement *pixels = nullptr;
        if (ds->findAndGetElement(DCM_PixelData, pixels).bad() || !pixels)
            throw frameError(image, QStringLiteral("it holds no pixel data"));
        m_pixels.reset(ds->remove(pixels));
        const quint64 length = m_pixels->getLength();
        if (length < m_frameBytes * quint64(frames))
            throw frameError(
                image,
                QStringLiteral("its pixel data holds %1 of its %2 frames").arg(length / m_frameBytes).arg(frames));
        // Values wider than a byte are cut as words; bytes as bytes, also when they were
        // stored as OW (in memory in the host's order, little endian here as in the file).
        m_wide = bits > 8;
        bool read = false;
        if (m_pixels->getVR() == EVR_OW) {
            read = m_pixels->getUint16Array(m_words).good() && m_words;
            m_bytes = reinterpret_cast<Uint8 *>(m_words);
        } else {
            read = !m_wide && m_pixels->getUint8Array(m_bytes).good() && m_bytes;
        }
        if (!read)
            throw frameError(image, QStringLiteral("its pixel data cannot be read"));
        m_frame = Image::fromFileFormat(std::move(work), image.sourcePath());
    }

    // The object holding only frame index (from 0).
    const Image &frame(int index)
    {
        DcmDataset *ds = m_frame->fileFormat().getDataset();
        const quint64 offset = m_frameBytes * quint64(index);
        if (m_wide)
            ds->putAndInsertUint16Array(DCM_PixelData, m_words + offset / 2,
                                        static_cast<unsigned long>(m_frameBytes / 2));
        else
            ds->putAndInsertUint8Array(DCM_PixelData, m_bytes + offset, static_cast<unsigned long>(m_frameBytes));
        ds->putAndInsertString(DCM_NumberOfFrames, "1");
        ds->updateOriginalXfer();
        return *m_frame;
    }

private:
    int m_frames;
    quint64 m_frameBytes = 0;
    bool m_wide = false;
    std::unique_ptr<DcmElement> m_pixels;
    Uint16 *m_words = nullptr;
    Uint8 *m_bytes = nullptr;
    std::unique_ptr<Image> m_frame;
};
} // namespace

void writeJpeg(const Image &image, const QString &path, int quality)
{
    writePicture(renderImage(image), path, quality);
}

int frameCount(const Image &image)
{
    const int n = image.value(0x0028, 0x0008).value_or(QString()).trimmed().toInt();
    return n > 0 ? n : 1;
}

QStringList writeJpegFrames(const Image &image, const QString &path, int quality)
{
    const int frames = frameCount(image);
    if (frames == 1) {
        writeJpeg(image, path, quality);
        return {path};
    }
    const QFileInfo target(path);
    QString base = target.filePath();
    if (base.endsWith(QStringLiteral(".jpg"), Qt::CaseInsensitive))
        base.chop(4);
    const int digits = qMax(3, int(QString::number(frames).size()));
    QStringList written;
    try {
        FrameSplitter splitter(image, frames);
        for (int i = 0; i < frames; ++i) {
            const QString file = base + QStringLiteral("_%1.jpg").arg(i + 1, digits, 10, QLatin1Char('0'));
            try {
                writePicture(renderImage(splitter.frame(i)), file, quality);
            } catch (const AppError &e) {
                throw frameError(image,
                                 QStringLiteral("frame %1 of %2: %3").arg(i + 1).arg(frames).arg(e.description()));
            }
            written << file;
        }
    } catch (...) {
        for (const QString &f : written)
            QFile::remove(f);
        throw;
    }
    return written;
}
} // namespace dicom

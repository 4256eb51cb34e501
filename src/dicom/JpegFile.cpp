#include "dicom/JpegFile.h"

#include "core/AppError.h"
#include "dicom/Image.h"
#include "dicom/Render.h"

#include <QImageWriter>
#include <QSaveFile>

namespace dicom {

void writeJpeg(const Image &image, const QString &path, int quality)
{
    const QImage picture = renderImage(image);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot write JPEG file \"%1\": %2").arg(path, file.errorString()));
    QImageWriter writer(&file, "jpeg");
    writer.setQuality(qBound(1, quality, 100));
    if (!writer.write(picture)) {
        file.cancelWriting();
        throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot write JPEG file \"%1\": %2").arg(path, writer.errorString()));
    }
    if (!file.commit())
        throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot write JPEG file \"%1\": %2").arg(path, file.errorString()));
}
}

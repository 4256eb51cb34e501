#include "io/ImageExport.h"

#include "core/AppError.h"
#include "core/Progress.h"
#include "core/StationLog.h"
#include "core/StationPaths.h"
#include "dicom/DicomDir.h"
#include "dicom/Image.h"
#include "dicom/JpegFile.h"

#include <QDate>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QLocale>
#include <QSaveFile>

#include <memory>
#include <optional>

namespace {

QString uidOf(const dicom::Image &image, quint16 g, quint16 e, const QString &what)
{
    QString s = g == 0x0008 && e == 0x0018 ? image.sopInstanceUid() : image.value(g, e).value_or(QString());
    while (s.endsWith(QChar(0)))
        s.chop(1);
    s = s.trimmed();
    // The UIDs name the export's folders and files.
    if (!isValidUid(s))
        throw AppError(ErrorNo::Dicom, QStringLiteral("The image has no valid %1 (\"%2\")").arg(what, s.left(80)));
    return s;
}

void makeFolder(const QString &path)
{
    if (!QDir().mkpath(path))
        throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot create the folder \"%1\"").arg(path));
}

void writeText(const QString &path, const QString &text)
{
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot write \"%1\": %2").arg(path, f.errorString()));
    f.write(text.toUtf8());
    if (!f.commit())
        throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot write \"%1\": %2").arg(path, f.errorString()));
}
}  // namespace

ImageExport::ImageExport(const StationLog &log, Progress &progress) : m_log(log), m_progress(progress) {}

QString ImageExport::infoText(const dicom::Image &image)
{
    const auto v = [&image](quint16 g, quint16 e) { return image.value(g, e).value_or(QString()).trimmed(); };
    const QString rawBirth = v(0x0010, 0x0030);
    const QDate birth = QDate::fromString(rawBirth, QStringLiteral("yyyyMMdd"));
    const QString birthText = birth.isValid() ? QLocale::system().toString(birth, QLocale::ShortFormat) : rawBirth;
    const QString crlf = QStringLiteral("\r\n");
    return QStringLiteral("PATIENT_NAME=") + v(0x0010, 0x0010) + crlf + QStringLiteral("PATIENT_ID=") + v(0x0010, 0x0020) + crlf
           + QStringLiteral("PATIENT_BIRTHDATE=") + birthText + crlf + QStringLiteral("PATIENT_SEX=") + v(0x0010, 0x0040) + crlf;
}

void ImageExport::fail(Result &r, const QString &file, const std::exception &e, const QString &procedure)
{
    const ErrorParts p = errorParts(e);
    m_log.writeError(p.number, p.text, procedure);
    r.failures << QStringLiteral("%1: %2").arg(QFileInfo(file).fileName(), p.text);
}

ImageExport::Result ImageExport::run(const QStringList &files, const Options &o)
{
    Result r;
    const QDir d(o.directory);
    const QString procedure = o.kind == Jpeg ? ProcedureJpeg : ProcedureDicom;
    const bool withDir = o.kind == Dicom && o.dicomDir;

    std::unique_ptr<dicom::DicomDirWriter> dir;
    if (withDir) {
        try {
            dir = std::make_unique<dicom::DicomDirWriter>(d.absolutePath());
        } catch (const std::exception &e) {
            fail(r, QStringLiteral("DICOMDIR"), e, procedure);
        }
    }
    // With a DICOMDIR every study gets a folder of its own, ST000001 onwards; folders of
    // an earlier export in the same place are skipped, never overwritten.
    QHash<QString, QString> studyFolders;
    QHash<QString, int> imagesInFolder;
    int nextStudy = 1;

    m_progress.setMaximum(int(files.size()));
    m_progress.setValue(0);
    bool infoWritten = false;
    int done = 0;
    for (const QString &file : files) {
        m_progress.yield();
        try {
            const auto image = dicom::Image::readFile(file);
            const QString study = uidOf(*image, 0x0020, 0x000D, QStringLiteral("Study Instance UID"));
            const QString sop = uidOf(*image, 0x0008, 0x0018, QStringLiteral("SOP Instance UID"));
            if (withDir) {
                QString &folder = studyFolders[study];
                if (folder.isEmpty()) {
                    do
                        folder = QStringLiteral("ST%1").arg(nextStudy++, 6, 10, QLatin1Char('0'));
                    while (QFileInfo::exists(d.filePath(folder)));
                    makeFolder(d.filePath(folder));
                }
                const QString fileId = folder + QStringLiteral("/IM%1").arg(++imagesInFolder[folder], 6, 10, QLatin1Char('0'));
                const QString target = d.filePath(fileId);
                dicom::writeForMedia(*image, target);
                r.written << target;
                if (!dir)
                    throw AppError(ErrorNo::Dicom, QStringLiteral("\"%1\" is not in a DICOMDIR: none could be made").arg(fileId));
                dir->add(fileId);
            } else {
                const QString folder = d.filePath(study);
                makeFolder(folder);
                if (o.kind == Jpeg) {
                    const QString target = folder + QLatin1Char('/') + sop + QStringLiteral(".jpg");
                    dicom::writeJpeg(*image, target, o.jpegQuality);
                    r.written << target;
                    if (!infoWritten) {
                        infoWritten = true;
                        writeText(folder + QStringLiteral("/info.txt"), infoText(*image));
                        r.infoFile = folder + QStringLiteral("/info.txt");
                    }
                } else {
                    const QString target = folder + QLatin1Char('/') + sop + QStringLiteral(".dcm");
                    image->writeFile(target);
                    r.written << target;
                }
            }
        } catch (const std::exception &e) {
            fail(r, file, e, procedure);
        }
        m_progress.setValue(++done);
    }
    if (dir) {
        try {
            if (dir->count() == 0)
                throw AppError(ErrorNo::Dicom, QStringLiteral("No DICOMDIR written: no image could be added to it"));
            dir->write();
            r.dicomDirFile = d.filePath(QStringLiteral("DICOMDIR"));
        } catch (const std::exception &e) {
            fail(r, QStringLiteral("DICOMDIR"), e, procedure);
        }
    }
    return r;
}

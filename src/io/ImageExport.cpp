#include "io/ImageExport.h"

#include "core/AppError.h"
#include "core/Audit.h"
#include "core/Progress.h"
#include "core/StationLog.h"
#include "core/StationPaths.h"
#include "dicom/AuditSubjects.h"
#include "dicom/DicomDir.h"
#include "dicom/Image.h"
#include "dicom/JpegFile.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLocale>
#include <QSaveFile>
#include <QSet>
#include <QUrl>

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
} // namespace

ImageExport::ImageExport(const StationLog &log, Progress &progress) : m_log(log), m_progress(progress) {}

QString ImageExport::infoText(const dicom::Image &image)
{
    const auto v = [&image](quint16 g, quint16 e) { return image.value(g, e).value_or(QString()).trimmed(); };
    const QString rawBirth = v(0x0010, 0x0030);
    const QDate birth = QDate::fromString(rawBirth, QStringLiteral("yyyyMMdd"));
    const QString birthText = birth.isValid() ? QLocale::system().toString(birth, QLocale::ShortFormat) : rawBirth;
    const QString crlf = QStringLiteral("\r\n");
    return QStringLiteral("PATIENT_NAME=") + v(0x0010, 0x0010) + crlf + QStringLiteral("PATIENT_ID=")
           + v(0x0010, 0x0020) + crlf + QStringLiteral("PATIENT_BIRTHDATE=") + birthText + crlf
           + QStringLiteral("PATIENT_SEX=") + v(0x0010, 0x0040) + crlf;
}

void ImageExport::fail(Result &r, const QString &file, const std::exception &e, const QString &procedure)
{
    const ErrorParts p = errorParts(e);
    m_log.writeError(p.number, p.text, procedure);
    r.failures << QStringLiteral("%1: %2").arg(QFileInfo(file).fileName(), p.text);
}

ImageExport::Result ImageExport::run(const QStringList &files, const Options &o)
{
    Result r = runAll(files, o);
    if (!Audit::active())
        return r;
    // What left the station: the images written, by patient and study.
    QStringList exported = files;
    for (const QString &line : r.failures)
        for (const QString &f : files)
            if (line.contains(f))
                exported.removeAll(f);
    const QList<AuditSubject> subjects = dicom::auditSubjectsOfFiles(exported);
    if (!subjects.isEmpty()) {
        AuditEvent e = AuditEvent::dataExport(
            Audit::station(), {AuditCodes::Uri, QUrl::fromLocalFile(QDir(o.directory).absolutePath()).toString(), {}},
            subjects);
        if (!r.failures.isEmpty())
            e.setOutcome(AuditOutcome::MinorFailure, r.failures.join(QLatin1Char('\n')));
        Audit::log(e);
    }
    return r;
}

ImageExport::Result ImageExport::runAll(const QStringList &files, const Options &o)
{
    Result r;
    const QDir d(o.directory);
    const QString procedure = o.kind == Jpeg ? ProcedureJpeg : ProcedureDicom;
    if (o.kind == Dicom && o.dicomDir) {
        runMedium(files, d, procedure, r);
        return r;
    }

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
            const QString folder = d.filePath(study);
            makeFolder(folder);
            if (o.kind == Jpeg) {
                const QString target = folder + QLatin1Char('/') + sop + QStringLiteral(".jpg");
                r.written << dicom::writeJpegFrames(*image, target, o.jpegQuality);
                ++r.images;
                if (!infoWritten) {
                    infoWritten = true;
                    writeText(folder + QStringLiteral("/info.txt"), infoText(*image));
                    r.infoFile = folder + QStringLiteral("/info.txt");
                }
            } else {
                const QString target = folder + QLatin1Char('/') + sop + QStringLiteral(".dcm");
                image->writeFile(target);
                r.written << target;
                ++r.images;
            }
        } catch (const std::exception &e) {
            fail(r, file, e, procedure);
        }
        m_progress.setValue(++done);
    }
    return r;
}

void ImageExport::runMedium(const QStringList &files, const QDir &d, const QString &procedure, Result &r)
{
    std::unique_ptr<dicom::DicomDirWriter> dir;
    QString noDirectory;
    try {
        dir = std::make_unique<dicom::DicomDirWriter>(d.absolutePath());
    } catch (const std::exception &e) {
        fail(r, QStringLiteral("DICOMDIR"), e, procedure);
        noDirectory = errorParts(e).text;
    }
    // Every study gets a folder of its own, ST000001 onwards; folders of an earlier
    // export in the same place are skipped, never overwritten.
    QHash<QString, QString> studyFolders;
    QHash<QString, int> imagesInFolder;
    QStringList madeFolders;
    int nextStudy = 1;

    m_progress.setMaximum(int(files.size()));
    m_progress.setValue(0);
    int done = 0;
    for (const QString &file : files) {
        m_progress.yield();
        try {
            // Without a directory a file on the medium would have no record: none is written.
            if (!dir)
                throw AppError(ErrorNo::Dicom, QStringLiteral("Not written: %1").arg(noDirectory));
            const auto image = dicom::Image::readFile(file);
            const QString study = uidOf(*image, 0x0020, 0x000D, QStringLiteral("Study Instance UID"));
            const QString sop = uidOf(*image, 0x0008, 0x0018, QStringLiteral("SOP Instance UID"));
            const QString listed = dir->fileIdOf(sop);
            if (!listed.isEmpty()) {
                r.alreadyThere
                    << QStringLiteral("%1: on the medium already as %2").arg(QFileInfo(file).fileName(), listed);
                m_progress.setValue(++done);
                continue;
            }
            QString &folder = studyFolders[study];
            if (folder.isEmpty()) {
                do
                    folder = QStringLiteral("ST%1").arg(nextStudy++, 6, 10, QLatin1Char('0'));
                while (QFileInfo::exists(d.filePath(folder)));
                makeFolder(d.filePath(folder));
                madeFolders << d.filePath(folder);
            }
            const QString fileId =
                folder + QStringLiteral("/IM%1").arg(++imagesInFolder[folder], 6, 10, QLatin1Char('0'));
            const QString target = d.filePath(fileId);
            try {
                dicom::writeForMedia(*image, target);
                dir->add(fileId, sop);
            } catch (...) {
                // A file without its record is no part of the medium: it goes, and its
                // name is free for the next image.
                QFile::remove(target);
                --imagesInFolder[folder];
                throw;
            }
            r.written << target;
            ++r.images;
        } catch (const std::exception &e) {
            fail(r, file, e, procedure);
        }
        m_progress.setValue(++done);
    }
    if (dir) {
        try {
            if (dir->count() > 0)
                dir->write();
            else if (!dir->extends())
                throw AppError(ErrorNo::Dicom, QStringLiteral("No DICOMDIR written: no image could be added to it"));
            r.dicomDirFile = d.filePath(QStringLiteral("DICOMDIR"));
        } catch (const std::exception &e) {
            fail(r, QStringLiteral("DICOMDIR"), e, procedure);
            // The directory that names them was not written: this run's files go.
            for (const QString &f : std::as_const(r.written))
                QFile::remove(f);
            r.written.clear();
            r.images = 0;
        }
    }
    for (const QString &folder : std::as_const(madeFolders))
        QDir().rmdir(folder); // only when it stayed empty
    if (!r.dicomDirFile.isEmpty()) {
        r.mediumFiles << r.dicomDirFile;
        QSet<QString> listed;
        try {
            for (const dicom::DirImageRecord &rec : dicom::readDicomDir(r.dicomDirFile)) {
                const QString f = d.filePath(rec.fileId.join(QLatin1Char('/')));
                if (!rec.fileId.isEmpty() && QFileInfo(f).isFile() && !listed.contains(f)) {
                    listed.insert(f);
                    r.mediumFiles << f;
                }
            }
        } catch (const std::exception &e) {
            fail(r, QStringLiteral("DICOMDIR"), e, procedure);
        }
    }
}

#include "io/ImageImport.h"

#include "core/AppError.h"
#include "core/Audit.h"
#include "core/Companions.h"
#include "core/Leftovers.h"
#include "core/Progress.h"
#include "core/StationLog.h"
#include "core/StationPaths.h"
#include "dicom/AuditSubjects.h"
#include "dicom/DicomDir.h"
#include "dicom/Image.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QUrl>

#include <atomic>
#include <cstdio>
#include <functional>

namespace {

QString cleanUid(std::optional<QString> v)
{
    QString s = v.value_or(QString());
    while (s.endsWith(QChar(0)))
        s.chop(1);
    return s.trimmed();
}

// Logs a file that was not imported and keeps its reason for the progress window.
void logFailure(const StationLog &log, const std::exception &e, const QString &procedure, ImageImport::Result &r)
{
    const ErrorParts p = errorParts(e);
    log.writeError(p.number, p.text, procedure);
    ++r.failed;
    r.reasons << p.text;
}

constexpr int MaxListedReasons = 20;

// Each file not imported with its reason, below the counts.
void listReasons(Progress &progress, const QStringList &reasons)
{
    for (const QString &why : reasons.mid(0, MaxListedReasons))
        progress.appendLine(QStringLiteral("  ") + why);
    if (reasons.size() > MaxListedReasons)
        progress.appendLine(
            QStringLiteral("  ... and %1 more (see the error log)").arg(reasons.size() - MaxListedReasons));
}

// The name a file has on the medium as its Referenced File ID gives it. CD and DVD file
// systems show "IM000001" as "IM000001.;1", "IM000001;1", "IM000001." or in lower case:
// the ISO 9660 version number, the empty extension's dot, the drive's case.
QString mediumName(const QString &name)
{
    static const QRegularExpression version(QStringLiteral(";\\d*$"));
    QString s = name;
    s.remove(version);
    if (s.endsWith(QLatin1Char('.')) && s.size() > 1)
        s.chop(1);
    return s;
}

AppError refused(const QStringList &fileId, const QString &why)
{
    return AppError(ErrorNo::BadInput,
                    QStringLiteral("Referenced file \"%1\" refused: %2").arg(fileId.join(QLatin1Char('\\')), why));
}

QString resolveIn(const QString &folder, const QStringList &fileId,
                  const std::function<QStringList(const QString &)> &list)
{
    const QString root = QFileInfo(folder).canonicalFilePath();
    if (root.isEmpty())
        throw AppError(ErrorNo::FileIo, QStringLiteral("The folder \"%1\" does not exist").arg(folder));
    QString current = root;
    int used = 0;
    for (const QString &raw : fileId) {
        const QString part = raw.trimmed();
        if (part.isEmpty())
            continue;
        if (part == QLatin1String(".") || part == QLatin1String("..") || part.contains(QLatin1Char('/'))
            || part.contains(QLatin1Char('\\')) || part.contains(QLatin1Char(':')) || part.contains(QChar(0)))
            throw refused(fileId, QStringLiteral("\"%1\" is not a plain file name").arg(part));
        QString next = current + QLatin1Char('/') + part;
        if (!QFileInfo::exists(next)) {
            QString found;
            for (const QString &entry : list(current)) {
                if (entry.compare(part, Qt::CaseInsensitive) == 0) {
                    found = entry;
                    break;
                }
                if (found.isEmpty() && mediumName(entry).compare(mediumName(part), Qt::CaseInsensitive) == 0)
                    found = entry;
            }
            if (found.isEmpty())
                throw AppError(ErrorNo::FileIo, QStringLiteral("Referenced file \"%1\" not found below \"%2\"")
                                                    .arg(fileId.join(QLatin1Char('\\')), folder));
            next = current + QLatin1Char('/') + found;
        }
        current = next;
        ++used;
    }
    if (used == 0)
        throw refused(fileId, QStringLiteral("the record names no file"));
    // Links may lead anywhere: only the real place counts.
    const QString real = QFileInfo(current).canonicalFilePath();
    if (real.isEmpty() || !real.startsWith(root + QLatin1Char('/')))
        throw refused(fileId, QStringLiteral("it leads outside the DICOMDIR's folder"));
    if (!QFileInfo(real).isFile())
        throw refused(fileId, QStringLiteral("it is not a file"));
    return real;
}

QStringList listFolder(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
}
} // namespace

namespace {

QString markerPath(const StationPaths &paths) { return paths.dataDir() + QStringLiteral("/TqImport.running"); }

// Says, while an import runs, how far it got: "<pid> <done> <total>". Left behind only by
// an import that did not end.
class RunMarker {
public:
    RunMarker(const StationPaths &paths, qsizetype total) : m_path(markerPath(paths)), m_total(total) { write(0); }
    ~RunMarker() { QFile::remove(m_path); }
    void write(qsizetype done) const
    {
        QSaveFile f(m_path);
        if (f.open(QIODevice::WriteOnly)) {
            f.write(QByteArray::number(QCoreApplication::applicationPid()) + ' ' + QByteArray::number(done) + ' '
                    + QByteArray::number(m_total) + '\n');
            f.commit();
        }
    }

private:
    QString m_path;
    qsizetype m_total;
};

std::atomic<quint64> g_partCounter{0};

} // namespace

QString ImageImport::cutShortReport(const StationPaths &paths)
{
    Leftovers::removePartials(paths.tempDir(), PartPrefix, PartSuffix);
    QFile f(markerPath(paths));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> parts = f.readAll().trimmed().split(' ');
    f.close();
    const qint64 pid = parts.value(0).toLongLong();
    if (Companions::IsProcessAlive(pid) && pid != QCoreApplication::applicationPid())
        return {}; // another station's import, running
    QFile::remove(markerPath(paths));
    return QStringLiteral("An import was cut short when the station ended: %1 of %2 image(s) had reached the store's "
                          "input folder, the others were not imported. Import them again.")
        .arg(QString::fromLatin1(parts.value(1)), QString::fromLatin1(parts.value(2)));
}

ImageImport::ImageImport(const StationPaths &paths, const StationLog &log, Progress &progress)
    : m_paths(paths), m_log(log), m_progress(progress)
{
}

void ImageImport::importOne(const QString &file, bool overwrite)
{
    const auto image = dicom::Image::readFile(file);
    // The store keeps images, as the receiver does: reports, presentation states, RT
    // objects and anything else without pixels are refused.
    if (const QString why = dicom::whyNotAnImage(*image); !why.isEmpty())
        throw AppError(ErrorNo::BadInput,
                       QStringLiteral("\"%1\" not imported: %2; the store keeps images only").arg(file, why));
    // The UIDs name the file and, later, the store's folders: foreign data is checked first.
    // The data set's own UID: the one the data manager files the image by.
    const QString sop = cleanUid(image->value(0x0008, 0x0018));
    const QString study = cleanUid(image->value(0x0020, 0x000D));
    const QString series = cleanUid(image->value(0x0020, 0x000E));
    for (const auto &[name, uid] :
         {std::pair{QStringLiteral("SOP Instance UID"), sop}, std::pair{QStringLiteral("Study Instance UID"), study},
          std::pair{QStringLiteral("Series Instance UID"), series}}) {
        if (!isValidUid(uid))
            throw AppError(ErrorNo::Dicom,
                           QStringLiteral("\"%1\" cannot be imported: %2 \"%3\" is %4")
                               .arg(file, name, uid.left(80),
                                    uid.isEmpty() ? QStringLiteral("missing") : QStringLiteral("not valid")));
    }
    QDir().mkpath(m_paths.tempDir());
    const QString target = m_paths.tempDir() + QLatin1Char('/') + sop + QStringLiteral(".dcm");
    if (!overwrite && QFileInfo::exists(target))
        return;
    const QString part = m_paths.tempDir() + QLatin1Char('/') + PartPrefix
                         + QString::number(QCoreApplication::applicationPid()) + QLatin1Char('-')
                         + QString::number(++g_partCounter) + PartSuffix;
    try {
        image->writeFile(part);
    } catch (...) {
        QFile::remove(part);
        throw;
    }
    if (std::rename(QFile::encodeName(part).constData(), QFile::encodeName(target).constData()) != 0) {
        QFile::remove(part);
        throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot write %1").arg(target));
    }
}

ImageImport::Result ImageImport::importFiles(const QStringList &files)
{
    QStringList imported;
    Result r;
    const RunMarker marker(m_paths, files.size());
    m_progress.append(QStringLiteral("Importing image(s) ... "));
    if (files.size() == 1) {
        m_progress.setMaximum(1);
        m_progress.setValue(0);
        m_progress.yield();
        try {
            importOne(files.first(), true);
            r.imported = 1;
            imported << files.first();
        } catch (const std::exception &e) {
            logFailure(m_log, e, ProcedureSingle, r);
        }
        m_progress.setValue(1);
    } else if (!files.isEmpty()) {
        m_progress.setMaximum(int(files.size()));
        m_progress.setValue(0);
        int done = 0;
        for (const QString &file : files) {
            m_progress.yield();
            try {
                importOne(file, false);
                ++r.imported;
                imported << file;
                marker.write(r.imported);
            } catch (const std::exception &e) {
                logFailure(m_log, e, ProcedureMulti, r);
            }
            m_progress.setValue(++done);
        }
    }
    m_progress.appendLine(QStringLiteral("OK"));
    m_progress.appendLine(QString::number(r.imported) + QStringLiteral(" image(s) successfully imported."));
    if (r.failed > 0)
        m_progress.appendLine(QString::number(r.failed)
                              + QStringLiteral(" file(s) could not be imported (see the error log)."));
    listReasons(m_progress, r.reasons);
    auditImport(files.isEmpty() ? QString() : QFileInfo(files.first()).absolutePath(), imported);
    return r;
}

void ImageImport::auditImport(const QString &source, const QStringList &files)
{
    if (!Audit::active())
        return;
    const QList<AuditSubject> subjects = dicom::auditSubjectsOfFiles(files);
    if (!subjects.isEmpty())
        Audit::log(AuditEvent::dataImport(Audit::station(),
                                          {AuditCodes::Uri, QUrl::fromLocalFile(source).toString(), {}}, subjects));
}

QString ImageImport::resolveReferencedFile(const QString &folder, const QStringList &fileId)
{
    return resolveIn(folder, fileId, &listFolder);
}

QString ImageImport::resolveCached(const QString &folder, const QStringList &fileId)
{
    return resolveIn(folder, fileId, [this](const QString &dir) {
        auto it = m_listings.find(dir);
        if (it == m_listings.end())
            it = m_listings.insert(dir, listFolder(dir));
        return *it;
    });
}

ImageImport::Result ImageImport::importDicomDir(const QString &dicomDirPath)
{
    QStringList imported;
    Result r;
    m_progress.append(QStringLiteral("Importing DICOM-Dir ... "));
    const std::vector<dicom::DirImageRecord> records = dicom::readDicomDir(dicomDirPath);
    const QString folder = QFileInfo(dicomDirPath).absolutePath();
    const RunMarker marker(m_paths, qsizetype(records.size()));
    m_listings.clear();
    m_progress.setMaximum(int(records.size()));
    m_progress.setValue(0);
    int done = 0;
    for (const dicom::DirImageRecord &rec : records) {
        m_progress.yield();
        try {
            const QString file = resolveCached(folder, rec.fileId);
            importOne(file, true);
            ++r.imported;
            imported << file;
            marker.write(r.imported);
        } catch (const std::exception &e) {
            logFailure(m_log, e, ProcedureDir, r);
        }
        m_progress.setValue(++done);
    }
    m_progress.appendLine(QStringLiteral("OK"));
    m_progress.appendLine(QString::number(r.imported) + QStringLiteral(" image(s) imported"));
    if (r.failed > 0)
        m_progress.appendLine(QString::number(r.failed)
                              + QStringLiteral(" image(s) could not be imported (see the error log)."));
    listReasons(m_progress, r.reasons);
    auditImport(dicomDirPath, imported);
    return r;
}

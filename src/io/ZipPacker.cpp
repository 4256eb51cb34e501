#include "io/ZipPacker.h"

#include "core/AppError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <filesystem>

#include <zip.h>

namespace {

AppError zipError(const QString &archive, const QString &why)
{
    return AppError(ErrorNo::FileIo, QStringLiteral("Cannot make the ZIP archive \"%1\": %2").arg(archive, why));
}

QString libzipText(zip_t *za) { return QString::fromLocal8Bit(zip_strerror(za)); }
} // namespace

QString ZipPacker::timeName(const QTime &now) { return now.toString(QStringLiteral("HHmmss")); }

QString ZipPacker::archiveName(const QString &answer, const QTime &now)
{
    const QString name = answer.trimmed();
    if (name.isEmpty())
        return timeName(now) + QStringLiteral(".zip");
    if (name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')) || name.contains(QStringLiteral(".."))
        || name.contains(QChar(0)))
        throw AppError(
            ErrorNo::BadInput,
            QStringLiteral("\"%1\" cannot name a ZIP-Archive: it must not contain \"/\", \"\\\" or \"..\".").arg(name));
    if (name.right(4).compare(QStringLiteral(".zip"), Qt::CaseInsensitive) == 0)
        return name;
    return name + QStringLiteral(".zip");
}

void ZipPacker::pack(const QString &archivePath, const QString &baseDir, const QStringList &files)
{
    if (files.isEmpty())
        throw zipError(archivePath, QStringLiteral("there are no files to pack"));
    const QFileInfo target(archivePath);
    const QDir base(baseDir);
    const QString temp = target.absoluteDir().filePath(
        QStringLiteral(".%1.%2.part").arg(target.fileName()).arg(QRandomGenerator::global()->generate64(), 0, 16));

    int error = 0;
    zip_t *za = zip_open(QFile::encodeName(temp).constData(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!za) {
        zip_error_t ze;
        zip_error_init_with_code(&ze, error);
        const QString why = QString::fromLocal8Bit(zip_error_strerror(&ze));
        zip_error_fini(&ze);
        throw zipError(archivePath, why);
    }
    auto abandon = [&](const QString &why) {
        zip_discard(za);
        QFile::remove(temp);
        return zipError(archivePath, why);
    };
    for (const QString &file : files) {
        const QString entry = base.relativeFilePath(file);
        if (entry.startsWith(QStringLiteral("../")) || QDir::isAbsolutePath(entry))
            throw abandon(QStringLiteral("\"%1\" is not below the export folder").arg(file));
        zip_source_t *src = zip_source_file(za, QFile::encodeName(file).constData(), 0, -1);
        if (!src)
            throw abandon(QStringLiteral("\"%1\": %2").arg(file, libzipText(za)));
        const zip_int64_t index =
            zip_file_add(za, entry.toUtf8().constData(), src, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE);
        if (index < 0) {
            zip_source_free(src);
            throw abandon(QStringLiteral("\"%1\": %2").arg(file, libzipText(za)));
        }
        if (zip_set_file_compression(za, zip_uint64_t(index), ZIP_CM_DEFLATE, 0) < 0)
            throw abandon(libzipText(za));
    }
    if (zip_close(za) < 0)
        throw abandon(libzipText(za));
    std::error_code ec;
    std::filesystem::rename(std::filesystem::path(temp.toStdU16String()),
                            std::filesystem::path(target.absoluteFilePath().toStdU16String()), ec);
    if (ec) {
        QFile::remove(temp);
        throw zipError(archivePath, QString::fromStdString(ec.message()));
    }
}

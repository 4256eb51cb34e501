#pragma once
#include <QString>
#include <QStringList>
#include <QTime>

// Packs exported files into a ZIP archive (deflate, no folder recursion). Entries are
// named by their path below the export folder, in the given order. The archive is
// written under a temporary name and renamed over the target when complete, so an
// archive of the same name from an earlier export keeps none of its old entries and a
// failed run leaves no half archive.
class ZipPacker {
public:
    // Packs files (each below baseDir) into archivePath. Throws AppError.
    static void pack(const QString &archivePath, const QString &baseDir, const QStringList &files);

    // The archive name from the operator's answer: empty gives HHMMSS + ".zip" from now;
    // else the trimmed answer, with ".zip" appended unless it ends so in any case.
    // Throws AppError(ErrorNo::BadInput) for a name with "/", "\" or "..", which would
    // put the archive elsewhere.
    static QString archiveName(const QString &answer, const QTime &now);
    // "HHMMSS", the proposed name.
    static QString timeName(const QTime &now);
};

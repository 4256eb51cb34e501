#pragma once
#include <QHash>
#include <QString>
#include <QStringList>

class Progress;
class StationLog;
class StationPaths;

// Brings DICOM images from files into the station: each image is read and written as
// "<SOP Instance UID>.dcm" into the input folder, from where the data manager files it
// into the store. Source files are only read, never changed, moved or deleted. Objects
// that are not images (reports, presentation states, RT objects, anything without
// pixel data) are not imported; every file not imported is listed with its reason
// below the counts in the progress window.
class ImageImport {
public:
    static inline const QString ProcedureSingle = QStringLiteral("EditForm ImportTimer ERROR_IMPORT_SINGLE");
    static inline const QString ProcedureMulti = QStringLiteral("EditForm ImportTimer ERROR_IMPORT_MULTI");
    static inline const QString ProcedureDir = QStringLiteral("EditForm ImportDirTimer");

    struct Result {
        int imported = 0;    // images in the input folder (an existing file counts too)
        int failed = 0;      // files or records that could not be imported (logged)
        QStringList reasons; // why, one line each, as the progress window lists them
    };

    ImageImport(const StationPaths &paths, const StationLog &log, Progress &progress);

    // The chosen image files, in the dialog's order. One file is written even when its
    // target exists; of several, a file whose target already exists is counted, not
    // written again.
    Result importFiles(const QStringList &files);
    // Every record of a DICOMDIR that names a file, in its order (a record of another
    // object than an image is refused with the rest); an existing target is overwritten.
    // Throws AppError when the file is not a readable DICOMDIR.
    Result importDicomDir(const QString &dicomDirPath);

    // The file a Referenced File ID names, below the DICOMDIR's folder. Each component is
    // matched exactly, else as CD and DVD file systems show it: without regard to case,
    // to a ";1" version suffix and to the dot of an empty extension ("IM000001.;1"). Throws AppError for a component
    // that is not a plain name and for a path that ends outside the folder (through links too) or does not exist.
    static QString resolveReferencedFile(const QString &folder, const QStringList &fileId);

    // Writes one image file into the input folder unless overwrite is false and its
    // target exists (under a hidden name first: the data manager takes only whole files).
    // Throws AppError for an unreadable file, an object that is not an image, and for
    // missing or invalid Study, Series or SOP Instance UIDs.
    void importOne(const QString &file, bool overwrite);
    // The audit trail's Import of the files taken in, from source (a folder or a DICOMDIR).
    static void auditImport(const QString &source, const QStringList &files);

    // An import that ended unexpectedly (the station killed): what the operator is told,
    // empty when there was none. Its partial file is removed with it.
    static QString cutShortReport(const StationPaths &paths);
    static inline const QString PartPrefix = QStringLiteral(".imp-");
    static inline const QString PartSuffix = QStringLiteral(".part");

private:
    QString resolveCached(const QString &folder, const QStringList &fileId);

    const StationPaths &m_paths;
    const StationLog &m_log;
    Progress &m_progress;
    QHash<QString, QStringList> m_listings; // folder listings for the case-blind matching
};

#pragma once
#include <QDir>
#include <QString>
#include <QStringList>

class Progress;
class StationLog;
namespace dicom {
class Image;
}

// Writes the viewer's images into an export folder D: as DICOM files (D/<Study UID>/
// <SOP UID>.dcm), as DICOM files with a DICOMDIR (D/DICOMDIR and D/ST000001/IM000001 ...,
// the names DICOM media allow), or as JPEG files (D/<Study UID>/<SOP UID>.jpg, every
// frame of a multi-frame image as <SOP UID>_001.jpg ..., and info.txt beside the first
// one). A failing image is logged and listed; the export goes on with the next one.
//
// With a DICOMDIR the folder is a medium: every file written there has its record. A
// DICOMDIR already in the folder is extended (its files stay listed); an image it lists
// already is not written a second time; an image that gets no record is not left there.
class ImageExport {
public:
    enum Kind { Jpeg = 1, Dicom = 2 };
    static inline const QString ProcedureDicom = QStringLiteral("ExportForm ExportDICOM");
    static inline const QString ProcedureJpeg = QStringLiteral("ExportForm ExportJPEG");

    struct Options {
        Kind kind = Dicom;
        QString directory;
        bool dicomDir = false;
        int jpegQuality = 80; // 10 to 100
    };
    struct Result {
        QStringList written;  // full paths of the files written (JPEG: one per frame), in writing order
        int images = 0;       // images written (each with all its frames)
        QStringList failures; // one line per image (or DICOMDIR) that failed
        QString infoFile;     // info.txt when one was written
        QString dicomDirFile; // the DICOMDIR when one was written (or extended)
        // With a DICOMDIR: the DICOMDIR and every file it names (earlier exports' too),
        // the medium as an archive holds it.
        QStringList mediumFiles;
        // Images a DICOMDIR in the folder listed already: one line each, not written again.
        QStringList alreadyThere;
    };

    ImageExport(const StationLog &log, Progress &progress);

    // Exports the image files in the given order. The folder must exist.
    Result run(const QStringList &files, const Options &options);

    // The four lines of info.txt (CRLF each) for an image.
    static QString infoText(const dicom::Image &image);

private:
    Result runAll(const QStringList &files, const Options &options);
    void runMedium(const QStringList &files, const QDir &d, const QString &procedure, Result &r);
    void fail(Result &r, const QString &file, const std::exception &e, const QString &procedure);

    const StationLog &m_log;
    Progress &m_progress;
};

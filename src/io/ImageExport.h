#pragma once
#include <QString>
#include <QStringList>

class Progress;
class StationLog;
namespace dicom {
class Image;
}

// Writes the viewer's images into an export folder D: as DICOM files (D/<Study UID>/
// <SOP UID>.dcm), as DICOM files with a DICOMDIR (D/DICOMDIR and D/ST000001/IM000001 ...,
// the names DICOM media allow), or as JPEG files (D/<Study UID>/<SOP UID>.jpg and
// info.txt beside the first one). A failing image is logged and listed; the export goes
// on with the next one.
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
        QStringList written;  // full paths of the image files written, in writing order
        QStringList failures; // one line per image (or DICOMDIR) that failed
        QString infoFile;     // info.txt when one was written
        QString dicomDirFile; // the DICOMDIR when one was written
    };

    ImageExport(const StationLog &log, Progress &progress);

    // Exports the image files in the given order. The folder must exist.
    Result run(const QStringList &files, const Options &options);

    // The four lines of info.txt (CRLF each) for an image.
    static QString infoText(const dicom::Image &image);

private:
    void fail(Result &r, const QString &file, const std::exception &e, const QString &procedure);

    const StationLog &m_log;
    Progress &m_progress;
};

#pragma once
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

class DicomDirInterface;

namespace dicom {

class Image;

// The Media Storage SOP Class of a DICOMDIR.
inline const QString MediaDirectoryStorage = QStringLiteral("1.2.840.10008.1.3.10");

// One image record of a DICOMDIR: its Referenced File ID, one entry per path component,
// as the record holds it (not yet checked against any folder).
struct DirImageRecord {
    QStringList fileId;
};

// Reads the image records of a DICOMDIR in the order it lists them (patients, their
// studies, their series, their images). Works on a private copy: the toolkit may write a
// directory back when it repairs it, and the source medium is never written. Throws
// AppError(ErrorNo::Dicom) when the file cannot be read or is not a DICOMDIR at all (an
// image, a text file).
std::vector<DirImageRecord> readDicomDir(const QString &path);

// A file ID component as DICOM media allow it: 1 to 8 characters, upper-case letters,
// digits and "_".
bool isValidFileIdComponent(const QString &component);

// Writes a copy of the object in explicit VR little endian (compressed pixel data is
// decoded), the form the general-purpose media profile asks for. Throws AppError.
void writeForMedia(const Image &image, const QString &path);

// Builds a DICOMDIR over files already written below its folder (general-purpose
// profile; type 1 values an image lacks are invented as the toolkit allows). The
// directory is written under a temporary name and renamed to "DICOMDIR" only when
// complete.
class DicomDirWriter {
public:
    explicit DicomDirWriter(const QString &folder);
    ~DicomDirWriter();
    DicomDirWriter(const DicomDirWriter &) = delete;
    DicomDirWriter &operator=(const DicomDirWriter &) = delete;

    // Adds the file at folder/fileId ("ST000001/IM000001"). Throws AppError when the file
    // ID or the file does not suit the profile; the directory stays usable.
    void add(const QString &fileId);
    int count() const { return m_count; }
    // Writes folder/DICOMDIR. Throws AppError.
    void write();

private:
    QString m_folder;
    QString m_temp;
    std::unique_ptr<DicomDirInterface> m_dir;
    int m_count = 0;
};
}

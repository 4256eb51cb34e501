#pragma once
#include <QHash>
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

class DicomDirInterface;

namespace dicom {

class Image;

// The Media Storage SOP Class of a DICOMDIR.
inline const QString MediaDirectoryStorage = QStringLiteral("1.2.840.10008.1.3.10");

// One record of a DICOMDIR that names a file: its Referenced File ID, one entry per path
// component, as the record holds it (not yet checked against any folder), its type and
// the SOP Instance UID it says the file holds.
struct DirImageRecord {
    QStringList fileId;
    QString recordType;     // "IMAGE", "SR DOCUMENT", "PRESENTATION", ...
    QString sopInstanceUid; // Referenced SOP Instance UID in File, empty when missing
};

// Reads the records of a DICOMDIR that name files (every image record, and every other
// record with a Referenced File ID: reports, presentation states, RT objects) in the
// order it lists them (patients, their studies, their series, their instances). Works on
// a private copy: the toolkit may write a directory back when it repairs it, and the
// source medium is never written. Throws AppError(ErrorNo::Dicom) when the file cannot
// be read or is not a DICOMDIR at all (an image, a text file).
std::vector<DirImageRecord> readDicomDir(const QString &path);

// Why an object is not an image the station keeps: empty for an image; else the reason
// (no pixel data, or a storage class that is not an image class: structured reports,
// presentation states, RT plans and doses, waveforms), naming the class.
QString whyNotAnImage(const Image &image);

// A file ID component as DICOM media allow it: 1 to 8 characters, upper-case letters,
// digits and "_".
bool isValidFileIdComponent(const QString &component);

// Writes a copy of the object in explicit VR little endian (compressed pixel data is
// decoded), the form the general-purpose media profile asks for. What the DICOMDIR's
// records take from every file is made present: missing type 2 elements (Patient's
// Name, Patient ID, Study Date and Time, Study ID, Accession Number, Series Number,
// Instance Number, ...) are added empty, a missing Modality comes from the storage
// class ("MG" for a mammogram, "OT" when the class says none). Throws AppError.
void writeForMedia(const Image &image, const QString &path);

// Builds a DICOMDIR over files already written below its folder (general-purpose
// profile; type 1 values an image lacks are invented as the toolkit allows). A DICOMDIR
// already in the folder is extended: its records stay, the new files are added. The
// directory is written under a temporary name and renamed to "DICOMDIR" only when
// complete.
class DicomDirWriter {
public:
    // Throws AppError when a DICOMDIR in the folder cannot be read to be extended.
    explicit DicomDirWriter(const QString &folder);
    ~DicomDirWriter();
    DicomDirWriter(const DicomDirWriter &) = delete;
    DicomDirWriter &operator=(const DicomDirWriter &) = delete;

    // Adds the file at folder/fileId ("ST000001/IM000001"), which holds the instance
    // sopInstanceUid (remembered for fileIdOf). Throws AppError when the file ID or the
    // file does not suit the profile; the directory stays usable.
    void add(const QString &fileId, const QString &sopInstanceUid = {});
    // Files added since the writer was made.
    int count() const { return m_count; }
    // True when the folder held a DICOMDIR that is being extended.
    bool extends() const { return m_extends; }
    // The file ID ("ST000001\IM000001") under which the directory already lists an
    // instance, empty when it does not: a second copy would not get a record of its own.
    QString fileIdOf(const QString &sopInstanceUid) const;
    // Writes folder/DICOMDIR. Throws AppError.
    void write();

private:
    QString m_folder;
    QString m_temp;
    std::unique_ptr<DicomDirInterface> m_dir;
    QHash<QString, QString> m_listed; // SOP Instance UID -> file ID
    int m_count = 0;
    bool m_extends = false;
};
} // namespace dicom

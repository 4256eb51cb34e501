#pragma once
#include "dicom/DataSet.h"

#include <QString>
#include <QtGlobal>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class DcmFileFormat;

namespace dicom {

// The text an element reads as when its value cannot be turned into text (binary data,
// sequence items).
inline const QString UnknownDataType = QStringLiteral("Unknown Data Type");

// One top-level element as the header display lists it.
struct ElementInfo {
    quint16 group = 0;
    quint16 element = 0;
    QString tag;   // "0008,0018"
    QString vr;    // "UI"
    QString name;  // dictionary name, "SOPInstanceUID"; empty for unknown elements
    QString value; // as value() gives it; empty when absent/empty
    bool isList = false;
};

// One DICOM object: the data set with its file meta information.
// Elements of group 0002 are read from and written to the meta information.
// Not shared between threads; each thread works on its own images.
class Image {
public:
    ~Image();
    Image(const Image &) = delete;
    Image &operator=(const Image &) = delete;

    // Reads a file with or without meta information, in any transfer syntax the toolkit
    // reads. Throws AppError(ErrorNo::Dicom) naming the file when it cannot be read.
    static std::unique_ptr<Image> readFile(const QString &path);
    // An empty object; written as explicit VR little endian.
    static std::unique_ptr<Image> create();
    std::unique_ptr<Image> clone() const;

    // Writes a file with meta information in the object's transfer syntax (explicit VR
    // little endian when it has none). Written under a temporary name beside the target
    // and then renamed over it, so readers never see half a file. Throws AppError.
    void writeFile(const QString &path) const;

    // The file this object was read from; empty for a created one.
    QString sourcePath() const { return m_path; }
    QString transferSyntaxUid() const;

    QString sopInstanceUid() const;
    QString sopClassUid() const;
    // Sets the SOP class in the data set and in the meta information alike.
    void setSopClass(const QString &uid);

    bool exists(quint16 group, quint16 element) const;
    // A sequence, or an element with more than one value.
    bool isList(quint16 group, quint16 element) const;
    // Number of values (items of a sequence); 0 when absent or empty.
    int valueCount(quint16 group, quint16 element) const;
    // nullopt when absent or empty; several values joined with "\"; UnknownDataType for
    // binary values and non-empty sequences.
    std::optional<QString> value(quint16 group, quint16 element) const;
    // Value number index1 (from 1); nullopt when there is no such value or it is empty.
    std::optional<QString> valueAt(quint16 group, quint16 element, int index1) const;
    // Every value in order, empty ones kept as empty texts; nullopt when absent. Binary
    // values and non-empty sequences read as one UnknownDataType. Text is decoded once
    // and split at "\", so an element with thousands of values reads in one pass.
    std::optional<std::vector<QString>> values(quint16 group, quint16 element) const;

    // Replace or add. Text with "\" gives several values. Throws AppError when the value
    // does not fit the element's type (letters into a number).
    void setText(quint16 group, quint16 element, const QString &text);
    void setInt(quint16 group, quint16 element, qint64 value);
    void setSequence(quint16 group, quint16 element, const std::vector<DataSet> &items);
    // The items of a sequence element; nullopt when absent or not a sequence.
    std::optional<std::vector<DataSet>> sequence(quint16 group, quint16 element) const;
    // Absent is no error.
    void remove(quint16 group, quint16 element);

    // The first stored window (centre, width), if any.
    std::optional<std::pair<double, double>> storedWindow() const;
    // Stores the window as the only one (a single centre and width).
    void setWindow(double centre, double width);

    // All top-level elements of the meta information and the data set, in tag order.
    std::vector<ElementInfo> elements() const;

    // For the other files of the DICOM layer only (network, DICOMDIR, export).
    DcmFileFormat &fileFormat() { return *m_ff; }
    const DcmFileFormat &fileFormat() const { return *m_ff; }
    static std::unique_ptr<Image> fromFileFormat(std::unique_ptr<DcmFileFormat> ff, const QString &path = {});

private:
    Image();
    std::unique_ptr<DcmFileFormat> m_ff;
    QString m_path;
};

// "1.5", "40", "-1000": DS text for a number, at most 16 characters.
QString decimalText(double value);
} // namespace dicom

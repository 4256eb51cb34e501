#pragma once
#include "dicom/DataSet.h"

#include <QString>
#include <vector>

namespace dicom {

// A coded name: value, coding scheme, meaning ("113701", "DCM", "X-Ray Radiation Dose
// Report").
struct SrCode {
    QString value, scheme, meaning;
    bool isEmpty() const { return value.isEmpty(); }
    // Codes are the same when value and scheme are; the meaning is for readers.
    bool is(const SrCode &o) const { return value == o.value && scheme == o.scheme; }
};

// One content item of a structured report with the items below it.
struct SrItem {
    enum class Type { Container, Code, Num, Text, DateTime, UidRef };
    enum class Relation { Root, Contains, HasObsContext, HasConceptMod, HasProperties };

    Type type = Type::Container;
    Relation relation = Relation::Contains;
    SrCode name;
    // TEXT, DATETIME (YYYYMMDDHHMMSS), UIDREF: the value. NUM: the number as a decimal
    // string; empty when the value is not known, then qualifier says why.
    QString text;
    SrCode code;      // CODE: the value. NUM: the measurement unit.
    SrCode qualifier; // NUM without a number
    std::vector<SrItem> children;

    // The first child with this name name; nullptr when there is none.
    const SrItem *child(const SrCode &name) const;
    std::vector<const SrItem *> childrenNamed(const SrCode &name) const;
};

// A structured report: the attributes of its patient, study, series, equipment and
// instance, and its content tree with the root's template.
struct SrDocument {
    // Written over what the toolkit makes of the document: Patient's Name (0010,0010),
    // Study Instance UID, Series Instance UID, SOP Instance UID, Instance Number, Content
    // Date and Time, the equipment, Predecessor Documents Sequence, ...
    DataSet attributes;
    QString templateId;      // "10001"
    QString mappingResource; // "DCMR"
    SrItem root;
};

// The SOP class of the X-Ray Radiation Dose SR.
inline const QString XRayRadiationDoseSrClass = QStringLiteral("1.2.840.10008.5.1.4.1.1.88.67");

// Writes an X-Ray Radiation Dose SR (explicit VR little endian) under a temporary name
// and renames it into place. The toolkit checks every relationship between the items as
// the object's definition allows them. Throws AppError naming what it refused.
void writeDoseSr(const SrDocument &doc, const QString &path);

// Reads a structured report's content tree and its top-level attributes. Throws AppError
// when the file is not a structured report.
SrDocument readSr(const QString &path);
} // namespace dicom

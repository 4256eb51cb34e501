#pragma once
#include <QString>
#include <vector>

namespace dicom {

struct DictionaryEntry {
    QString tag;  // "0008,0018"
    QString vr;   // "UI"
    QString name; // "SOPInstanceUID"
    bool retired = false;
};

// The standard elements of the toolkit's data dictionary (no private, repeating or
// group-length entries), sorted by tag.
std::vector<DictionaryEntry> standardDictionary();

// "0008,0018" from group and element.
QString tagText(quint16 group, quint16 element);
// Parses "0008,0018" (also "(0008,0018)" and lower case); false when it is not a tag.
bool parseTagText(const QString &text, quint16 *group, quint16 *element);
} // namespace dicom

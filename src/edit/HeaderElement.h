#pragma once
#include <QString>
#include <vector>

class Station;

namespace dicom {
class Image;
}

// The one operation that turns an element of an image into display text: the header
// list shows it and a "Switch entry" task reads its target value with it.
namespace HeaderElement {

// The element group,element (four hexadecimal digits each, "0020" and "000D") of the
// image as text. Several values are joined with " | ", stopping at the first empty value
// and at the first value equal to the one before it; "Unknown Data Type" is taken and
// ends the list. Absent or empty elements give the empty text. Never throws: a failure
// is logged under "GetHeaderElement" and gives the empty text.
QString GetHeaderElement(const Station &station, const QString &group, const QString &element,
                         const dicom::Image &image);

// The values joined by the stop rules above.
QString joinValues(const std::vector<QString> &values);

// Reads 1 to 4 hexadecimal digits; false for anything else.
bool parseHex16(const QString &text, quint16 *value);
} // namespace HeaderElement

#pragma once
#include <QString>
#include <QtGlobal>

namespace dicom {

class Image;

// The value representation of an element: the image's own element when it holds it,
// else the dictionary's; empty for an unknown (private) element.
QString vrOf(const Image &image, quint16 group, quint16 element);

// Why the text (several values joined with "\") does not fit the value representation;
// empty when it fits. UIDs, dates, times and numbers are checked, an empty text always
// fits, other representations take any text.
QString valueProblem(const QString &vr, const QString &text);
}

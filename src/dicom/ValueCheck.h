#pragma once
#include <QString>
#include <QtGlobal>

namespace dicom {

class Image;

// The value representation of an element: the image's own element when it holds it,
// else the dictionary's; empty for an unknown (private) element.
QString vrOf(const Image &image, quint16 group, quint16 element);
// The dictionary's value representation of an element; empty when it knows none.
QString dictionaryVr(quint16 group, quint16 element);

// Why the text (several values joined with "\") does not fit the value representation;
// empty when it fits. Each value is checked by the rules of its representation (length,
// characters, form: CS upper case letters, digits, space and underscore, at most 16; SH 16;
// LO 64; PN three groups of five components; AE 16; dates, times, numbers, UIDs); ST, LT
// and UT are one value, "\" included. An empty text always fits.
QString valueProblem(const QString &vr, const QString &text);

// As above, and the number of values the element takes (its value multiplicity in the
// dictionary) where the dictionary knows the element.
QString valueProblem(const Image &image, quint16 group, quint16 element, const QString &text);
} // namespace dicom

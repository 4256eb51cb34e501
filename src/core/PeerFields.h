#pragma once
#include <QString>

// The rules for the AE titles and TCP ports the operator types into the station's
// settings (the receiver's, the worklist provider's, the storage destinations'). Each
// check returns the rule the text breaks, ready to follow the field's name
// ("Receiver AE title: at most 16 characters"), or an empty text when it is fine.
// What passes is what the receiver, the worklist query and the sender take as it is:
// none of them stops over a value accepted here.
namespace PeerFields {

constexpr int MaxAeTitle = 16;

// An AE title: 1 to 16 characters of plain ASCII, no backslash, no control characters,
// not only blanks. Blanks before and after do not count (the peers ignore them).
QString aeTitleProblem(const QString &text);

// A TCP port: digits only, 1 to 65535. Blanks before and after do not count.
QString portProblem(const QString &text);

// The text without the blanks before and after it (only blanks: a tab is refused as a
// control character, never dropped quietly). This is what is stored.
QString trimBlanks(const QString &text);

} // namespace PeerFields

#pragma once
#include <QString>
#include <QStringList>
#include <optional>

// One exposure message of the X-ray unit, split into its tokens and read into the
// values of a dose record. Two formats are known:
//
// - channel format (Sophie, Giotto, Lorad M4): the message starts at the first "CH1";
//   line breaks (CR LF) count as blanks, tokens are separated by blanks; the values are
//   tokens 1, 6 and 11 as they stand.
// - semicolon format (HFE 501): fields separated by ";", the first one carrying the
//   dose-area product with its unit "cGyCm²", then kV, mAs, one field we do not use and
//   the exposure time in ms.
namespace DoseMessage {

enum class Format { Channel, Semicolon, None };

// The format a unit type speaks: below 5 the channel format, 5 the semicolon format,
// anything higher none (nothing is stored).
Format formatFor(int unitType);

// The unit of the dose-area product, with the superscript two U+00B2.
inline const QString DapUnit = QStringLiteral("cGyCm\u00B2");

struct Values {
    QString mGy1;    // HFE: dose-area product (cGyCm²); channel: token 1
    QString mGy2;    // HFE: tube voltage (kV); channel: token 6
    QString mGy3;    // HFE: current-time product (mAs); channel: token 11
    QString expTime; // HFE: exposure time (ms); channel: empty
};

// The non-empty tokens of a message, in order. An empty text gives no tokens.
// Throws AppError when the text is not empty but has no start of message ("CH1", or
// the field carrying "cGyCm²").
QStringList channelTokens(const QString &text);
QStringList semicolonTokens(const QString &text);
QStringList tokens(Format format, const QString &text);

// The fields of a semicolon message from its dose field on, trimmed; empty fields stay,
// so that a value without its unit keeps its place. Throws like semicolonTokens.
QStringList semicolonFields(const QString &text);

// The values of a record from the tokens (an index past the end reads as empty).
Values channelValues(const QStringList &tokens);
// Each value is the number in front of its unit, from whichever field carries that unit;
// only a value whose unit no field carries is taken by its place (0 dose, 1 kV, 2 mAs,
// 4 exposure time), and only from a field that carries no unit of its own. A value that
// is not there is empty. What stood in front of a number (line noise) is dropped and
// named in dropped.
Values semicolonValues(const QStringList &fields, QStringList *dropped = nullptr);

// The channel messages of a text: each begins at a "CH1". Text before the first one
// is returned in front (empty when there is none).
QStringList channelMessages(const QString &text, QString *front = nullptr);

// The HFE 501's messages in the text gathered from the line. A message begins with the
// field that carries the dose unit and ends at the line break (CR, LF or CR LF) after
// its exposure time ("ms"); a new dose field also ends the message before it.
struct SemicolonSplit {
    QStringList complete;   // whole messages, oldest first, without their line break
    QStringList incomplete; // cut short (no exposure time) before a new message, or
                            // text in front of the first dose field
    QString rest;           // the start of a message still arriving
};
// With final set (the operator's "Fill"), the last message is taken as it stands and
// nothing waits.
SemicolonSplit splitSemicolon(const QString &text, bool final = false);

} // namespace DoseMessage

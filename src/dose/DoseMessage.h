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

// The values of a record from the tokens (an index past the end reads as empty).
Values channelValues(const QStringList &tokens);
Values semicolonValues(const QStringList &tokens);
Values values(Format format, const QStringList &tokens);

// The HFE 501's end-of-message rule on the text gathered from the line: a message is
// complete once its exposure time has arrived with the unit "ms". When a second message
// follows in the same text (another "ms" after the line break that ends the first), the
// text splits after that line break: message is the first, rest what follows. Otherwise
// message is the whole text and rest is empty. nullopt while no message is complete.
struct SemicolonSplit {
    QString message;
    QString rest;
};
std::optional<SemicolonSplit> nextSemicolonMessage(const QString &text);

} // namespace DoseMessage

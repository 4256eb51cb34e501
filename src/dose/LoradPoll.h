#pragma once
#include <QString>

class Station;
class SerialLink;

// The Lorad M4 does not announce its exposures: the station asks for the dose product
// with "%PRT" and hands the cleaned answer over to dbFill in the channel format.
namespace LoradPoll {

// The request: "%PRT" with carriage return and line feed.
inline const QString Request = QStringLiteral("%PRT\r\n");

// How long the poll waits for the unit's answer: for it to begin, for the line to go
// quiet after it, and in all.
constexpr int AnswerFirstMs = 1500;
constexpr int AnswerQuietMs = 150;
constexpr int AnswerTotalMs = 2000;

// Drops the leading "0" characters of the whole text (not of each line), in place,
// and returns the result.
QString LTrim0(QString &text);

// The answer as it goes into the hand-over file: followed by a line break, every "%"
// removed, leading zeros dropped, another line break.
QString cleanAnswer(const QString &answer);

// Steps 2 to 6 of the poll: opens the port when needed, sends the request, waits
// (bounded) for the answer and cleans it. Returns the cleaned text (the working buffer
// Text4), which the caller hands over. Throws AppError.
QString poll(SerialLink &link);

// The acknowledgement: the bytes of "ACKMSG.TXT" in the station folder, sent to the
// unit. Throws AppError when the file is missing.
void setLoradOK(const Station &station, SerialLink &link);

} // namespace LoradPoll

#pragma once
#include <QDate>
#include <QDateTime>
#include <QString>

// The one place where dates and times become text and back. Birth dates are stored,
// shown and compared in this form everywhere (worklist, dose records, image store),
// so the dose list can match a store patient to dose records by name and birth date.
namespace DateText {
inline const QString DateFormat = QStringLiteral("yyyy-MM-dd");
inline const QString TimeFormat = QStringLiteral("HH:mm:ss");

// "19601231" (DICOM DA) -> "1960-12-31"; text that is not a valid date comes back trimmed.
QString fromDicomDate(const QString &da);
// "093015.123" or "0930" (DICOM TM) -> "09:30:15"; invalid text comes back trimmed.
QString fromDicomTime(const QString &tm);
// "1960-12-31" -> "19601231"; empty when not a date in our form.
QString toDicomDate(const QString &text);
QString date(const QDate &d);
QString time(const QTime &t);
// Capture date and time of a dose record and the stamp of a log line.
QString today();
QString now();
QString logStamp(const QDateTime &dt = QDateTime::currentDateTime());
} // namespace DateText

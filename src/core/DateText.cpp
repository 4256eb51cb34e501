#include "core/DateText.h"

namespace DateText {

QString fromDicomDate(const QString &da)
{
    const QString t = da.trimmed();
    const QDate d = QDate::fromString(t.left(8), QStringLiteral("yyyyMMdd"));
    if (t.size() >= 8 && d.isValid())
        return date(d);
    // Old ACR-NEMA style "1960.12.31"
    const QDate d2 = QDate::fromString(t, QStringLiteral("yyyy.MM.dd"));
    if (d2.isValid())
        return date(d2);
    return t;
}

QString fromDicomTime(const QString &tm)
{
    QString t = tm.trimmed();
    t.remove(QLatin1Char(':'));
    const QString main = t.section(QLatin1Char('.'), 0, 0);
    bool ok = !main.isEmpty();
    for (QChar c : main)
        ok = ok && c.isDigit();
    if (!ok || main.size() < 2 || main.size() > 6 || main.size() % 2)
        return tm.trimmed();
    const int hh = main.mid(0, 2).toInt();
    const int mm = main.size() >= 4 ? main.mid(2, 2).toInt() : 0;
    const int ss = main.size() >= 6 ? main.mid(4, 2).toInt() : 0;
    const QTime q(hh, mm, qMin(ss, 59));
    return q.isValid() ? time(q) : tm.trimmed();
}

QString toDicomDate(const QString &text)
{
    const QDate d = QDate::fromString(text.trimmed(), DateFormat);
    return d.isValid() ? d.toString(QStringLiteral("yyyyMMdd")) : QString();
}

QString date(const QDate &d) { return d.toString(DateFormat); }
QString time(const QTime &t) { return t.toString(TimeFormat); }
QString today() { return date(QDate::currentDate()); }
QString now() { return time(QTime::currentTime()); }
QString logStamp(const QDateTime &dt) { return dt.toString(DateFormat + QLatin1Char(' ') + TimeFormat); }

} // namespace DateText

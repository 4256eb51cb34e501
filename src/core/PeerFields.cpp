#include "core/PeerFields.h"

namespace PeerFields {

QString trimBlanks(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == QLatin1Char(' '))
        ++begin;
    while (end > begin && text.at(end - 1) == QLatin1Char(' '))
        --end;
    return text.mid(begin, end - begin);
}

QString aeTitleProblem(const QString &text)
{
    if (text.isEmpty())
        return QStringLiteral("required, 1 to %1 characters").arg(MaxAeTitle);
    const QString t = trimBlanks(text);
    if (t.isEmpty())
        return QStringLiteral("not only blanks, 1 to %1 characters").arg(MaxAeTitle);
    for (const QChar c : t) {
        if (c == QLatin1Char('\\'))
            return QStringLiteral("no backslash (\\)");
        if (c.unicode() < 0x20 || c.unicode() == 0x7F || c.category() == QChar::Other_Control)
            return QStringLiteral("no control characters (tab, line break)");
    }
    for (const QChar c : t) {
        // The peers compare AE titles byte for byte in ASCII: "Ü" would never match.
        if (c.unicode() > 0x7E)
            return QStringLiteral("plain ASCII letters, digits and signs only, not \"%1\"").arg(c);
    }
    if (t.size() > MaxAeTitle)
        return QStringLiteral("at most %1 characters, this one has %2").arg(MaxAeTitle).arg(t.size());
    return {};
}

QString portProblem(const QString &text)
{
    const QString t = trimBlanks(text);
    if (t.isEmpty())
        return QStringLiteral("required, a number from 1 to 65535");
    for (const QChar c : t)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return QStringLiteral("digits only, a number from 1 to 65535");
    // Leading zeros are harmless; more digits than that are out of range anyway.
    QString digits = t;
    while (digits.size() > 1 && digits.startsWith(QLatin1Char('0')))
        digits.remove(0, 1);
    const uint value = digits.size() <= 5 ? digits.toUInt() : 0;
    if (value < 1 || value > 65535)
        return QStringLiteral("a number from 1 to 65535");
    return {};
}

} // namespace PeerFields

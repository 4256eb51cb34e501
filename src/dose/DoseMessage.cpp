#include "dose/DoseMessage.h"
#include "core/AppError.h"

namespace DoseMessage {

namespace {

QString tokenAt(const QStringList &tokens, int i) { return i < tokens.size() ? tokens.at(i) : QString(); }

QStringList nonEmpty(const QStringList &pieces)
{
    QStringList out;
    for (const QString &p : pieces)
        if (!p.isEmpty())
            out.append(p);
    return out;
}

// A unit that sends UTF-8 puts "Â²" where an ANSI unit puts "²"; both mean the same.
QString normaliseUnit(const QString &text)
{
    QString t = text;
    t.replace(QStringLiteral("cGyCm\u00C2\u00B2"), DapUnit);
    return t;
}

} // namespace

Format formatFor(int unitType)
{
    if (unitType < 5)
        return Format::Channel;
    if (unitType == 5)
        return Format::Semicolon;
    return Format::None;
}

QStringList channelTokens(const QString &text)
{
    if (text.isEmpty())
        return {};
    const qsizetype start = text.indexOf(QStringLiteral("CH1"));
    if (start < 0)
        throw AppError(ErrorNo::BadInput, QStringLiteral("The message has no \"CH1\": not a dose message of the unit"));
    QString t = text.mid(start);
    // Line breaks separate tokens like blanks, also a lone line feed or carriage return
    // (a unit or adapter that ends its lines so would otherwise glue two values into one).
    t.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
    t.replace(QLatin1Char('\n'), QLatin1Char(' '));
    t.replace(QLatin1Char('\r'), QLatin1Char(' '));
    return nonEmpty(t.split(QLatin1Char(' ')));
}

QStringList semicolonTokens(const QString &input)
{
    if (input.isEmpty())
        return {};
    const QString text = normaliseUnit(input);
    const qsizetype unit = text.indexOf(DapUnit);
    if (unit < 0)
        throw AppError(ErrorNo::BadInput, QStringLiteral("The message has no \"%1\": not a dose message of the unit").arg(DapUnit));
    // The message starts with the whole field that carries the unit: after the
    // separator or line break in front of it, or at the start of the text.
    qsizetype start = 0;
    for (qsizetype i = unit - 1; i >= 0; --i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char(';') || c == QLatin1Char('\r') || c == QLatin1Char('\n')) {
            start = i + 1;
            break;
        }
    }
    return nonEmpty(text.mid(start).split(QLatin1Char(';')));
}

QStringList tokens(Format format, const QString &text)
{
    switch (format) {
    case Format::Channel: return channelTokens(text);
    case Format::Semicolon: return semicolonTokens(text);
    case Format::None: break;
    }
    return {};
}

Values channelValues(const QStringList &tokens)
{
    // Token 0 is the piece that begins with "CH1"; the values stand as sent.
    return {tokenAt(tokens, 1), tokenAt(tokens, 6), tokenAt(tokens, 11), QString()};
}

Values semicolonValues(const QStringList &tokens)
{
    auto field = [&](int i, const QString &unit) {
        QString v = tokenAt(tokens, i);
        v.remove(unit);
        // White space of every kind, line breaks too: the last field before the end
        // of a message carries the line break of the hand-over.
        return v.trimmed();
    };
    return {field(0, DapUnit), field(1, QStringLiteral("kV")), field(2, QStringLiteral("mAs")),
            field(4, QStringLiteral("ms"))};
}

Values values(Format format, const QStringList &tokens)
{
    return format == Format::Semicolon ? semicolonValues(tokens) : channelValues(tokens);
}

std::optional<SemicolonSplit> nextSemicolonMessage(const QString &text)
{
    const QString unit = QStringLiteral("ms");
    const qsizetype at = text.indexOf(unit);
    if (at < 0)
        return std::nullopt;
    const qsizetype lineEnd = text.indexOf(QLatin1Char('\n'), at);
    if (lineEnd >= 0) {
        const QString rest = text.mid(lineEnd + 1);
        if (rest.contains(unit))
            return SemicolonSplit{text.left(lineEnd + 1), rest};
    }
    return SemicolonSplit{text, QString()};
}

} // namespace DoseMessage

#include "dose/DoseMessage.h"
#include "core/AppError.h"

#include <QRegularExpression>

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

// The start of the field that holds position pos: after the separator or line break in
// front of it, or the start of the text.
qsizetype fieldStart(const QString &text, qsizetype pos)
{
    for (qsizetype i = pos - 1; i >= 0; --i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char(';') || c == QLatin1Char('\r') || c == QLatin1Char('\n'))
            return i + 1;
    }
    return 0;
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

QStringList semicolonFields(const QString &input)
{
    if (input.isEmpty())
        return {};
    const QString text = normaliseUnit(input);
    const qsizetype unit = text.indexOf(DapUnit);
    if (unit < 0)
        throw AppError(ErrorNo::BadInput,
                       QStringLiteral("The message has no \"%1\": not a dose message of the unit").arg(DapUnit));
    QStringList fields = text.mid(fieldStart(text, unit)).split(QLatin1Char(';'));
    for (QString &f : fields)
        f = f.trimmed(); // white space of every kind, the line break of the hand-over too
    return fields;
}

QStringList semicolonTokens(const QString &input) { return nonEmpty(semicolonFields(input)); }

QStringList tokens(Format format, const QString &text)
{
    switch (format) {
    case Format::Channel:
        return channelTokens(text);
    case Format::Semicolon:
        return semicolonTokens(text);
    case Format::None:
        break;
    }
    return {};
}

Values channelValues(const QStringList &tokens)
{
    // Token 0 is the piece that begins with "CH1"; the values stand as sent.
    return {tokenAt(tokens, 1), tokenAt(tokens, 6), tokenAt(tokens, 11), QString()};
}

Values semicolonValues(const QStringList &fields, QStringList *dropped)
{
    const QStringList units = {DapUnit, QStringLiteral("kV"), QStringLiteral("mAs"), QStringLiteral("ms")};
    const int places[] = {0, 1, 2, 4};
    auto carriesUnit = [&units](const QString &f) {
        for (const QString &u : units)
            if (f.endsWith(u))
                return true;
        return false;
    };
    // A number, then blanks, then the unit at the end of the field.
    static const QRegularExpression number(QStringLiteral("([-+]?[0-9]+(?:[.,][0-9]+)?)\\s*$"));
    QString out[4];
    for (int k = 0; k < 4; ++k) {
        bool found = false;
        for (const QString &f : fields) {
            if (!f.endsWith(units[k]))
                continue;
            const QString body = f.left(f.size() - units[k].size());
            const QRegularExpressionMatch m = number.match(body);
            if (m.hasMatch()) {
                out[k] = m.captured(1);
                const QString noise = body.left(m.capturedStart(1)).trimmed();
                if (!noise.isEmpty() && dropped)
                    dropped->append(noise);
            } else if (!body.trimmed().isEmpty() && dropped) {
                dropped->append(body.trimmed());
            }
            found = true;
            break;
        }
        if (!found && places[k] < fields.size() && !carriesUnit(fields.at(places[k])))
            out[k] = fields.at(places[k]);
    }
    return {out[0], out[1], out[2], out[3]};
}

QStringList channelMessages(const QString &text, QString *front)
{
    const QString start = QStringLiteral("CH1");
    QStringList out;
    qsizetype at = text.indexOf(start);
    if (front)
        *front = at < 0 ? text : text.left(at);
    while (at >= 0) {
        const qsizetype next = text.indexOf(start, at + start.size());
        out.append(text.mid(at, next < 0 ? -1 : next - at));
        at = next;
    }
    return out;
}

SemicolonSplit splitSemicolon(const QString &input, bool final)
{
    SemicolonSplit out;
    const QString text = normaliseUnit(input);
    // Where each message begins: at the number in front of each dose unit, so that a
    // message whose line end was lost, or a noise byte, never runs into the next one.
    QList<qsizetype> starts;
    for (qsizetype u = text.indexOf(DapUnit); u >= 0; u = text.indexOf(DapUnit, u + DapUnit.size())) {
        qsizetype s = u;
        while (s > 0 && text.at(s - 1) == QLatin1Char(' '))
            --s;
        while (
            s > 0
            && (text.at(s - 1).isDigit() || text.at(s - 1) == QLatin1Char('.') || text.at(s - 1) == QLatin1Char(',')))
            --s;
        if (starts.isEmpty() || s > starts.last())
            starts.append(s);
    }
    auto isLineEnd = [](QChar c) { return c == QLatin1Char('\r') || c == QLatin1Char('\n'); };
    if (starts.isEmpty()) {
        // No message begins here: lines already ended can never become one.
        qsizetype cut = text.size();
        if (!final) {
            cut = 0;
            for (qsizetype k = 0; k < text.size(); ++k)
                if (isLineEnd(text.at(k)))
                    cut = k + 1;
        }
        if (!text.left(cut).trimmed().isEmpty())
            out.incomplete.append(text.left(cut));
        out.rest = text.mid(cut);
        return out;
    }
    if (!text.left(starts.first()).trimmed().isEmpty())
        out.incomplete.append(text.left(starts.first()));
    for (int i = 0; i < starts.size(); ++i) {
        const bool last = i + 1 == starts.size();
        const QString segment = text.mid(starts[i], last ? -1 : starts[i + 1] - starts[i]);
        // The exposure time: "ms" at the end of a field.
        qsizetype timeEnd = -1;
        for (qsizetype m = segment.indexOf(QStringLiteral("ms")); m >= 0 && timeEnd < 0;
             m = segment.indexOf(QStringLiteral("ms"), m + 1)) {
            const qsizetype after = m + 2;
            if (after == segment.size() || segment.at(after) == QLatin1Char(';') || segment.at(after).isSpace())
                timeEnd = after;
        }
        qsizetype lineEnd = -1;
        for (qsizetype k = qMax<qsizetype>(timeEnd, 0); timeEnd >= 0 && k < segment.size() && lineEnd < 0; ++k)
            if (isLineEnd(segment.at(k)))
                lineEnd = k;
        if (timeEnd >= 0 && lineEnd >= 0) {
            qsizetype next = lineEnd + 1;
            if (segment.at(lineEnd) == QLatin1Char('\r') && next < segment.size()
                && segment.at(next) == QLatin1Char('\n'))
                ++next;
            out.complete.append(segment.left(lineEnd).trimmed());
            const QString tail = segment.mid(next);
            if (last && !final)
                out.rest = tail; // the start of the next message
            else if (!tail.trimmed().isEmpty())
                out.incomplete.append(tail);
        } else if (!last || final) {
            // Ended by the next message: whole when its exposure time came, cut short
            // otherwise. The operator's "Fill" takes the last one as it stands.
            if (timeEnd >= 0 || last)
                out.complete.append(segment.trimmed());
            else
                out.incomplete.append(segment);
        } else {
            out.rest = segment;
        }
    }
    return out;
}

} // namespace DoseMessage

// The dose message reader on whatever the serial line brings: the bytes as the line hands
// them over, split and read the way the panel (message by message, waiting for the rest)
// and "Fill" (everything, nothing waits) do, for both message formats.
#include "FuzzSupport.h"
#include "core/AppError.h"
#include "dose/DoseMessage.h"
#include "dose/SerialLink.h"

#include <cstddef>
#include <cstdint>

namespace {

using namespace DoseMessage;

// No value of a record is made up: each is a piece of its message.
void checkValues(const Values &v, const QString &message)
{
    for (const QString *s : {&v.mGy1, &v.mGy2, &v.mGy3, &v.expTime})
        fuzz::check(message.contains(*s), "a value that is not in its message", *s);
}

void semicolon(const QString &text, bool final)
{
    const SemicolonSplit s = splitSemicolon(text, final);
    qsizetype total = s.rest.size();
    for (const QString &m : s.complete) {
        fuzz::check(m.contains(DapUnit), "a whole HFE message without its dose unit", m);
        total += m.size();
        QStringList dropped;
        const QStringList fields = semicolonFields(m); // has the unit: must not throw
        checkValues(semicolonValues(fields, &dropped), m);
        semicolonTokens(m);
    }
    for (const QString &m : s.incomplete)
        total += m.size();
    // The split only cuts; a unit sent as UTF-8 ("Â²") is read as one character shorter.
    fuzz::check(total <= text.size(), "the split made up text");
    if (final)
        fuzz::check(s.rest.isEmpty(), "Fill left text waiting", s.rest);
}

void channel(const QString &text)
{
    QString front;
    const QStringList messages = channelMessages(text, &front);
    fuzz::check(front + messages.join(QString()) == text, "the channel messages do not add up to the text");
    for (const QString &m : messages) {
        fuzz::check(m.startsWith(QStringLiteral("CH1")), "a channel message that does not begin at CH1", m);
        const QStringList t = channelTokens(m); // begins at CH1: must not throw
        for (const QString &token : t)
            fuzz::check(!token.isEmpty() && m.contains(token), "a token that is not in its message", token);
        checkValues(channelValues(t), m);
    }
    try {
        channelTokens(text);
        fuzz::check(text.isEmpty() || !messages.isEmpty(), "tokens read from a text without CH1");
    } catch (const AppError &) {
        fuzz::check(messages.isEmpty(), "a text with CH1 refused");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = SerialLink::fromLine(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    semicolon(text, false);
    semicolon(text, true);
    channel(text);
    return 0;
}

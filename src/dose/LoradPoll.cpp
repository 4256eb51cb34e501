#include "dose/LoradPoll.h"
#include "core/AppError.h"
#include "core/Station.h"
#include "dose/SerialLink.h"

#include <QFile>

namespace LoradPoll {

QString LTrim0(QString &text)
{
    qsizetype n = 0;
    while (n < text.size() && text.at(n) == QLatin1Char('0'))
        ++n;
    text.remove(0, n);
    return text;
}

QString cleanAnswer(const QString &answer)
{
    QString text = answer + QStringLiteral("\r\n");
    text.remove(QLatin1Char('%'));
    return LTrim0(text) + QStringLiteral("\r\n");
}

QString poll(SerialLink &link)
{
    if (!link.isOpen())
        link.open();
    link.write(Request);
    return cleanAnswer(link.readAnswer(AnswerFirstMs, AnswerQuietMs, AnswerTotalMs));
}

void setLoradOK(const Station &station, SerialLink &link)
{
    if (!link.isOpen())
        link.open();
    const QString path = station.paths().file(QStringLiteral("ACKMSG.TXT"));
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        throw AppError(ErrorNo::FileNotFound, QStringLiteral("File not found: %1").arg(path));
    link.write(SerialLink::fromLine(f.readAll()));
}

} // namespace LoradPoll

#include "edit/Task.h"

#include <QRegularExpression>

Task::Scope Task::scope() const
{
    const QString tag = sourceTag();
    if (level == QLatin1String("Patient") || tag.left(4) == QLatin1String("0010"))
        return Scope::Patient;
    // A Study Instance UID names the whole study: changed at any lower level it is
    // changed for every image of the study, or the study would be split.
    if (level == QLatin1String("Study") || tag == QLatin1String("0020,000D"))
        return Scope::Study;
    if (level == QLatin1String("Series") || tag == QLatin1String("0020,000E"))
        return Scope::Series;
    return Scope::Image;
}

int Task::imageNumber() const
{
    if (!level.startsWith(QLatin1String("Image #")))
        return 0;
    bool ok = false;
    const int n = level.mid(7).trimmed().toInt(&ok);
    return ok && n > 0 ? n : 0;
}

QString Task::typeText(int type)
{
    switch (type) {
    case Change:
        return QStringLiteral("Change entry");
    case Move:
        return QStringLiteral("Move entry");
    case Switch:
        return QStringLiteral("Switch entry");
    default:
        return {};
    }
}

bool Task::parseTag(const QString &tag, quint16 *group, quint16 *element)
{
    static const QRegularExpression re(QStringLiteral("^([0-9A-Fa-f]{4}),([0-9A-Fa-f]{4})$"));
    const auto m = re.match(tag);
    if (!m.hasMatch())
        return false;
    *group = static_cast<quint16>(m.captured(1).toUInt(nullptr, 16));
    *element = static_cast<quint16>(m.captured(2).toUInt(nullptr, 16));
    return true;
}

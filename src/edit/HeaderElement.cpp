#include "edit/HeaderElement.h"
#include "core/AppError.h"
#include "core/Station.h"
#include "dicom/Image.h"

namespace HeaderElement {

bool parseHex16(const QString &text, quint16 *value)
{
    if (text.isEmpty() || text.size() > 4)
        return false;
    bool ok = false;
    const uint v = text.toUInt(&ok, 16);
    // toUInt accepts a leading "+" or "0x"; a tag part is only digits.
    for (QChar c : text) {
        if (!c.isDigit() && !(c.toUpper() >= QLatin1Char('A') && c.toUpper() <= QLatin1Char('F')))
            return false;
    }
    if (!ok)
        return false;
    *value = static_cast<quint16>(v);
    return true;
}

QString joinValues(const std::vector<QString> &values)
{
    QStringList taken;
    for (size_t i = 0; i < values.size(); ++i) {
        const QString &v = values[i];
        if (v.isEmpty())
            break;
        if (i > 0 && v == values[i - 1])
            break;
        taken << v;
        if (v == dicom::UnknownDataType)
            break;
    }
    return taken.join(QStringLiteral(" | "));
}

QString GetHeaderElement(const Station &station, const QString &group, const QString &element,
                         const dicom::Image &image)
{
    QString out;
    station.trap(QStringLiteral("GetHeaderElement"), [&] {
        quint16 g = 0, e = 0;
        if (!parseHex16(group, &g) || !parseHex16(element, &e))
            throw AppError(ErrorNo::BadInput, QStringLiteral("Not an element tag: \"%1,%2\"").arg(group, element));
        if (auto values = image.values(g, e))
            out = joinValues(*values);
    });
    return out;
}

} // namespace HeaderElement

#include "core/PatientName.h"

namespace PatientName {

QString replaceApostrophes(const QString &name)
{
    QString out = name;
    out.replace(QLatin1Char('\''), QChar(0x00B4));
    return out;
}

} // namespace PatientName

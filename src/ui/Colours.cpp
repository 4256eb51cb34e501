#include "ui/Colours.h"

QColor colourFromBgr(qint32 bgr)
{
    const quint32 v = static_cast<quint32>(bgr);
    return QColor(v & 0xFF, (v >> 8) & 0xFF, (v >> 16) & 0xFF);
}

qint32 bgrFromColour(const QColor &c)
{
    return static_cast<qint32>(static_cast<quint32>(c.red()) | (static_cast<quint32>(c.green()) << 8)
                               | (static_cast<quint32>(c.blue()) << 16));
}

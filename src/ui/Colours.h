#pragma once
#include <QColor>
#include <QtGlobal>

// Colours are kept in the settings as Windows COLORREF values: 0x00BBGGRR.
QColor colourFromBgr(qint32 bgr);
qint32 bgrFromColour(const QColor &c);

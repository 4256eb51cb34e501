#include "store/ViewerPaging.h"

#include <QtMath>
#include <qnamespace.h>
#include <cmath>

namespace ViewerPaging {

int roundUp(double x)
{
    return static_cast<int>(std::ceil(x));
}

ScrollSetup scrollSetup(int imageCount, int imagesPerPage, int columns)
{
    ScrollSetup s;
    if (imageCount <= 0 || imagesPerPage <= 0 || imageCount < imagesPerPage)
        return s;
    s.enabled = true;
    s.maximum = roundUp(double(imageCount - imagesPerPage) / double(qMax(1, columns)));
    return s;
}

int firstFromScrollValue(int value, int columns)
{
    return qMax(0, value) * qMax(1, columns) + 1;
}

int firstFromScrollDrag(int value, int imagesPerPage)
{
    if (value < 2)
        return qMax(1, value); // image numbers start at 1
    const double half = imagesPerPage / 2.0;
    // Rounded half to even, as the station always did for this preview.
    return qMax(1, static_cast<int>(std::nearbyint(value * half - (half - 1.0))));
}

int scrollValueForFirst(int first, int columns, int maximum)
{
    return qBound(0, roundUp(double(first - 1) / double(qMax(1, columns))), qMax(0, maximum));
}

int firstAfterKey(int qtKey, int first, int imageCount, int imagesPerPage)
{
    const bool morePages = imageCount > imagesPerPage;
    switch (qtKey) {
    case Qt::Key_PageUp:
        return qMax(1, first - imagesPerPage);
    case Qt::Key_PageDown:
        return first + imagesPerPage < imageCount ? first + imagesPerPage : first;
    case Qt::Key_Left:
        return morePages ? 1 : first;
    case Qt::Key_Right:
        return morePages ? imageCount - imagesPerPage + 1 : first;
    case Qt::Key_Up:
        return first >= 2 ? first - 1 : first;
    case Qt::Key_Down:
        return morePages && first + imagesPerPage - 1 < imageCount ? first + 1 : first;
    default:
        return first;
    }
}

} // namespace ViewerPaging

#include "store/ViewerPaging.h"

#include <QtMath>
#include <cmath>
#include <qnamespace.h>

namespace ViewerPaging {

int roundUp(double x) { return static_cast<int>(std::ceil(x)); }

ScrollSetup scrollSetup(int imageCount, int imagesPerPage, int columns)
{
    ScrollSetup s;
    if (imageCount <= 0 || imagesPerPage <= 0 || imageCount < imagesPerPage)
        return s;
    s.enabled = true;
    s.maximum = roundUp(double(imageCount - imagesPerPage) / double(qMax(1, columns)));
    return s;
}

int firstFromScrollValue(int value, int columns) { return qMax(0, value) * qMax(1, columns) + 1; }

int firstFromScrollDrag(int value, int columns, int maximum)
{
    // The old preview rule (value x half a page) ran past the last page with many images
    // and showed an empty viewer; the thumb now shows what its release will show.
    return firstFromScrollValue(qBound(0, value, qMax(0, maximum)), columns);
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

bool isBreastImage(const QString &modality, const QString &bodyPart)
{
    return modality.trimmed().compare(QLatin1String("MG"), Qt::CaseInsensitive) == 0
           || bodyPart.trimmed().compare(QLatin1String("BREAST"), Qt::CaseInsensitive) == 0;
}

QList<int> hangingCells(const QList<HangingInput> &images)
{
    // Views in hanging order; others join in the order they first come.
    QStringList views{QStringLiteral("CC"), QStringLiteral("MLO")};
    QList<QList<int>> right, left;
    QList<int> loose;
    auto viewIndex = [&views](const QString &v) {
        qsizetype i = views.indexOf(v);
        if (i < 0) {
            views << v;
            i = views.size() - 1;
        }
        return int(i);
    };
    for (int n = 1; n <= images.size(); ++n) {
        const HangingInput &in = images.at(n - 1);
        const QString lat = in.laterality.trimmed().toUpper();
        const QString view = in.view.trimmed().toUpper();
        if ((lat != QLatin1String("R") && lat != QLatin1String("L")) || view.isEmpty()) {
            loose << n;
            continue;
        }
        const int v = viewIndex(view);
        while (right.size() <= v) {
            right.append(QList<int>());
            left.append(QList<int>());
        }
        (lat == QLatin1String("R") ? right : left)[v] << n;
    }
    QList<int> cells;
    for (int v = 0; v < right.size(); ++v) {
        const qsizetype rows = qMax(right[v].size(), left[v].size());
        for (qsizetype r = 0; r < rows; ++r)
            cells << (r < right[v].size() ? right[v][r] : 0) << (r < left[v].size() ? left[v][r] : 0);
    }
    cells << loose;
    if (cells.size() % 2)
        cells << 0;
    return cells;
}

bool chestWallMirror(const QString &laterality, const QString &rowDirection)
{
    // The rows run towards the nipple (A) or the chest wall (P).
    const QString lat = laterality.trimmed().toUpper();
    const QString dir = rowDirection.trimmed().toUpper();
    if (lat == QLatin1String("R"))
        return dir.startsWith(QLatin1Char('A'));
    if (lat == QLatin1String("L"))
        return dir.startsWith(QLatin1Char('P'));
    return false;
}

} // namespace ViewerPaging

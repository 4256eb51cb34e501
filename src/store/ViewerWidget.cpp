#include "store/ViewerWidget.h"
#include "ui/Colours.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QTransform>
#include <cmath>

ViewerWidget::ViewerWidget(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("dv1"));
    setFocusPolicy(Qt::StrongFocus);
    setMinimumSize(200, 200);
}

void ViewerWidget::setGrid(int rows, int columns)
{
    m_rows = qMax(1, rows);
    m_columns = qMax(1, columns);
    update();
}

void ViewerWidget::setColours(qint32 background, qint32 foreground)
{
    m_bg = colourFromBgr(background);
    m_fg = colourFromBgr(foreground);
    update();
}

void ViewerWidget::clear()
{
    m_images.clear();
    m_first = 1;
    m_framed = 0;
    update();
}

void ViewerWidget::reserve(int count)
{
    m_images.clear();
    m_images.resize(qMax(0, count));
    m_first = 1;
    m_framed = 0;
    update();
}

void ViewerWidget::setImage(int number, const ViewerImage &img)
{
    if (number < 1 || number > count())
        return;
    m_images[number - 1] = img;
    const QRect r = cellRect(number);
    if (!r.isEmpty())
        update(r);
}

int ViewerWidget::dropEmpty()
{
    const int before = count();
    const QString framedUid = m_framed > 0 && m_framed <= count() ? m_images[m_framed - 1].sopInstanceUid : QString();
    m_images.removeIf([](const ViewerImage &i) { return !i.loaded(); });
    m_framed = 0;
    if (!framedUid.isEmpty()) {
        for (int i = 0; i < count(); ++i)
            if (m_images[i].sopInstanceUid == framedUid)
                m_framed = i + 1;
    }
    m_first = qBound(1, m_first, qMax(1, count()));
    update();
    return before - count();
}

void ViewerWidget::removeImage(int number)
{
    if (number < 1 || number > count())
        return;
    m_images.removeAt(number - 1);
    if (m_framed == number)
        m_framed = 0;
    else if (m_framed > number)
        --m_framed;
    m_first = qBound(1, m_first, qMax(1, count()));
    update();
}

int ViewerWidget::loadedCount() const
{
    int n = 0;
    for (const auto &i : m_images)
        n += i.loaded() ? 1 : 0;
    return n;
}

void ViewerWidget::setFirstImage(int number)
{
    if (number == m_first)
        return;
    m_first = qMax(1, number);
    update();
}

QRect ViewerWidget::cellRect(int number) const
{
    const int pos = number - m_first;
    if (number < 1 || pos < 0 || pos >= imagesPerPage())
        return {};
    const int row = pos / m_columns;
    const int col = pos % m_columns;
    // Cells share the widget's width and height; rounding spreads the remainder.
    const int x0 = width() * col / m_columns;
    const int x1 = width() * (col + 1) / m_columns;
    const int y0 = height() * row / m_rows;
    const int y1 = height() * (row + 1) / m_rows;
    return QRect(x0, y0, x1 - x0, y1 - y0);
}

int ViewerWidget::imageAt(const QPoint &pos) const
{
    if (!rect().contains(pos))
        return 0;
    const int col = qMin(m_columns - 1, pos.x() * m_columns / qMax(1, width()));
    const int row = qMin(m_rows - 1, pos.y() * m_rows / qMax(1, height()));
    const int number = m_first + row * m_columns + col;
    return number >= 1 && number <= count() ? number : 0;
}

QSize ViewerWidget::renderSize(int imageCount) const
{
    // A cell at its largest side both ways, so a rotated picture is as sharp; never below
    // a useful size (the window may still be small when a load starts).
    int side = qBound(512, qMax(width() / m_columns, height() / m_rows), 2048);
    // At most about 384 MB of pictures (4 bytes a pixel) for the whole load.
    constexpr double budgetPixels = 96.0 * 1024 * 1024;
    const int fit = int(std::sqrt(budgetPixels / qMax(1, imageCount)));
    side = qMax(256, qMin(side, fit));
    return QSize(side, side);
}

void ViewerWidget::setFramed(int number)
{
    const int old = m_framed;
    m_framed = number >= 1 && number <= count() ? number : 0;
    for (int n : {old, m_framed}) {
        const QRect r = cellRect(n);
        if (!r.isEmpty())
            update(r);
    }
}

void ViewerWidget::rotate(int number, int degreesClockwise)
{
    if (number < 1 || number > count())
        return;
    auto &img = m_images[number - 1];
    img.rotation = ((img.rotation + degreesClockwise) % 360 + 360) % 360;
    update(cellRect(number));
}

void ViewerWidget::mirror(int number, bool horizontal)
{
    if (number < 1 || number > count())
        return;
    auto &img = m_images[number - 1];
    if (horizontal)
        img.mirrorH = !img.mirrorH;
    else
        img.mirrorV = !img.mirrorV;
    update(cellRect(number));
}

void ViewerWidget::reset(int number)
{
    if (number < 1 || number > count())
        return;
    auto &img = m_images[number - 1];
    img.rotation = 0;
    img.mirrorH = img.mirrorV = false;
    update(cellRect(number));
}

QImage ViewerWidget::transformed(const ViewerImage &img) const
{
    if (img.rotation == 0 && !img.mirrorH && !img.mirrorV)
        return img.image;
    // Mirroring applies to the stored orientation, then the picture is turned.
    QImage out = img.image.mirrored(img.mirrorH, img.mirrorV);
    if (img.rotation != 0)
        out = out.transformed(QTransform().rotate(img.rotation));
    return out;
}

void ViewerWidget::paintEvent(QPaintEvent *ev)
{
    QPainter p(this);
    p.fillRect(ev->rect(), m_bg);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    const int last = qMin(count(), m_first + imagesPerPage() - 1);
    for (int n = m_first; n <= last; ++n) {
        const QRect cell = cellRect(n);
        if (!cell.intersects(ev->rect()))
            continue;
        const ViewerImage &img = m_images[n - 1];
        if (img.loaded()) {
            const QImage pic = transformed(img);
            const QRect inner = cell.adjusted(2, 2, -2, -2);
            QSize fit = pic.size().scaled(inner.size(), Qt::KeepAspectRatio);
            QRect target(QPoint(0, 0), fit);
            target.moveCenter(inner.center());
            p.drawImage(target, pic);
        } else {
            // Still being read: a quiet mark, so the place does not look empty for good.
            p.setPen(m_bg.lightness() < 128 ? QColor(90, 90, 90) : QColor(150, 150, 150));
            p.drawText(cell, Qt::AlignCenter, QStringLiteral("\u2026"));
        }
        if (n == m_framed) {
            p.setPen(QPen(m_fg, 2));
            p.setBrush(Qt::NoBrush);
            p.drawRect(cell.adjusted(1, 1, -1, -1));
        }
    }
}

void ViewerWidget::mouseReleaseEvent(QMouseEvent *e)
{
    emit mouseReleased(imageAt(e->position().toPoint()), e->button(), e->globalPosition().toPoint());
    QWidget::mouseReleaseEvent(e);
}

void ViewerWidget::keyPressEvent(QKeyEvent *e)
{
    emit keyPressed(e->key());
    QWidget::keyPressEvent(e);
}

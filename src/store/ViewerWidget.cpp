#include "store/ViewerWidget.h"
#include "store/ViewerPaging.h"
#include "ui/Colours.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QTransform>
#include <QWheelEvent>
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

void ViewerWidget::setMammoLayout(bool on)
{
    if (on == m_mammoAllowed)
        return;
    m_mammoAllowed = on;
    relayout();
    update();
}

void ViewerWidget::relayout()
{
    // Mammograms hang only when every image that has arrived is one; images still being
    // read do not count either way until they come.
    bool hanging = m_mammoAllowed;
    int seen = 0;
    for (const ViewerImage &i : m_images) {
        if (!i.loaded())
            continue;
        ++seen;
        if (!ViewerPaging::isBreastImage(i.modality, i.bodyPart)) {
            hanging = false;
            break;
        }
    }
    hanging = hanging && seen > 0;
    QList<int> cells;
    if (hanging) {
        QList<ViewerPaging::HangingInput> in;
        in.reserve(m_images.size());
        for (const ViewerImage &i : m_images)
            in.append({i.loaded() ? i.laterality : QString(), i.loaded() ? i.view : QString()});
        cells = ViewerPaging::hangingCells(in);
    } else {
        cells.reserve(m_images.size());
        for (int n = 1; n <= count(); ++n)
            cells << n;
    }
    const bool changed = hanging != m_hanging || cells.size() != m_cells.size();
    const bool moved = cells != m_cells;
    m_hanging = hanging;
    m_cells = cells;
    if (changed)
        m_first = 1;
    m_first = qBound(1, m_first, qMax(1, cellCount()));
    if (moved)
        update();
    if (changed)
        emit layoutChanged();
}

int ViewerWidget::cellOf(int number) const
{
    if (number < 1)
        return 0;
    if (!m_hanging)
        return number <= cellCount() ? number : 0;
    return int(m_cells.indexOf(number)) + 1;
}

QString ViewerWidget::viewLabel(const ViewerImage &img)
{
    return QStringList{img.laterality, img.view}.join(QLatin1Char(' ')).trimmed();
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
    m_newest = 0;
    m_enlarged = 0;
    m_enlargedPic = QImage();
    relayout();
    update();
}

void ViewerWidget::reserve(int count)
{
    m_images.clear();
    m_images.resize(qMax(0, count));
    m_first = 1;
    m_framed = 0;
    m_newest = 0;
    m_enlarged = 0;
    m_enlargedPic = QImage();
    relayout();
    update();
}

void ViewerWidget::setImage(int number, const ViewerImage &img)
{
    if (number < 1 || number > count())
        return;
    m_images[number - 1] = img;
    relayout();
    const QRect r = cellRect(number);
    if (!r.isEmpty())
        update(r);
}

void ViewerWidget::append(int n)
{
    if (n <= 0)
        return;
    m_images.resize(m_images.size() + n);
    relayout();
    update();
}

void ViewerWidget::setCaption(int number, const QString &caption)
{
    if (number < 1 || number > count() || m_images[number - 1].caption == caption)
        return;
    m_images[number - 1].caption = caption;
    const QRect r = cellRect(number);
    if (!r.isEmpty())
        update(r);
}

void ViewerWidget::setNewest(int number)
{
    const int was = m_newest;
    m_newest = number >= 1 && number <= count() ? number : 0;
    for (int n : {was, m_newest}) {
        const QRect r = n ? cellRect(n) : QRect();
        if (!r.isEmpty())
            update(r);
    }
}

int ViewerWidget::dropEmpty()
{
    const int before = count();
    const auto uidOf = [this](int n) { return n > 0 && n <= count() ? m_images[n - 1].sopInstanceUid : QString(); };
    const QString framedUid = uidOf(m_framed), newestUid = uidOf(m_newest);
    m_images.removeIf([](const ViewerImage &i) { return !i.loaded(); });
    m_framed = m_newest = 0;
    for (int i = 0; i < count(); ++i) {
        if (!framedUid.isEmpty() && m_images[i].sopInstanceUid == framedUid)
            m_framed = i + 1;
        if (!newestUid.isEmpty() && m_images[i].sopInstanceUid == newestUid)
            m_newest = i + 1;
    }
    if (m_enlarged > count())
        m_enlarged = 0;
    relayout();
    m_first = qBound(1, m_first, qMax(1, cellCount()));
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
    if (m_newest == number)
        m_newest = 0;
    else if (m_newest > number)
        --m_newest;
    if (m_enlarged == number) {
        m_enlarged = 0;
        m_enlargedPic = QImage();
    } else if (m_enlarged > number) {
        --m_enlarged;
    }
    relayout();
    m_first = qBound(1, m_first, qMax(1, cellCount()));
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

void ViewerWidget::setEnlarged(int number)
{
    const int n = number >= 1 && number <= count() ? number : 0;
    if (n == m_enlarged)
        return;
    m_enlarged = n;
    m_enlargedPic = QImage();
    update();
}

void ViewerWidget::setEnlargedPicture(const QImage &picture)
{
    m_enlargedPic = picture;
    if (m_enlarged)
        update();
}

QRect ViewerWidget::slotRect(int slot) const
{
    const int pos = slot - m_first;
    if (slot < 1 || pos < 0 || pos >= imagesPerPage())
        return {};
    const int rows = this->rows(), cols = columns();
    const int row = pos / cols;
    const int col = pos % cols;
    // Cells share the widget's width and height; rounding spreads the remainder.
    const int x0 = width() * col / cols;
    const int x1 = width() * (col + 1) / cols;
    const int y0 = height() * row / rows;
    const int y1 = height() * (row + 1) / rows;
    return QRect(x0, y0, x1 - x0, y1 - y0);
}

QRect ViewerWidget::cellRect(int number) const
{
    if (m_enlarged)
        return number == m_enlarged ? rect() : QRect();
    return slotRect(cellOf(number));
}

int ViewerWidget::imageAt(const QPoint &pos) const
{
    if (!rect().contains(pos))
        return 0;
    if (m_enlarged)
        return m_enlarged;
    const int rows = this->rows(), cols = columns();
    const int col = qMin(cols - 1, pos.x() * cols / qMax(1, width()));
    const int row = qMin(rows - 1, pos.y() * rows / qMax(1, height()));
    const int slot = m_first + row * cols + col;
    return slot >= 1 && slot <= cellCount() ? m_cells.at(slot - 1) : 0;
}

QSize ViewerWidget::renderSize(int imageCount) const
{
    // A cell at its largest side both ways, so a rotated picture is as sharp; never below
    // a useful size (the window may still be small when a load starts).
    int side = qBound(512, qMax(width() / columns(), height() / rows()), 2048);
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
    // The hanging turns a breast so its chest wall faces the other; the user's mirroring
    // applies on top, then the picture is turned.
    const bool hangMirror = m_hanging && ViewerPaging::chestWallMirror(img.laterality, img.rowDirection);
    const bool mirrorH = img.mirrorH != hangMirror;
    if (img.rotation == 0 && !mirrorH && !img.mirrorV)
        return img.image;
    QImage out = img.image.mirrored(mirrorH, img.mirrorV);
    if (img.rotation != 0)
        out = out.transformed(QTransform().rotate(img.rotation));
    return out;
}

void ViewerWidget::drawImage(QPainter &p, const QRect &cell, int number, const QImage *override)
{
    const ViewerImage &img = m_images[number - 1];
    if (img.loaded()) {
        QImage pic;
        if (override && !override->isNull()) {
            ViewerImage shown = img;
            shown.image = *override;
            pic = transformed(shown);
        } else {
            pic = transformed(img);
        }
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
    // Laterality and view top left, the image number top right, as on any reading screen.
    QFont f = font();
    f.setBold(true);
    f.setPixelSize(qBound(10, cell.height() / 28, 18));
    p.setFont(f);
    p.setPen(m_fg);
    const QRect textArea = cell.adjusted(6, 4, -6, -4);
    const QString label = viewLabel(img);
    if (!label.isEmpty())
        p.drawText(textArea, Qt::AlignLeft | Qt::AlignTop, label);
    p.drawText(textArea, Qt::AlignRight | Qt::AlignTop, QString::number(number));
    // The dose of the exposure along the bottom; the image that came last marked "new"
    // under its number, so the radiographer sees at a glance which one to check.
    if (!img.caption.isEmpty()) {
        QFont small = f;
        small.setBold(false);
        p.setFont(small);
        p.drawText(textArea, Qt::AlignLeft | Qt::AlignBottom | Qt::TextWordWrap, img.caption);
        p.setFont(f);
    }
    if (number == m_newest) {
        const QFontMetrics fm(f);
        const QString mark = QStringLiteral("new");
        QRect badge(0, 0, fm.horizontalAdvance(mark) + 10, fm.height() + 2);
        badge.moveTopRight(QPoint(textArea.right(), textArea.top() + fm.height() + 4));
        p.fillRect(badge, QColor(0, 160, 70));
        p.setPen(Qt::white);
        p.drawText(badge, Qt::AlignCenter, mark);
        p.setPen(m_fg);
    }
}

void ViewerWidget::paintEvent(QPaintEvent *ev)
{
    QPainter p(this);
    p.fillRect(ev->rect(), m_bg);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    if (m_enlarged) {
        drawImage(p, rect(), m_enlarged, &m_enlargedPic);
        return;
    }
    const int lastSlot = qMin(cellCount(), m_first + imagesPerPage() - 1);
    for (int slot = m_first; slot <= lastSlot; ++slot) {
        const int n = m_cells.at(slot - 1);
        if (n < 1 || n > count())
            continue;
        const QRect cell = slotRect(slot);
        if (!cell.intersects(ev->rect()))
            continue;
        drawImage(p, cell, n);
        if (n == m_framed) {
            p.setPen(QPen(m_fg, 2));
            p.setBrush(Qt::NoBrush);
            p.drawRect(cell.adjusted(1, 1, -1, -1));
        }
    }
}

void ViewerWidget::mousePressEvent(QMouseEvent *e)
{
    if (e->button() == Qt::RightButton) {
        m_rightFrom = e->position().toPoint();
        m_rightDragging = false;
    }
    QWidget::mousePressEvent(e);
}

void ViewerWidget::mouseMoveEvent(QMouseEvent *e)
{
    if (e->buttons() & Qt::RightButton) {
        const QPoint at = e->position().toPoint();
        const QPoint d = at - m_rightFrom;
        // A few pixels of a shaky hand are still a click (the context menu).
        if (m_rightDragging || d.manhattanLength() > 3) {
            m_rightDragging = true;
            m_rightFrom = at;
            emit rightDragged(d.x(), d.y());
        }
    }
    QWidget::mouseMoveEvent(e);
}

void ViewerWidget::mouseDoubleClickEvent(QMouseEvent *e)
{
    if (e->button() == Qt::LeftButton)
        emit doubleClicked(imageAt(e->position().toPoint()));
    QWidget::mouseDoubleClickEvent(e);
}

void ViewerWidget::wheelEvent(QWheelEvent *e)
{
    // Fine-grained wheels send parts of a notch: whole notches only.
    m_wheelRest += e->angleDelta().y();
    const int notches = m_wheelRest / 120;
    m_wheelRest -= notches * 120;
    if (notches != 0)
        emit wheelTurned(notches);
    e->accept();
}

void ViewerWidget::mouseReleaseEvent(QMouseEvent *e)
{
    if (e->button() == Qt::RightButton && m_rightDragging) {
        m_rightDragging = false; // the end of a window drag, not a click
        QWidget::mouseReleaseEvent(e);
        return;
    }
    emit mouseReleased(imageAt(e->position().toPoint()), e->button(), e->globalPosition().toPoint());
    QWidget::mouseReleaseEvent(e);
}

void ViewerWidget::keyPressEvent(QKeyEvent *e)
{
    emit keyPressed(e->key());
    QWidget::keyPressEvent(e);
}

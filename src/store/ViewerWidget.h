#pragma once
#include "store/ViewerImage.h"

#include <QColor>
#include <QImage>
#include <QList>
#include <QSize>
#include <QString>
#include <QWidget>

// The image viewer dv1: a grid of rows x columns cells on the background colour. Image
// numbers start at 1; the page starts at the cell firstImage() (the image number in the
// plain grid). Each image is scaled to fit its cell with its aspect kept; the current
// image is framed in the foreground colour, and every cell is labelled with laterality,
// view and image number. Mammograms (when the layout is on) hang 2 x 2, R CC and L CC
// over R MLO and L MLO, chest walls facing; one image can be enlarged to fill the viewer.
class ViewerWidget : public QWidget {
    Q_OBJECT
public:
    explicit ViewerWidget(QWidget *parent = nullptr);

    void setGrid(int rows, int columns);
    // Whether a study of mammograms only hangs 2 x 2 (else it keeps the grid).
    void setMammoLayout(bool on);
    bool mammoLayoutOn() const { return m_mammoAllowed; }
    // True while the images shown hang as mammograms.
    bool isHanging() const { return m_hanging; }
    // The cells in reading order: the image number of each, 0 for an empty one.
    QList<int> cells() const { return m_cells; }
    int cellCount() const { return int(m_cells.size()); }
    void setColours(qint32 background, qint32 foreground); // 0x00BBGGRR
    int rows() const { return m_hanging ? 2 : m_rows; }
    int columns() const { return m_hanging ? 2 : m_columns; }
    int imagesPerPage() const { return rows() * columns(); }
    QColor background() const { return m_bg; }
    QColor foreground() const { return m_fg; }

    // The collection: empty it, reserve places for a load, fill a place as its picture
    // arrives, drop the places that never got one.
    void clear();
    void reserve(int count);
    void setImage(int number, const ViewerImage &img);
    // More places after the images there are (images that came into the shown study).
    void append(int count);
    void setCaption(int number, const QString &caption);
    // The image that came last into an open examination, marked "new" (0: none).
    void setNewest(int number);
    int newest() const { return m_newest; }
    int dropEmpty(); // returns how many were dropped
    // Takes one image out; the ones after it move up.
    void removeImage(int number);
    int count() const { return int(m_images.size()); }
    int loadedCount() const;
    const ViewerImage &image(int number) const { return m_images.at(number - 1); }

    int firstImage() const { return m_first; }
    void setFirstImage(int number);

    // One image alone over the whole viewer (0: the grid again).
    void setEnlarged(int number);
    int enlarged() const { return m_enlarged; }
    // The picture the enlarged image is shown with (its own window); null: its own picture.
    void setEnlargedPicture(const QImage &picture);
    const QImage &enlargedPicture() const { return m_enlargedPic; }
    // The label of a cell: laterality and view, e.g. "R CC" (empty when unknown).
    static QString viewLabel(const ViewerImage &img);

    // The image number under a point of the widget, 0 when none.
    int imageAt(const QPoint &pos) const;
    // The cell rectangle of an image number on the current page (empty when not shown).
    QRect cellRect(int number) const;
    // The size a picture is rendered at so that it fills a cell at any rotation; smaller
    // for large loads, so that the pictures of a whole study stay within a fixed budget.
    QSize renderSize(int imageCount = 1) const;

    // The framed (current) image, 0 when none.
    int framedImage() const { return m_framed; }
    void setFramed(int number);

    void rotate(int number, int degreesClockwise);
    void mirror(int number, bool horizontal);
    void reset(int number);

signals:
    // Mouse button released over the viewer; number is the image under it (0 = none).
    void mouseReleased(int number, Qt::MouseButton button, const QPoint &globalPos);
    void keyPressed(int qtKey);
    void doubleClicked(int number);
    // Wheel notches, positive away from the user.
    void wheelTurned(int notches);
    // The right button dragged by (dx, dy) pixels since the last report.
    void rightDragged(int dx, int dy);
    // The cells changed (grid, hanging, enlarge): the paging must be set up again.
    void layoutChanged();

protected:
    void paintEvent(QPaintEvent *) override;
    void mouseReleaseEvent(QMouseEvent *e) override;
    void keyPressEvent(QKeyEvent *e) override;
    void mousePressEvent(QMouseEvent *e) override;
    void mouseMoveEvent(QMouseEvent *e) override;
    void mouseDoubleClickEvent(QMouseEvent *e) override;
    void wheelEvent(QWheelEvent *e) override;

private:
    QImage transformed(const ViewerImage &img) const;
    void relayout();
    int cellOf(int number) const;
    QRect slotRect(int slot) const;
    void drawImage(QPainter &p, const QRect &cell, int number, const QImage *override = nullptr);

    int m_rows = 1;
    int m_columns = 1;
    QColor m_bg = Qt::black;
    QColor m_fg = Qt::yellow;
    QList<ViewerImage> m_images;
    int m_first = 1;
    int m_framed = 0;
    int m_newest = 0;
    bool m_mammoAllowed = true;
    bool m_hanging = false;
    QList<int> m_cells;
    int m_enlarged = 0;
    QImage m_enlargedPic;
    QPoint m_rightFrom;
    bool m_rightDragging = false;
    int m_wheelRest = 0;
};

#pragma once
#include "store/ViewerImage.h"

#include <QColor>
#include <QImage>
#include <QList>
#include <QSize>
#include <QString>
#include <QWidget>

// The image viewer dv1: a grid of rows x columns cells on the background colour. Image
// numbers start at 1; the page starts at firstImage(). Each image is scaled to fit its
// cell with its aspect kept; the current image is framed in the foreground colour.
class ViewerWidget : public QWidget {
    Q_OBJECT
public:
    explicit ViewerWidget(QWidget *parent = nullptr);

    void setGrid(int rows, int columns);
    void setColours(qint32 background, qint32 foreground); // 0x00BBGGRR
    int rows() const { return m_rows; }
    int columns() const { return m_columns; }
    int imagesPerPage() const { return m_rows * m_columns; }
    QColor background() const { return m_bg; }
    QColor foreground() const { return m_fg; }

    // The collection: empty it, reserve places for a load, fill a place as its picture
    // arrives, drop the places that never got one.
    void clear();
    void reserve(int count);
    void setImage(int number, const ViewerImage &img);
    int dropEmpty(); // returns how many were dropped
    // Takes one image out; the ones after it move up.
    void removeImage(int number);
    int count() const { return int(m_images.size()); }
    int loadedCount() const;
    const ViewerImage &image(int number) const { return m_images.at(number - 1); }

    int firstImage() const { return m_first; }
    void setFirstImage(int number);

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

protected:
    void paintEvent(QPaintEvent *) override;
    void mouseReleaseEvent(QMouseEvent *e) override;
    void keyPressEvent(QKeyEvent *e) override;

private:
    QImage transformed(const ViewerImage &img) const;

    int m_rows = 1;
    int m_columns = 1;
    QColor m_bg = Qt::black;
    QColor m_fg = Qt::yellow;
    QList<ViewerImage> m_images;
    int m_first = 1;
    int m_framed = 0;
};

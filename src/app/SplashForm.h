#pragma once
#include <QWidget>

class QFrame;
class QLabel;
class QTimer;

// fSplash: product name, version, supplier and the picture "Viewer.bmp" from beside the
// executable. A click on its frame ends the program before the start goes on.
class SplashForm : public QWidget {
    Q_OBJECT
public:
    explicit SplashForm(const QString &picturePath, QWidget *parent = nullptr);
    QTimer *timer() const { return m_timer; }

signals:
    void frameClicked();

protected:
    bool eventFilter(QObject *o, QEvent *e) override;

private:
    QFrame *m_frame;
    QTimer *m_timer;
};

#pragma once
#include <QDialog>
#include <QString>

class QLabel;
class QPushButton;

namespace dicom {
class Image;
}

// "Please select view position": shows the image whose view names no side and asks for
// it. "LEFT" gives "L", "RIGHT" gives "R"; closing the window otherwise leaves the side
// empty. For an image whose view is not known at all, it offers the views instead ("R CC",
// "L CC", "R MLO", "L MLO", "R ML", "L ML"), and side() gives the one chosen.
class SelectPosForm : public QDialog {
    Q_OBJECT
public:
    enum class Asks { Side, View };
    explicit SelectPosForm(const dicom::Image &image, QWidget *parent = nullptr, Asks asks = Asks::Side);

    const QString &side() const { return m_side; }

    // Shows the dialog modally for the image and returns the side.
    static QString ask(const dicom::Image &image, QWidget *parent);
    // Shows the dialog modally for the image and returns the view with its side.
    static QString askView(const dicom::Image &image, QWidget *parent);

private:
    void choose(const QString &side);

    QLabel *m_dv1 = nullptr;
    QPushButton *m_cmdLeft = nullptr;
    QPushButton *m_cmdRight = nullptr;
    QString m_side;
};

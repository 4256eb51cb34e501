#pragma once
#include <QDialog>
#include <QString>

class QLabel;
class QPushButton;

namespace dicom {
class Image;
}

// "Please select view position": shows the image whose medio-lateral view names no side
// and asks for it. "LEFT" gives "L", "RIGHT" gives "R"; closing the window otherwise
// leaves the side empty.
class SelectPosForm : public QDialog {
    Q_OBJECT
public:
    explicit SelectPosForm(const dicom::Image &image, QWidget *parent = nullptr);

    const QString &side() const { return m_side; }

    // Shows the dialog modally for the image and returns the side.
    static QString ask(const dicom::Image &image, QWidget *parent);

private:
    void choose(const QString &side);

    QLabel *m_dv1 = nullptr;
    QPushButton *m_cmdLeft = nullptr;
    QPushButton *m_cmdRight = nullptr;
    QString m_side;
};

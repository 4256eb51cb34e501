#pragma once
#include <QDialog>

class QCheckBox;
class QLineEdit;
class QPushButton;
class Station;

// "Add new": one tag for the dictionary, group and element as 1 to 4 hexadecimal
// digits, a two-letter VR, a description and its visibility. Accepted once the tag was
// added.
class AddTagToDB : public QDialog {
    Q_OBJECT
public:
    explicit AddTagToDB(Station &station, QWidget *parent = nullptr);

    void okClicked();

private:
    Station &m_station;
    QLineEdit *m_txtGroup, *m_txtElement, *m_txtDescription, *m_txtVR;
    QCheckBox *m_chkVisi;
    QPushButton *m_cmdOK;
};

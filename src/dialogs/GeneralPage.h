#pragma once
#include "ui/OptionsPage.h"

class QCheckBox;
class QLineEdit;

// The Options dialog's "General" page: debug logging, image handling (keep after
// sending, send after the tasks, window overwrite) and the viewer's grid and colours.
class GeneralPage : public OptionsPage {
    Q_OBJECT
public:
    explicit GeneralPage(Station &station, QWidget *parent = nullptr);

    // Rows or columns of the viewer as typed, within 1 to 10.
    static qint16 gridCount(const QString &text, qint16 previous);

    QString title() const override { return QStringLiteral("General"); }
    void load(const Settings &s) override;
    void store(Settings &s) override;

private:
    bool eventFilter(QObject *o, QEvent *e) override;
    void windowRules();
    void pickColour(QLineEdit *box);
    void stepRowsColumns(int index, int delta);
    static void showColour(QLineEdit *box, qint32 bgr);

    Station &m_station;
    QCheckBox *chkDebug, *chkKeepImages, *chkEditAndSend, *chkWindow, *chkAutoValue;
    QLineEdit *txtWidth, *txtCenter, *txtBackground, *txtMarker;
    QLineEdit *txtRC[2];
    qint32 m_bg = 0, m_fg = 0;
};

#pragma once
#include <QDialog>

class Station;
class QTabWidget;
class QCheckBox;
class QLineEdit;
class QComboBox;
class QRadioButton;
class QSpinBox;
class QPushButton;
class QGroupBox;
class QLabel;

// The Options dialog: shows the settings held in memory on five tabs; OK checks the AE
// titles and ports, copies the controls back and saves every setting (a save that does
// not reach the store keeps the dialog open and says so), Cancel closes without saving. The unit options
// take effect at once.
class OptionForm : public QDialog {
    Q_OBJECT
public:
    explicit OptionForm(Station &station, QWidget *parent = nullptr);

    // The integer part of a number typed as text; 0 when it is not a number.
    static qint16 integerPart(const QString &text);
    // Rows or columns of the viewer as typed, within 1 to 10.
    static qint16 gridCount(const QString &text, qint16 previous);

    QTabWidget *tabs() const { return m_tabs; }
    // The frame each later panel fills (storage destinations, filters).
    QGroupBox *scpFrame() const { return m_scpFrame; }
    QWidget *filterPage() const { return m_filterPage; }

signals:
    // OK saved the settings.
    void saved();
    // The unit type changed (at once, before OK) or on OK.
    void unitTypeChanged();

private:
    QWidget *buildGeneral();
    QWidget *buildCommunication();
    QWidget *buildFilter();
    QWidget *buildCommPort();
    QWidget *buildWorklist();
    void buildPanels();
    void loadFromSettings();
    void okClicked();
    // The AE titles and ports as the receiver and the worklist query take them; the first
    // refused field is shown with its rule, its tab chosen and the focus on it.
    bool checkPeerFields();
    void showProblem(QLineEdit *field, const QString &text);
    bool eventFilter(QObject *o, QEvent *e) override;
    void windowRules();
    void pickColour(QLineEdit *box);
    void stepRowsColumns(int index, int delta);
    static void showColour(QLineEdit *box, qint32 bgr);

    Station &m_station;
    QTabWidget *m_tabs = nullptr;
    QCheckBox *chkDebug, *chkKeepImages, *chkEditAndSend, *chkWindow, *chkAutoValue, *chkStopSvr;
    QLineEdit *txtWidth, *txtCenter, *txtBackground, *txtMarker;
    QLineEdit *txtRC[2];
    QLineEdit *txtIR[2];
    QLineEdit *txtStatus[2];
    QPushButton *cmdStart[2], *cmdStop[2];
    QLineEdit *txtWorklist[4];
    QComboBox *combo[5];
    QRadioButton *option[8];
    QLineEdit *Text1, *Text2, *txtDevice;
    QRadioButton *optSophie, *optGiotto, *optLoradM4, *optGESeno, *optHFE;
    QGroupBox *m_scpFrame = nullptr;
    QLabel *m_problem = nullptr;
    QWidget *m_filterPage = nullptr;
    qint32 m_bg = 0, m_fg = 0;
};

#pragma once
#include "ui/OptionsPage.h"

class QComboBox;
class QLineEdit;
class QRadioButton;

// The Options dialog's "Comm Port" page: the serial line's parameters (Combo1..5), the
// port (Option1..8, or a device path), the two time-outs and the X-ray unit. A unit
// option takes effect at once, before OK.
class CommPortPage : public OptionsPage {
    Q_OBJECT
public:
    explicit CommPortPage(Station &station, QWidget *parent = nullptr);

    // The integer part of a number typed as text; 0 when it is not a number.
    static qint16 integerPart(const QString &text);

    QString title() const override { return QStringLiteral("Comm Port"); }
    void load(const Settings &s) override;
    void store(Settings &s) override;

private:
    Station &m_station;
    QComboBox *m_combo[5] = {};
    QRadioButton *m_option[8] = {};
    QLineEdit *m_text1 = nullptr, *m_text2 = nullptr, *m_device = nullptr;
    QRadioButton *m_optSophie = nullptr, *m_optGiotto = nullptr, *m_optLoradM4 = nullptr, *m_optGESeno = nullptr,
                 *m_optHFE = nullptr;
};

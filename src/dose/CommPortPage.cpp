#include "dose/CommPortPage.h"
#include "core/Settings.h"
#include "core/Station.h"
#include "dose/SerialLink.h"
#include "ui/OptionFields.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>

qint16 CommPortPage::integerPart(const QString &text)
{
    // The leading number of the text, as far as it reads ("7.9" -> 7, "12abc" -> 12).
    const QString t = text.trimmed();
    int end = 0;
    if (end < t.size() && (t[end] == QLatin1Char('-') || t[end] == QLatin1Char('+')))
        ++end;
    while (end < t.size() && (t[end].isDigit() || t[end] == QLatin1Char('.')))
        ++end;
    bool ok = false;
    const double v = t.left(end).toDouble(&ok);
    if (!ok || v < -32768 || v > 32767)
        return 0;
    return static_cast<qint16>(v);
}

CommPortPage::CommPortPage(Station &station, QWidget *parent) : OptionsPage(parent), m_station(station)
{
    auto *grid = new QGridLayout(this);

    auto *params = new QGroupBox(QStringLiteral("Parameter"));
    auto *pl = new QFormLayout(params);
    const QString labels[5] = {QStringLiteral("Speed :"), QStringLiteral("Parity :"), QStringLiteral("Bits :"),
                               QStringLiteral("Stop Bits :"), QStringLiteral("Event :")};
    for (int i = 0; i < 5; ++i) {
        m_combo[i] = new QComboBox;
        m_combo[i]->setObjectName(QStringLiteral("Combo%1").arg(i + 1));
        pl->addRow(labels[i], m_combo[i]);
    }
    grid->addWidget(params, 0, 0);

    auto *ports = new QGroupBox(QStringLiteral("Select Port"));
    auto *portGrid = new QGridLayout(ports);
    auto *group = new QButtonGroup(this);
    for (int i = 0; i < 8; ++i) {
        m_option[i] = new QRadioButton(QStringLiteral("Comm%1").arg(i + 1));
        m_option[i]->setObjectName(QStringLiteral("Option%1").arg(i + 1));
        group->addButton(m_option[i]);
        portGrid->addWidget(m_option[i], i % 4, i / 4);
    }
    m_device = OptionFields::edit(QStringLiteral("txtDevice"));
    m_device->setPlaceholderText(QStringLiteral("e.g. /dev/ttyUSB0"));
    m_device->setToolTip(QStringLiteral("When set, this device is opened instead of the numbered port"));
    portGrid->addWidget(new QLabel(QStringLiteral("Device:")), 4, 0);
    portGrid->addWidget(m_device, 5, 0, 1, 2);
    grid->addWidget(ports, 0, 1);

    auto *timeouts = new QGroupBox(QStringLiteral("Time Out"));
    auto *tl = new QGridLayout(timeouts);
    m_text1 = OptionFields::edit(QStringLiteral("Text1"));
    m_text2 = OptionFields::edit(QStringLiteral("Text2"));
    m_text1->setMaximumWidth(60);
    m_text2->setMaximumWidth(60);
    tl->addWidget(new QLabel(QStringLiteral("Duration of the time out beginning in second :")), 0, 0);
    tl->addWidget(m_text1, 0, 1);
    tl->addWidget(new QLabel(QStringLiteral("Duration of the end time out in second :")), 1, 0);
    tl->addWidget(m_text2, 1, 1);
    grid->addWidget(timeouts, 1, 0, 1, 2);

    auto *units = new QGroupBox(QStringLiteral("X-ray unit"));
    auto *ul = new QHBoxLayout(units);
    auto unit = [this, ul](const char *name, const QString &caption, qint16 type) {
        auto *b = new QRadioButton(caption);
        b->setObjectName(QString::fromLatin1(name));
        ul->addWidget(b);
        // A unit option takes effect at once; "GE Senograph" changes nothing.
        connect(b, &QRadioButton::clicked, this, [this, type] {
            if (type != 0) {
                m_station.settings().xrayComm = type;
                emit appliedAtOnce();
            }
        });
        return b;
    };
    m_optSophie = unit("optSophie", QStringLiteral("Sophie"), XrayUnit::Sophie);
    m_optGiotto = unit("optGiotto", QStringLiteral("Giotto"), XrayUnit::Giotto);
    m_optLoradM4 = unit("optLoradM4", QStringLiteral("Lorad M4"), XrayUnit::LoradM4);
    m_optGESeno = unit("optGESeno", QStringLiteral("GE Senograph"), 0);
    m_optHFE = unit("optHFE", QStringLiteral("HFE 501"), XrayUnit::Hfe501);
    grid->addWidget(units, 2, 0, 1, 2);
    grid->setRowStretch(3, 1);
}

void CommPortPage::load(const Settings &s)
{
    // The serial link builds its settings string from the same lists.
    const QStringList *lists[5] = {&SerialLink::speeds(), &SerialLink::parities(), &SerialLink::dataBits(),
                                   &SerialLink::stopBits(), &SerialLink::handshakes()};
    const qint16 indexes[5] = {s.comSpeed, s.comParity, s.comBitGet, s.comBitPut, s.comFlux};
    for (int i = 0; i < 5; ++i) {
        m_combo[i]->clear();
        m_combo[i]->addItems(*lists[i]);
        m_combo[i]->setCurrentIndex(indexes[i] >= 0 && indexes[i] < lists[i]->size() ? indexes[i] : -1);
    }
    if (s.comPort >= 1 && s.comPort <= 8)
        m_option[s.comPort - 1]->setChecked(true);
    m_device->setText(s.comDevice);
    m_text1->setText(QString::number(s.timeOutStart));
    m_text2->setText(QString::number(s.timeOutEnd));

    m_optSophie->setChecked(s.xrayComm == XrayUnit::Sophie);
    m_optGiotto->setChecked(s.xrayComm == XrayUnit::Giotto);
    m_optLoradM4->setChecked(s.xrayComm == XrayUnit::LoradM4);
    if (s.xrayComm != XrayUnit::Sophie && s.xrayComm != XrayUnit::Giotto && s.xrayComm != XrayUnit::LoradM4) {
        // No unit option is checked for other values.
        for (QRadioButton *b : {m_optSophie, m_optGiotto, m_optLoradM4, m_optGESeno, m_optHFE}) {
            b->setAutoExclusive(false);
            b->setChecked(false);
            b->setAutoExclusive(true);
        }
    }
}

void CommPortPage::store(Settings &s)
{
    qint16 *indexes[5] = {&s.comSpeed, &s.comParity, &s.comBitGet, &s.comBitPut, &s.comFlux};
    for (int i = 0; i < 5; ++i)
        *indexes[i] = static_cast<qint16>(m_combo[i]->currentIndex());
    for (int i = 0; i < 8; ++i) {
        if (m_option[i]->isChecked()) {
            s.comPort = static_cast<qint16>(i + 1);
            break;
        }
    }
    s.comDevice = m_device->text().trimmed();
    s.timeOutStart = integerPart(m_text1->text());
    s.timeOutEnd = integerPart(m_text2->text());
    if (m_optSophie->isChecked())
        s.xrayComm = XrayUnit::Sophie;
    else if (m_optGiotto->isChecked())
        s.xrayComm = XrayUnit::Giotto;
    else if (m_optLoradM4->isChecked())
        s.xrayComm = XrayUnit::LoradM4;
    // Otherwise the unit type stays ("HFE 501" has set 5 already).
}

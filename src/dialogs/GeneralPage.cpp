#include "dialogs/GeneralPage.h"
#include "core/Settings.h"
#include "core/Station.h"
#include "ui/Colours.h"
#include "ui/OptionFields.h"

#include <QCheckBox>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>
#include <QToolButton>

GeneralPage::GeneralPage(Station &station, QWidget *parent) : OptionsPage(parent), m_station(station)
{
    auto *grid = new QGridLayout(this);

    chkDebug = OptionFields::check("chkDebug", QStringLiteral("Activate debug logging"));
    grid->addWidget(chkDebug, 0, 0, 1, 2);

    auto *handling = new QGroupBox(QStringLiteral("Image handling"));
    auto *hl = new QGridLayout(handling);
    chkKeepImages = OptionFields::check("chkKeepImages", QStringLiteral("Keep images in database after transfer"));
    chkEditAndSend = OptionFields::check("chkEditAndSend", QStringLiteral("Send active images after task execution"));
    chkWindow = OptionFields::check("chkWindow", QStringLiteral("Overwrite Window Width / Center values"));
    chkAutoValue = OptionFields::check("chkAutoValue", QStringLiteral("compute values"));
    txtWidth = OptionFields::edit(QStringLiteral("txtWidth"));
    txtCenter = OptionFields::edit(QStringLiteral("txtCenter"));
    hl->addWidget(chkKeepImages, 0, 0, 1, 4);
    hl->addWidget(chkEditAndSend, 1, 0, 1, 4);
    hl->addWidget(chkWindow, 2, 0, 1, 4);
    hl->addWidget(chkAutoValue, 3, 1, 1, 3);
    hl->addWidget(new QLabel(QStringLiteral("Width / Center")), 4, 1);
    hl->addWidget(txtWidth, 4, 2);
    hl->addWidget(txtCenter, 4, 3);
    hl->setColumnMinimumWidth(0, 20);
    grid->addWidget(handling, 1, 0, 1, 2);

    auto *preview = new QGroupBox(QStringLiteral("DICOM Preview Window"));
    auto *pl = new QGridLayout(preview);
    const QString labels[2] = {QStringLiteral("Rows:"), QStringLiteral("Columns:")};
    for (int i = 0; i < 2; ++i) {
        txtRC[i] = OptionFields::edit(QStringLiteral("txtRC_%1").arg(i));
        txtRC[i]->setValidator(
            new QRegularExpressionValidator(QRegularExpression(QStringLiteral("\\d{0,2}")), txtRC[i]));
        txtRC[i]->setMaximumWidth(60);
        auto *up = new QToolButton;
        up->setObjectName(QStringLiteral("UpDown%1_up").arg(i + 1));
        up->setArrowType(Qt::UpArrow);
        auto *down = new QToolButton;
        down->setObjectName(QStringLiteral("UpDown%1_down").arg(i + 1));
        down->setArrowType(Qt::DownArrow);
        connect(up, &QToolButton::clicked, this, [this, i] { stepRowsColumns(i, +1); });
        connect(down, &QToolButton::clicked, this, [this, i] { stepRowsColumns(i, -1); });
        pl->addWidget(new QLabel(labels[i]), i, 0);
        pl->addWidget(txtRC[i], i, 1);
        pl->addWidget(up, i, 2);
        pl->addWidget(down, i, 3);
    }
    txtBackground = OptionFields::edit(QStringLiteral("txtBackground"));
    txtMarker = OptionFields::edit(QStringLiteral("txtMarker"));
    for (QLineEdit *box : {txtBackground, txtMarker}) {
        box->setReadOnly(true);
        box->setMaximumWidth(60);
        box->setCursor(Qt::PointingHandCursor);
        box->setToolTip(QStringLiteral("Click to choose the colour"));
        box->installEventFilter(this);
    }
    pl->addWidget(new QLabel(QStringLiteral("Background Colour:")), 0, 4);
    pl->addWidget(txtBackground, 0, 5);
    pl->addWidget(new QLabel(QStringLiteral("Foreground Colour:")), 1, 4);
    pl->addWidget(txtMarker, 1, 5);
    pl->setColumnStretch(6, 1);
    grid->addWidget(preview, 2, 0, 1, 2);
    grid->setRowStretch(3, 1);

    connect(chkWindow, &QCheckBox::toggled, this, &GeneralPage::windowRules);
    connect(chkAutoValue, &QCheckBox::toggled, this, &GeneralPage::windowRules);
}

qint16 GeneralPage::gridCount(const QString &text, qint16 previous)
{
    // 0 rows give no images per page, hundreds overflow the page count: 1 to 10 as the
    // up-down buttons allow; an empty box keeps what was set.
    bool ok = false;
    const int v = text.trimmed().toInt(&ok);
    return static_cast<qint16>(qBound(1, ok ? v : int(previous), 10));
}

void GeneralPage::showColour(QLineEdit *box, qint32 bgr)
{
    const QColor c = colourFromBgr(bgr);
    box->setStyleSheet(QStringLiteral("QLineEdit { background: %1; }").arg(c.name()));
    box->setProperty("bgr", bgr);
}

void GeneralPage::load(const Settings &s)
{
    txtRC[0]->setText(QString::number(s.viewerRows));
    txtRC[1]->setText(QString::number(s.viewerColumns));
    chkKeepImages->setChecked(s.sentAndKeep == 1);
    chkEditAndSend->setChecked(s.editAndSend == 1);
    chkWindow->setChecked(s.autoWindow == 1);
    chkAutoValue->setChecked(s.computeWindow == 1);
    txtWidth->setText(s.customWidth);
    txtCenter->setText(s.customCenter);
    m_bg = s.viewerBgColor;
    m_fg = s.viewerFgColor;
    showColour(txtBackground, m_bg);
    showColour(txtMarker, m_fg);
    chkDebug->setChecked(s.debug == 1);
    windowRules();
}

void GeneralPage::store(Settings &s)
{
    s.debug = chkDebug->isChecked() ? 1 : 0;
    s.viewerRows = gridCount(txtRC[0]->text(), s.viewerRows);
    s.viewerColumns = gridCount(txtRC[1]->text(), s.viewerColumns);
    s.imagesPerPage = static_cast<qint16>(s.viewerRows * s.viewerColumns);
    s.sentAndKeep = chkKeepImages->isChecked() ? 1 : 0;
    s.editAndSend = chkEditAndSend->isChecked() ? 1 : 0;
    s.autoWindow = chkWindow->isChecked() ? 1 : 0;
    s.computeWindow = chkAutoValue->isChecked() ? 1 : 0;
    s.customWidth = txtWidth->text();
    s.customCenter = txtCenter->text();
    s.viewerBgColor = m_bg;
    s.viewerFgColor = m_fg;
}

void GeneralPage::windowRules()
{
    const bool window = chkWindow->isChecked();
    chkAutoValue->setEnabled(window);
    const bool custom = window && !chkAutoValue->isChecked();
    txtWidth->setEnabled(custom);
    txtCenter->setEnabled(custom);
}

void GeneralPage::stepRowsColumns(int index, int delta)
{
    const int v = txtRC[index]->text().toInt();
    if (delta < 0 && v >= 2)
        txtRC[index]->setText(QString::number(v - 1));
    else if (delta > 0 && v < 10)
        txtRC[index]->setText(QString::number(v + 1));
}

void GeneralPage::pickColour(QLineEdit *box)
{
    qint32 &target = box == txtBackground ? m_bg : m_fg;
    if (auto c = m_station.prompter().askColour(target)) {
        target = *c;
        showColour(box, target);
    }
}

bool GeneralPage::eventFilter(QObject *o, QEvent *e)
{
    if (e->type() == QEvent::MouseButtonRelease && (o == txtBackground || o == txtMarker)) {
        pickColour(static_cast<QLineEdit *>(o));
        return true;
    }
    return OptionsPage::eventFilter(o, e);
}

#include "dialogs/OptionForm.h"
#include "core/PeerFields.h"
#include "core/Station.h"
#include "dose/SerialLink.h"
#include "ui/Colours.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QEvent>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

QLineEdit *edit(const QString &name)
{
    auto *e = new QLineEdit;
    e->setObjectName(name);
    return e;
}

QCheckBox *check(const char *name, const QString &caption)
{
    auto *c = new QCheckBox(caption);
    c->setObjectName(QString::fromLatin1(name));
    return c;
}

// Port boxes take digits only, typed or pasted (a paste with anything else is refused
// whole). The check on OK still runs: a validator does not see every way text gets in.
void portBox(QLineEdit *box)
{
    box->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("\\d{0,5}")), box));
    box->setToolTip(QStringLiteral("1 to 65535"));
}

void aeTitleBox(QLineEdit *box)
{
    box->setToolTip(QStringLiteral("1 to %1 characters, no backslash; blanks before and after are dropped")
                        .arg(PeerFields::MaxAeTitle));
}

} // namespace

qint16 OptionForm::integerPart(const QString &text)
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

OptionForm::OptionForm(Station &station, QWidget *parent) : QDialog(parent), m_station(station)
{
    setObjectName(QStringLiteral("OptionForm"));
    setWindowTitle(QStringLiteral("Options"));
    auto *layout = new QVBoxLayout(this);
    m_tabs = new QTabWidget;
    m_tabs->setObjectName(QStringLiteral("SSTab1"));
    m_tabs->addTab(buildGeneral(), QStringLiteral("General"));
    m_tabs->addTab(buildCommunication(), QStringLiteral("Communication"));
    m_tabs->addTab(buildFilter(), QStringLiteral("Filter"));
    m_tabs->addTab(buildCommPort(), QStringLiteral("Comm Port"));
    m_tabs->addTab(buildWorklist(), QStringLiteral("Worklist"));
    layout->addWidget(m_tabs);

    auto *buttons = new QHBoxLayout;
    // Why OK did not close the dialog, beside the button.
    m_problem = new QLabel;
    m_problem->setObjectName(QStringLiteral("lblProblem"));
    m_problem->setWordWrap(true);
    m_problem->setStyleSheet(QStringLiteral("QLabel { color: #8a1c00; font-weight: bold; }"));
    m_problem->hide();
    buttons->addWidget(m_problem, 1);
    buttons->addStretch();
    auto *ok = new QPushButton(QStringLiteral("OK"));
    ok->setObjectName(QStringLiteral("cmdOK"));
    ok->setDefault(true);
    auto *cancel = new QPushButton(QStringLiteral("Cancel"));
    cancel->setObjectName(QStringLiteral("cmdCancel"));
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    connect(ok, &QPushButton::clicked, this, &OptionForm::okClicked);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    loadFromSettings();
    buildPanels();
    resize(640, 520);
}

QWidget *OptionForm::buildGeneral()
{
    auto *page = new QWidget;
    auto *grid = new QGridLayout(page);

    chkDebug = check("chkDebug", QStringLiteral("Activate debug logging"));
    grid->addWidget(chkDebug, 0, 0, 1, 2);

    auto *handling = new QGroupBox(QStringLiteral("Image handling"));
    auto *hl = new QGridLayout(handling);
    chkKeepImages = check("chkKeepImages", QStringLiteral("Keep images in database after transfer"));
    chkEditAndSend = check("chkEditAndSend", QStringLiteral("Send active images after task execution"));
    chkWindow = check("chkWindow", QStringLiteral("Overwrite Window Width / Center values"));
    chkAutoValue = check("chkAutoValue", QStringLiteral("compute values"));
    txtWidth = edit(QStringLiteral("txtWidth"));
    txtCenter = edit(QStringLiteral("txtCenter"));
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
        txtRC[i] = edit(QStringLiteral("txtRC_%1").arg(i));
        txtRC[i]->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("\\d{0,2}")), txtRC[i]));
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
    txtBackground = edit(QStringLiteral("txtBackground"));
    txtMarker = edit(QStringLiteral("txtMarker"));
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

    connect(chkWindow, &QCheckBox::toggled, this, &OptionForm::windowRules);
    connect(chkAutoValue, &QCheckBox::toggled, this, &OptionForm::windowRules);
    return page;
}

QWidget *OptionForm::buildCommunication()
{
    auto *page = new QWidget;
    auto *grid = new QGridLayout(page);

    auto *receiver = new QGroupBox(QStringLiteral("Tq Receiver"));
    auto *rl = new QFormLayout(receiver);
    txtIR[0] = edit(QStringLiteral("txtIR_0"));
    txtIR[1] = edit(QStringLiteral("txtIR_1"));
    aeTitleBox(txtIR[0]);
    portBox(txtIR[1]);
    rl->addRow(QStringLiteral("AET:"), txtIR[0]);
    rl->addRow(QStringLiteral("Port:"), txtIR[1]);
    grid->addWidget(receiver, 0, 0);

    const QString titles[2] = {QStringLiteral("Tq Receiver Control"), QStringLiteral("Tq Data Manager Control")};
    auto *controls = new QWidget;
    auto *cl = new QVBoxLayout(controls);
    cl->setContentsMargins(0, 0, 0, 0);
    for (int i = 0; i < 2; ++i) {
        auto *box = new QGroupBox(titles[i]);
        auto *outer = new QVBoxLayout(box);
        auto *bl = new QHBoxLayout;
        outer->addLayout(bl);
        // Why the companion stopped on its own, when it says so.
        auto *reason = new QLabel(box);
        reason->setObjectName(QStringLiteral("lblStopReason_%1").arg(i));
        reason->setWordWrap(true);
        reason->setStyleSheet(QStringLiteral("QLabel { color: #8a1c00; }"));
        reason->hide();
        outer->addWidget(reason);
        txtStatus[i] = edit(QStringLiteral("txtStatus_%1").arg(i));
        txtStatus[i]->setReadOnly(true);
        cmdStart[i] = new QPushButton(QStringLiteral("Start"));
        cmdStart[i]->setObjectName(QStringLiteral("cmdStart_%1").arg(i));
        cmdStop[i] = new QPushButton(QStringLiteral("Stop"));
        cmdStop[i]->setObjectName(QStringLiteral("cmdStop_%1").arg(i));
        cmdStart[i]->setEnabled(false);
        cmdStop[i]->setEnabled(false);
        bl->addWidget(txtStatus[i], 1);
        bl->addWidget(cmdStart[i]);
        bl->addWidget(cmdStop[i]);
        cl->addWidget(box);
    }
    chkStopSvr = check("chkStopSvr", QStringLiteral("stop services on exit"));
    cl->addWidget(chkStopSvr);
    grid->addWidget(controls, 0, 1);

    m_scpFrame = new QGroupBox(QStringLiteral("Storage Class Providers"));
    m_scpFrame->setObjectName(QStringLiteral("frmSCP"));
    auto *sl = new QVBoxLayout(m_scpFrame);
    (void)sl; // the destination list fills it
    grid->addWidget(m_scpFrame, 1, 0, 1, 2);
    grid->setRowStretch(1, 1);
    return page;
}

QWidget *OptionForm::buildFilter()
{
    // The filter panel builds its controls on this page.
    m_filterPage = new QWidget;
    m_filterPage->setObjectName(QStringLiteral("pageFilter"));
    return m_filterPage;
}

QWidget *OptionForm::buildCommPort()
{
    auto *page = new QWidget;
    auto *grid = new QGridLayout(page);

    auto *params = new QGroupBox(QStringLiteral("Parameter"));
    auto *pl = new QFormLayout(params);
    const QString labels[5] = {QStringLiteral("Speed :"), QStringLiteral("Parity :"), QStringLiteral("Bits :"), QStringLiteral("Stop Bits :"), QStringLiteral("Event :")};
    for (int i = 0; i < 5; ++i) {
        combo[i] = new QComboBox;
        combo[i]->setObjectName(QStringLiteral("Combo%1").arg(i + 1));
        pl->addRow(labels[i], combo[i]);
    }
    grid->addWidget(params, 0, 0);

    auto *ports = new QGroupBox(QStringLiteral("Select Port"));
    auto *portGrid = new QGridLayout(ports);
    auto *group = new QButtonGroup(this);
    for (int i = 0; i < 8; ++i) {
        option[i] = new QRadioButton(QStringLiteral("Comm%1").arg(i + 1));
        option[i]->setObjectName(QStringLiteral("Option%1").arg(i + 1));
        group->addButton(option[i]);
        portGrid->addWidget(option[i], i % 4, i / 4);
    }
    txtDevice = edit(QStringLiteral("txtDevice"));
    txtDevice->setPlaceholderText(QStringLiteral("e.g. /dev/ttyUSB0"));
    txtDevice->setToolTip(QStringLiteral("When set, this device is opened instead of the numbered port"));
    portGrid->addWidget(new QLabel(QStringLiteral("Device:")), 4, 0);
    portGrid->addWidget(txtDevice, 5, 0, 1, 2);
    grid->addWidget(ports, 0, 1);

    auto *timeouts = new QGroupBox(QStringLiteral("Time Out"));
    auto *tl = new QGridLayout(timeouts);
    Text1 = edit(QStringLiteral("Text1"));
    Text2 = edit(QStringLiteral("Text2"));
    Text1->setMaximumWidth(60);
    Text2->setMaximumWidth(60);
    tl->addWidget(new QLabel(QStringLiteral("Duration of the time out beginning in second :")), 0, 0);
    tl->addWidget(Text1, 0, 1);
    tl->addWidget(new QLabel(QStringLiteral("Duration of the end time out in second :")), 1, 0);
    tl->addWidget(Text2, 1, 1);
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
                emit unitTypeChanged();
            }
        });
        return b;
    };
    optSophie = unit("optSophie", QStringLiteral("Sophie"), XrayUnit::Sophie);
    optGiotto = unit("optGiotto", QStringLiteral("Giotto"), XrayUnit::Giotto);
    optLoradM4 = unit("optLoradM4", QStringLiteral("Lorad M4"), XrayUnit::LoradM4);
    optGESeno = unit("optGESeno", QStringLiteral("GE Senograph"), 0);
    optHFE = unit("optHFE", QStringLiteral("HFE 501"), XrayUnit::Hfe501);
    grid->addWidget(units, 2, 0, 1, 2);
    grid->setRowStretch(3, 1);
    return page;
}

QWidget *OptionForm::buildWorklist()
{
    auto *page = new QWidget;
    auto *l = new QVBoxLayout(page);
    auto *box = new QGroupBox(QStringLiteral("Authentification"));
    auto *fl = new QFormLayout(box);
    const QString labels[4] = {QStringLiteral("Local AET:"), QStringLiteral("Remote AET:"), QStringLiteral("Remote Node:"), QStringLiteral("Remote Port:")};
    for (int i = 0; i < 4; ++i) {
        txtWorklist[i] = edit(QStringLiteral("txtWorklist_%1").arg(i));
        fl->addRow(labels[i], txtWorklist[i]);
    }
    aeTitleBox(txtWorklist[0]);
    aeTitleBox(txtWorklist[1]);
    portBox(txtWorklist[3]);
    l->addWidget(box);
    l->addStretch();
    return page;
}

qint16 OptionForm::gridCount(const QString &text, qint16 previous)
{
    // 0 rows give no images per page, hundreds overflow the page count: 1 to 10 as the
    // up-down buttons allow; an empty box keeps what was set.
    bool ok = false;
    const int v = text.trimmed().toInt(&ok);
    return static_cast<qint16>(qBound(1, ok ? v : int(previous), 10));
}

void OptionForm::showColour(QLineEdit *box, qint32 bgr)
{
    const QColor c = colourFromBgr(bgr);
    box->setStyleSheet(QStringLiteral("QLineEdit { background: %1; }").arg(c.name()));
    box->setProperty("bgr", bgr);
}

void OptionForm::loadFromSettings()
{
    const Settings &s = m_station.settings();
    txtIR[0]->setText(s.irAet);
    txtIR[1]->setText(s.irPort);
    txtWorklist[0]->setText(s.worklistLocalAet);
    txtWorklist[1]->setText(s.worklist.aet);
    txtWorklist[2]->setText(s.worklist.ip);
    txtWorklist[3]->setText(s.worklist.port);
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
    chkStopSvr->setChecked(s.stopService == 1);
    chkDebug->setChecked(s.debug == 1);

    // The serial link builds its settings string from the same lists.
    const QStringList *lists[5] = {&SerialLink::speeds(), &SerialLink::parities(), &SerialLink::dataBits(),
                                   &SerialLink::stopBits(), &SerialLink::handshakes()};
    const qint16 indexes[5] = {s.comSpeed, s.comParity, s.comBitGet, s.comBitPut, s.comFlux};
    for (int i = 0; i < 5; ++i) {
        combo[i]->clear();
        combo[i]->addItems(*lists[i]);
        combo[i]->setCurrentIndex(indexes[i] >= 0 && indexes[i] < lists[i]->size() ? indexes[i] : -1);
    }
    if (s.comPort >= 1 && s.comPort <= 8)
        option[s.comPort - 1]->setChecked(true);
    txtDevice->setText(s.comDevice);
    Text1->setText(QString::number(s.timeOutStart));
    Text2->setText(QString::number(s.timeOutEnd));

    optSophie->setChecked(s.xrayComm == XrayUnit::Sophie);
    optGiotto->setChecked(s.xrayComm == XrayUnit::Giotto);
    optLoradM4->setChecked(s.xrayComm == XrayUnit::LoradM4);
    if (s.xrayComm != XrayUnit::Sophie && s.xrayComm != XrayUnit::Giotto && s.xrayComm != XrayUnit::LoradM4) {
        // No unit option is checked for other values.
        for (QRadioButton *b : {optSophie, optGiotto, optLoradM4, optGESeno, optHFE}) {
            b->setAutoExclusive(false);
            b->setChecked(false);
            b->setAutoExclusive(true);
        }
    }
    windowRules();
}

void OptionForm::windowRules()
{
    const bool window = chkWindow->isChecked();
    chkAutoValue->setEnabled(window);
    const bool custom = window && !chkAutoValue->isChecked();
    txtWidth->setEnabled(custom);
    txtCenter->setEnabled(custom);
}

void OptionForm::stepRowsColumns(int index, int delta)
{
    const int v = txtRC[index]->text().toInt();
    if (delta < 0 && v >= 2)
        txtRC[index]->setText(QString::number(v - 1));
    else if (delta > 0 && v < 10)
        txtRC[index]->setText(QString::number(v + 1));
}

void OptionForm::pickColour(QLineEdit *box)
{
    qint32 &target = box == txtBackground ? m_bg : m_fg;
    if (auto c = m_station.prompter().askColour(target)) {
        target = *c;
        showColour(box, target);
    }
}

bool OptionForm::eventFilter(QObject *o, QEvent *e)
{
    if (e->type() == QEvent::MouseButtonRelease && (o == txtBackground || o == txtMarker)) {
        pickColour(static_cast<QLineEdit *>(o));
        return true;
    }
    return QDialog::eventFilter(o, e);
}

void OptionForm::showProblem(QLineEdit *field, const QString &text)
{
    m_problem->setText(text);
    m_problem->show();
    for (int i = 0; i < m_tabs->count(); ++i)
        if (m_tabs->widget(i)->isAncestorOf(field))
            m_tabs->setCurrentIndex(i);
    field->setFocus(Qt::OtherFocusReason);
    field->selectAll();
}

bool OptionForm::checkPeerFields()
{
    struct Field {
        QLineEdit *box;
        const char *name;
        QString (*rule)(const QString &);
    };
    const Field receiver[] = {{txtIR[0], "Receiver AE title", &PeerFields::aeTitleProblem},
                              {txtIR[1], "Receiver port", &PeerFields::portProblem}};
    const Field worklist[] = {{txtWorklist[0], "Worklist local AE title", &PeerFields::aeTitleProblem},
                              {txtWorklist[1], "Worklist remote AE title", &PeerFields::aeTitleProblem},
                              {txtWorklist[2], "Worklist remote node", nullptr},
                              {txtWorklist[3], "Worklist remote port", &PeerFields::portProblem}};
    auto refused = [this](const Field &f) {
        const QString text = f.box->text();
        QString rule;
        if (f.rule)
            rule = f.rule(text);
        else if (text.trimmed().isEmpty())
            rule = QStringLiteral("required once a worklist field is filled");
        if (rule.isEmpty())
            return false;
        showProblem(f.box, QStringLiteral("%1: %2").arg(QLatin1String(f.name), rule));
        return true;
    };
    for (const Field &f : receiver)
        if (refused(f))
            return false;
    // A station without a worklist leaves all four empty; once one is filled, the query
    // needs them all.
    bool worklistUsed = false;
    for (const Field &f : worklist)
        worklistUsed = worklistUsed || !f.box->text().trimmed().isEmpty();
    if (worklistUsed)
        for (const Field &f : worklist)
            if (refused(f))
                return false;
    // Stored without the blanks around them, and shown so.
    for (QLineEdit *box : {txtIR[0], txtIR[1], txtWorklist[0], txtWorklist[1], txtWorklist[3]})
        box->setText(PeerFields::trimBlanks(box->text()));
    txtWorklist[2]->setText(txtWorklist[2]->text().trimmed());
    m_problem->hide();
    return true;
}

void OptionForm::okClicked()
{
    if (!checkPeerFields())
        return;
    Settings &s = m_station.settings();
    // What memory held before OK, should the settings not reach the store.
    const Settings before = s;
    s.debug = chkDebug->isChecked() ? 1 : 0;
    s.irAet = txtIR[0]->text();
    s.irPort = txtIR[1]->text();
    s.worklistLocalAet = txtWorklist[0]->text();
    s.worklist.ip = txtWorklist[2]->text();
    s.worklist.aet = txtWorklist[1]->text();
    s.worklist.port = txtWorklist[3]->text();
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
    s.stopService = chkStopSvr->isChecked() ? 1 : 0;
    qint16 *indexes[5] = {&s.comSpeed, &s.comParity, &s.comBitGet, &s.comBitPut, &s.comFlux};
    for (int i = 0; i < 5; ++i)
        *indexes[i] = static_cast<qint16>(combo[i]->currentIndex());
    for (int i = 0; i < 8; ++i) {
        if (option[i]->isChecked()) {
            s.comPort = static_cast<qint16>(i + 1);
            break;
        }
    }
    s.comDevice = txtDevice->text().trimmed();
    s.timeOutStart = integerPart(Text1->text());
    s.timeOutEnd = integerPart(Text2->text());
    if (optSophie->isChecked())
        s.xrayComm = XrayUnit::Sophie;
    else if (optGiotto->isChecked())
        s.xrayComm = XrayUnit::Giotto;
    else if (optLoradM4->isChecked())
        s.xrayComm = XrayUnit::LoradM4;
    // Otherwise the unit type stays ("HFE 501" has set 5 already).
    m_station.saveSettings();
    // The store keeps its first write error: writing the last value once more and
    // syncing tells whether the whole save reached the disk.
    if (!m_station.settingsStore().writeValue(QStringLiteral("Filter/Active"), s.filterActive)) {
        s = before;
        m_station.prompter().message(
            QStringLiteral("The settings could not be saved: the settings file cannot be written (read-only, or its "
                           "folder is missing or full). Nothing was changed; the dialog stays open."),
            MsgIcon::Critical, QStringLiteral("Options"));
        return;
    }
    emit unitTypeChanged();
    emit saved();
    accept();
}

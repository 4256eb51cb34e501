#include "net/CommunicationPage.h"
#include "core/Companions.h"
#include "core/PeerFields.h"
#include "core/Station.h"
#include "net/DestinationsWidget.h"
#include "ui/OptionFields.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

CommunicationPage::CommunicationPage(Station &station, QWidget *parent) : OptionsPage(parent), m_station(station)
{
    auto *grid = new QGridLayout(this);

    auto *receiver = new QGroupBox(QStringLiteral("Tq Receiver"));
    auto *rl = new QFormLayout(receiver);
    m_txtIR[0] = OptionFields::edit(QStringLiteral("txtIR_0"));
    m_txtIR[1] = OptionFields::edit(QStringLiteral("txtIR_1"));
    OptionFields::aeTitleBox(m_txtIR[0]);
    OptionFields::portBox(m_txtIR[1]);
    rl->addRow(QStringLiteral("AET:"), m_txtIR[0]);
    rl->addRow(QStringLiteral("Port:"), m_txtIR[1]);
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
        m_lblReason[i] = new QLabel(box);
        m_lblReason[i]->setObjectName(QStringLiteral("lblStopReason_%1").arg(i));
        m_lblReason[i]->setWordWrap(true);
        m_lblReason[i]->setStyleSheet(QStringLiteral("QLabel { color: #8a1c00; }"));
        m_lblReason[i]->hide();
        outer->addWidget(m_lblReason[i]);
        m_txtStatus[i] = OptionFields::edit(QStringLiteral("txtStatus_%1").arg(i));
        m_txtStatus[i]->setReadOnly(true);
        m_cmdStart[i] = new QPushButton(QStringLiteral("Start"));
        m_cmdStart[i]->setObjectName(QStringLiteral("cmdStart_%1").arg(i));
        m_cmdStop[i] = new QPushButton(QStringLiteral("Stop"));
        m_cmdStop[i]->setObjectName(QStringLiteral("cmdStop_%1").arg(i));
        m_cmdStart[i]->setEnabled(false);
        m_cmdStop[i]->setEnabled(false);
        bl->addWidget(m_txtStatus[i], 1);
        bl->addWidget(m_cmdStart[i]);
        bl->addWidget(m_cmdStop[i]);
        cl->addWidget(box);
        connect(m_cmdStart[i], &QPushButton::clicked, this, [this, i] { start(i); });
        connect(m_cmdStop[i], &QPushButton::clicked, this, [this, i] { stop(i); });
    }
    m_chkStopSvr = OptionFields::check("chkStopSvr", QStringLiteral("stop services on exit"));
    cl->addWidget(m_chkStopSvr);
    grid->addWidget(controls, 0, 1);

    auto *frame = new QGroupBox(QStringLiteral("Storage Class Providers"));
    frame->setObjectName(QStringLiteral("frmSCP"));
    auto *sl = new QVBoxLayout(frame);
    m_destinations = new DestinationsWidget(m_station, frame);
    sl->addWidget(m_destinations);
    grid->addWidget(frame, 1, 0, 1, 2);
    grid->setRowStretch(1, 1);
    refresh();
}

void CommunicationPage::load(const Settings &s)
{
    m_txtIR[0]->setText(s.irAet);
    m_txtIR[1]->setText(s.irPort);
    m_chkStopSvr->setChecked(s.stopService == 1);
}

std::optional<OptionsPage::Refusal> CommunicationPage::check()
{
    if (QString rule = PeerFields::aeTitleProblem(m_txtIR[0]->text()); !rule.isEmpty())
        return Refusal{m_txtIR[0], QStringLiteral("Receiver AE title: ") + rule};
    if (QString rule = PeerFields::portProblem(m_txtIR[1]->text()); !rule.isEmpty())
        return Refusal{m_txtIR[1], QStringLiteral("Receiver port: ") + rule};
    return std::nullopt;
}

void CommunicationPage::store(Settings &s)
{
    // Stored without the blanks around them, and shown so.
    for (QLineEdit *box : m_txtIR)
        box->setText(PeerFields::trimBlanks(box->text()));
    s.irAet = m_txtIR[0]->text();
    s.irPort = m_txtIR[1]->text();
    s.stopService = m_chkStopSvr->isChecked() ? 1 : 0;
}

void CommunicationPage::refresh()
{
    m_station.trap(QStringLiteral("OptionForm RefreshCompanionStatus"), [&] {
        const Companions::Status s = Companions::RefreshCompanionStatus(m_station);
        const bool alive[2] = {s.receiverAlive, s.dataManagerAlive};
        static const QString names[2] = {QStringLiteral("TqReceiver"), QStringLiteral("TqDataMgr")};
        for (int i = 0; i < 2; ++i) {
            // A companion that gave up says why, beside "- stopped".
            const QString why = alive[i] ? QString() : Companions::stopReason(m_station.paths().logsDir(), names[i]);
            m_txtStatus[i]->setText(alive[i] ? Started : Stopped);
            m_txtStatus[i]->setToolTip(why);
            m_lblReason[i]->setText(why);
            m_lblReason[i]->setVisible(!why.isEmpty());
            m_cmdStop[i]->setEnabled(alive[i]);
            m_cmdStart[i]->setEnabled(!alive[i]);
        }
    });
}

bool CommunicationPage::receiverSettingsReady()
{
    // The receiver reads its AE title and port from the settings store, so it can only
    // start with saved values. Edits not yet saved are saved here only when the operator
    // says so: otherwise Cancel would leave them behind.
    Settings &s = m_station.settings();
    const QString aet = PeerFields::trimBlanks(m_txtIR[0]->text());
    const QString port = PeerFields::trimBlanks(m_txtIR[1]->text());
    if (aet == PeerFields::trimBlanks(s.irAet) && port == PeerFields::trimBlanks(s.irPort))
        return true;
    const struct {
        QLineEdit *box;
        QString problem;
        const char *name;
    } fields[] = {{m_txtIR[0], PeerFields::aeTitleProblem(aet), "Receiver AE title"},
                  {m_txtIR[1], PeerFields::portProblem(port), "Receiver port"}};
    for (const auto &f : fields) {
        if (f.problem.isEmpty())
            continue;
        m_station.prompter().message(
            QStringLiteral("%1: %2\nThe receiver was not started.").arg(QLatin1String(f.name), f.problem),
            MsgIcon::Warning, QStringLiteral("Options"));
        f.box->setFocus(Qt::OtherFocusReason);
        return false;
    }
    const QString question = QStringLiteral("The receiver's AE title or port was changed here and is not saved yet.\n\n"
                                            "Save AE title \"%1\" and port %2 now and start the receiver with them?\n"
                                            "(No: nothing is saved and the receiver is not started.)")
                                 .arg(aet, port);
    if (!m_station.prompter().askYesNo(question, MsgIcon::Question, QStringLiteral("Options")))
        return false;
    SettingsStore &store = m_station.settingsStore();
    if (!store.writeValue(QStringLiteral("Com/IR_AET"), aet)
        || !store.writeValue(QStringLiteral("Com/IR_Port"), port)) {
        m_station.prompter().message(QStringLiteral("The settings could not be saved: the settings file cannot be "
                                                    "written. The receiver was not started."),
                                     MsgIcon::Critical, QStringLiteral("Options"));
        return false;
    }
    s.irAet = aet;
    s.irPort = port;
    m_txtIR[0]->setText(aet);
    m_txtIR[1]->setText(port);
    return true;
}

void CommunicationPage::start(int index)
{
    if (index == 0 && !receiverSettingsReady())
        return;
    m_station.trap(QStringLiteral("OptionForm cmdStart_Click"), [&] {
        m_cmdStart[index]->setEnabled(false);
        m_txtStatus[index]->setText(Starting);
        if (index == 0)
            Companions::StartReceiver(m_station);
        else
            Companions::StartDataManager(m_station);
    });
    refresh();
    // A companion that cannot work (a port it may not open) ends within moments of its
    // start: look again so the status does not go on saying "started".
    QTimer::singleShot(1500, this, &CommunicationPage::refresh);
}

void CommunicationPage::stop(int index)
{
    m_station.trap(QStringLiteral("OptionForm cmdStop_Click"), [&] {
        m_cmdStop[index]->setEnabled(false);
        m_txtStatus[index]->setText(Stopping);
        if (index == 0)
            Companions::StopReceiver(m_station);
        else
            Companions::StopDataManager(m_station);
    });
    refresh();
}

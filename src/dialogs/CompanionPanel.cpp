#include "dialogs/CompanionPanel.h"
#include "core/Companions.h"
#include "core/PeerFields.h"
#include "core/Station.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>

namespace {
constexpr int CommunicationTab = 1;
}

CompanionPanel::CompanionPanel(Station &station, QWidget *dialog) : QObject(dialog), m_station(station)
{
    setObjectName(QStringLiteral("CompanionPanel"));
    for (int i = 0; i < 2; ++i) {
        m_txtIR[i] = dialog->findChild<QLineEdit *>(QStringLiteral("txtIR_%1").arg(i));
        m_txtStatus[i] = dialog->findChild<QLineEdit *>(QStringLiteral("txtStatus_%1").arg(i));
        m_lblReason[i] = dialog->findChild<QLabel *>(QStringLiteral("lblStopReason_%1").arg(i));
        m_cmdStart[i] = dialog->findChild<QPushButton *>(QStringLiteral("cmdStart_%1").arg(i));
        m_cmdStop[i] = dialog->findChild<QPushButton *>(QStringLiteral("cmdStop_%1").arg(i));
        if (m_cmdStart[i])
            connect(m_cmdStart[i], &QPushButton::clicked, this, [this, i] { start(i); });
        if (m_cmdStop[i])
            connect(m_cmdStop[i], &QPushButton::clicked, this, [this, i] { stop(i); });
    }
    if (auto *tabs = dialog->findChild<QTabWidget *>(QStringLiteral("SSTab1"))) {
        connect(tabs, &QTabWidget::currentChanged, this, [this](int index) {
            if (index == CommunicationTab)
                refresh();
        });
    }
    refresh();
}

void CompanionPanel::refresh()
{
    m_station.trap(QStringLiteral("OptionForm RefreshCompanionStatus"), [&] {
        const Companions::Status s = Companions::RefreshCompanionStatus(m_station);
        const bool alive[2] = {s.receiverAlive, s.dataManagerAlive};
        static const QString names[2] = {QStringLiteral("TqReceiver"), QStringLiteral("TqDataMgr")};
        for (int i = 0; i < 2; ++i) {
            // A companion that gave up says why, beside "- stopped".
            const QString why = alive[i] ? QString() : Companions::stopReason(m_station.paths().logsDir(), names[i]);
            if (m_txtStatus[i]) {
                m_txtStatus[i]->setText(alive[i] ? Started : Stopped);
                m_txtStatus[i]->setToolTip(why);
            }
            if (m_lblReason[i]) {
                m_lblReason[i]->setText(why);
                m_lblReason[i]->setVisible(!why.isEmpty());
            }
            if (m_cmdStop[i])
                m_cmdStop[i]->setEnabled(alive[i]);
            if (m_cmdStart[i])
                m_cmdStart[i]->setEnabled(!alive[i]);
        }
    });
}

bool CompanionPanel::receiverSettingsReady()
{
    // The receiver reads its AE title and port from the settings store, so it can only
    // start with saved values. Edits not yet saved are saved here only when the operator
    // says so: otherwise Cancel would leave them behind.
    Settings &s = m_station.settings();
    const QString aet = PeerFields::trimBlanks(m_txtIR[0] ? m_txtIR[0]->text() : s.irAet);
    const QString port = PeerFields::trimBlanks(m_txtIR[1] ? m_txtIR[1]->text() : s.irPort);
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
        if (f.box)
            f.box->setFocus(Qt::OtherFocusReason);
        return false;
    }
    const QString question =
        QStringLiteral("The receiver's AE title or port was changed here and is not saved yet.\n\n"
                       "Save AE title \"%1\" and port %2 now and start the receiver with them?\n"
                       "(No: nothing is saved and the receiver is not started.)")
            .arg(aet, port);
    if (!m_station.prompter().askYesNo(question, MsgIcon::Question, QStringLiteral("Options")))
        return false;
    SettingsStore &store = m_station.settingsStore();
    if (!store.writeValue(QStringLiteral("Com/IR_AET"), aet) || !store.writeValue(QStringLiteral("Com/IR_Port"), port)) {
        m_station.prompter().message(QStringLiteral("The settings could not be saved: the settings file cannot be "
                                                    "written. The receiver was not started."),
                                     MsgIcon::Critical, QStringLiteral("Options"));
        return false;
    }
    s.irAet = aet;
    s.irPort = port;
    for (int i = 0; i < 2; ++i)
        if (m_txtIR[i])
            m_txtIR[i]->setText(i == 0 ? aet : port);
    return true;
}

void CompanionPanel::start(int index)
{
    if (index == 0 && !receiverSettingsReady())
        return;
    m_station.trap(QStringLiteral("OptionForm cmdStart_Click"), [&] {
        if (m_cmdStart[index])
            m_cmdStart[index]->setEnabled(false);
        if (m_txtStatus[index])
            m_txtStatus[index]->setText(Starting);
        if (index == 0)
            Companions::StartReceiver(m_station);
        else
            Companions::StartDataManager(m_station);
    });
    refresh();
    // A companion that cannot work (a port it may not open) ends within moments of its
    // start: look again so the status does not go on saying "started".
    QTimer::singleShot(1500, this, &CompanionPanel::refresh);
}

void CompanionPanel::stop(int index)
{
    m_station.trap(QStringLiteral("OptionForm cmdStop_Click"), [&] {
        if (m_cmdStop[index])
            m_cmdStop[index]->setEnabled(false);
        if (m_txtStatus[index])
            m_txtStatus[index]->setText(Stopping);
        if (index == 0)
            Companions::StopReceiver(m_station);
        else
            Companions::StopDataManager(m_station);
    });
    refresh();
}

#include "dose/DoseCapturePanel.h"
#include "core/AppError.h"
#include "core/Station.h"
#include "core/Version.h"
#include "dose/DoseMessage.h"
#include "dose/DoseState.h"
#include "dose/LoradPoll.h"
#include "dose/SerialLink.h"
#include "ui/CommandIds.h"
#include "ui/CommandTable.h"
#include "ui/MainHooks.h"

#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

namespace {

// The debug boxes show line breaks as the text edit knows them.
QString forDisplay(const QString &text)
{
    QString t = text;
    t.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    t.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return t;
}

} // namespace

DoseCapturePanel::DoseCapturePanel(Station &station, DoseState &state, CommandTable &commands, MainHooks &hooks,
                                   QWidget *parent)
    : QObject(parent), m_station(station), m_state(state), m_link(new SerialLink(station, this)),
      m_records(station, state)
{
    buildControls(parent);
    connect(m_link, &SerialLink::commEvent, this, &DoseCapturePanel::onCommEvent);

    connect(m_SerTimer, &QTimer::timeout, this, &DoseCapturePanel::serTimerTick);
    // The polling runs from the creation of the main window.
    m_SerTimer->start();
    // An operator may type or paste a message into the debug box and use "Fill".
    connect(m_txtcInput, &QPlainTextEdit::textChanged, this, [this] {
        if (!m_mirroring)
            m_userEdited = true;
    });
    connect(m_cmdLorad, &QPushButton::clicked, this, &DoseCapturePanel::cmdLoradClick);
    connect(m_lblPending, &QLabel::linkActivated, this, [this](const QString &) { offerPending(); });
    commands.hook(Cmd::Fill, [this] { dbFill(); });

    hooks.activate.push_back([this] { Initialise_cPort(); });
    hooks.clearViewer.push_back([this] { m_SerTimer->stop(); });

    connect(&m_state, &DoseState::studyOpenChanged, m_cmdLorad, &QPushButton::setEnabled);
    connect(&m_state, &DoseState::pollingRequested, this, [this](bool on) {
        if (!on)
            m_SerTimer->stop();
        else if (!m_SerTimer->isActive())
            m_SerTimer->start();
    });

    connect(&m_state, &DoseState::changed, this, [this] {
        updatePendingLabel();
        if (m_state.pendingExposures > 0 && m_state.hasPatient() && patientKey() != m_offeredKey)
            schedulePendingOffer();
    });
    connect(&m_state, &DoseState::patientChosen, this, [this] {
        if (m_state.pendingExposures > 0)
            schedulePendingOffer();
    });
    updatePendingLabel();
}

DoseCapturePanel::~DoseCapturePanel() = default;

void DoseCapturePanel::buildControls(QWidget *parent)
{
    m_cmdLorad = new QPushButton(QStringLiteral("Get Dose Product"), parent);
    m_cmdLorad->setObjectName(QStringLiteral("cmdLorad"));
    m_cmdLorad->setEnabled(false);
    m_cmdLorad->hide(); // only a Lorad M4 is polled; the unit type shows it
    m_lblPending = new QLabel(parent);
    m_lblPending->setObjectName(QStringLiteral("lblPending"));
    m_lblPending->setWordWrap(true);
    m_lblPending->setTextFormat(Qt::RichText);
    m_lblPending->setStyleSheet(QStringLiteral("QLabel { color: #8a1c00; font-weight: bold; }"));
    m_lblPending->hide();
    m_txtcInput = new QPlainTextEdit(parent);
    m_txtcInput->setObjectName(QStringLiteral("txtcInput"));
    m_txtcInput->setMaximumBlockCount(2000);
    m_txtcInput->hide();
    m_List1 = new QListWidget(parent);
    m_List1->setObjectName(QStringLiteral("List1"));
    m_List1->hide();
    m_Text4 = new QPlainTextEdit(parent);
    m_Text4->setObjectName(QStringLiteral("Text4"));
    m_Text4->hide();
    m_SerTimer = new QTimer(this);
    m_SerTimer->setObjectName(QStringLiteral("SerTimer"));
    m_SerTimer->setInterval(PollIntervalMs);
}

void DoseCapturePanel::applyDebugMode(bool debug)
{
    m_txtcInput->setVisible(debug);
    m_List1->setVisible(debug);
}

void DoseCapturePanel::applyUnitType(int unitType)
{
    if (unitType == XrayUnit::LoradM4)
        m_cmdLorad->setVisible(true);
    else if (unitType == XrayUnit::Sophie || unitType == XrayUnit::Giotto)
        m_cmdLorad->setVisible(false);
}

void DoseCapturePanel::Initialise_cPort()
{
    // What was gathered, and what still waits in the port, stays: a message half
    // received goes on with the rest of it after the port is open again.
    if (m_link->isOpen())
        appendInput(m_link->readAll());
    m_link->initialise();
}

void DoseCapturePanel::appendInput(const QString &chunk)
{
    if (chunk.isEmpty())
        return;
    m_cInput += chunk;
    bool lost = false;
    if (m_cInput.size() > MaxInput) {
        // Never grow without end on a line that sends no message end.
        m_cInput = m_cInput.right(MaxInput);
        lost = true;
    }
    m_mirroring = true;
    if (lost) {
        m_txtcInput->setPlainText(forDisplay(m_cInput));
    } else {
        m_txtcInput->moveCursor(QTextCursor::End);
        m_txtcInput->insertPlainText(forDisplay(chunk));
    }
    m_txtcInput->moveCursor(QTextCursor::End);
    m_mirroring = false;
    if (lost)
        onCommEvent(SerialLink::EvRxOver);
}

void DoseCapturePanel::setInput(const QString &text)
{
    m_cInput = text;
    m_userEdited = false;
    m_mirroring = true;
    m_txtcInput->setPlainText(forDisplay(text));
    m_txtcInput->moveCursor(QTextCursor::End);
    m_mirroring = false;
}

QString DoseCapturePanel::inputForFill() const
{
    if (m_userEdited) {
        QString t = m_txtcInput->toPlainText();
        t.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
        return t;
    }
    return m_cInput;
}

void DoseCapturePanel::setText4(const QString &text)
{
    m_text4 = text;
    m_Text4->setPlainText(forDisplay(text));
}

void DoseCapturePanel::showTokens(const QStringList &tokens)
{
    m_List1->clear();
    m_List1->addItems(tokens);
}

void DoseCapturePanel::enableTimer()
{
    if (!m_SerTimer->isActive())
        m_SerTimer->start();
}

void DoseCapturePanel::serTimerTick()
{
    if (m_inFill)
        return;
    m_link->checkLineErrors();
    if (m_link->waiting() > 0)
        appendInput(m_link->readAll());

    // Only the HFE 501 announces its exposures.
    if (m_station.settings().xrayComm != XrayUnit::Hfe501)
        return;
    // Several exposures can arrive within one tick: each complete one is handed over and
    // stored on its own, one cut short is kept aside, and the start of the next waits.
    const DoseMessage::SemicolonSplit split = DoseMessage::splitSemicolon(m_cInput);
    if (split.complete.isEmpty() && split.incomplete.isEmpty())
        return;
    for (const QString &cut : split.incomplete) {
        m_records.keepUnstored(cut, QStringLiteral("message incomplete"));
        m_station.log().writeError(ErrorNo::BadInput,
                                   QStringLiteral("Incomplete dose message kept in %1").arg(m_records.unstoredFile()),
                                   QStringLiteral("MainForm SerTimer_Timer"));
    }
    for (const QString &message : split.complete) {
        setInput(message);
        // When the hand-over fails, dbFill parses the message it is given.
        m_records.handOver(message);
        m_SerTimer->stop();
        dbFill();
    }
    setInput(split.rest);
}

void DoseCapturePanel::onCommEvent(int code)
{
    switch (code) {
    case SerialLink::EvOverrun:
    case SerialLink::EvRxOver:
        if (m_lossShown) {
            ++m_lossesWhileShown;
            break;
        }
        if (m_lossBoxClosed.isValid() && m_lossBoxClosed.elapsed() < LossBoxPauseMs) {
            // The log counts the repeats of this line instead of writing one per loss.
            m_station.log().writeError(ErrorNo::Serial, QStringLiteral("Datenverlust! (the message was shown moments ago)"),
                                       QStringLiteral("MainForm MSComm1_OnComm"));
            break;
        }
        m_lossShown = true;
        m_station.prompter().message(QStringLiteral("Datenverlust!"), MsgIcon::None, Version::ProductName);
        m_lossShown = false;
        m_lossBoxClosed.start();
        if (m_lossesWhileShown > 0) {
            m_station.log().writeError(ErrorNo::Serial,
                                       QStringLiteral("Datenverlust! %1 more data losses while the message was shown")
                                           .arg(m_lossesWhileShown),
                                       QStringLiteral("MainForm MSComm1_OnComm"));
            m_lossesWhileShown = 0;
        }
        break;
    case SerialLink::EvReceive:
        setText4(m_text4 + m_link->readAll());
        break;
    default:
        break;
    }
}

void DoseCapturePanel::dbFill()
{
    if (m_inFill)
        return;
    m_inFill = true;
    QString text = inputForFill();
    try {
        const DoseRecords::Result r = m_records.fill(text);
        m_inFill = false;
        setInput(text);
        showTokens(r.tokens);
        if (r.outcome == DoseRecords::Outcome::Pending) {
            updatePendingLabel();
            // The exposure is kept; the label says how many wait for a patient.
            m_station.prompter().message(DoseRecords::noPatientText(), MsgIcon::Information);
        }
    } catch (const std::exception &e) {
        m_inFill = false;
        m_station.logError(e, QStringLiteral("MainForm dbFill"));
        const QString reason = errorReason(e);
        // Keep what could not be stored where the operator finds it, and go on
        // capturing: the next exposure must not be lost because of this one.
        if (!text.isEmpty())
            m_records.keepUnstored(text, reason);
        setInput(QString());
        showTokens({});
        emit statusMessage(QStringLiteral("Dose message not stored (see the error log): ") + reason, 15000);
        enableTimer();
        return;
    }
    m_state.notifyRecordsStored();
    enableTimer();
}

void DoseCapturePanel::cmdLoradClick()
{
    m_state.assignmentMode = AssignmentMode::StorePatient;
    try {
        setText4(QString());
        setText4(LoradPoll::poll(m_records, *m_link));
    } catch (const AppError &e) {
        m_station.showError(e, QStringLiteral("MainForm cmdLorad_Click"));
        return;
    }
    dbFill();
}

QString DoseCapturePanel::patientKey() const
{
    return m_state.row(1) + QLatin1Char('|') + m_state.row(2) + QLatin1Char('|') + m_state.row(3) + QLatin1Char('|')
           + m_state.row(5);
}

void DoseCapturePanel::schedulePendingOffer()
{
    if (m_offerScheduled)
        return;
    m_offerScheduled = true;
    // After the worklist dialog has closed, not in the middle of its "Apply".
    QTimer::singleShot(0, this, [this] {
        m_offerScheduled = false;
        offerPending();
    });
}

void DoseCapturePanel::offerPending()
{
    m_offeredKey = patientKey();
    if (!m_state.hasPatient() || m_records.pendingCount() == 0) {
        updatePendingLabel();
        return;
    }
    if (m_station.prompter().askYesNo(m_records.pendingQuestion(), MsgIcon::Question)) {
        try {
            m_records.storePending();
        } catch (const AppError &e) {
            m_station.showError(e, QStringLiteral("MainForm StorePendingExposures"));
        }
        m_state.notifyRecordsStored();
    }
    updatePendingLabel();
}

void DoseCapturePanel::updatePendingLabel()
{
    const int n = m_state.pendingExposures;
    if (n <= 0) {
        m_lblPending->clear();
        m_lblPending->hide();
        return;
    }
    QString text = DoseRecords::pendingLabel(n).toHtmlEscaped();
    if (m_state.hasPatient())
        text += QStringLiteral(" &ndash; <a href=\"store\">store for the current patient</a>");
    m_lblPending->setText(text);
    m_lblPending->show();
}

#include "dose/DoseCapturePanel.h"
#include "core/AppError.h"
#include "core/Settings.h"
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
    connect(m_storeRetry, &QTimer::timeout, this, &DoseCapturePanel::retryStore);
    // An operator may type or paste a message into the debug box and use "Fill".
    connect(m_txtcInput, &QPlainTextEdit::textChanged, this, [this] {
        if (!m_mirroring)
            m_userEdited = true;
    });
    connect(m_cmdLorad, &QPushButton::clicked, this, &DoseCapturePanel::cmdLoradClick);
    connect(m_cmdFill, &QPushButton::clicked, this, &DoseCapturePanel::dbFill);
    connect(m_lblPending, &QLabel::linkActivated, this, [this](const QString &) { offerPending(); });
    commands.hook(Cmd::Fill, [this] { dbFill(); });

    hooks.activate.push_back([this] { Initialise_cPort(); });
    hooks.clearViewer.push_back([this] {
        m_SerTimer->stop();
        m_storeRetry->stop();
    });
    // The data database exists by then.
    hooks.initializeControls.push_back([this] { recover(); });

    connect(&m_state, &DoseState::studyOpenChanged, m_cmdLorad, &QPushButton::setEnabled);
    connect(&m_state, &DoseState::pollingRequested, this, [this](bool on) {
        if (!on)
            m_SerTimer->stop();
        else if (!m_SerTimer->isActive())
            m_SerTimer->start();
    });

    connect(&m_state, &DoseState::changed, this, [this] {
        // The journal follows the panel: the examination opened or closed.
        m_records.syncExamination();
        updateLabels();
        if (m_state.pendingExposures > 0 && m_state.hasPatient() && patientKey() != m_offeredKey)
            schedulePendingOffer();
    });
    connect(&m_state, &DoseState::patientChosen, this, [this] {
        if (m_state.pendingExposures > 0)
            schedulePendingOffer();
    });
    // What was gathered from the line before the station ended is still there.
    showGathered();
    updateLabels();
}

DoseCapturePanel::~DoseCapturePanel() = default;

void DoseCapturePanel::buildControls(QWidget *parent)
{
    m_cmdLorad = new QPushButton(QStringLiteral("Get Dose Product"), parent);
    m_cmdLorad->setObjectName(QStringLiteral("cmdLorad"));
    m_cmdLorad->setEnabled(false);
    m_cmdLorad->hide(); // only a Lorad M4 is polled; the unit type shows it
    auto notice = [parent](const char *name) {
        auto *l = new QLabel(parent);
        l->setObjectName(QString::fromLatin1(name));
        l->setWordWrap(true);
        l->setTextFormat(Qt::RichText);
        l->setStyleSheet(QStringLiteral("QLabel { color: #8a1c00; font-weight: bold; }"));
        l->hide();
        return l;
    };
    m_lblPending = notice("lblPending");
    m_lblUnstored = notice("lblUnstored");
    m_lblPort = notice("lblPort");
    m_lblFill = notice("lblFill");
    m_lblFill->setText(QStringLiteral("Values from the unit wait to be stored:"));
    m_cmdFill = new QPushButton(QStringLiteral("Fill"), parent);
    m_cmdFill->setObjectName(QStringLiteral("cmdFill"));
    m_cmdFill->hide();
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
    m_storeRetry = new QTimer(this);
    m_storeRetry->setObjectName(QStringLiteral("StoreRetryTimer"));
    m_storeRetry->setSingleShot(true);
    m_storeRetry->setInterval(StoreRetryMs);
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
    updateLabels();
}

void DoseCapturePanel::Initialise_cPort()
{
    // What was gathered, and what still waits in the port, stays: a message half
    // received goes on with the rest of it after the port is open again.
    if (m_link->isOpen())
        appendInput(m_link->readAll());
    m_link->initialise();
    // What the unit sent while the port was closed (or the station was not running) is
    // an exposure like any other.
    appendInput(m_link->readAll());
    showPortProblem();
}

void DoseCapturePanel::showPortProblem()
{
    const Settings &s = m_station.settings();
    QString text;
    static const QList<int> known = {XrayUnit::Sophie, XrayUnit::Giotto, XrayUnit::LoradM4, XrayUnit::Hfe501};
    if (!known.contains(s.xrayComm))
        text = QStringLiteral("Unit type %1 (General\\XrayComm) is not one of the known units (1 Sophie, 2 Giotto, "
                              "3 Lorad M4, 5 HFE 501): choose the unit under Options > Comm Port.")
                   .arg(s.xrayComm);
    else if (!m_link->isOpen())
        text = QStringLiteral("The serial port %1 (Options > Comm Port, %2) cannot be opened: %3. No exposure is read.")
                   .arg(SerialLink::deviceFor(s),
                        s.comDevice.trimmed().isEmpty() ? QStringLiteral("Port %1").arg(s.comPort)
                                                        : QStringLiteral("Device"),
                        m_link->lastError());
    m_lblPort->setText(text.toHtmlEscaped());
    m_lblPort->setVisible(!text.isEmpty());
}

void DoseCapturePanel::appendInput(const QString &chunk)
{
    if (chunk.isEmpty())
        return;
    // The characters are in the journal before anything else happens to them.
    m_records.journal().appendInput(chunk);
    m_cInput += chunk;
    bool lost = false;
    if (m_cInput.size() > MaxInput) {
        // Never grow without end on a line that sends no message end.
        m_cInput = m_cInput.right(MaxInput);
        m_records.journal().keepLast(MaxInput);
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
    journalTrouble();
    updateLabels();
    if (lost)
        onCommEvent(SerialLink::EvRxOver);
}

void DoseCapturePanel::setInput(const QString &text)
{
    m_records.journal().setGathered(text);
    showGathered();
}

void DoseCapturePanel::showGathered()
{
    m_cInput = m_records.journal().gathered();
    m_userEdited = false;
    m_mirroring = true;
    m_txtcInput->setPlainText(forDisplay(m_cInput));
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
    // Several exposures can arrive within one tick: each complete one is captured, one
    // cut short is kept aside, and the start of the next waits.
    const DoseMessage::SemicolonSplit split = DoseMessage::splitSemicolon(m_cInput);
    if (split.complete.isEmpty() && split.incomplete.isEmpty())
        return;
    m_inFill = true;
    m_SerTimer->stop();
    const DoseRecords::Result r = m_records.captureFromLine(split.complete, split.incomplete, split.rest);
    m_inFill = false;
    showGathered();
    afterCapture(r);
}

void DoseCapturePanel::onCommEvent(int code)
{
    switch (code) {
    case SerialLink::EvOverrun:
    case SerialLink::EvRxOver:
        showDataLoss(QStringLiteral("Datenverlust!"));
        break;
    case SerialLink::EvReceive:
        setText4(m_text4 + m_link->readAll());
        break;
    default:
        break;
    }
}

void DoseCapturePanel::showDataLoss(const QString &text)
{
    if (m_lossShown) {
        ++m_lossesWhileShown;
        return;
    }
    if (m_lossBoxClosed.isValid() && m_lossBoxClosed.elapsed() < LossBoxPauseMs) {
        // The log counts the repeats of this line instead of writing one per loss.
        m_station.log().writeError(ErrorNo::Serial, QStringLiteral("Datenverlust! (the message was shown moments ago)"),
                                   QStringLiteral("MainForm MSComm1_OnComm"));
        return;
    }
    m_lossShown = true;
    m_station.prompter().message(text, MsgIcon::None, Version::ProductName);
    m_lossShown = false;
    m_lossBoxClosed.start();
    if (m_lossesWhileShown > 0) {
        m_station.log().writeError(
            ErrorNo::Serial,
            QStringLiteral("Datenverlust! %1 more data losses while the message was shown").arg(m_lossesWhileShown),
            QStringLiteral("MainForm MSComm1_OnComm"));
        m_lossesWhileShown = 0;
    }
}

void DoseCapturePanel::journalTrouble()
{
    if (m_records.journal().backlog() == 0) {
        m_journalTroubleShown = false;
        return;
    }
    if (!m_storeRetry->isActive())
        m_storeRetry->start();
    if (m_journalTroubleShown)
        return;
    m_journalTroubleShown = true;
    const QString why = m_records.journal().lastError();
    m_station.log().writeError(
        ErrorNo::FileIo,
        QStringLiteral("The exposure journal %1 cannot be written: %2").arg(m_records.journal().path(), why),
        QStringLiteral("MainForm dbFill"));
    updateLabels();
    showDataLoss(QStringLiteral("Datenverlust!\n\nThe exposure journal cannot be written (%1).\n"
                                "What the unit sends is held in memory only until it can: keep the station "
                                "running and free disk space in the station folder.")
                     .arg(why));
}

void DoseCapturePanel::fillFrom(QString text)
{
    if (m_inFill)
        return;
    m_inFill = true;
    DoseRecords::Result r;
    try {
        r = m_records.fill(text);
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
    m_inFill = false;
    showGathered();
    afterCapture(r);
}

void DoseCapturePanel::dbFill() { fillFrom(inputForFill()); }

void DoseCapturePanel::afterCapture(const DoseRecords::Result &r)
{
    showTokens(r.tokens);
    journalTrouble();
    if (r.waiting > 0 && !m_storeRetry->isActive())
        m_storeRetry->start();
    if (r.waiting > 0 && !m_storeFailing) {
        m_storeFailing = true;
        m_station.log().writeError(ErrorNo::Database,
                                   QStringLiteral("Dose record not stored yet, tried again shortly: ")
                                       + m_state.unstoredReason,
                                   QStringLiteral("MainForm dbFill"));
    }
    updateLabels();
    if (r.pending > 0)
        // The exposure is kept; the label says how many wait for a patient.
        m_station.prompter().message(DoseRecords::noPatientText(), MsgIcon::Information);
    m_state.notifyRecordsStored();
    enableTimer();
}

void DoseCapturePanel::retryStore()
{
    m_records.journal().flush();
    const int before = m_records.unstoredCount();
    QString why;
    const int left = m_records.storeUnstored(&why);
    if (left < before)
        m_state.notifyRecordsStored();
    if (left == 0 && m_storeFailing) {
        m_storeFailing = false;
        m_station.log().writeError(ErrorNo::Database, QStringLiteral("The dose records that waited are stored"),
                                   QStringLiteral("MainForm dbFill"));
    }
    journalTrouble();
    updateLabels();
    if (left > 0 || m_records.journal().backlog() > 0)
        m_storeRetry->start();
}

void DoseCapturePanel::cmdLoradClick()
{
    m_state.assignmentMode = AssignmentMode::StorePatient;
    QString answer;
    try {
        setText4(QString());
        answer = LoradPoll::poll(*m_link);
        setText4(answer);
    } catch (const AppError &e) {
        m_station.showError(e, QStringLiteral("MainForm cmdLorad_Click"));
        return;
    }
    if (answer.trimmed().isEmpty()) {
        // Nothing came back: there is no message to hand over.
        m_station.log().writeError(ErrorNo::Serial,
                                   QStringLiteral("The unit gave no answer to the dose product request"),
                                   QStringLiteral("MainForm cmdLorad_Click"));
        emit statusMessage(QStringLiteral("The unit gave no dose product; try \"Get Dose Product\" again."), 15000);
        return;
    }
    // The answer goes through the hand-over file; when that cannot be written, it is
    // parsed as it stands.
    fillFrom(m_records.handOver(answer) ? QString() : answer);
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
        updateLabels();
        return;
    }
    if (m_station.prompter().askYesNo(m_records.pendingQuestion(), MsgIcon::Question)) {
        try {
            m_records.storePending();
        } catch (const AppError &e) {
            m_station.showError(e, QStringLiteral("MainForm StorePendingExposures"));
        }
        if (m_records.unstoredCount() > 0 && !m_storeRetry->isActive())
            m_storeRetry->start();
        m_state.notifyRecordsStored();
    }
    updateLabels();
}

void DoseCapturePanel::recover()
{
    const DoseRecords::Recovery rec = m_records.recover();
    showGathered();
    const int taken = rec.exposures + rec.handOver;
    if (taken > 0) {
        const QString text =
            QStringLiteral("%1 exposure(s) taken up again after the station ended unexpectedly%2")
                .arg(taken)
                .arg(rec.stillWaiting > 0 ? QStringLiteral(" (%1 still waiting to be stored)").arg(rec.stillWaiting)
                                          : QString());
        m_station.log().writeError(ErrorNo::General, text, QStringLiteral("MainForm Recover"));
        emit statusMessage(text, 60000);
    }
    if (rec.stillWaiting > 0)
        m_storeRetry->start();
    updateLabels();
    m_state.notifyRecordsStored();
}

void DoseCapturePanel::updateLabels()
{
    const int pending = m_state.pendingExposures;
    if (pending <= 0) {
        m_lblPending->clear();
        m_lblPending->hide();
    } else {
        QString text = DoseRecords::pendingLabel(pending).toHtmlEscaped();
        if (m_state.hasPatient())
            text += QStringLiteral(" &ndash; <a href=\"store\">store for the current patient</a>");
        m_lblPending->setText(text);
        m_lblPending->show();
    }

    const int unstored = int(m_state.unstoredExposures.size());
    const bool memoryOnly = m_records.journal().backlog() > 0;
    if (unstored <= 0 && !memoryOnly) {
        m_lblUnstored->clear();
        m_lblUnstored->hide();
    } else {
        QString text = DoseRecords::unstoredLabel(unstored).toHtmlEscaped();
        if (memoryOnly)
            text += (text.isEmpty() ? QString() : QStringLiteral("<br>"))
                    + QStringLiteral("Exposure journal not writable: held in memory only!");
        m_lblUnstored->setText(text);
        m_lblUnstored->setToolTip(m_state.unstoredReason.isEmpty() ? m_records.journal().lastError()
                                                                   : m_state.unstoredReason);
        m_lblUnstored->show();
    }

    // Sophie and Giotto: what they sent waits for "Fill".
    const int unit = m_station.settings().xrayComm;
    const bool fillWaits = (unit == XrayUnit::Sophie || unit == XrayUnit::Giotto) && !m_cInput.trimmed().isEmpty();
    m_lblFill->setVisible(fillWaits);
    m_cmdFill->setVisible(fillWaits);
}

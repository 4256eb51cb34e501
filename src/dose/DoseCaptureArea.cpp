#include "dose/DoseCaptureArea.h"
#include "app/AppError.h"
#include "app/CommandTable.h"
#include "app/MainHooks.h"
#include "app/MainWidgets.h"
#include "app/Station.h"
#include "app/Version.h"
#include "dose/DoseState.h"
#include "dose/LoradPoll.h"
#include "dose/SerialLink.h"

#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>

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

DoseCaptureArea::DoseCaptureArea(Station &station, MainWidgets &widgets, MainHooks &hooks, DoseState &state,
                                 QObject *parent)
    : QObject(parent), m_station(station), m_w(widgets), m_hooks(hooks), m_state(state),
      m_link(new SerialLink(station, this)), m_records(station, state)
{
    connect(m_link, &SerialLink::commEvent, this, &DoseCaptureArea::onCommEvent);

    if (m_w.SerTimer) {
        m_w.SerTimer->setInterval(100);
        connect(m_w.SerTimer, &QTimer::timeout, this, &DoseCaptureArea::serTimerTick);
        // The polling runs from the creation of the main window.
        m_w.SerTimer->start();
    }
    if (m_w.txtcInput) {
        // An operator may type or paste a message into the debug box and use "Fill".
        connect(m_w.txtcInput, &QPlainTextEdit::textChanged, this, [this] {
            if (!m_mirroring)
                m_userEdited = true;
        });
    }
    if (m_w.cmdLorad)
        connect(m_w.cmdLorad, &QPushButton::clicked, this, &DoseCaptureArea::cmdLoradClick);
    if (m_w.lblPending) {
        m_w.lblPending->setTextFormat(Qt::RichText);
        connect(m_w.lblPending, &QLabel::linkActivated, this, [this](const QString &) { offerPending(); });
    }
    if (m_w.commands)
        m_w.commands->hook(QStringLiteral("mnuFill"), [this] { dbFill(); });

    m_hooks.activate.push_back([this] { Initialise_cPort(); });

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

DoseCaptureArea::~DoseCaptureArea() = default;

void DoseCaptureArea::Initialise_cPort()
{
    // A half-received message is dropped here. When what is dropped looks like an
    // exposure (the polling was off meanwhile), it is kept where the operator finds it.
    QString dropped = m_cInput;
    if (m_link->isOpen())
        dropped += m_link->readAll();
    if (dropped.contains(DoseMessage::DapUnit) || dropped.contains(QStringLiteral("CH1"))) {
        m_records.keepUnstored(dropped, QStringLiteral("dropped when the serial port was initialised again"));
        m_station.log().writeDebug(QStringLiteral("Initialise_cPort"),
                                   QStringLiteral("received text dropped, kept in ") + m_records.unstoredFile());
    }
    setInput(QString());
    m_link->initialise();
}

void DoseCaptureArea::appendInput(const QString &chunk)
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
    if (m_w.txtcInput) {
        m_mirroring = true;
        if (lost) {
            m_w.txtcInput->setPlainText(forDisplay(m_cInput));
        } else {
            m_w.txtcInput->moveCursor(QTextCursor::End);
            m_w.txtcInput->insertPlainText(forDisplay(chunk));
        }
        m_w.txtcInput->moveCursor(QTextCursor::End);
        m_mirroring = false;
    }
    if (lost)
        onCommEvent(SerialLink::EvRxOver);
}

void DoseCaptureArea::setInput(const QString &text)
{
    m_cInput = text;
    m_userEdited = false;
    if (m_w.txtcInput) {
        m_mirroring = true;
        m_w.txtcInput->setPlainText(forDisplay(text));
        m_w.txtcInput->moveCursor(QTextCursor::End);
        m_mirroring = false;
    }
}

QString DoseCaptureArea::inputForFill() const
{
    if (m_userEdited && m_w.txtcInput) {
        QString t = m_w.txtcInput->toPlainText();
        t.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
        return t;
    }
    return m_cInput;
}

void DoseCaptureArea::setText4(const QString &text)
{
    m_text4 = text;
    if (m_w.Text4)
        m_w.Text4->setPlainText(forDisplay(text));
}

void DoseCaptureArea::showTokens(const QStringList &tokens)
{
    if (!m_w.List1)
        return;
    m_w.List1->clear();
    m_w.List1->addItems(tokens);
}

void DoseCaptureArea::enableTimer()
{
    if (m_w.SerTimer && !m_w.SerTimer->isActive())
        m_w.SerTimer->start();
}

void DoseCaptureArea::serTimerTick()
{
    if (m_inFill)
        return;
    m_link->checkLineErrors();
    if (m_link->waiting() > 0)
        appendInput(m_link->readAll());

    // Only the HFE 501 announces its exposures; a message is complete once its
    // exposure time has arrived with the unit "ms".
    if (m_station.settings().xrayComm != XrayUnit::Hfe501)
        return;
    // Two exposures can arrive within one tick: a message ends with the line break after
    // its "ms", and each one is handed over and stored on its own, so none is lost.
    for (int round = 0; round < 50 && !m_inFill && m_cInput.contains(QStringLiteral("ms")); ++round) {
        const int lineEnd = m_cInput.indexOf(QLatin1Char('\n'), m_cInput.indexOf(QStringLiteral("ms")));
        const QString rest = lineEnd >= 0 ? m_cInput.mid(lineEnd + 1) : QString();
        if (lineEnd >= 0 && rest.contains(QStringLiteral("ms")))
            setInput(m_cInput.left(lineEnd + 1));
        const bool more = lineEnd >= 0 && rest.contains(QStringLiteral("ms"));
        try {
            DoseRecords::appendHandOver(m_station, m_cInput);
        } catch (const AppError &e) {
            // dbFill then parses the buffer itself.
            m_station.logError(e, QStringLiteral("MainForm SerTimer_Timer"));
        }
        if (m_w.SerTimer)
            m_w.SerTimer->stop();
        dbFill();
        if (!more)
            break;
        setInput(rest);
    }
}

void DoseCaptureArea::onCommEvent(int code)
{
    switch (code) {
    case SerialLink::EvOverrun:
    case SerialLink::EvRxOver:
        m_station.prompter().message(QStringLiteral("Datenverlust!"), MsgIcon::None, Version::ProductName);
        break;
    case SerialLink::EvReceive:
        setText4(m_text4 + m_link->readAll());
        break;
    default:
        break;
    }
}

void DoseCaptureArea::dbFill()
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
        const auto *ae = dynamic_cast<const AppError *>(&e);
        const QString reason = ae ? QStringLiteral("#%1 - %2").arg(ae->number()).arg(ae->description())
                                  : QString::fromLocal8Bit(e.what());
        // Keep what could not be stored where the operator finds it, and go on
        // capturing: the next exposure must not be lost because of this one.
        if (!text.isEmpty())
            m_records.keepUnstored(text, reason);
        setInput(QString());
        showTokens({});
        if (m_w.StatusBar1)
            m_w.StatusBar1->showMessage(QStringLiteral("Dose message not stored (see the error log): ") + reason, 15000);
        enableTimer();
        return;
    }
    if (m_hooks.fillDoseList)
        m_hooks.fillDoseList(m_state.assignmentMode);
    enableTimer();
}

void DoseCaptureArea::cmdLoradClick()
{
    m_state.assignmentMode = 5;
    try {
        setText4(QString());
        setText4(LoradPoll::poll(m_station, *m_link));
    } catch (const AppError &e) {
        m_station.logError(e, QStringLiteral("MainForm cmdLorad_Click"));
        m_station.prompter().message(QStringLiteral("Error #%1: %2").arg(e.number()).arg(e.description()),
                                     MsgIcon::Critical);
        return;
    }
    dbFill();
}

QString DoseCaptureArea::patientKey() const
{
    return m_state.row(1) + QLatin1Char('|') + m_state.row(2) + QLatin1Char('|') + m_state.row(3) +
           QLatin1Char('|') + m_state.row(5);
}

void DoseCaptureArea::schedulePendingOffer()
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

void DoseCaptureArea::offerPending()
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
            m_station.logError(e, QStringLiteral("MainForm StorePendingExposures"));
            m_station.prompter().message(QStringLiteral("Error #%1: %2").arg(e.number()).arg(e.description()),
                                         MsgIcon::Critical);
        }
        if (m_hooks.fillDoseList)
            m_hooks.fillDoseList(m_state.assignmentMode);
    }
    updatePendingLabel();
}

void DoseCaptureArea::updatePendingLabel()
{
    if (!m_w.lblPending)
        return;
    const int n = m_state.pendingExposures;
    if (n <= 0) {
        m_w.lblPending->clear();
        m_w.lblPending->hide();
        return;
    }
    QString text = DoseRecords::pendingLabel(n).toHtmlEscaped();
    if (m_state.hasPatient())
        text += QStringLiteral(" &ndash; <a href=\"store\">store for the current patient</a>");
    m_w.lblPending->setText(text);
    m_w.lblPending->show();
}

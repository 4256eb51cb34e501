#include "ui/EditForm.h"
#include "core/AppError.h"
#include "ui/MainHooks.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

QString EditForm::caption(qint16 operation)
{
    switch (operation) {
    case SendSeries:
        return QStringLiteral("Send images (Series)");
    case SendStudy:
        return QStringLiteral("Send images (Study)");
    case SendPatient:
        return QStringLiteral("Send Images (Patient)");
    case UpdateStudy:
        return QStringLiteral("Updating Study");
    case DeleteAll:
        return QStringLiteral("Delete Patient list");
    case DeleteStudy:
    case DeletePatient:
    case DeleteSeries:
        return QStringLiteral("Delete images");
    case ImportImages:
        return QStringLiteral("Import image(s)");
    case ImportDir:
        return QStringLiteral("Import DICOM-Dir");
    default:
        return {};
    }
}

EditForm::EditForm(Station &station, Job job, const MainHooks *hooks, QWidget *parent)
    : QDialog(parent), m_station(station), m_job(std::move(job)), m_hooks(hooks)
{
    setObjectName(QStringLiteral("EditForm"));
    // Busy from the window's load until it closes: the timer refreshes leave the lists
    // alone meanwhile.
    m_busy.emplace(m_station);
    setWindowTitle(caption(m_job.operation));
    setModal(true);
    m_lblProgress = new QLabel(QStringLiteral("What is going on ..."), this);
    m_lblProgress->setObjectName(QStringLiteral("lblProgress"));
    m_lblProgress->setText(QStringLiteral("Progress:"));
    m_pb1 = new QProgressBar(this);
    m_pb1->setObjectName(QStringLiteral("pb1"));
    m_pb1->setValue(0);
    m_txtProgress = new QPlainTextEdit(this);
    m_txtProgress->setObjectName(QStringLiteral("txtProgress"));
    m_txtProgress->setReadOnly(true);
    m_cmdOK = new QPushButton(QStringLiteral("OK"), this);
    m_cmdOK->setObjectName(QStringLiteral("cmdOK"));
    m_cmdOK->setEnabled(false);
    m_cmdOK->setAutoDefault(false);
    connect(m_cmdOK, &QPushButton::clicked, this, &EditForm::okClicked);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_lblProgress);
    layout->addWidget(m_pb1);
    layout->addWidget(m_txtProgress, 1);
    layout->addWidget(m_cmdOK, 0, Qt::AlignRight);
    resize(480, 340);
}

EditForm::~EditForm() = default;

void EditForm::showEvent(QShowEvent *e)
{
    QDialog::showEvent(e);
    if (m_started || !m_job.work)
        return; // a code without an operation opens an empty window
    m_started = true;
    m_running = true;
    // The window is drawn before the work begins.
    QTimer::singleShot(StartDelayMs, this, &EditForm::runJob);
}

void EditForm::runJob()
{
    try {
        m_job.work(*this);
    } catch (const std::exception &e) {
        appendLine(QStringLiteral("failed"));
        m_station.logError(e, m_job.procedure);
        const ErrorParts p = errorParts(e);
        m_station.prompter().message(m_job.errorPrefix + QString::number(p.number) + QStringLiteral(": ") + p.text,
                                     MsgIcon::Critical);
    }
    append(m_job.doneText);
    scrollToEnd();
    m_running = false;
    m_done = true;
    m_cmdOK->setEnabled(true);
    m_cmdOK->setFocus();
}

void EditForm::okClicked()
{
    if (m_hooks) {
        m_hooks->closedOperation = m_job.operation;
        MainHooks::run(m_hooks->progressClosed);
        m_hooks->closedOperation = -1;
    }
    m_busy.reset();
    accept();
}

void EditForm::reject()
{
    // Escape: only once the work is over.
    if (!mayClose())
        return;
    m_busy.reset();
    QDialog::reject();
}

void EditForm::closeEvent(QCloseEvent *e)
{
    if (!mayClose()) {
        e->ignore();
        return;
    }
    m_busy.reset();
    QDialog::closeEvent(e);
}

QString EditForm::progressText() const { return m_txtProgress->toPlainText(); }

void EditForm::append(const QString &text)
{
    m_txtProgress->moveCursor(QTextCursor::End);
    m_txtProgress->insertPlainText(text);
}

void EditForm::setMaximum(int maximum) { m_pb1->setMaximum(qMax(0, maximum)); }
void EditForm::setValue(int value) { m_pb1->setValue(value); }

void EditForm::scrollToEnd()
{
    m_txtProgress->moveCursor(QTextCursor::End);
    m_txtProgress->verticalScrollBar()->setValue(m_txtProgress->verticalScrollBar()->maximum());
}

void EditForm::yield() { QCoreApplication::processEvents(); }

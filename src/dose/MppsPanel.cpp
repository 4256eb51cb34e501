#include "dose/MppsPanel.h"
#include "core/Station.h"
#include "dose/DoseState.h"
#include "dose/MppsWorkflow.h"

#include <QLabel>
#include <QTimer>

MppsPanel::MppsPanel(Station &station, DoseState &state, QObject *parent)
    : QObject(parent), m_station(station), m_state(state), m_workflow(std::make_unique<MppsWorkflow>(station)),
      m_delivery(new MppsDelivery(station, this)), m_label(new QLabel), m_timer(new QTimer(this))
{
    m_label->setObjectName(QStringLiteral("lblMpps"));
    m_label->setWordWrap(true);
    m_label->setStyleSheet(QStringLiteral("QLabel { color: #b00020; font-weight: bold; }"));
    m_label->hide();

    connect(&m_state, &DoseState::worklistAnswerTaken, this,
            [this](const dicom::WorklistAnswer &a) { m_workflow->patientChosen(a); });
    connect(&m_state, &DoseState::recordsStored, this, [this] {
        if (!m_workflow->enabled())
            return;
        m_workflow->recordsStored(m_state.row(1));
        m_delivery->deliverSoon();
    });
    connect(&m_state, &DoseState::examinationClosing, this, [this](const QString &patientId) {
        if (!m_workflow->enabled())
            return;
        m_workflow->examinationCompleted(patientId);
        m_delivery->deliverSoon();
    });
    connect(&m_state, &DoseState::doseListDeleting, this, [this] {
        if (!m_workflow->enabled())
            return;
        m_workflow->everythingDiscontinued();
        m_delivery->deliverSoon();
    });
    connect(m_delivery, &MppsDelivery::statusChanged, this, &MppsPanel::show);
    connect(m_timer, &QTimer::timeout, m_delivery, &MppsDelivery::deliverSoon);
    m_timer->start(RetryMs);
    // What waited when the station ended goes as soon as the window is up.
    QTimer::singleShot(1000, m_delivery, &MppsDelivery::deliverSoon);
}

MppsPanel::~MppsPanel()
{
    m_timer->stop();
    m_delivery->waitIdle();
    if (!m_label->parent())
        delete m_label;
}

void MppsPanel::show(const QString &status)
{
    if (status.isEmpty()) {
        m_label->clear();
        m_label->setToolTip(QString());
        m_label->hide();
        return;
    }
    const QStringList problems = m_delivery->problems();
    m_label->setText(problems.isEmpty() ? status : status + QStringLiteral(" - ") + problems.first());
    m_label->setToolTip(problems.join(QLatin1Char('\n')));
    m_label->show();
}

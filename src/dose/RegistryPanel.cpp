#include "dose/RegistryPanel.h"
#include "core/AppError.h"
#include "core/Database.h"
#include "core/Station.h"
#include "dose/DoseRegistry.h"
#include "dose/DoseState.h"
#include "store/Schema.h"

#include <QDateTime>
#include <QLabel>
#include <QTimer>

RegistryPanel::RegistryPanel(Station &station, DoseState &state, QObject *parent)
    : QObject(parent), m_station(station), m_label(new QLabel), m_timer(new QTimer(this))
{
    m_label->setObjectName(QStringLiteral("lblRegistry"));
    m_label->setWordWrap(true);
    m_label->setStyleSheet(QStringLiteral("QLabel { color: #b00020; font-weight: bold; }"));
    m_label->hide();
    connect(&state, &DoseState::recordsStored, this, &RegistryPanel::runSoon);
    connect(m_timer, &QTimer::timeout, this, &RegistryPanel::runSoon);
    m_timer->start(RetryMs);
    QTimer::singleShot(500, this, &RegistryPanel::runSoon);
}

RegistryPanel::~RegistryPanel()
{
    m_timer->stop();
    waitIdle();
    if (!m_label->parent())
        delete m_label;
}

void RegistryPanel::waitIdle()
{
    if (m_thread.joinable())
        m_thread.join();
}

void RegistryPanel::runSoon()
{
    if (m_running.exchange(true)) {
        m_again = true;
        return;
    }
    waitIdle();
    const QString room = stationAet(m_station.settings());
    const StationPaths &paths = m_station.paths();
    m_thread = std::thread([this, room, &paths] {
        QString text;
        QString problem;
        do {
            m_again = false;
            try {
                const DoseRegistry::Upload u = DoseRegistry::uploadWaiting(paths, room);
                SharedDatabase *shared = paths.shared();
                problem = u.problem;
                if (shared && problem.isEmpty()) {
                    // The configuration's local copy: after a change here, after the server
                    // came back, and now and then for the other rooms' changes.
                    const qint64 now = QDateTime::currentMSecsSinceEpoch();
                    if (shared->configChanged.load() || now - m_lastCopyMs.load() >= CopyEveryMs) {
                        try {
                            Schema::syncShared(paths);
                            m_lastCopyMs = now;
                        } catch (const std::exception &e) {
                            problem = QString::fromUtf8(e.what());
                        }
                    }
                } else if (shared) {
                    m_lastCopyMs = 0; // renewed as soon as the server is back
                }
                text = DoseRegistry::statusText(shared && !problem.isEmpty(), u.waiting);
            } catch (const std::exception &e) {
                problem = QString::fromUtf8(e.what());
                text.clear();
            }
        } while (m_again.load());
        m_running = false;
        QMetaObject::invokeMethod(
            this, [this, text, problem] { finished(text, problem); }, Qt::QueuedConnection);
    });
}

void RegistryPanel::finished(const QString &text, const QString &problem)
{
    if (text != m_status && !problem.isEmpty())
        m_station.log().writeError(ErrorNo::Database, problem, QStringLiteral("RegistryPanel"));
    m_status = text;
    m_label->setText(text);
    m_label->setToolTip(problem);
    m_label->setVisible(!text.isEmpty());
    emit statusChanged(text);
}

#pragma once
#include <QObject>
#include <QString>
#include <atomic>
#include <thread>

class DoseState;
class QLabel;
class QTimer;
class Station;

// Runs the uploads and the renewal of the configuration's local copy in the background and
// shows below the dose buttons when the registry is away. The window never waits for it.
class RegistryPanel : public QObject {
    Q_OBJECT
public:
    RegistryPanel(Station &station, DoseState &state, QObject *parent = nullptr);
    ~RegistryPanel() override;

    QLabel *label() const { return m_label; }
    // Starts a round unless one runs (then that one goes round once more).
    void runSoon();
    // Waits for the running round (the window closes; tests).
    void waitIdle();
    QString status() const { return m_status; }

    static constexpr int RetryMs = 5000;
    // The local copy of the configuration is renewed at least this often.
    static constexpr qint64 CopyEveryMs = 300000;

signals:
    void statusChanged(const QString &text);

private:
    void finished(const QString &text, const QString &problem);

    Station &m_station;
    QLabel *m_label = nullptr;
    QTimer *m_timer = nullptr;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_again{false};
    std::atomic<qint64> m_lastCopyMs{0};
    std::thread m_thread;
    QString m_status;
};

#pragma once
#include "core/Progress.h"
#include "core/Station.h"

#include <QDialog>
#include <functional>
#include <optional>

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
struct MainHooks;

// The progress window every long operation runs in (sending, updating, deleting,
// importing). The caller names the operation by its code and hands over the work; the
// window shows itself, starts the work from a timer once it is drawn, shows the text the
// work writes and its progress bar, and offers OK at the end. The busy flag is set for the
// window's whole life. Until OK is offered, neither the close box nor Escape closes it.
class EditForm : public QDialog, public Progress {
    Q_OBJECT
public:
    enum Operation : qint16 {
        SendSeries = 0,
        SendStudy = 1,
        SendPatient = 2,
        UpdateStudy = 3,
        DeleteAll = 4,
        DeleteStudy = 5,
        DeletePatient = 6,
        DeleteSeries = 7,
        ImportImages = 8,
        ImportDir = 9,
    };

    struct Job {
        qint16 operation = -1;
        // The operation's handler name in the error log.
        QString procedure;
        // The work; it writes its progress here and may throw: the window then writes
        // "failed", logs the error, shows it and still finishes.
        std::function<void(EditForm &)> work;
        // How a failure is shown: "Error #" + number + ": " + description.
        QString errorPrefix = QStringLiteral("Error #");
        // The last line: the send operations write "Tasks done!".
        QString doneText = QStringLiteral("Tasks done.");
    };

    // The caption of an operation; empty for a code without one.
    static QString caption(qint16 operation);

    // The steps run by OK before the window closes (the dose list's refresh, the update
    // timer) come from the main window's hooks.
    EditForm(Station &station, Job job, const MainHooks *hooks, QWidget *parent = nullptr);
    ~EditForm() override;

    QString progressText() const;
    bool isDone() const { return m_done; }
    // The delay between the window being shown and the work starting.
    static constexpr int StartDelayMs = 100;

    // Progress
    void append(const QString &text) override;
    void setMaximum(int maximum) override;
    void setValue(int value) override;
    void scrollToEnd() override;
    void yield() override;

public slots:
    void reject() override;

protected:
    void showEvent(QShowEvent *e) override;
    void closeEvent(QCloseEvent *e) override;

private:
    void runJob();
    void okClicked();
    bool mayClose() const { return !m_running; }

    Station &m_station;
    Job m_job;
    const MainHooks *m_hooks;
    std::optional<BusyGuard> m_busy;
    QLabel *m_lblProgress = nullptr;
    QProgressBar *m_pb1 = nullptr;
    QPlainTextEdit *m_txtProgress = nullptr;
    QPushButton *m_cmdOK = nullptr;
    bool m_started = false;
    bool m_running = false;
    bool m_done = false;
};

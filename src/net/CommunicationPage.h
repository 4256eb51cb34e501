#pragma once
#include "ui/OptionsPage.h"

class DestinationsWidget;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

// The Options dialog's "Communication" page: the receiver's AE title and port
// (txtIR_0/1), per companion a status box (txtStatus_i) with Start and Stop buttons
// (cmdStart_i, cmdStop_i; 0 receiver, 1 data manager), "stop services on exit" and the
// storage destinations. The companions' status is shown when the dialog opens and each
// time its tab is chosen. The receiver starts with the saved AE title and port; edited
// ones are saved first only when the operator agrees.
class CommunicationPage : public OptionsPage {
    Q_OBJECT
public:
    explicit CommunicationPage(Station &station, QWidget *parent = nullptr);

    static inline const QString Started = QStringLiteral("- started");
    static inline const QString Stopped = QStringLiteral("- stopped");
    static inline const QString Starting = QStringLiteral("- starting");
    static inline const QString Stopping = QStringLiteral("- stopping");

    QString title() const override { return QStringLiteral("Communication"); }
    void load(const Settings &s) override;
    std::optional<Refusal> check() override;
    void store(Settings &s) override;
    void chosen() override { refresh(); }

    // RefreshCompanionStatus shown on the controls.
    void refresh();
    void start(int index);
    void stop(int index);

private:
    // True when the receiver may start: the AE title and port shown are the saved ones,
    // or the operator agreed to save them (checked first).
    bool receiverSettingsReady();

    Station &m_station;
    QLineEdit *m_txtIR[2] = {nullptr, nullptr};
    QLineEdit *m_txtStatus[2] = {nullptr, nullptr};
    QLabel *m_lblReason[2] = {nullptr, nullptr};
    QPushButton *m_cmdStart[2] = {nullptr, nullptr};
    QPushButton *m_cmdStop[2] = {nullptr, nullptr};
    QCheckBox *m_chkStopSvr = nullptr;
    DestinationsWidget *m_destinations = nullptr;
};

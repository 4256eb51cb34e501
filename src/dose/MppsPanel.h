#pragma once
#include <QObject>
#include <memory>

class DoseState;
class MppsDelivery;
class MppsWorkflow;
class QLabel;
class QTimer;
class Station;

// The performed procedure steps in the main window: follows the dose capture's state
// (worklist patient chosen, records stored, "New Study", "Delete Dosislist") with the
// workflow, delivers what waits in the background, and shows below the dose buttons what
// still waits for the MPPS provider and why ("MPPS: 2 waiting - ..."), until it went.
class MppsPanel : public QObject {
    Q_OBJECT
public:
    MppsPanel(Station &station, DoseState &state, QObject *parent = nullptr);
    ~MppsPanel() override;

    QLabel *label() const { return m_label; }
    MppsWorkflow &workflow() { return *m_workflow; }
    MppsDelivery &delivery() { return *m_delivery; }

    // How often what waits is offered to the provider again.
    static constexpr int RetryMs = 15000;

private:
    void show(const QString &status);

    Station &m_station;
    DoseState &m_state;
    std::unique_ptr<MppsWorkflow> m_workflow;
    MppsDelivery *m_delivery = nullptr;
    QLabel *m_label = nullptr;
    QTimer *m_timer = nullptr;
};

#pragma once
#include "ui/OptionsPage.h"

class QLineEdit;

// The Options dialog's "Worklist" page: the station's AE title and the worklist
// provider's AE title, node and port (txtWorklist_0..3). A station without a worklist
// leaves all four empty; once one is filled, the query needs them all. Below them the
// MPPS provider (txtMpps_0..2: AE title, node, port), which the performed procedure steps
// go to; all three empty: none are sent.
class WorklistPage : public OptionsPage {
    Q_OBJECT
public:
    explicit WorklistPage(QWidget *parent = nullptr);

    QString title() const override { return QStringLiteral("Worklist"); }
    void load(const Settings &s) override;
    std::optional<Refusal> check() override;
    void store(Settings &s) override;

private:
    QLineEdit *m_txt[4] = {nullptr, nullptr, nullptr, nullptr};
    QLineEdit *m_mpps[3] = {nullptr, nullptr, nullptr};
};

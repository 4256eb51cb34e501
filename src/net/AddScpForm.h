#pragma once
#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class Station;

// Adds a storage destination, or edits one ("Edit SCP", "Apply") when given its row.
// The four fields are checked before anything is stored; a refused field takes the focus
// and the text under the fields (lblProblem) names it and its rule. "Dose reports"
// (chkDoseReports) makes the destination a dose registry; "Ask for storage commitment"
// (chkCommitment) has the station ask it, after each transfer, to keep what it accepted.
class AddScpForm : public QDialog {
    Q_OBJECT
public:
    explicit AddScpForm(Station &station, QWidget *parent = nullptr);

    // Edit mode: the row's ID, its four texts and whether it takes the dose reports.
    void editRow(qint64 id, const QString &alias, const QString &aet, const QString &ip, const QString &port,
                 bool doseReports = false, bool storageCommitment = false);

    // Set after a successful Add or Apply.
    bool changed() const { return m_changed; }
    QLineEdit *field(int index) const { return txtSCP[index]; }
    QPushButton *addButton() const { return cmdAdd; }
    QCheckBox *doseReportsBox() const { return m_chkDoseReports; }
    QCheckBox *commitmentBox() const { return m_chkCommitment; }

private:
    void cmdAdd_Click();
    // Why the field's text cannot be stored; empty when it can.
    QString fieldProblem(int field) const;
    void refuse(int field, const QString &text);

    Station &m_station;
    QLineEdit *txtSCP[4];
    QCheckBox *m_chkDoseReports;
    QCheckBox *m_chkCommitment;
    QPushButton *cmdAdd;
    QPushButton *cmdCancel;
    QLabel *m_problem;
    bool m_changed = false;
};

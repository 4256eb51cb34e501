#pragma once
#include "dicom/WorklistQuery.h"
#include "net/WorklistEntry.h"

#include "core/Prompter.h"

#include <QDialog>
#include <QElapsedTimer>
#include <functional>
#include <optional>
#include <vector>

class Station;
class QPushButton;
class QTreeWidget;

// The worklist dialog: asks the provider for today's steps of this station, lists them
// and returns the chosen patient; the dose panel takes it into the current-patient panel.
class WorklistForm : public QDialog {
    Q_OBJECT
public:
    using QueryFn = std::function<std::vector<dicom::WorklistAnswer>(const dicom::WorklistQueryParams &)>;

    WorklistForm(Station &station, QWidget *parent = nullptr, QueryFn query = {});

    // Runs the query and fills the list (done on showing and by "Refresh"). False when
    // the query failed; the dialog then closes itself.
    bool fillList();
    // "Apply": the selected entry becomes the chosen one, then the dialog closes.
    void applySelected();
    // The chosen entry, if any.
    // Opens the worklist as a modal dialog through run; the entry applied, if any.
    static std::optional<WorklistEntry> pick(Station &station, QWidget *parent,
                                             const std::function<int(QDialog &)> &run);
    const std::optional<WorklistEntry> &applied() const { return m_applied; }
    // The entry of a list row.
    WorklistEntry entryAt(int row) const;

    QTreeWidget *list() const { return m_list; }

public slots:
    void reject() override;

protected:
    void showEvent(QShowEvent *e) override;
    bool event(QEvent *e) override;

private:
    std::vector<dicom::WorklistAnswer> runQuery(const dicom::WorklistQueryParams &p);
    void setColumnWidths();

    Station &m_station;
    QueryFn m_query;
    QTreeWidget *m_list = nullptr;
    QPushButton *m_ok = nullptr;
    QPushButton *m_cancel = nullptr;
    QPushButton *m_refresh = nullptr;
    void scheduleFill();
    void message(const QString &text, MsgIcon icon);

    bool m_shownOnce = false;
    bool m_fillScheduled = false;
    // Started by the dialog's own doings (showing, a query, a message box): activations
    // within QuietMs of it are theirs, later ones are the operator coming back.
    QElapsedTimer m_quiet;
    static constexpr int QuietMs = 1000;
    bool m_querying = false;
    std::optional<WorklistEntry> m_applied;
    std::vector<dicom::WorklistAnswer> m_answers; // by the index each row keeps
};

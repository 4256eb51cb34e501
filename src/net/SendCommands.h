#pragma once
#include "core/Settings.h"
#include "dicom/StoreSender.h"
#include "dose/DoseMerge.h"
#include "net/SendTransfer.h"

#include <QObject>
#include <functional>
#include <memory>
#include <vector>

class CommandTable;
struct Destination;
class DoseState;
class EditSession;
class QDialog;
class QMenu;
class QWidget;
class Station;
class StoreSelection;
struct MainHooks;

// The send commands of the main window: the "Send to" sub-menus of the series, study and
// patient menus (one entry per storage destination), the toolbar's "send" to the default
// destination, "Merge Images" (the dose merge, then the patient send) and "Manually"
// (the current image made a mammogram for presentation, then the patient send). Each
// send connects first (SCPOnline) and then runs in the progress window.
class SendCommands : public QObject {
    Q_OBJECT
public:
    static inline const QString StagePrefix = QStringLiteral("Send-");
    static inline const QString ReportProcedure = QStringLiteral("MainForm DoseReport");

    // listedDoses gives the IDs of the records the dose list shows, in list order.
    SendCommands(Station &station, StoreSelection &selection, DoseState &dose, EditSession &edits,
                 CommandTable &commands, MainHooks &hooks, std::function<std::vector<qint64>()> listedDoses,
                 QWidget *parent);
    ~SendCommands() override;

    // Rebuilds the three "Send to" menus from tblSCP and takes the default destination.
    void UpdateSendToEntries();
    const PeerAddress &defaultDestination() const { return m_default; }

    // A "Send to" entry's click: its destination tag, at its level.
    void sendTo(SendTransfer::Level level, const QString &tag);
    // The toolbar's "send".
    void sendToDefault();
    void mergeImages();
    void manually();
    // The dose list's "Dose report": the listed records reported (without image links
    // unless the study's kept report already has them), sent to the default destination
    // and the dose registries, and shown.
    void doseReport();

    // Connects to the send target with contexts for these files; shows "Error #" and
    // returns false when it cannot.
    bool SCPOnline(const QStringList &files);

    // Runs a modal dialog; tests replace it to drive the progress window.
    std::function<int(QDialog &)> execDialog;
    // The waits on the network.
    dicom::StoreSender::Timeouts timeouts;
    // What the last progress window wrote, for tests and the log.
    QString lastProgressText;
    // The report "Dose report" made or found last.
    QString lastReport;
    // Shows a report file in the dose report window; tests replace it.
    std::function<void(const QString &file)> showReport;
    // How long the station waits for a storage commitment report on the request's own
    // association (most archives report later, to the receiver).
    int commitmentReportWaitMs = 2000;

    // Applies the storage commitment reports the receiver took in and removes the images
    // kept only until committed. Runs at start-up and on each tick of the list refresh.
    void applyCommitmentReports();

private:
    void fillMenu(QMenu *menu, const std::vector<Destination> &list);
    bool incomplete(const PeerAddress &p);
    // The patient send to the default destination, from the given staging folder.
    void sendPatientToDefault(const QString &stagingDir);
    void run(SendTransfer::Level level, const QString &stagingDir);
    bool checkDefault();
    // Sends one report on an association of its own; the problem, empty when it went.
    QString sendReport(const PeerAddress &peer, const QString &report);
    // Sends the report to every dose registry but the destination it already went to;
    // tells the operator which did not take it. Returns those.
    QStringList sendToDoseRegistries(const QString &report, const PeerAddress &alreadySent);
    QString newStagingFolder() const;
    // What the merge knows of the open study's patient and the listed dose records.
    DoseMerge::Situation mergeSituation(const std::vector<qint64> &ids);
    // Shows and logs a refusal; false when text is empty (nothing refused).
    bool refuse(const QString &text, const QString &procedure);

    Station &m_station;
    StoreSelection &m_selection;
    DoseState &m_dose;
    EditSession &m_edits;
    CommandTable &m_commands;
    MainHooks &m_hooks;
    std::function<std::vector<qint64>()> m_listedDoses;
    QWidget *m_parent;
    PeerAddress m_default;
    std::unique_ptr<dicom::StoreSender> m_sender;
};

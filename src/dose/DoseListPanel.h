#pragma once
#include "dose/DoseList.h"
#include "net/WorklistEntry.h"

#include <QObject>
#include <QPoint>
#include <functional>
#include <optional>

class CommandTable;
class DoseState;
class EditSession;
class QDialog;
class QLabel;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;
class Station;
struct MainHooks;
class StoreSelection;

// The dose panel of the main window: the current-patient panel ListView1, the dose
// list lvDosis with its menu, the buttons "Worklist", "New Study", "Merge Images" and
// "Manually", and the toolbar's dose commands (worklist, refreshd, delete, reldosis). It
// builds those controls; the main window places them.
class DoseListPanel : public QObject {
    Q_OBJECT
public:
    DoseListPanel(Station &station, DoseState &state, StoreSelection &selection, EditSession &edits,
                  CommandTable &commands, MainHooks &hooks, QWidget *parent);

    // The controls, for the main window to place.
    QTreeWidget *patientView() const { return m_ListView1; }
    QTreeWidget *doseView() const { return m_lvDosis; }
    QLabel *doseCaption() const { return m_lblDoseList; }
    QPushButton *worklistButton() const { return m_cmdWorklist; }
    QPushButton *newStudyButton() const { return m_cmdNew; }
    QPushButton *mergeButton() const { return m_cmdAll; }
    QPushButton *manualButton() const { return m_cmdSelected; }

    // The dose list is hidden while General\Debug is 1.
    void applyDebugMode(bool debug);
    // The first value's heading for the configured unit.
    void applyUnitHeadings();

    // Refills lvDosis for the current assignment mode.
    void lvDosis_Fill();
    // Refills it with the given patient's records and says whose they are.
    void showRecords(DoseList::Shown shown);
    // Changes record status by the assignment mode, then empties lvDosis.
    void RefreshDosisList();
    // Empties the rows of the current-patient panel.
    void ClearTextFields();
    // "New Study".
    void newStudy();
    // "Delete Dosislist" (asks first).
    void deleteDosislist();
    // Opens the worklist dialog; the button also starts the polling timer.
    void openWorklist(bool fromButton);
    // Opens the dose browser.
    void openDoseBrowser();
    // A click on a dose row: marks the picked image row and takes the row's dose value.
    void lvDosis_ItemClick(QTreeWidgetItem *item);
    // Right button over the list: selects the row under the pointer and opens Popup_Dosis.
    void lvDosis_MouseUp(const QPoint &pos);
    // The menu's "Delete".
    void popupDelete();

    // The image-store patient picked in the browser, if any.
    std::optional<StorePatient> storePatient() const;
    DoseList &logic() { return m_list; }
    // The IDs of the records the list shows, in list order (the merge takes them).
    std::vector<qint64> listedIds() const;

    // Runs a modal dialog; tests replace it to drive the dialog.
    std::function<int(QDialog &)> execDialog;
    // Opens the worklist window (it belongs to the network side; the main window gives
    // it) as a modal dialog through run, and returns the entry the operator applied.
    using WorklistPicker =
        std::function<std::optional<WorklistEntry>(QWidget *parent, const std::function<int(QDialog &)> &run)>;
    WorklistPicker pickWorklistPatient;

private:
    void buildControls(QWidget *parent);
    void showPanel();
    void showRows(const std::vector<DoseListRow> &rows);
    void fitColumns();
    std::optional<qint64> selectedId() const;
    void setButtonsForPatient(bool chosen);

    Station &m_station;
    DoseState &m_state;
    StoreSelection &m_selection;
    EditSession &m_edits;
    CommandTable &m_commands;
    DoseList m_list;

    QTreeWidget *m_ListView1 = nullptr;
    QTreeWidget *m_lvDosis = nullptr;
    QLabel *m_lblDoseList = nullptr;
    QPushButton *m_cmdWorklist = nullptr;
    QPushButton *m_cmdNew = nullptr;
    QPushButton *m_cmdSelected = nullptr;
    QPushButton *m_cmdAll = nullptr;
};

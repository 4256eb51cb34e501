#pragma once
#include "dose/DoseList.h"

#include <QObject>
#include <QPoint>
#include <functional>
#include <optional>

class DoseState;
class QDialog;
class Station;
class QTreeWidgetItem;
class WorklistForm;
struct MainHooks;
struct MainWidgets;

// The dose panel of the main window: the current-patient panel ListView1, the dose
// list lvDosis with its menu, the buttons "Worklist" and "New Study", and the toolbar's
// dose commands (worklist, refreshd, delete, reldosis).
class DoseListArea : public QObject {
    Q_OBJECT
public:
    DoseListArea(Station &station, MainWidgets &widgets, MainHooks &hooks, DoseState &state,
                 QObject *parent = nullptr);

    // Refills lvDosis for the current assignment mode.
    void lvDosis_Fill();
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

    // The image-store patient selected in the browser, if any.
    std::optional<StorePatient> storePatient() const;
    DoseList &logic() { return m_list; }

    // Runs a modal dialog; tests replace it to drive the dialog.
    std::function<int(QDialog &)> execDialog;

private:
    void showPanel();
    void showRows(const std::vector<DoseListRow> &rows);
    std::vector<qint64> listedIds() const;
    std::optional<qint64> selectedId() const;
    void setButtonsForPatient(bool chosen);
    void showError(const std::exception &e, const QString &procedure);

    Station &m_station;
    MainWidgets &m_w;
    MainHooks &m_hooks;
    DoseState &m_state;
    DoseList m_list;
};

#pragma once
#include <QDialog>
#include <functional>

class CommandTable;
class QMenu;
class QTreeWidget;
class QTreeWidgetItem;
class Station;

// "Dicom Dictionary": every tag of the user database's dictionary with its visibility
// (a check box per row); Apply writes the changed visibilities, right click deletes a
// tag, "Add New" adds one through AddTagToDB.
class DatabaseForm : public QDialog {
    Q_OBJECT
public:
    explicit DatabaseForm(Station &station, QWidget *parent = nullptr);

    // Hooks "DICOM Dictionary ..." to open the dictionary editor modally.
    static void hookCommand(Station &station, CommandTable &commands, QWidget *parent);

    // UpdateDictionary: the list from the database, by tag.
    void updateDictionary();
    void setAllVisible();
    // Asks "Apply changes?"; on Yes writes the rows whose check differs and closes.
    void applyChanges();
    void deleteRow(QTreeWidgetItem *item);
    void addNew();

    QTreeWidget *list() const { return m_lvDatabase; }

    // Runs a modal dialog; tests replace it to drive the dialog.
    std::function<int(QDialog &)> execDialog;

private:
    Station &m_station;
    QTreeWidget *m_lvDatabase = nullptr;
    QMenu *m_popupList = nullptr;
};

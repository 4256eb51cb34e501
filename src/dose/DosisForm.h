#pragma once
#include <QDialog>

class Station;
class QCalendarWidget;
class QComboBox;
class QLineEdit;
class QPushButton;
class QTreeWidget;

// "Reload Dosis": finds dose records of any status by assigned patient ID, by patient
// name or by date, and sets a record free again so it returns to the open list.
class DosisForm : public QDialog {
    Q_OBJECT
public:
    explicit DosisForm(Station &station, QWidget *parent = nullptr);

    // Fills the list by the patterns, else by the calendar's date.
    void DosisListFill();
    // "All": the same without the date filter.
    void fillAll();
    // "Set Free": the selected record's status back to "0".
    void updateDosisDB();

private:
    void fill(bool withDate);

    Station &m_station;
    QLineEdit *m_id;
    QLineEdit *m_name;
    QCalendarWidget *m_calendar;
    QTreeWidget *m_list;
    QComboBox *m_room = nullptr;
    QPushButton *m_setFree = nullptr;
};

#pragma once
#include <QDialog>

class ModalityFilters;
class QTreeWidget;
class Station;

// "Add DicomTag ...": the visible dictionary tags not yet in the edited filter; Apply
// adds the selected ones to it.
class AddTagForm : public QDialog {
    Q_OBJECT
public:
    AddTagForm(Station &station, const QString &filter, QWidget *parent = nullptr);

    // Apply was pressed (the filter's tags changed).
    bool applied() const { return m_applied; }
    QTreeWidget *list() const { return m_lvDictionary; }

private:
    void apply();

    Station &m_station;
    QString m_filter;
    QTreeWidget *m_lvDictionary = nullptr;
    bool m_applied = false;
};

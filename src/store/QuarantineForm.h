#pragma once
#include "store/Quarantine.h"

#include <QDialog>
#include <QList>

class QLabel;
class QPushButton;
class QTreeWidget;
class Station;

// "Kept apart": the objects the data manager did not file, with why. "Delete" removes
// one; "File anyway" gives an object kept apart for a UID clash back to the data manager,
// after a question that names both patients.
class QuarantineForm : public QDialog {
    Q_OBJECT
public:
    explicit QuarantineForm(Station &station, QWidget *parent = nullptr);

    void refill();
    void deleteSelected();
    void fileAnywaySelected();

    QTreeWidget *list() const { return m_list; }

private:
    const QuarantinedObject *selected() const;
    void updateButtons();

    Station &m_station;
    QList<QuarantinedObject> m_objects;
    QTreeWidget *m_list = nullptr;
    QLabel *m_detail = nullptr;
    QPushButton *m_delete = nullptr;
    QPushButton *m_fileAnyway = nullptr;
};

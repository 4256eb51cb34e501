#pragma once
#include <QWidget>
#include <functional>

class QDialog;
class QMenu;
class QTreeWidget;
class Station;

// The storage destinations on the Options dialog's Communication page: the list lvSCP
// (Alias, AET, IP, Port, and "yes" under "Dose reports" for a dose registry) and its menu
// PopupAddSCP (add, edit, delete, make default). Changes go to tblSCP at once.
class DestinationsWidget : public QWidget {
    Q_OBJECT
public:
    DestinationsWidget(Station &station, QWidget *parent = nullptr);

    // Refills lvSCP from tblSCP.
    void UpdateSCP();
    void addNew();
    void editSelected();
    void deleteSelected();
    void makeDefault();
    // Opens PopupAddSCP for the list position (what lies under it decides the entries).
    QMenu *popupFor(const QPoint &pos);

    QTreeWidget *list() const { return m_lvSCP; }
    // Runs a modal dialog; tests replace it.
    std::function<int(QDialog &)> execDialog;

private:
    qint64 selectedId() const;

    Station &m_station;
    QTreeWidget *m_lvSCP;
    QMenu *m_popup;
};

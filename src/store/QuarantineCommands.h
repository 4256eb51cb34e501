#pragma once
#include <QObject>

class CommandTable;
class QLabel;
class QTimer;
class QWidget;
class Station;

// The main window's part of what the data manager kept apart: a status bar note
// ("n objects kept apart", a link to the list) that follows the quarantine folder, and the
// File menu's "Kept apart ..." that opens the list.
class QuarantineCommands : public QObject {
    Q_OBJECT
public:
    QuarantineCommands(Station &station, CommandTable &commands, QWidget *parent);

    QLabel *note() const { return m_note; }
    // Counts the quarantine folder again and shows the note when it holds anything.
    void update();
    void openList();

    // How often the folder is looked at.
    static constexpr int IntervalMs = 5000;

private:
    Station &m_station;
    QWidget *m_parent;
    QLabel *m_note = nullptr;
    QTimer *m_timer = nullptr;
};

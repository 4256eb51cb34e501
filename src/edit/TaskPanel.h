#pragma once
#include <QObject>

class EditSession;
class QComboBox;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QWidget;

// The task editor: the selected element, the task choice, the new value, "Add Task" and
// the task list lvTasks. It builds its page; the main window places it. The edit
// session's pending count follows the rows of the task list.
class TaskPanel : public QObject {
    Q_OBJECT
public:
    TaskPanel(EditSession &edits, QWidget *parent);

    QWidget *page() const { return m_page; }
    QTreeWidget *taskList() const { return m_lvTasks; }

private:
    void buildControls(QWidget *parent);
    void clearEditors();

    EditSession &m_edits;
    QWidget *m_page = nullptr;
    QLineEdit *m_txtSelElement = nullptr;
    QComboBox *m_cboTask = nullptr;
    QLineEdit *m_txtValue = nullptr;
    QPushButton *m_cmdAddTask = nullptr;
    QTreeWidget *m_lvTasks = nullptr;
};

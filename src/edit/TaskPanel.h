#pragma once
#include <QObject>

class EditSession;
class HeaderState;
class QComboBox;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QWidget;

// The task editor: level, the selected element, the task type, the new value or the
// target element, "Add Task" / "Delete Task" and the task list lvTasks. It builds its
// page; the main window places it. A row clicked in the header list arrives through the
// header state. The edit session's pending count follows the rows of the task list.
class TaskPanel : public QObject {
    Q_OBJECT
public:
    TaskPanel(EditSession &edits, HeaderState &header, QWidget *parent);

    QWidget *page() const { return m_page; }
    QTreeWidget *taskList() const { return m_lvTasks; }

    // cboTask_Click: the new-value box for "Change entry", the target list (every
    // element of the filter set but the selected one) for "Move entry" and "Switch entry".
    void taskTypeChanged();

private:
    void buildControls(QWidget *parent);
    void clearEditors();
    void elementSelected(const QString &tag, const QString &description, const QString &value);

    EditSession &m_edits;
    HeaderState &m_header;
    QWidget *m_page = nullptr;
    QComboBox *m_cboLevel = nullptr;
    QLineEdit *m_txtSelected = nullptr;
    QComboBox *m_cboTask = nullptr;
    QLineEdit *m_txtNeu = nullptr;
    QComboBox *m_cboTarget = nullptr;
    QPushButton *m_cmdTask[2] = {nullptr, nullptr};
    QTreeWidget *m_lvTasks = nullptr;
};

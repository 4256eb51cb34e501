#pragma once
#include "edit/Task.h"

#include <QList>
#include <QObject>
#include <functional>

class CommandTable;
class EditSession;
class HeaderState;
class QComboBox;
class QDialog;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QWidget;
class Station;
class StoreSelection;
struct MainHooks;

// The task editor: level, the selected element, the task type, the new value or the
// target element, "Add Task" / "Delete Task" and the task list lvTasks with its context
// menu (clear, save as a rule set, the rule sets to load) and "Execute tasks ...", which
// runs the update in the progress window. It builds its page; the main window places it.
// A row clicked in the header list arrives through the header state. The edit session's
// pending count follows the rows of the task list.
class TaskPanel : public QObject {
    Q_OBJECT
public:
    TaskPanel(Station &station, StoreSelection &selection, EditSession &edits, HeaderState &header,
              CommandTable &commands, MainHooks &hooks, QWidget *parent);

    QWidget *page() const { return m_page; }
    QTreeWidget *taskList() const { return m_lvTasks; }

    // cboTask_Click: the new-value box for "Change entry", the target list (every
    // element of the filter set but the selected one) for "Move entry" and "Switch entry".
    void taskTypeChanged();

    // The rows of the task list as tasks, and a task appended as a row.
    QList<Task> tasks() const;
    void appendTask(const Task &task);

    // "Add Task", "Delete Task", "Save as ...", UpdateRulesPopup, PopUpRules_Click and
    // "Execute tasks ...".
    void addTask();
    // Why a task cannot be added (with the rule its value breaks); empty when it can.
    QString refusal(const Task &t) const;
    void deleteTask();
    void saveRuleSet();
    void updateRulesPopup();
    void loadRuleSet(const QString &name);
    void applyTasks();

    // Runs a modal dialog (the progress window); tests replace it to drive the window.
    std::function<int(QDialog &)> execDialog;

private:
    void buildControls(QWidget *parent);
    void clearEditors();
    void elementSelected(const QString &tag, const QString &description, const QString &value);
    void updateButtons();

    Station &m_station;
    StoreSelection &m_selection;
    EditSession &m_edits;
    HeaderState &m_header;
    CommandTable &m_commands;
    MainHooks &m_hooks;
    QWidget *m_page = nullptr;
    QComboBox *m_cboLevel = nullptr;
    QLineEdit *m_txtSelected = nullptr;
    QComboBox *m_cboTask = nullptr;
    QLineEdit *m_txtNeu = nullptr;
    QComboBox *m_cboTarget = nullptr;
    QPushButton *m_cmdTask[2] = {nullptr, nullptr};
    QTreeWidget *m_lvTasks = nullptr;
    QString m_selectedValue;
};

#pragma once
#include <QObject>
#include <QString>

class Prompter;

// The edits waiting to be applied to the loaded images (the task list). The browser
// asks before it moves away from images with pending edits; the task panel keeps the
// count and empties its list when the session is cleared. The dose list offers the dose
// value of a clicked row to the task editor through it.
class EditSession : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    int pendingTasks() const { return m_pending; }
    void setPendingTasks(int n) { m_pending = n; }

    // "Cancel current changes?" when edits are pending: false on No (nothing changes),
    // true on Yes (the edits are discarded) or when nothing was pending.
    bool confirmDiscard(Prompter &prompter);
    // Discards the pending edits.
    void clear();

    // A dose value offered as a new task.
    void offerDoseValue(const QString &value) { emit doseValueOffered(value); }

signals:
    void cleared();
    void doseValueOffered(const QString &value);

private:
    int m_pending = 0;
};

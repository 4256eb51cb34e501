#pragma once
#include "edit/Task.h"

#include <QList>
#include <QStringList>

class Station;

// Named rule sets in the user database: the Patient, Study and Series tasks of a task
// list saved under one name (tblRules rows and one tblRuleKey row), and loaded again.
// The new value of a Change task is not stored: it is asked for at load, and a UID
// change gets a new UID instead.
class RuleSets {
public:
    static inline const QString SaveProcedure = QStringLiteral("MainForm PopUpTaskListSub");
    static inline const QString MenuProcedure = QStringLiteral("MainForm UpdateRulesPopup");
    static inline const QString LoadProcedure = QStringLiteral("MainForm PopUpRules_Click");

    explicit RuleSets(Station &station);

    // "Save as ...": asks for a name until it is new or empty, then stores the tasks in
    // one transaction and says how it went. True when a rule set was stored. Database
    // failures are shown and logged, never thrown.
    bool save(const QList<Task> &tasks);

    // The rule set names, in name order.
    QStringList names() const;

    // The tasks of a rule set, in stored order; Change tasks ask for their new value
    // ("Enter new value"), a cancelled one is skipped. Throws AppError on a database
    // failure.
    QList<Task> load(const QString &name);

    // The form of a name, source or target as it is stored: single quotes removed.
    static QString stored(const QString &text);

private:
    Station &m_station;
};

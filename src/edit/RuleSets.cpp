#include "edit/RuleSets.h"
#include "core/AppError.h"
#include "core/Database.h"
#include "core/Station.h"
#include "dicom/Uid.h"
#include "edit/HeaderState.h"

#include <QSqlQuery>

RuleSets::RuleSets(Station &station) : m_station(station) {}

QString RuleSets::stored(const QString &text)
{
    QString s = text;
    return s.remove(QLatin1Char('\'')).trimmed();
}

bool RuleSets::save(const QList<Task> &tasks)
{
    if (tasks.isEmpty())
        return false;
    Prompter &prompter = m_station.prompter();
    try {
        QString name;
        for (;;) {
            const auto answer =
                prompter.askText(QStringLiteral("Save as ..."), QStringLiteral("Please enter new name:"));
            // The name is checked in the form it is stored in, so a name differing
            // only by quotes is a duplicate too.
            name = answer ? stored(*answer) : QString();
            if (name.isEmpty())
                return false;
            Database db = Database::openUser(m_station.paths());
            const qint64 n =
                db.scalar(QStringLiteral("SELECT COUNT(*) AS RuleCount FROM tblRules WHERE fName = ?"), {name}, 0)
                    .toLongLong()
                + db.scalar(QStringLiteral("SELECT COUNT(*) FROM tblRuleKey WHERE fKeyName = ?"), {name}, 0)
                      .toLongLong();
            if (n == 0)
                break;
            prompter.message(QStringLiteral("Name already exists!"), MsgIcon::Information);
        }
        int written = 0;
        {
            Database db = Database::openUser(m_station.paths());
            Transaction t(db, Transaction::Write);
            for (const Task &task : tasks) {
                if (task.level.startsWith(QLatin1String("Image")))
                    continue;
                const QVariant target = task.type == Task::Change ? QVariant() : QVariant(stored(task.target));
                db.exec(QStringLiteral("INSERT INTO tblRules (fLevel, fSource, fTask, fTaskID, fTarget, fName) VALUES "
                                       "(?, ?, ?, ?, ?, ?)"),
                        {task.level, stored(task.source), task.task, task.type, target, name});
                ++written;
            }
            if (written > 0) {
                db.exec(QStringLiteral("INSERT INTO tblRuleKey (fKeyName) VALUES (?)"), {name});
                t.commit();
            }
        }
        if (written == 0) {
            prompter.message(
                QStringLiteral("No tasks with level \"Patient\", \"Study\" or \"Series\".\nTasks not saved."),
                MsgIcon::Information);
            return false;
        }
        prompter.message(QStringLiteral("Task successfully saved!"), MsgIcon::Information);
        return true;
    } catch (const std::exception &e) {
        m_station.logError(e, SaveProcedure);
        prompter.message(QStringLiteral("Database error, task not saved!"), MsgIcon::Critical);
        return false;
    }
}

QStringList RuleSets::names() const
{
    QStringList out;
    Database db = Database::openUser(m_station.paths());
    QSqlQuery q = db.exec(QStringLiteral("SELECT fKeyName FROM tblRuleKey ORDER BY fKeyName"));
    while (q.next())
        out << q.value(0).toString();
    return out;
}

QList<Task> RuleSets::load(const QString &name)
{
    struct Row {
        Task task;
        bool asks = false;
    };
    QList<Row> rows;
    {
        Database db = Database::openUser(m_station.paths());
        QSqlQuery q = db.exec(
            QStringLiteral("SELECT fLevel, fSource, fTask, fTaskID, fTarget FROM tblRules WHERE fName = ? ORDER BY ID"),
            {name});
        while (q.next()) {
            Row r;
            r.task.level = q.value(0).toString();
            r.task.source = q.value(1).toString();
            r.task.task = q.value(2).toString();
            r.task.type = q.value(3).toInt();
            r.task.target = q.value(4).toString();
            r.asks = q.value(4).isNull() || r.task.target.isEmpty();
            rows << r;
        }
    }
    // The questions come after the database is closed again.
    QList<Task> out;
    for (Row &r : rows) {
        if (r.asks) {
            if (HeaderState::isInstanceUid(r.task.sourceTag())) {
                // A UID is never typed in: each run gives new ones.
                r.task.target = dicom::newUid();
            } else {
                const auto answer = m_station.prompter().askText(
                    QStringLiteral("(") + r.task.source + QStringLiteral("):"), QStringLiteral("Enter new value"));
                if (!answer)
                    continue;
                r.task.target = *answer;
            }
        }
        out << r.task;
    }
    return out;
}

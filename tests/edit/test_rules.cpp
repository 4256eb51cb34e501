// Rule sets in the user database and the rules menu of the task list.
#include "PanelHost.h"
#include "core/Database.h"
#include "edit/DictionaryTable.h"
#include "edit/HeaderPanel.h"
#include "edit/ModalityFilters.h"
#include "edit/TaskPanel.h"

#include "core/Database.h"
#include "edit/RuleSets.h"
#include "ui/CommandIds.h"
#include <QTreeWidget>
#include <QWidget>

#include <QAction>
#include <QMenu>
#include <QtTest>

namespace {
Task task(const QString &level, const QString &source, int type, const QString &target)
{
    return Task{level, source, QStringLiteral("v"), Task::typeText(type), target, type};
}
QStringList menuTexts(CommandTable &c)
{
    QStringList out;
    for (QAction *a : c.menu(QString::fromLatin1(Menu::Rules))->actions())
        out << a->text() + QLatin1Char('|') + a->data().toString();
    return out;
}
} // namespace

class TestRules : public QObject {
    Q_OBJECT
private slots:
    void saveAndLoad()
    {
        PanelHost h;
        auto &p = h.ts().prompter;
        const QList<Task> list{
            task(QStringLiteral("Patient"), QStringLiteral("0010,0010 - Patient's Name"), Task::Change,
                 QStringLiteral("X")),
            task(QStringLiteral("Image #1"), QStringLiteral("0018,5101 - View"), Task::Change, QStringLiteral("LCC")),
            task(QStringLiteral("Study"), QStringLiteral("0020,000D - Study's UID"), Task::Change,
                 QStringLiteral("1.2.3")),
            task(QStringLiteral("Series"), QStringLiteral("0008,103E - O'Desc"), Task::Move,
                 QStringLiteral("0008,1030 - Study Desc"))};
        p.texts = {QStringLiteral(" O'Neil set ")};
        QVERIFY(RuleSets(*h.ts()).save(list));
        QCOMPARE(p.lastText(), QStringLiteral("Task successfully saved!"));
        Database db = Database::openUser(h.ts()->paths());
        QCOMPARE(db.scalar(QStringLiteral("SELECT COUNT(*) FROM tblRules WHERE fName = 'ONeil set'")).toInt(), 3);
        QCOMPARE(db.scalar(QStringLiteral("SELECT fSource FROM tblRules WHERE fTaskID = 1")).toString(),
                 QStringLiteral("0008,103E - ODesc"));
        QVERIFY(db.scalar(QStringLiteral("SELECT fTarget FROM tblRules WHERE fTaskID = 0 LIMIT 1")).isNull());

        // The same name with a quote is the same name: asked again, then given up.
        p.clear();
        p.texts = {QStringLiteral("O'Neil' set"), std::nullopt};
        QVERIFY(!RuleSets(*h.ts()).save(list));
        QCOMPARE(p.texts_shown().filter(QStringLiteral("Name already exists!")).size(), 1);
        QCOMPARE(db.scalar(QStringLiteral("SELECT COUNT(*) FROM tblRuleKey")).toInt(), 1);

        // Only image tasks: nothing stored.
        p.clear();
        p.texts = {QStringLiteral("images")};
        QVERIFY(!RuleSets(*h.ts()).save({list[1]}));
        QCOMPARE(p.lastText(),
                 QStringLiteral("No tasks with level \"Patient\", \"Study\" or \"Series\".\nTasks not saved."));
        QCOMPARE(db.scalar(QStringLiteral("SELECT COUNT(*) FROM tblRules WHERE fName = 'images'")).toInt(), 0);

        // Loading: the name change asks, the UID change gets a new UID, the move keeps
        // its target; a cancelled question skips only its task.
        p.clear();
        p.texts = {QStringLiteral("Roe^Ann")};
        QList<Task> loaded = RuleSets(*h.ts()).load(QStringLiteral("ONeil set"));
        QCOMPARE(loaded.size(), 3);
        QCOMPARE(loaded[0].target, QStringLiteral("Roe^Ann"));
        QCOMPARE(p.shown.first().text, QStringLiteral("Enter new value"));
        QVERIFY(isValidUid(loaded[1].target) && loaded[1].target != QStringLiteral("1.2.3"));
        QCOMPARE(loaded[2].target, QStringLiteral("0008,1030 - Study Desc"));
        QCOMPARE(loaded[2].value, QString());
        p.clear();
        p.texts = {std::nullopt};
        loaded = RuleSets(*h.ts()).load(QStringLiteral("ONeil set"));
        QCOMPARE(loaded.size(), 2);
        QCOMPARE(p.shown.size(), 1);
    }

    // The rules menu holds the names from the start, not only after "Save as ...".
    void menuAtStart()
    {
        PanelHost h;
        QCOMPARE(menuTexts(h.commands), QStringList{QStringLiteral("No entries|")});
        {
            Database db = Database::openUser(h.ts()->paths());
            for (const char *n : {"b set", "a set"}) {
                db.exec(QStringLiteral("INSERT INTO tblRuleKey (fKeyName) VALUES (?)"), {QString::fromLatin1(n)});
                db.exec(QStringLiteral("INSERT INTO tblRules (fLevel, fSource, fTask, fTaskID, fTarget, fName) VALUES "
                                       "('Study', '0008,1030 - D', 'Change entry', 0, NULL, ?)"),
                        {QString::fromLatin1(n)});
            }
        }
        MainHooks::run(h.hooks.initializeControls);
        QCOMPARE(menuTexts(h.commands), (QStringList{QStringLiteral("a set|x"), QStringLiteral("b set|x")}));

        // Loading with no image in the viewer does nothing; with one it appends rows and
        // asks whether to execute.
        h.commands.menu(QString::fromLatin1(Menu::Rules))->actions().first()->trigger();
        QCOMPARE(h.tasks->taskList()->topLevelItemCount(), 0);
        h.selection.setViewerFiles({QStringLiteral("/nowhere/1.dcm")});
        h.ts().prompter.texts = {QStringLiteral("Trial")};
        h.ts().prompter.yesNo = {false};
        h.commands.menu(QString::fromLatin1(Menu::Rules))->actions().first()->trigger();
        QCOMPARE(h.tasks->taskList()->topLevelItemCount(), 1);
        QCOMPARE(h.tasks->tasks().first().target, QStringLiteral("Trial"));
        QVERIFY(h.ts().prompter.texts_shown().contains(QStringLiteral("Execute tasks now?")));
        h.commands.run(QString::fromLatin1(Cmd::TaskListClear));
        QCOMPARE(h.tasks->taskList()->topLevelItemCount(), 0);
    }
};

QTEST_MAIN(TestRules)
#include "test_rules.moc"

// The storage destinations on the Options dialog: lvSCP, its menu and the AddSCP dialog.
#include "TestStation.h"

#include "core/Station.h"
#include "dialogs/AddSCP.h"
#include "dialogs/OptionForm.h"
#include "dialogs/ScpPanel.h"
#include "net/Destinations.h"

#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

class TestScpList : public QObject {
    Q_OBJECT
private slots:
    void addEditDeleteAndDefault();
    void refusedFieldsKeepTheDialogOpen();
};

namespace {

// Fills AddSCP's fields and presses its Add (or Apply) button.
std::function<int(QDialog &)> fill(const QStringList &texts, QString *title = nullptr)
{
    return [texts, title](QDialog &d) {
        auto &dlg = static_cast<AddSCP &>(d);
        if (title)
            *title = dlg.windowTitle() + "/" + dlg.addButton()->text();
        for (int i = 0; i < 4; ++i)
            if (!texts[i].isNull())
                dlg.field(i)->setText(texts[i]);
        dlg.addButton()->click();
        return dlg.result();
    };
}

} // namespace

void TestScpList::addEditDeleteAndDefault()
{
    TestStation ts;
    OptionForm form(*ts);
    auto *panel = form.findChild<ScpPanel *>();
    QVERIFY(panel);
    QTreeWidget *lv = form.findChild<QTreeWidget *>("lvSCP");
    QVERIFY(lv);
    QCOMPARE(lv->topLevelItemCount(), 0);

    QString title;
    panel->execDialog = fill({"O'Neil's PACS", "ONEIL", "10.0.0.7", "104"}, &title);
    panel->addNew();
    QCOMPARE(title, QString("Add new SCP/Add"));
    panel->execDialog = fill({"Archive", "ARCH", "127.0.0.1", "11112"});
    panel->addNew();
    QCOMPARE(lv->topLevelItemCount(), 2);
    QCOMPARE(lv->topLevelItem(0)->text(0), QString("Archive"));
    QCOMPARE(lv->topLevelItem(1)->text(0), QString("O'Neil's PACS"));
    QCOMPARE(lv->topLevelItem(1)->text(3), QString("104"));

    // The menu over empty space offers only "Add New ...".
    QMenu *menu = panel->popupFor(QPoint(5, 5000));
    QCOMPARE(menu->findChild<QAction *>("PopEditSCP")->isEnabled(), false);
    QCOMPARE(menu->findChild<QAction *>("PopAddNewSCP")->isEnabled(), true);

    lv->setCurrentItem(lv->topLevelItem(1));
    panel->execDialog = fill({QString(), "ONEIL2", QString(), QString()}, &title);
    panel->editSelected();
    QCOMPARE(title, QString("Edit SCP/Apply"));
    QCOMPARE(lv->topLevelItem(1)->text(1), QString("ONEIL2"));

    lv->setCurrentItem(lv->topLevelItem(0));
    panel->makeDefault();
    lv->setCurrentItem(lv->topLevelItem(1));
    panel->makeDefault();
    QCOMPARE(lv->topLevelItem(0)->font(0).bold(), false);
    QCOMPARE(lv->topLevelItem(1)->font(0).bold(), true);
    QCOMPARE(Destinations(*ts).defaultDestination()->aet, QString("ONEIL2"));

    lv->setCurrentItem(lv->topLevelItem(0));
    panel->deleteSelected();
    QCOMPARE(lv->topLevelItemCount(), 1);
    QCOMPARE(Destinations(*ts).list().size(), size_t(1));
}

void TestScpList::refusedFieldsKeepTheDialogOpen()
{
    TestStation ts;
    AddSCP dlg(*ts);
    QCOMPARE(dlg.field(2)->maxLength(), 15);
    QCOMPARE(dlg.field(3)->maxLength(), 5);
    const QStringList bad{"PACS", "STORE", "1.2.3.4", "99999"};
    for (int i = 0; i < 4; ++i)
        dlg.field(i)->setText(bad[i]);
    dlg.addButton()->click();
    QCOMPARE(ts.prompter.lastText(), QString("Not a valid port."));
    QVERIFY(!dlg.changed());
    QCOMPARE(dlg.result(), 0);
    QVERIFY(Destinations(*ts).list().empty());
}

QTEST_MAIN(TestScpList)
#include "test_scplist.moc"

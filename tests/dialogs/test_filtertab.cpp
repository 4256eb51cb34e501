// The Options dialog's tab "Filter" and the dictionary editor, driven as the operator
// would: new, activate, add, remove and delete filters with the settings file and the
// dictionary's columns checked; rows and columns of the viewer kept within 1 to 10.
#include "TestStation.h"
#include "app/OptionsPages.h"
#include "core/Database.h"
#include "dialogs/AddTagToDB.h"
#include "dialogs/DatabaseForm.h"
#include "dialogs/OptionForm.h"
#include "edit/AddTagForm.h"
#include "edit/FilterPage.h"
#include "edit/ModalityFilters.h"
#include "store/Schema.h"
#include "ui/InputBoxForm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTreeWidget>
#include <QtTest>

class TestFilterTab : public QObject {
    Q_OBJECT
private slots:
    void controlsAndExistingFilters();
    void newFilterIsUpperCaseAndSelected();
    void badNameIsRefusedWithAMessage();
    void addTagsActivatesTheFilter();
    void removeTags();
    void activateWithoutFilter();
    void deleteActiveFilter();
    void dictionaryEditor();
    void addTagToDictionary();
    void rowsAndColumnsClamped_data();
    void rowsAndColumnsClamped();
};

template <typename T> static T *child(QObject &w, const QString &name)
{
    T *c = w.findChild<T *>(name);
    if (!c)
        qFatal("no control %s", qPrintable(name));
    return c;
}

static QString storedActive(const TestStation &ts)
{
    QSettings s(ts.settingsFile(), QSettings::IniFormat);
    return s.value("Filter/Active").toString();
}

static QStringList comboItems(QComboBox *c)
{
    QStringList out;
    for (int i = 0; i < c->count(); ++i)
        out << c->itemText(i);
    return out;
}

// The filter panel of a dialog, with the input box answering text.
static FilterPage *panelOf(OptionForm &f) { return f.findChild<FilterPage *>(); }

static void answerInput(FilterPage *p, const QString &text)
{
    p->execDialog = [text](QDialog &d) {
        d.show();
        auto *box = qobject_cast<InputBoxForm *>(&d);
        box->findChild<QLineEdit *>("txtValue")->setText(text);
        QTest::keyClick(box->findChild<QLineEdit *>("txtValue"), Qt::Key_Return);
        return d.result();
    };
}

void TestFilterTab::controlsAndExistingFilters()
{
    TestStation ts;
    ModalityFilters(ts->paths()).create("MG");
    ModalityFilters(ts->paths()).create("CT");
    OptionForm f(*ts, stationOptionsPages());
    QVERIFY(!f.findChild<QWidget *>("lblFilterPending"));
    QCOMPARE(comboItems(child<QComboBox>(f, "cboModality")), (QStringList{"CT", "MG"}));
    QCOMPARE(child<QPushButton>(f, "cmdAdd")->text(), QString("add ..."));
    QCOMPARE(child<QPushButton>(f, "cmdDelete")->text(), QString("remove"));
    QCOMPARE(child<QPushButton>(f, "cmdNew")->text(), QString("New ..."));
    QCOMPARE(child<QPushButton>(f, "cmdDelMod")->text(), QString("Delete"));
    QCOMPARE(child<QPushButton>(f, "cmdActivate")->text(), QString("activate"));
    auto *lvTags = child<QTreeWidget>(f, "lvTags");
    QCOMPARE(lvTags->headerItem()->text(0), QString("DICOM Tag"));
    QCOMPARE(lvTags->headerItem()->text(1), QString("DICOM Description"));
}

void TestFilterTab::newFilterIsUpperCaseAndSelected()
{
    TestStation ts;
    ModalityFilters(ts->paths()).create("MG");
    OptionForm f(*ts, stationOptionsPages());
    FilterPage *p = panelOf(f);
    answerInput(p, "cr");
    p->newFilter();
    QCOMPARE(comboItems(child<QComboBox>(f, "cboModality")), (QStringList{"CR", "MG"}));
    QCOMPARE(child<QComboBox>(f, "cboModality")->currentText(), QString("CR"));
    QCOMPARE(p->editedFilter(), QString("CR"));
    QVERIFY(child<QPushButton>(f, "cmdActivate")->isEnabled());
    QCOMPARE(ModalityFilters(ts->paths()).names(), (QStringList{"CR", "MG"}));
    // The same name again only selects it.
    answerInput(p, "MG");
    p->newFilter();
    QCOMPARE(comboItems(child<QComboBox>(f, "cboModality")), (QStringList{"CR", "MG"}));
    QCOMPARE(p->editedFilter(), QString("MG"));
    // Cancel adds nothing.
    p->execDialog = [](QDialog &d) {
        d.reject();
        return int(QDialog::Rejected);
    };
    p->newFilter();
    QCOMPARE(ModalityFilters(ts->paths()).names().size(), 2);
}

void TestFilterTab::badNameIsRefusedWithAMessage()
{
    TestStation ts;
    OptionForm f(*ts, stationOptionsPages());
    FilterPage *p = panelOf(f);
    Database before = Database::openUser(ts->paths());
    const qint64 columns = qint64(Schema::tableRecord(before, "tblDictionary").count());
    answerInput(p, "visible");
    p->newFilter();
    QCOMPARE(ts.prompter.lastText(), QString("\"VISIBLE\" is a column of the dictionary and cannot name a filter."));
    answerInput(p, "a b");
    p->newFilter();
    QVERIFY(ts.prompter.lastText().startsWith("\"A B\" is not a valid filter name"));
    QCOMPARE(child<QComboBox>(f, "cboModality")->count(), 0);
    Database after = Database::openUser(ts->paths());
    QCOMPARE(qint64(Schema::tableRecord(after, "tblDictionary").count()), columns);
}

void TestFilterTab::addTagsActivatesTheFilter()
{
    TestStation ts;
    ModalityFilters(ts->paths()).create("MG");
    OptionForm f(*ts, stationOptionsPages());
    FilterPage *p = panelOf(f);
    p->chooseFilter("MG");
    QString heading;
    p->execDialog = [&heading](QDialog &d) {
        auto *form = qobject_cast<AddTagForm *>(&d);
        QTreeWidget *list = form->list();
        heading = list->headerItem()->text(1);
        list->clearSelection(); // the first row comes selected
        for (const char *tag : {"0008,0060", "0010,0010"})
            list->findItems(tag, Qt::MatchExactly, 0).value(0)->setSelected(true);
        child<QPushButton>(d, "cmdAdd")->click();
        return d.result();
    };
    p->addTags();
    QCOMPARE(heading, QString("Beschreibung"));
    auto *lvTags = child<QTreeWidget>(f, "lvTags");
    QCOMPARE(lvTags->topLevelItemCount(), 2);
    QCOMPARE(ts->settings().filterActive, QString("MG"));
    QCOMPARE(storedActive(ts), QString("MG"));
    QVERIFY(!child<QPushButton>(f, "cmdActivate")->isEnabled());
    // Tags already in the filter are not offered again.
    bool offered = true;
    p->execDialog = [&offered](QDialog &d) {
        offered = !qobject_cast<AddTagForm *>(&d)->list()->findItems("0008,0060", Qt::MatchExactly, 0).isEmpty();
        d.reject();
        return int(QDialog::Rejected);
    };
    p->addTags();
    QVERIFY(!offered);
}

void TestFilterTab::removeTags()
{
    TestStation ts;
    ModalityFilters filters(ts->paths());
    filters.create("MG");
    filters.addTags("MG", {"0008,0060", "0010,0010", "0010,0020"});
    OptionForm f(*ts, stationOptionsPages());
    FilterPage *p = panelOf(f);
    p->chooseFilter("MG");
    auto *lvTags = child<QTreeWidget>(f, "lvTags");
    QCOMPARE(lvTags->topLevelItemCount(), 3);
    lvTags->clearSelection();
    lvTags->findItems("0010,0010", Qt::MatchExactly, 0).value(0)->setSelected(true);
    lvTags->findItems("0010,0020", Qt::MatchExactly, 0).value(0)->setSelected(true);
    p->removeTags();
    QCOMPARE(lvTags->topLevelItemCount(), 1);
    QCOMPARE(int(filters.filterSet("MG").size()), 1);
    QCOMPARE(filters.filterSet("MG")[0].tag, QString("0008,0060"));
}

void TestFilterTab::activateWithoutFilter()
{
    TestStation ts;
    ts->settings().filterActive = "MG";
    OptionForm f(*ts, stationOptionsPages());
    panelOf(f)->activate();
    QCOMPARE(ts.prompter.lastText(), QString("No filter selected!"));
    QCOMPARE(ts.prompter.shown.last().icon, MsgIcon::Information);
    QCOMPARE(ts->settings().filterActive, QString("MG"));
    panelOf(f)->addTags();
    QCOMPARE(ts.prompter.shown.size(), 2);
}

void TestFilterTab::deleteActiveFilter()
{
    TestStation ts;
    ModalityFilters filters(ts->paths());
    filters.create("MG");
    filters.create("CT");
    OptionForm f(*ts, stationOptionsPages());
    FilterPage *p = panelOf(f);
    p->chooseFilter("MG");
    p->activate();
    QCOMPARE(storedActive(ts), QString("MG"));
    Database db0 = Database::openUser(ts->paths());
    const qint64 columns = qint64(Schema::tableRecord(db0, "tblDictionary").count());
    // No: nothing changes.
    ts.prompter.yesNo = {false};
    p->deleteFilter();
    QCOMPARE(ts.prompter.lastText(), QString("Delete filter \"MG\"?"));
    QCOMPARE(filters.names(), (QStringList{"CT", "MG"}));
    ts.prompter.yesNo = {true};
    p->deleteFilter();
    QCOMPARE(filters.names(), QStringList{"CT"});
    QCOMPARE(ts->settings().filterActive, QString());
    QCOMPARE(storedActive(ts), QString());
    QCOMPARE(comboItems(child<QComboBox>(f, "cboModality")), QStringList{"CT"});
    QCOMPARE(child<QComboBox>(f, "cboModality")->currentText(), QString());
    QCOMPARE(child<QTreeWidget>(f, "lvTags")->topLevelItemCount(), 0);
    Database db1 = Database::openUser(ts->paths());
    QCOMPARE(qint64(Schema::tableRecord(db1, "tblDictionary").count()), columns - 1);
}

void TestFilterTab::dictionaryEditor()
{
    TestStation ts;
    DatabaseForm form(*ts);
    QCOMPARE(form.windowTitle(), QString("Dicom Dictionary"));
    QTreeWidget *lv = form.list();
    QCOMPARE(lv->objectName(), QString("lvDatabase"));
    Database db = Database::openUser(ts->paths());
    QCOMPARE(qint64(lv->topLevelItemCount()), db.scalar("SELECT COUNT(*) FROM tblDictionary").toLongLong());
    const qint64 hidden = db.scalar("SELECT COUNT(*) FROM tblDictionary WHERE Visible = 0").toLongLong();
    // Uncheck one row, Apply with No: nothing written; with Yes: that row only.
    QTreeWidgetItem *row = lv->findItems("0010,0010", Qt::MatchExactly, 1).value(0);
    QVERIFY(row && row->checkState(0) == Qt::Checked);
    row->setCheckState(0, Qt::Unchecked);
    ts.prompter.yesNo = {false};
    form.applyChanges();
    QCOMPARE(ts.prompter.lastText(), QString("Apply changes?"));
    QCOMPARE(db.scalar("SELECT Visible FROM tblDictionary WHERE Tag = '0010,0010'").toInt(), -1);
    ts.prompter.yesNo = {true};
    form.applyChanges();
    QCOMPARE(db.scalar("SELECT Visible FROM tblDictionary WHERE Tag = '0010,0010'").toInt(), 0);
    QCOMPARE(db.scalar("SELECT COUNT(*) FROM tblDictionary WHERE Visible = 0").toLongLong(), hidden + 1);
    // Set all visible, Apply: every row visible.
    DatabaseForm again(*ts);
    again.setAllVisible();
    ts.prompter.yesNo = {true};
    again.applyChanges();
    QCOMPARE(db.scalar("SELECT COUNT(*) FROM tblDictionary WHERE Visible = 0").toLongLong(), 0);
    // Delete from the popup.
    const int before = again.list()->topLevelItemCount();
    again.deleteRow(again.list()->findItems("0010,0010", Qt::MatchExactly, 1).value(0));
    QCOMPARE(again.list()->topLevelItemCount(), before - 1);
    QCOMPARE(db.scalar("SELECT COUNT(*) FROM tblDictionary WHERE Tag = '0010,0010'").toLongLong(), 0);
}

void TestFilterTab::addTagToDictionary()
{
    TestStation ts;
    DatabaseForm form(*ts);
    const int before = form.list()->topLevelItemCount();
    struct Entry {
        QString group, element, vr, message;
    };
    QList<Entry> entries{{"8", "60", "CS", "Tag already exists."},
                         {"9", "1001", "L", "Not a valid VR type!"},
                         {"xyz", "1", "LO", "Group and element take 1 to 4 hexadecimal digits (0-9, A-F)."},
                         {"9", "1001", "lo ", ""}};
    for (const Entry &e : entries) {
        ts.prompter.clear();
        bool okDisabled = false;
        QString paddedGroup;
        form.execDialog = [&](QDialog &d) {
            child<QLineEdit>(d, "txtGroup")->setText(e.group);
            QMetaObject::invokeMethod(child<QLineEdit>(d, "txtGroup"), "editingFinished");
            child<QLineEdit>(d, "txtElement")->setText(e.element);
            child<QLineEdit>(d, "txtDescription")->setText("Vendor value");
            child<QLineEdit>(d, "txtVR")->setText(e.vr);
            auto *ok = child<QPushButton>(d, "cmdOK");
            ok->click();
            okDisabled = !ok->isEnabled();
            paddedGroup = child<QLineEdit>(d, "txtGroup")->text();
            return d.result();
        };
        form.addNew();
        QCOMPARE(ts.prompter.lastText(), e.message);
        if (!e.message.isEmpty())
            QVERIFY(okDisabled); // a rejected entry leaves OK disabled until changed
        if (e.group == "8")
            QCOMPARE(paddedGroup, QString("0008"));
    }
    QCOMPARE(form.list()->topLevelItemCount(), before + 1);
    QTreeWidgetItem *added = form.list()->findItems("0009,1001", Qt::MatchExactly, 1).value(0);
    QVERIFY(added);
    QCOMPARE(added->text(2), QString("LO"));
    QCOMPARE(added->text(3), QString("Vendor value"));
}

void TestFilterTab::rowsAndColumnsClamped_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("saved");
    QTest::newRow("empty keeps 7") << "" << 7;
    QTest::newRow("0") << "0" << 1;
    QTest::newRow("99") << "99" << 10;
    QTest::newRow("4") << "4" << 4;
}

void TestFilterTab::rowsAndColumnsClamped()
{
    QFETCH(QString, typed);
    QFETCH(int, saved);
    TestStation ts;
    OptionForm f(*ts, stationOptionsPages());
    child<QLineEdit>(f, "txtRC_0")->setText(typed);
    child<QLineEdit>(f, "txtRC_1")->setText("3");
    child<QPushButton>(f, "cmdOK")->click();
    QCOMPARE(int(ts->settings().viewerRows), saved);
    QCOMPARE(int(ts->settings().imagesPerPage), saved * 3);
    QSettings s(ts.settingsFile(), QSettings::IniFormat);
    QCOMPARE(s.value("General/Viewer_Rows").toString(), QString::number(saved));
}

QTEST_MAIN(TestFilterTab)
#include "test_filtertab.moc"

// The dose list: what it shows in each assignment mode, the status changes of
// RefreshDosisList, "New Study", "Delete Dosislist", the row click and the row menu.
#include "PanelHost.h"
#include "dose/DoseCapturePanel.h"
#include "dose/DoseListPanel.h"
#include "net/WorklistEntry.h"
#include "ui/CommandIds.h"
#include "ui/MainCommands.h"

#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include <QHeaderView>

#include <QAction>
#include <QLabel>
#include <QSignalSpy>
#include <QTest>

namespace {
const QString Acute = QString::fromUtf8("O\u00B4NEIL");
}

class TestDoseList : public QObject {
    Q_OBJECT
private slots:
    void manuallyNeedsADoseRowForEveryImage_data();
    void manuallyNeedsADoseRowForEveryImage();
    void captionSaysWhoseRecordsAreShown();
    void listHasItsColumns_data();
    void listHasItsColumns();
    void openRecordsOfTheWorklistPatient();
    void closedRecordsOfTheStorePatient_data();
    void closedRecordsOfTheStorePatient();
    void modeFiveWithoutStorePatientIsLogged();
    void busyStationLeavesListAlone();
    void refreshByMode_data();
    void refreshByMode();
    void assignmentNeedsAStorePatient();
    void newStudyClosesOnlyOpenRecords();
    void newStudyWithNoRecordsChangesNothing();
    void deleteDosislistAsksFirst();
    void rowClickTakesDoseValueAndMarksImage();
    void rightClickSelectsRowAndOpensMenu();
    void popupDeleteRemovesSelectedRecord();
    void commandsAreHooked();
    void panelShowsTheWorklistPatient();
};

void TestDoseList::listHasItsColumns_data()
{
    QTest::addColumn<int>("unit");
    QTest::addColumn<QString>("firstValue");
    QTest::newRow("Sophie") << int(XrayUnit::Sophie) << "Dose mGy";
    QTest::newRow("Giotto") << int(XrayUnit::Giotto) << "Dose mGy";
    QTest::newRow("Lorad M4") << int(XrayUnit::LoradM4) << "Dose mGy";
    QTest::newRow("HFE 501") << int(XrayUnit::Hfe501) << QString::fromUtf8("DAP cGyCm\u00B2");
}

void TestDoseList::listHasItsColumns()
{
    QFETCH(int, unit);
    QFETCH(QString, firstValue);
    PanelHost h;
    h.ts()->settings().xrayComm = qint16(unit);
    MainHooks::run(h.hooks.settingsChanged); // as the Options dialog's OK does
    QTreeWidget *lv = h.w.lvDosis;
    QCOMPARE(lv->columnCount(), 13);
    const QStringList expected{"ID",      "First Name", "Last Name", "Birthdate", firstValue, "kv",      "mAs",
                               "expTime", "Date",       "Time",      "Status",    "Bodypart", "Image No"};
    for (int c = 0; c < 13; ++c)
        QCOMPARE(lv->headerItem()->text(c), expected[c]);
    // Shown first: the record, its exposure number and its values.
    QStringList shown;
    for (int v = 0; v < 6; ++v)
        shown << lv->headerItem()->text(lv->header()->logicalIndex(v));
    QCOMPARE(shown, (QStringList{"ID", "Image No", firstValue, "kv", "mAs", "expTime"}));
}

void TestDoseList::openRecordsOfTheWorklistPatient()
{
    PanelHost h;
    const qint64 a1 = h.addRecord("ANN", Acute, "1962-07-04", "0", "12.50", 1);
    h.addRecord("ANN", Acute, "1962-07-04", "2", "9.00", 1);
    h.addRecord("ANN", Acute, "1962-07-04", "1", "8.00", 1);
    h.addRecord("ANN", Acute, "1962-07-05", "0", "7.00", 1);   // other birth date
    h.addRecord("BOB", "SMITH", "1962-07-04", "0", "6.00", 1); // other patient
    const qint64 a2 = h.addRecord("ANN", Acute, "1962-07-04", "0", "13.00", 2);

    h.choosePatient("P200", "ANN", Acute, "1962-07-04");
    h.fill(0);
    QCOMPARE(h.column(0), (QStringList{QString::number(a1), QString::number(a2)}));
    QTreeWidgetItem *first = h.w.lvDosis->topLevelItem(0);
    const QStringList cells{
        QString::number(a1), "ANN", Acute, "1962-07-04", "12.50", "28", "56", "350", "", "", "0", "BREAST", "1"};
    for (int c = 0; c < 13; ++c)
        QCOMPARE(first->text(c), cells[c]);
    QVERIFY(h.w.lvDosis->selectedItems().isEmpty());
}

void TestDoseList::closedRecordsOfTheStorePatient_data()
{
    QTest::addColumn<QString>("storeName");
    QTest::addColumn<QString>("recFirst");
    QTest::addColumn<QString>("recLast");

    // The image store holds the name as the image has it; the dose records hold the
    // worklist's form with "´".
    QTest::newRow("apostrophe against acute") << "O'NEIL, ANN"
                                              << "ANN" << Acute;
    QTest::newRow("same spelling") << "DOE, JANE"
                                   << "JANE"
                                   << "DOE";
    QTest::newRow("blank around the comma") << "DOE ,  JANE "
                                            << "JANE"
                                            << "DOE";
    QTest::newRow("no first name") << "MONONYM"
                                   << ""
                                   << "MONONYM";
}

void TestDoseList::closedRecordsOfTheStorePatient()
{
    QFETCH(QString, storeName);
    QFETCH(QString, recFirst);
    QFETCH(QString, recLast);
    PanelHost h;
    const qint64 closed1 = h.addRecord(recFirst, recLast, "1962-07-04", "2", "1.1", 1);
    const qint64 closed2 = h.addRecord(recFirst, recLast, "1962-07-04", "2", "1.2", 2);
    h.addRecord(recFirst, recLast, "1962-07-04", "0", "1.3", 3); // not yet closed
    h.addRecord(recFirst, recLast, "1962-07-04", "1", "1.4", 1); // already assigned
    h.addRecord(recFirst, recLast, "1970-01-01", "2", "1.5", 1); // another birth date

    h.pickStorePatient("P200", storeName, "1962-07-04");
    h.fill(5);
    QCOMPARE(int(h.dose.assignmentMode), 5);
    QCOMPARE(h.column(0), (QStringList{QString::number(closed1), QString::number(closed2)}));
    QCOMPARE(h.column(12), (QStringList{"1", "2"}));
}

void TestDoseList::modeFiveWithoutStorePatientIsLogged()
{
    PanelHost h;
    h.addRecord("ANN", "DOE", "1962-07-04", "0");
    h.choosePatient("P1", "ANN", "DOE", "1962-07-04");
    h.fill(1);
    QCOMPARE(h.w.lvDosis->topLevelItemCount(), 1);
    h.fill(5);
    QCOMPARE(h.w.lvDosis->topLevelItemCount(), 0);
    QVERIFY(h.errorLog().contains(QStringLiteral("[MainForm_lvDosis_Fill]")));
}

void TestDoseList::busyStationLeavesListAlone()
{
    PanelHost h;
    h.addRecord("ANN", "DOE", "1962-07-04", "0");
    h.choosePatient("P1", "ANN", "DOE", "1962-07-04");
    h.station().busy = true;
    h.fill(1);
    QCOMPARE(h.w.lvDosis->topLevelItemCount(), 0);
    h.w.commands->run(Cmd::ToolbarDeleteDoses);
    QVERIFY(h.ts().prompter.shown.isEmpty());
    QCOMPARE(h.record(1).value(0), QStringLiteral("0"));
    h.station().busy = false;
    h.w.commands->run(Cmd::ToolbarRefreshDoses);
    QCOMPARE(h.w.lvDosis->topLevelItemCount(), 1);
}

void TestDoseList::refreshByMode_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QStringList>("expectFirst");  // status, FKeyPatID, Patname of the first listed row
    QTest::addColumn<QStringList>("expectSecond"); // of the second (selected) row

    const QStringList untouched{"0", "", ""};
    const QStringList assigned{"1", "S-9", "O'NEIL, ANN"};
    QTest::newRow("1: every listed row assigned") << 1 << assigned << assigned;
    QTest::newRow("2: selected row removed") << 2 << untouched << QStringList{"1", "", ""};
    QTest::newRow("3: selected row assigned") << 3 << untouched << assigned;
    QTest::newRow("5: nothing") << 5 << untouched << untouched;
    QTest::newRow("0: nothing") << 0 << untouched << untouched;
}

void TestDoseList::refreshByMode()
{
    QFETCH(int, mode);
    QFETCH(QStringList, expectFirst);
    QFETCH(QStringList, expectSecond);
    PanelHost h;
    // Keys beyond 16 bits.
    const qint64 a = h.addRecord("ANN", Acute, "1962-07-04", "0", "1", 1, 40000);
    const qint64 b = h.addRecord("ANN", Acute, "1962-07-04", "0", "2", 2, 5000000000LL);
    const qint64 other = h.addRecord("BOB", "SMITH", "1950-01-01", "0");
    h.choosePatient("P200", "ANN", Acute, "1962-07-04");
    h.fill(1);
    QCOMPARE(h.w.lvDosis->topLevelItemCount(), 2);
    h.w.lvDosis->setCurrentItem(h.w.lvDosis->topLevelItem(1));
    h.pickStorePatient("S-9", "O'NEIL, ANN", "1962-07-04");

    h.dose.assignmentMode = AssignmentMode(mode);
    h.doseList->RefreshDosisList();
    QCOMPARE(h.record(a), expectFirst);
    QCOMPARE(h.record(b), expectSecond);
    QCOMPARE(h.record(other), (QStringList{"0", "", ""}));
    QCOMPARE(h.w.lvDosis->topLevelItemCount(), 0);
    QVERIFY2(h.errorLog().isEmpty(), qPrintable(h.errorLog()));
}

void TestDoseList::assignmentNeedsAStorePatient()
{
    PanelHost h;
    const qint64 a = h.addRecord("ANN", "DOE", "1962-07-04", "0");
    h.choosePatient("P1", "ANN", "DOE", "1962-07-04");
    h.fill(1);
    h.doseList->RefreshDosisList(); // mode 1 with no patient picked in the browser
    QCOMPARE(h.record(a), (QStringList{"0", "", ""}));
    QCOMPARE(h.w.lvDosis->topLevelItemCount(), 1);
    QVERIFY(h.errorLog().contains(QStringLiteral("[MainForm_RefreshDosisList]")));
}

void TestDoseList::newStudyClosesOnlyOpenRecords()
{
    PanelHost h;
    const qint64 open1 = h.addRecord("ANN", Acute, "1962-07-04", "0", "1", 1);
    const qint64 open2 = h.addRecord("ANN", Acute, "1962-07-04", "0", "2", 2);
    const qint64 done = h.addRecord("ANN", Acute, "1962-07-04", "1", "3", 1);
    const qint64 other = h.addRecord("BOB", "SMITH", "1962-07-04", "0");
    h.choosePatient("P200", "ANN", Acute, "1962-07-04");
    h.w.cmdNew->setEnabled(true);
    h.w.cmdLorad->setEnabled(true);
    h.w.SerTimer->start();
    h.fill(1);

    QTest::mouseClick(h.w.cmdNew, Qt::LeftButton);
    QCOMPARE(h.record(open1).value(0), QStringLiteral("2"));
    QCOMPARE(h.record(open2).value(0), QStringLiteral("2"));
    QCOMPARE(h.record(done).value(0), QStringLiteral("1")); // stays assigned
    QCOMPARE(h.record(other).value(0), QStringLiteral("0"));
    QCOMPARE(int(h.dose.assignmentMode), 4);
    QVERIFY(!h.dose.hasPatient());
    for (int r = 0; r < 8; ++r)
        QCOMPARE(h.w.ListView1->topLevelItem(r)->text(1), QString());
    QCOMPARE(h.w.lvDosis->topLevelItemCount(), 0);
    QVERIFY(!h.w.SerTimer->isActive());
    QVERIFY(!h.w.cmdNew->isEnabled());
    QVERIFY(!h.w.cmdLorad->isEnabled());
    QVERIFY(h.w.cmdWorklist->isEnabled());

    // The closed records now wait for the store patient of that name.
    h.pickStorePatient("P200", "O'NEIL, ANN", "1962-07-04");
    h.fill(5);
    QCOMPARE(h.column(0), (QStringList{QString::number(open1), QString::number(open2)}));
}

void TestDoseList::newStudyWithNoRecordsChangesNothing()
{
    PanelHost h;
    const qint64 other = h.addRecord("BOB", "SMITH", "1962-07-04", "0");
    h.choosePatient("P200", "ANN", "DOE", "1962-07-04");
    h.doseList->newStudy();
    QCOMPARE(h.record(other).value(0), QStringLiteral("0"));
    QVERIFY(h.errorLog().isEmpty());
}

void TestDoseList::deleteDosislistAsksFirst()
{
    PanelHost h;
    h.addRecord("ANN", "DOE", "1962-07-04", "0");
    h.addRecord("ANN", "DOE", "1962-07-04", "2");
    h.addRecord("BOB", "SMITH", "1962-07-04", "1");
    h.choosePatient("P1", "ANN", "DOE", "1962-07-04");
    h.fill(1);

    h.ts().prompter.yesNo = {false};
    h.w.commands->run(Cmd::ToolbarDeleteDoses);
    QCOMPARE(h.ts().prompter.shown.size(), 1);
    QCOMPARE(h.ts().prompter.shown[0].kind, QStringLiteral("yesno"));
    QCOMPARE(h.ts().prompter.shown[0].text,
             QStringLiteral("Delete all 3 dose records of all patients?\r\n"
                            "2 of them are not yet assigned to any image. This cannot be undone."));
    QCOMPARE(h.record(1).value(0), QStringLiteral("0"));
    QCOMPARE(h.w.lvDosis->topLevelItemCount(), 1);
    QVERIFY(!h.w.SerTimer->isActive());

    h.ts().prompter.yesNo = {true};
    h.w.commands->run(Cmd::ToolbarDeleteDoses);
    QVERIFY(h.record(1).isEmpty());
    QVERIFY(h.record(3).isEmpty());
    QCOMPARE(h.w.lvDosis->topLevelItemCount(), 0);
    QVERIFY(h.w.SerTimer->isActive()); // capture goes on

    // Nothing left: no question, the timer still runs.
    h.ts().prompter.clear();
    h.w.SerTimer->stop();
    h.w.commands->run(Cmd::ToolbarDeleteDoses);
    QVERIFY(h.ts().prompter.shown.isEmpty());
    QVERIFY(h.w.SerTimer->isActive());
}

void TestDoseList::rowClickTakesDoseValueAndMarksImage()
{
    PanelHost h;
    h.addRecord("ANN", "DOE", "1962-07-04", "0", "12.50", 1);
    h.addRecord("ANN", "DOE", "1962-07-04", "0", "7.25", 2);
    h.choosePatient("P1", "ANN", "DOE", "1962-07-04");
    h.fill(1);
    QSignalSpy mark(&h.selection, &StoreSelection::markPickedImageRowRequested);
    QSignalSpy offered(&h.edits, &EditSession::doseValueOffered);

    QTreeWidgetItem *row = h.w.lvDosis->topLevelItem(1);
    h.w.lvDosis->setCurrentItem(row);
    emit h.w.lvDosis->itemClicked(row, 0);
    QCOMPARE(h.dose.currentDoseValue, QStringLiteral("7.25"));
    // The browser marks the picked image's row; the task editor is offered the value.
    QCOMPARE(mark.count(), 1);
    QCOMPARE(offered.count(), 1);
    QCOMPARE(offered.at(0).at(0).toString(), QStringLiteral("7.25"));
}

void TestDoseList::rightClickSelectsRowAndOpensMenu()
{
    PanelHost h;
    h.addRecord("ANN", "DOE", "1962-07-04", "0");
    h.addRecord("ANN", "DOE", "1962-07-04", "0");
    h.choosePatient("P1", "ANN", "DOE", "1962-07-04");
    h.window.resize(900, 600);
    h.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&h.window));
    h.fill(1);
    QTreeWidget *lv = h.w.lvDosis;
    QMenu *menu = h.w.commands->menu(Menu::Dose);

    // Empty part of the list: no menu.
    h.doseList->lvDosis_MouseUp(QPoint(5, lv->viewport()->height() - 3));
    QVERIFY(!menu->isVisible());

    const QRect second = lv->visualItemRect(lv->topLevelItem(1));
    h.doseList->lvDosis_MouseUp(second.center());
    QCOMPARE(lv->currentItem(), lv->topLevelItem(1));
    QTRY_VERIFY(menu->isVisible());
    menu->close();
}

void TestDoseList::popupDeleteRemovesSelectedRecord()
{
    PanelHost h;
    const qint64 a = h.addRecord("ANN", "DOE", "1962-07-04", "0");
    const qint64 b = h.addRecord("ANN", "DOE", "1962-07-04", "0");
    h.choosePatient("P1", "ANN", "DOE", "1962-07-04");
    h.fill(1);
    h.w.lvDosis->setCurrentItem(h.w.lvDosis->topLevelItem(0));
    h.w.commands->action(Cmd::DoseDelete)->trigger();
    QCOMPARE(int(h.dose.assignmentMode), 2);
    QCOMPARE(h.record(a).value(0), QStringLiteral("1"));
    QCOMPARE(h.record(b).value(0), QStringLiteral("0"));
    QCOMPARE(h.w.lvDosis->topLevelItemCount(), 0);
    h.w.commands->run(Cmd::ToolbarRefreshDoses);
    QCOMPARE(h.column(0), QStringList{QString::number(b)});
}

void TestDoseList::commandsAreHooked()
{
    PanelHost h;
    for (const char *name : {Cmd::ToolbarWorklist, Cmd::ToolbarRefreshDoses, Cmd::ToolbarDeleteDoses,
                             Cmd::ToolbarDoseRecords, Cmd::DoseDelete})
        QVERIFY2(h.w.commands->action(QString::fromLatin1(name))->isEnabled(), name);
    QVERIFY(h.w.cmdWorklist->isEnabled());
    QVERIFY(!h.w.cmdNew->isEnabled());
}

void TestDoseList::panelShowsTheWorklistPatient()
{
    PanelHost h;
    h.choosePatient("P1", "ANN", "DOE", "1962-07-04");
    QCOMPARE(h.w.ListView1->topLevelItem(0)->text(1), QStringLiteral("P1"));
    QCOMPARE(h.w.ListView1->topLevelItem(2)->text(1), QStringLiteral("DOE"));
    QCOMPARE(h.w.ListView1->topLevelItem(7)->text(1), QStringLiteral("Unknown"));
    QCOMPARE(h.w.ListView1->topLevelItem(0)->text(0), QStringLiteral("Patient ID")); // labels kept
    h.doseList->ClearTextFields();
    for (int r = 0; r < 8; ++r)
        QCOMPARE(h.w.ListView1->topLevelItem(r)->text(1), QString());
}

void TestDoseList::manuallyNeedsADoseRowForEveryImage_data()
{
    QTest::addColumn<int>("doses");
    QTest::addColumn<int>("images");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("as many as images") << 2 << 2 << true;
    QTest::newRow("one dose short") << 1 << 2 << false;
    QTest::newRow("no images, no doses") << 0 << 0 << false;
}

void TestDoseList::manuallyNeedsADoseRowForEveryImage()
{
    QFETCH(int, doses);
    QFETCH(int, images);
    PanelHost h;
    for (int i = 0; i < doses; ++i)
        h.addRecord("ANN", "DOE", "1962-07-04", "0", "1.00", i + 1);
    h.choosePatient("P1", "ANN", "DOE", "1962-07-04");
    h.fill(1);
    h.selection.setListedImages(images);
    h.selection.notifyStudyOpened();
    QTEST(h.w.cmdSelected->isEnabled(), "enabled");
}

void TestDoseList::captionSaysWhoseRecordsAreShown()
{
    PanelHost h;
    h.addRecord("ANN", "DOE", "1962-07-04", "0");
    h.addRecord("JANE", "ROE", "1950-01-01", "2");
    h.choosePatient("P1", "ANN", "DOE", "1962-07-04");
    h.fill(1);
    QCOMPARE(h.doseList->doseCaption()->text(), QStringLiteral("Open dose records of DOE, ANN (worklist, ID P1)"));
    QCOMPARE(h.column(DoseList::ColLastName), QStringList{"DOE"});
    // Another patient picked in the store: the list and its caption change together.
    h.pickStorePatient("S9", "ROE, JANE", "1950-01-01");
    h.fill(5);
    QCOMPARE(h.doseList->doseCaption()->text(),
             QStringLiteral("Closed dose records of ROE, JANE (image store, ID S9)"));
    QCOMPARE(h.column(DoseList::ColLastName), QStringList{"ROE"});
}

QTEST_MAIN(TestDoseList)
#include "test_doselist.moc"

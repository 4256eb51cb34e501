// The dose browser: searches by patient ID and name patterns and by date, "All",
// "Set Free" and the calendar.
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

#include "core/Database.h"
#include "core/DateText.h"
#include "dose/DosisForm.h"
#include "dose/DosisFormQuery.h"

#include <QCalendarWidget>
#include <QComboBox>
#include <QLineEdit>
#include <QTest>

class TestDosisForm : public QObject {
    Q_OBJECT
private slots:
    void init();
    void patterns_data();
    void patterns();
    void calendarStartsTodayAndFiltersOnDatum();
    void allIgnoresTheDate();
    void recordCapturedHereIsFoundByNameAndDay();
    void setFreeReopensTheRecord();
    void likePatternEscapesSqlWildcards();
    void controlsAndCaption();
    void roomColumnAndFilter();

private:
    std::unique_ptr<PanelHost> h;
    qint64 add(const QString &fkey, const QString &patname, const QString &datum, const QString &status = "1",
               const QString &sonstiges = QString())
    {
        const qint64 id = h->addRecord("ANN", "DOE", "1962-07-04", status);
        Database db = Database::openData(h->station().paths());
        db.exec(QStringLiteral(
                    "UPDATE tblDosis SET FKeyPatID = ?, Patname = ?, Datum = ?, Zeit = ?, Sonstiges = ? WHERE ID = ?"),
                {fkey, patname, datum.isNull() ? QVariant() : QVariant(datum), QStringLiteral("10:00:00"),
                 sonstiges.isNull() ? QVariant() : QVariant(sonstiges), id});
        return id;
    }
    QStringList ids(DosisForm &f)
    {
        auto *lv = f.findChild<QTreeWidget *>(QStringLiteral("ListView1"));
        QStringList out;
        for (int i = 0; i < lv->topLevelItemCount(); ++i)
            out << lv->topLevelItem(i)->text(0);
        return out;
    }
};

void TestDosisForm::init() { h = std::make_unique<PanelHost>(); }

void TestDosisForm::patterns_data()
{
    QTest::addColumn<QString>("idPattern");
    QTest::addColumn<QString>("namePattern");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("id prefix") << "12*"
                               << "" << QStringList{"1", "2"};
    QTest::newRow("id exact") << "12"
                              << "" << QStringList{"1"};
    QTest::newRow("id wildcard inside") << "1*3"
                                        << "" << QStringList{"2"};
    QTest::newRow("name prefix") << ""
                                 << "O'N*" << QStringList{"3"};
    QTest::newRow("name exact needs whole text") << ""
                                                 << "DO" << QStringList{};
    QTest::newRow("the worklist's last name finds captured records") << ""
                                                                     << "DOE" << QStringList{"1", "2", "3", "4"};
    QTest::newRow("both: id wins") << "9*"
                                   << "DOE*" << QStringList{"4"};
    QTest::newRow("underscore is no wildcard") << "1_"
                                               << "" << QStringList{};
}

void TestDosisForm::patterns()
{
    QFETCH(QString, idPattern);
    QFETCH(QString, namePattern);
    QFETCH(QStringList, expected);
    add("12", "DOE, ANN", "2020-01-01");
    add("123", "DOE, ANNA", "2020-01-02");
    add("55", "O'NEIL, ANN", QString());
    add("9", "SMITH, BOB", "2020-01-03", "0", "CC left");
    DosisForm f(h->station());
    f.findChild<QLineEdit *>(QStringLiteral("txtID"))->setText(idPattern);
    f.findChild<QLineEdit *>(QStringLiteral("txtPatname"))->setText(namePattern);
    QTest::mouseClick(f.findChild<QPushButton *>(QStringLiteral("cmdSearch")), Qt::LeftButton);
    QCOMPARE(ids(f), expected);
}

void TestDosisForm::calendarStartsTodayAndFiltersOnDatum()
{
    const QDate today = QDate::currentDate();
    add("1", "A, A", DateText::date(today), "1", "MLO right");
    add("2", "B, B", DateText::date(today.addDays(-1)));
    add("3", QString(), QString()); // nulls show as empty texts
    DosisForm f(h->station());
    auto *cal = f.findChild<QCalendarWidget *>(QStringLiteral("MonthView1"));
    QCOMPARE(cal->selectedDate(), today);
    QCOMPARE(ids(f), QStringList{"1"}); // filled on opening
    auto *lv = f.findChild<QTreeWidget *>(QStringLiteral("ListView1"));
    QCOMPARE(lv->topLevelItem(0)->text(1), QStringLiteral("A, A"));
    QCOMPARE(lv->topLevelItem(0)->text(2), DateText::date(today));
    QCOMPARE(lv->topLevelItem(0)->text(3), QStringLiteral("10:00:00"));
    QCOMPARE(lv->topLevelItem(0)->text(4), QStringLiteral("MLO right"));

    cal->setSelectedDate(today.addDays(-1));
    emit cal->clicked(today.addDays(-1));
    QCOMPARE(ids(f), QStringList{"2"});
}

void TestDosisForm::allIgnoresTheDate()
{
    for (int i = 0; i < 11; ++i)
        add(QString::number(i), "X, Y", "2001-01-01");
    add("77", QString(), QString());
    DosisForm f(h->station());
    QVERIFY(ids(f).isEmpty());
    QTest::mouseClick(f.findChild<QPushButton *>(QStringLiteral("cmdMod")), Qt::LeftButton);
    const QStringList got = ids(f);
    QCOMPARE(got.size(), 12);
    QCOMPARE(got.first(), QStringLiteral("1"));
    QCOMPARE(got.last(), QStringLiteral("12")); // numeric order, not text order
    auto *lv = f.findChild<QTreeWidget *>(QStringLiteral("ListView1"));
    // Not assigned to a store patient: the name the capture wrote.
    QCOMPARE(lv->topLevelItem(11)->text(1), QStringLiteral("DOE, ANN"));
}

void TestDosisForm::recordCapturedHereIsFoundByNameAndDay()
{
    // What the capture writes: the worklist name, "Date" and "Time"; nothing in the older
    // columns.
    const qint64 id = h->addRecord("ANN", "SMITH", "1960-12-31", "0");
    {
        Database db = Database::openData(h->station().paths());
        db.exec(QStringLiteral("UPDATE tblDosis SET \"Date\" = ?, \"Time\" = '09:41:00' WHERE ID = ?"),
                {DateText::today(), id});
    }
    DosisForm f(h->station());
    QCOMPARE(ids(f), QStringList{QString::number(id)}); // today's
    auto *lv = f.findChild<QTreeWidget *>(QStringLiteral("ListView1"));
    QCOMPARE(lv->topLevelItem(0)->text(1), QStringLiteral("SMITH, ANN"));
    QCOMPARE(lv->topLevelItem(0)->text(2), DateText::today());
    QCOMPARE(lv->topLevelItem(0)->text(3), QStringLiteral("09:41:00"));
    f.findChild<QLineEdit *>(QStringLiteral("txtPatname"))->setText(QStringLiteral("SMITH*"));
    QTest::mouseClick(f.findChild<QPushButton *>(QStringLiteral("cmdSearch")), Qt::LeftButton);
    QCOMPARE(ids(f), QStringList{QString::number(id)});
}

void TestDosisForm::setFreeReopensTheRecord()
{
    const qint64 id = add("12", "DOE, ANN", DateText::date(QDate::currentDate()));
    h->choosePatient("P1", "ANN", "DOE", "1962-07-04");
    h->fill(1);
    QCOMPARE(h->w.lvDosis->topLevelItemCount(), 0);

    DosisForm f(h->station());
    auto *setFree = f.findChild<QPushButton *>(QStringLiteral("cmdFree"));
    QTest::mouseClick(setFree, Qt::LeftButton); // nothing selected: nothing happens
    QCOMPARE(h->record(id).value(0), QStringLiteral("1"));

    auto *lv = f.findChild<QTreeWidget *>(QStringLiteral("ListView1"));
    lv->topLevelItem(0)->setSelected(true);
    QTest::mouseClick(setFree, Qt::LeftButton);
    QCOMPARE(h->record(id).value(0), QStringLiteral("0"));
    QCOMPARE(ids(f), QStringList{QString::number(id)}); // still listed here

    h->fill(1);
    QCOMPARE(h->column(0), QStringList{QString::number(id)}); // back in the open list
}

void TestDosisForm::likePatternEscapesSqlWildcards()
{
    QCOMPARE(DosisFormQuery::likePattern("12*"), QStringLiteral("12%"));
    QCOMPARE(DosisFormQuery::likePattern("a%b_c\\"), QStringLiteral("a\\%b\\_c\\\\"));
    add("50%", "P, Q", QString());
    add("500", "P, Q", QString());
    DosisForm f(h->station());
    f.findChild<QLineEdit *>(QStringLiteral("txtID"))->setText("50%");
    f.DosisListFill();
    QCOMPARE(ids(f), QStringList{"1"});
}

void TestDosisForm::roomColumnAndFilter()
{
    // Two records of this room (one from before rooms were kept) and one of another room.
    const qint64 mine = add("P1", "DOE, ANN", "2001-01-01");
    const qint64 older = add("P2", "ROE, RITA", "2001-01-01");
    const qint64 theirs = add("P3", "POE, EVA", "2001-01-01");
    {
        Database db = Database::openData(h->station().paths());
        db.exec("UPDATE tblDosis SET Room = ? WHERE ID = ?", {stationAet(h->station().settings()), mine});
        db.exec("UPDATE tblDosis SET Room = ? WHERE ID = ?", {"ROOM2", theirs});
    }
    const QString own = stationAet(h->station().settings());
    DosisForm f(h->station());
    auto *room = f.findChild<QComboBox *>(QStringLiteral("cboRoom"));
    QVERIFY(room);
    QCOMPARE(room->itemText(0), QStringLiteral("All rooms"));
    QStringList rooms;
    for (int i = 1; i < room->count(); ++i)
        rooms << room->itemText(i);
    QCOMPARE(rooms, (QStringList{"ROOM2", own}));

    QTest::mouseClick(f.findChild<QPushButton *>(QStringLiteral("cmdMod")), Qt::LeftButton);
    auto *lv = f.findChild<QTreeWidget *>(QStringLiteral("ListView1"));
    QCOMPARE(lv->topLevelItemCount(), 3);
    QMap<QString, QString> roomOf;
    for (int i = 0; i < lv->topLevelItemCount(); ++i)
        roomOf[lv->topLevelItem(i)->text(1)] = lv->topLevelItem(i)->text(5);
    QCOMPARE(roomOf.value("DOE, ANN"), own);
    QCOMPARE(roomOf.value("ROE, RITA"), own); // no room kept: this room's
    QCOMPARE(roomOf.value("POE, EVA"), QStringLiteral("ROOM2"));

    room->setCurrentIndex(room->findText(own));
    QTest::mouseClick(f.findChild<QPushButton *>(QStringLiteral("cmdMod")), Qt::LeftButton);
    QCOMPARE(ids(f), (QStringList{QString::number(mine), QString::number(older)}));
    room->setCurrentIndex(room->findText("ROOM2"));
    QVERIFY(ids(f).isEmpty()); // the calendar's day: none of that room
    QTest::mouseClick(f.findChild<QPushButton *>(QStringLiteral("cmdMod")), Qt::LeftButton);
    QCOMPARE(ids(f), QStringList{QString::number(theirs)});
    // Another room's record cannot be set free here.
    lv->topLevelItem(0)->setSelected(true);
    auto *setFree = f.findChild<QPushButton *>(QStringLiteral("cmdFree"));
    QVERIFY(!setFree->isEnabled());
    QTest::mouseClick(setFree, Qt::LeftButton);
    QCOMPARE(h->record(theirs).value(0), QStringLiteral("1"));
}

void TestDosisForm::controlsAndCaption()
{
    DosisForm f(h->station());
    QCOMPARE(f.windowTitle(), QStringLiteral("Reload Dosis"));
    auto *lv = f.findChild<QTreeWidget *>(QStringLiteral("ListView1"));
    QCOMPARE(lv->columnCount(), 6);
    const QStringList heads{"ID", "Patient Name", "Date", "Time", "Projection", "Room"};
    for (int c = 0; c < 6; ++c)
        QCOMPARE(lv->headerItem()->text(c), heads[c]);
    const QList<QPair<QString, QString>> buttons{
        {"cmdSearch", "Search"}, {"cmdMod", "All"}, {"cmdFree", "Set Free"}, {"cmdClose", "Close"}};
    for (const auto &[name, caption] : buttons)
        QCOMPARE(f.findChild<QPushButton *>(name)->text(), caption);
    // Opened from the toolbar, modal.
    bool opened = false;
    h->doseList->execDialog = [&opened](QDialog &d) {
        opened = d.objectName() == QStringLiteral("DosisForm") && d.isModal();
        return int(QDialog::Accepted);
    };
    h->w.commands->run(Cmd::ToolbarDoseRecords);
    QVERIFY(opened);
}

QTEST_MAIN(TestDosisForm)
#include "test_dosisform.moc"

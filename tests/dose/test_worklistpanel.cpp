// "Worklist" on the main window: the button and the toolbar open the dialog against a
// real provider; applying a patient fills the panel and switches the buttons, a failed
// query leaves the main window as it was.
#include "PanelHost.h"
#include "dose/DoseCapturePanel.h"
#include "dose/DoseListPanel.h"
#include "net/WorklistEntry.h"
#include "ui/CommandIds.h"
#include "ui/MainCommands.h"

#include "WorklistProvider.h"
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include "net/WorklistForm.h"

#include <QApplication>
#include <QTest>

class TestWorklistPanel : public QObject {
    Q_OBJECT
private slots:
    void buttonAppliesPatient();
    void toolbarLeavesPollingAlone();
    void failedQueryChangesNothing();
};

// Applies the first entry once the dialog has filled its list.
static int fillAndApply(QDialog &d)
{
    auto &form = static_cast<WorklistForm &>(d);
    if (form.fillList())
        form.applySelected();
    return form.result();
}

void TestWorklistPanel::buttonAppliesPatient()
{
    WorklistProvider wl;
    QVERIFY(wl.add({.name = "O'NEIL^ANN",
                    .patientId = "P200",
                    .birthDate = "19620704",
                    .sex = "F",
                    .accession = "A200",
                    .stationAet = "MAMMO1",
                    .time = "081500",
                    .procedureCode = "MAMMO-SCREEN-BILATERAL"}));
    QVERIFY(wl.start());
    PanelHost h;
    wl.configure(h.station().settings(), QStringLiteral("MAMMO1"));
    // An open record of this patient from earlier (set free in the dose browser).
    const qint64 earlier = h.addRecord("ANN", QString::fromUtf8("O\u00B4NEIL"), "1962-07-04", "0");
    h.w.cmdWorklist->setEnabled(true);
    h.doseList->execDialog = fillAndApply;

    QTest::mouseClick(h.w.cmdWorklist, Qt::LeftButton);
    QVERIFY(h.w.SerTimer->isActive());
    QCOMPARE(int(h.dose.assignmentMode), 1);
    const QStringList panel{"P200",   "ANN", QString::fromUtf8("O\u00B4NEIL"), "", "1962-07-04", "F", "MAMMO-SCREEN-BI",
                            "Unknown"};
    for (int r = 0; r < 8; ++r)
        QCOMPARE(h.w.ListView1->topLevelItem(r)->text(1), panel[r]);
    QVERIFY(!h.w.cmdWorklist->isEnabled());
    QVERIFY(h.w.cmdNew->isEnabled());
    QVERIFY(h.w.cmdLorad->isEnabled());
    QCOMPARE(h.column(0), QStringList{QString::number(earlier)});
}

void TestWorklistPanel::toolbarLeavesPollingAlone()
{
    WorklistProvider wl;
    QVERIFY(wl.add({.name = "DOE^JANE", .patientId = "P1", .birthDate = "19500101", .stationAet = "MAMMO1"}));
    QVERIFY(wl.start());
    PanelHost h;
    wl.configure(h.station().settings(), QStringLiteral("MAMMO1"));
    h.doseList->execDialog = fillAndApply;
    h.w.commands->run(Cmd::ToolbarWorklist);
    QVERIFY(!h.w.SerTimer->isActive());
    QCOMPARE(h.dose.row(1), QStringLiteral("P1"));
    QVERIFY(h.w.cmdNew->isEnabled());
}

void TestWorklistPanel::failedQueryChangesNothing()
{
    PanelHost h;
    auto &s = h.station().settings();
    s.worklistLocalAet = QStringLiteral("MAMMO1");
    s.worklist = {QStringLiteral("127.0.0.1"), QStringLiteral("NOBODY"), QString::number(freeTcpPort())};
    h.dose.assignmentMode = AssignmentMode::StorePatient;
    h.w.cmdWorklist->setEnabled(true);
    // The real modal loop: the failure closes the dialog by itself.
    QTest::mouseClick(h.w.cmdWorklist, Qt::LeftButton);
    QVERIFY(h.ts().prompter.lastText().endsWith(QStringLiteral("\r\n\r\nWorklist-Query failed.")));
    QCOMPARE(int(h.dose.assignmentMode), 5);
    QVERIFY(!h.dose.hasPatient());
    QVERIFY(h.w.cmdWorklist->isEnabled());
    QVERIFY(!h.w.cmdNew->isEnabled());
    QVERIFY(QApplication::activeModalWidget() == nullptr);
}

QTEST_MAIN(TestWorklistPanel)
#include "test_worklistpanel.moc"

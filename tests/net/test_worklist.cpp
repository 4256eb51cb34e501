// The worklist: the query identifier, the list rows built from answers, the hand-over
// into the current-patient panel, and the dialog against a real provider (wlmscpfs), a
// dead port and a provider that accepts but never answers.
#include "TestStation.h"
#include "WorklistProvider.h"
#include "core/StationPaths.h"

#include "dicom/WorklistQuery.h"
#include "dose/DoseState.h"
#include "net/WorklistEntry.h"
#include "net/WorklistForm.h"

#include <QElapsedTimer>
#include <QHeaderView>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTreeWidget>

class TestWorklist : public QObject {
    Q_OBJECT
    // Every provider test runs against both: they differ in what they match on.
    static void providers()
    {
        QTest::addColumn<int>("provider");
        for (auto k : {WorklistProvider::Wlmscpfs, WorklistProvider::Orthanc})
            QTest::newRow(qPrintable(WorklistProvider::kindName(k))) << int(k);
    }

private slots:
    void identifierHoldsTheAskedElements_data();
    void identifierHoldsTheAskedElements();
    void entryFromAnswer_data();
    void entryFromAnswer();
    void applyFillsPanel();
    void providerListsTodaysStepsOfThisStation_data() { providers(); }
    void providerListsTodaysStepsOfThisStation();
    void noStepForThisStationSaysSo_data() { providers(); }
    void noStepForThisStationSaysSo();
    void latinNamesArriveIntact_data() { providers(); }
    void latinNamesArriveIntact();
    void deadProviderFailsFast();
    void silentProviderFailsFast();
    void emptySettingsStillAttemptAndFail();
    void hiddenColumnsAndHeaderSort();
    void askedAgainWhenTheOperatorComesBack();
};

static dicom::WorklistQueryParams params()
{
    dicom::WorklistQueryParams p;
    p.localAet = QStringLiteral("MAMMO1");
    p.date = QDate(2026, 3, 7);
    return p;
}

void TestWorklist::identifierHoldsTheAskedElements_data()
{
    QTest::addColumn<QString>("line");
    // Values given, and empty keys that ask the provider to return the element.
    QTest::newRow("station AE title in the step") << "(0040,0001) AE [MAMMO1]";
    QTest::newRow("today as a range, padded") << "(0040,0002) DA [20260307-20260307]";
    QTest::newRow("the whole day") << "(0040,0003) TM [000000-235959]";
    QTest::newRow("pregnancy status asked, not matched") << "(0010,21c0) US (no value available)";
    QTest::newRow("patient name asked") << "(0010,0010) PN (no value available)";
    QTest::newRow("accession asked") << "(0008,0050) SH (no value available)";
    QTest::newRow("procedure code value") << "(0008,0100) SH (no value available)";
    QTest::newRow("coding scheme") << "(0008,0102) SH (no value available)";
    QTest::newRow("referenced SOP instance") << "(0008,1155) UI (no value available)";
    QTest::newRow("pre-medication") << "(0040,0012) LO (no value available)";
    QTest::newRow("confidentiality") << "(0040,3001) LO (no value available)";
    QTest::newRow("body part in the step") << "(0018,0015) CS (no value available)";
}

void TestWorklist::identifierHoldsTheAskedElements()
{
    QFETCH(QString, line);
    const QString dump = dicom::worklistIdentifierDump(params());
    QVERIFY2(dump.contains(line), qPrintable(dump));
}

void TestWorklist::entryFromAnswer_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("hasCodes");
    QTest::addColumn<QString>("code");
    QTest::addColumn<QStringList>("expected"); // family, given, middle, acc column

    QTest::newRow("three parts") << "DOE^JOHN^Q" << false << QString() << QStringList{"DOE", "JOHN", "Q", "ACC9"};
    QTest::newRow("family only") << "DOE" << false << QString() << QStringList{"DOE", "", "", "ACC9"};
    QTest::newRow("further parts ignored")
        << "DOE^JOHN^Q^DR^JR" << false << QString() << QStringList{"DOE", "JOHN", "Q", "ACC9"};
    QTest::newRow("apostrophe") << "O'NEIL^ANN" << false << QString()
                                << QStringList{QString::fromUtf8("O\u00B4NEIL"), "ANN", "", "ACC9"};
    QTest::newRow("procedure code wins") << "DOE^JANE" << true << "MAMMO-SCREEN-BILATERAL "
                                         << QStringList{"DOE", "JANE", "", "MAMMO-SCREEN-BILATERAL"};
    QTest::newRow("empty code keeps accession") << "DOE^JANE" << true << "  " << QStringList{"DOE", "JANE", "", "ACC9"};
}

void TestWorklist::entryFromAnswer()
{
    QFETCH(QString, name);
    QFETCH(bool, hasCodes);
    QFETCH(QString, code);
    QFETCH(QStringList, expected);

    dicom::WorklistAnswer a;
    a.patientName = name;
    a.patientId = QStringLiteral("P77");
    a.birthDate = QStringLiteral("19600102");
    a.sex = QStringLiteral("F");
    a.accessionNumber = QStringLiteral("ACC9");
    a.referringPhysician = QStringLiteral("O'HARA^PAT");
    a.institutionName = QStringLiteral("City Clinic");
    a.stepStartTime = QStringLiteral("143005");
    a.hasProcedureCodeSequence = hasCodes;
    a.procedureCodeValue = code;

    const WorklistEntry e = Worklist::buildEntry(a);
    QCOMPARE(e.columns.size(), 11);
    QCOMPARE(e.at(WorklistEntry::Time), QStringLiteral("14:30:05"));
    QCOMPARE(e.at(WorklistEntry::FamilyName), expected[0]);
    QCOMPARE(e.at(WorklistEntry::GivenName), expected[1]);
    QCOMPARE(e.at(WorklistEntry::MiddleName), expected[2]);
    QCOMPARE(e.at(WorklistEntry::AccessionOrCode), expected[3]);
    QCOMPARE(e.at(WorklistEntry::BirthDate), QStringLiteral("1960-01-02"));
    QCOMPARE(e.at(WorklistEntry::PatientId), QStringLiteral("P77"));
    QCOMPARE(e.at(WorklistEntry::ReferringPhysician), QString::fromUtf8("O\u00B4HARA^PAT"));
    QCOMPARE(e.at(WorklistEntry::InstitutionName), QStringLiteral("City Clinic"));
}

void TestWorklist::applyFillsPanel()
{
    WorklistEntry e;
    e.columns = QStringList{"09:00:00", "DOE", "JANE",  "Q", "1960-01-02", "P1", "F", "MAMMO-SCREEN-BILATERAL",
                            "",         "REF", "Clinic"};
    DoseState state;
    int changed = 0, chosen = 0;
    connect(&state, &DoseState::changed, this, [&changed] { ++changed; });
    connect(&state, &DoseState::patientChosen, this, [&chosen] { ++chosen; });
    state.takeWorklistPatient(e);
    const QStringList rows{"P1", "JANE", "DOE", "Q", "1960-01-02", "F", "MAMMO-SCREEN-BI", "Unknown"};
    for (int r = 1; r <= 8; ++r)
        QCOMPARE(state.row(r), rows[r - 1]);
    QCOMPARE(state.assignmentMode, AssignmentMode::WorklistPatient);
    QCOMPARE(changed, 1);
    QCOMPARE(chosen, 1); // waiting exposures are offered for this patient

    e.columns[WorklistEntry::BodyPart] = QStringLiteral("BREAST");
    state.takeWorklistPatient(e);
    QCOMPARE(state.row(8), QStringLiteral("BREAST"));
}

void TestWorklist::providerListsTodaysStepsOfThisStation()
{
    QFETCH(int, provider);
    WorklistProvider wl{WorklistProvider::Kind(provider)};
    QVERIFY(wl.add({.name = "DOE^JANE^Q",
                    .patientId = "P100",
                    .birthDate = "19550315",
                    .sex = "F",
                    .accession = "A100",
                    .referring = "SMITH^ROB",
                    .institution = "City Clinic",
                    .stationAet = "MAMMO1",
                    .time = "143000"}));
    QVERIFY(wl.add({.name = "O'NEIL^ANN",
                    .patientId = "P200",
                    .birthDate = "19620704",
                    .sex = "F",
                    .accession = "A200",
                    .referring = "",
                    .institution = "City Clinic",
                    .stationAet = "MAMMO1",
                    .time = "081500",
                    .procedureCode = "MAMMO-SCREEN-BILATERAL"}));
    QVERIFY(wl.add({.name = "OTHER^STATION",
                    .patientId = "P300",
                    .birthDate = "19700101",
                    .sex = "F",
                    .accession = "A300",
                    .stationAet = "CTROOM",
                    .time = "100000"}));
    QVERIFY(wl.add({.name = "YESTERDAY^ONLY",
                    .patientId = "P400",
                    .birthDate = "19700101",
                    .sex = "F",
                    .accession = "A400",
                    .stationAet = "MAMMO1",
                    .date = QDate::currentDate().addDays(-1)}));
    QVERIFY2(wl.start(), qPrintable(wl.output()));

    TestStation ts;
    wl.configure(ts->settings(), QStringLiteral("MAMMO1"));
    WorklistForm form(*ts);
    QVERIFY2(form.fillList(), qPrintable(ts.prompter.lastText() + wl.output()));
    QVERIFY2(ts.prompter.shown.isEmpty(), qPrintable(ts.prompter.lastText()));

    QTreeWidget *lv = form.findChild<QTreeWidget *>(QStringLiteral("lvWorklist"));
    QVERIFY(lv);
    QCOMPARE(lv->topLevelItemCount(), 2);
    // Sorted by time: the 08:15 step first, and selected.
    QTreeWidgetItem *first = lv->topLevelItem(0);
    QCOMPARE(first->text(0), QStringLiteral("08:15:00"));
    QCOMPARE(first->text(1), QString::fromUtf8("O\u00B4NEIL"));
    QCOMPARE(first->text(2), QStringLiteral("ANN"));
    QCOMPARE(first->text(4), QStringLiteral("1962-07-04"));
    QCOMPARE(first->text(5), QStringLiteral("P200"));
    QCOMPARE(first->text(7), QStringLiteral("MAMMO-SCREEN-BILATERAL"));
    QVERIFY(first->isSelected());
    QTreeWidgetItem *second = lv->topLevelItem(1);
    QCOMPARE(second->text(1), QStringLiteral("DOE"));
    QCOMPARE(second->text(3), QStringLiteral("Q"));
    QCOMPARE(second->text(7), QStringLiteral("A100"));
    QCOMPARE(second->text(9), QStringLiteral("SMITH^ROB"));
    // Institution Name is not among the asked keys, so a strict provider leaves it out.
    QCOMPARE(second->text(10), QString());

    auto *ok = form.findChild<QPushButton *>(QStringLiteral("cmdOK"));
    QVERIFY(ok && ok->isEnabled());
    QCOMPARE(ok->text(), QStringLiteral("Apply"));

    // A double click applies the clicked entry.
    lv->setCurrentItem(second);
    emit lv->itemDoubleClicked(second, 0);
    QCOMPARE(form.result(), int(QDialog::Accepted));
    // The dose panel takes the chosen entry into the current-patient panel.
    QVERIFY(form.applied());
    // The entry keeps what the performed procedure step repeats of the scheduled one.
    const dicom::WorklistAnswer &scheduled = form.applied()->answer;
    QVERIFY2(isValidUid(scheduled.studyUid), qPrintable(scheduled.studyUid));
    QVERIFY2(scheduled.stepId.startsWith("SPS"), qPrintable(scheduled.stepId));
    QVERIFY2(scheduled.requestedProcedureId.startsWith("RP"), qPrintable(scheduled.requestedProcedureId));
    QCOMPARE(scheduled.patientName, QStringLiteral("DOE^JANE^Q"));
    DoseState state;
    state.takeWorklistPatient(*form.applied());
    QCOMPARE(state.row(1), QStringLiteral("P100"));
    QCOMPARE(state.row(2), QStringLiteral("JANE"));
    QCOMPARE(state.row(3), QStringLiteral("DOE"));
    QCOMPARE(state.row(5), QStringLiteral("1955-03-15"));
    QCOMPARE(state.row(7), QStringLiteral("A100"));
    // wlmscpfs does not answer Body Part Examined: the panel says so.
    QCOMPARE(state.row(8), QStringLiteral("Unknown"));
    QCOMPARE(state.assignmentMode, AssignmentMode::WorklistPatient);

    // Apply on the apostrophe entry: the panel holds the replaced name, 15 characters of the code.
    DoseState state2;
    WorklistForm form2(*ts);
    QVERIFY(form2.fillList());
    QTest::mouseClick(form2.findChild<QPushButton *>(QStringLiteral("cmdOK")), Qt::LeftButton);
    QCOMPARE(form2.result(), int(QDialog::Accepted));
    QVERIFY(form2.applied());
    state2.takeWorklistPatient(*form2.applied());
    QCOMPARE(state2.row(3), QString::fromUtf8("O\u00B4NEIL"));
    QCOMPARE(state2.row(7), QStringLiteral("MAMMO-SCREEN-BI"));
}

void TestWorklist::noStepForThisStationSaysSo()
{
    QFETCH(int, provider);
    WorklistProvider wl{WorklistProvider::Kind(provider)};
    QVERIFY(wl.add({.name = "OTHER^STATION", .patientId = "P300", .stationAet = "CTROOM"}));
    QVERIFY2(wl.start(), qPrintable(wl.output()));
    TestStation ts;
    wl.configure(ts->settings(), QStringLiteral("MAMMO1"));
    WorklistForm form(*ts);
    QVERIFY(form.fillList());
    QCOMPARE(ts.prompter.shown.size(), 1);
    QCOMPARE(ts.prompter.shown[0].text, QStringLiteral("No patients in worklist!"));
    QCOMPARE(ts.prompter.shown[0].icon, MsgIcon::Information);
    QCOMPARE(ts.prompter.shown[0].title, QStringLiteral("Quillmark"));
    QVERIFY(!form.findChild<QPushButton *>(QStringLiteral("cmdOK"))->isEnabled());
    QVERIFY(!form.applied());
}

void TestWorklist::latinNamesArriveIntact()
{
    QFETCH(int, provider);
    WorklistProvider wl{WorklistProvider::Kind(provider)}; // files declare ISO_IR 100
    QVERIFY(wl.add({.name = QString::fromUtf8("MÜLLER^RENÉE"),
                    .patientId = "P9",
                    .birthDate = "19800101",
                    .stationAet = "MAMMO1"}));
    QVERIFY2(wl.start(), qPrintable(wl.output()));
    TestStation ts;
    wl.configure(ts->settings(), QStringLiteral("MAMMO1"));
    WorklistForm form(*ts);
    QVERIFY(form.fillList());
    QCOMPARE(form.list()->topLevelItemCount(), 1);
    QCOMPARE(form.list()->topLevelItem(0)->text(1), QString::fromUtf8("MÜLLER"));
    QCOMPARE(form.list()->topLevelItem(0)->text(2), QString::fromUtf8("RENÉE"));
}

void TestWorklist::deadProviderFailsFast()
{
    TestStation ts;
    auto &s = ts->settings();
    s.worklistLocalAet = QStringLiteral("MAMMO1");
    s.worklist = {QStringLiteral("127.0.0.1"), QStringLiteral("WLP"), QString::number(freeTcpPort())};
    WorklistForm form(*ts);
    QElapsedTimer t;
    t.start();
    QVERIFY(!form.fillList());
    QVERIFY(t.elapsed() < 15000);
    QCOMPARE(ts.prompter.shown.size(), 1);
    QVERIFY2(ts.prompter.shown[0].text.endsWith(QStringLiteral("\r\n\r\nWorklist-Query failed.")),
             qPrintable(ts.prompter.shown[0].text));
    QVERIFY(ts.prompter.shown[0].text.size() > QStringLiteral("\r\n\r\nWorklist-Query failed.").size());
    QCOMPARE(ts.prompter.shown[0].icon, MsgIcon::Critical);
    QCOMPARE(ts.prompter.shown[0].title, QStringLiteral("Quillmark"));
    QCOMPARE(form.result(), int(QDialog::Rejected));
    QVERIFY(!form.applied()); // the main window is unchanged
}

void TestWorklist::silentProviderFailsFast()
{
    // Accepts the connection and never says a word.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    QList<QTcpSocket *> held;
    connect(&silent, &QTcpServer::newConnection, this, [&] {
        while (QTcpSocket *c = silent.nextPendingConnection())
            held << c;
    });
    TestStation ts;
    auto &s = ts->settings();
    s.worklistLocalAet = QStringLiteral("MAMMO1");
    s.worklist = {QStringLiteral("127.0.0.1"), QStringLiteral("WLP"), QString::number(silent.serverPort())};
    WorklistForm form(*ts);
    QElapsedTimer t;
    t.start();
    QVERIFY(!form.fillList());
    QVERIFY2(t.elapsed() < 20000, qPrintable(QString::number(t.elapsed())));
    QVERIFY(!held.isEmpty()); // it did get through to the provider
    QVERIFY(ts.prompter.lastText().endsWith(QStringLiteral("Worklist-Query failed.")));
    QCOMPARE(form.result(), int(QDialog::Rejected));
}

void TestWorklist::emptySettingsStillAttemptAndFail()
{
    TestStation ts;
    ts->settings().worklistLocalAet.clear();
    ts->settings().worklist = {};
    WorklistForm form(*ts);
    QVERIFY(!form.fillList());
    QCOMPARE(ts.prompter.shown.size(), 1);
    QVERIFY(ts.prompter.lastText().endsWith(QStringLiteral("Worklist-Query failed.")));
    QCOMPARE(ts.prompter.shown[0].icon, MsgIcon::Critical);
}

void TestWorklist::hiddenColumnsAndHeaderSort()
{
    TestStation ts;
    std::vector<dicom::WorklistAnswer> answers(3);
    answers[0].patientName = QStringLiteral("BETA^B");
    answers[0].stepStartTime = QStringLiteral("120000");
    answers[1].patientName = QStringLiteral("ALPHA^A");
    answers[1].stepStartTime = QStringLiteral("130000");
    answers[2].patientName = QStringLiteral("GAMMA^C");
    answers[2].stepStartTime = QStringLiteral("070000");
    WorklistForm form(*ts, nullptr, [&](const dicom::WorklistQueryParams &) { return answers; });
    form.resize(900, 400);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QTRY_COMPARE(form.list()->topLevelItemCount(), 3);
    QTreeWidget *lv = form.list();
    QCOMPARE(lv->windowTitle().isEmpty(), true);
    QCOMPARE(form.windowTitle(), QStringLiteral("Worklist"));
    QCOMPARE(lv->columnCount(), 11);
    for (int c : {2, 3, 7, 8})
        QVERIFY2(lv->isColumnHidden(c), qPrintable(QString::number(c)));
    for (int c : {0, 1, 4, 5, 6, 9})
        QVERIFY(!lv->isColumnHidden(c));
    QVERIFY(lv->columnWidth(1) > lv->columnWidth(0)); // 28 units against 10
    QCOMPARE(lv->topLevelItem(0)->text(1), QStringLiteral("GAMMA"));
    // A click on "Patient Name" sorts by it, ascending.
    lv->header()->sectionClicked(1);
    QCOMPARE(lv->topLevelItem(0)->text(1), QStringLiteral("ALPHA"));
    QCOMPARE(lv->topLevelItem(2)->text(1), QStringLiteral("GAMMA"));
    // Cancel closes without touching the panel.
    QTest::mouseClick(form.findChild<QPushButton *>(QStringLiteral("cmdCancel")), Qt::LeftButton);
    QCOMPARE(form.result(), int(QDialog::Rejected));
    QVERIFY(!form.applied());
}

void TestWorklist::askedAgainWhenTheOperatorComesBack()
{
    TestStation ts;
    int queries = 0;
    std::vector<dicom::WorklistAnswer> answers(1);
    answers[0].patientName = QStringLiteral("DOE^JANE");
    WorklistForm form(*ts, nullptr, [&](const dicom::WorklistQueryParams &) {
        ++queries;
        return answers;
    });
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QTRY_COMPARE(queries, 1);
    QTest::qWait(200);
    QCOMPARE(queries, 1); // showing and its own activation ask once

    // The operator goes to another window and comes back: the list is asked for again.
    QWidget other;
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    QTest::qWait(1100);
    answers.resize(2);
    answers[1].patientName = QStringLiteral("ROE^ANN");
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QTRY_COMPARE(queries, 2);
    QTRY_COMPARE(form.list()->topLevelItemCount(), 2);
}

QTEST_MAIN(TestWorklist)
#include "test_worklist.moc"

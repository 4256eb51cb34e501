// The station's control of its companions: process lookup, the Options dialog's start
// and stop buttons and status boxes, the start-up rule and the exit rule, with the real
// companion executables.
#include "CompanionTestKit.h"
#include "Requires.h"
#include "StoreFixture.h"
#include "app/CompanionArea.h"
#include "app/MainForm.h"
#include "app/OptionsPages.h"
#include "core/Companions.h"
#include "dialogs/OptionForm.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTcpServer>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

namespace {

QString statusText(QWidget &dlg, int i)
{
    return dlg.findChild<QLineEdit *>(QStringLiteral("txtStatus_%1").arg(i))->text();
}
QPushButton *button(QWidget &dlg, const char *name, int i)
{
    return dlg.findChild<QPushButton *>(QStringLiteral("%1_%2").arg(QLatin1String(name)).arg(i));
}

} // namespace

class TestCompanionControl : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void findsProcessesByNameWithoutCase();
    void startAndStopButtons();
    void emptyPortStartsNoReceiver();
    void missingExecutableStartsNothing();
    void receiverThatCannotListenShowsStopped();
    void tabSwitchFindsCompanionStartedElsewhere();
    void startUpLeavesRunningCompanionAlone();
    void companionsEndWhenStationFolderIsRemoved();
    void stationStartsCompanionsAndStopsThemOnExit_data();
    void stationStartsCompanionsAndStopsThemOnExit();
};

void TestCompanionControl::initTestCase()
{
    QVERIFY2(QFileInfo(Companions::executablePath(Companions::receiverName())).isExecutable(), "TqReceiver not built");
    QVERIFY2(QFileInfo(Companions::executablePath(Companions::dataManagerName())).isExecutable(),
             "TqDataMgr not built");
}

void TestCompanionControl::findsProcessesByNameWithoutCase()
{
    kit::LiveStation live(freeTcpPort());
    auto child = live.startChild(Companions::dataManagerName());
    const qint64 pid = child->processId();
    QVERIFY(pid > 0);
    QCOMPARE(Companions::processName(pid), Companions::dataManagerName());
    QVERIFY(Companions::IsProcessAlive(pid));
    const qint64 found = Companions::FindProcess(QStringLiteral("tqdATAmgr"));
    QVERIFY(found != 0);
    QVERIFY(Companions::processName(found).contains("TqDataMgr"));
    QCOMPARE(Companions::FindProcess(QStringLiteral("NoSuchCompanion4711")), qint64(0));
    // Scoped to a station folder: found for its own station, passed over for another.
    QCOMPARE(Companions::FindProcess(QStringLiteral("tqdatamgr"), live.home), pid);
    QCOMPARE(Companions::processStationFolder(pid), QDir::cleanPath(live.home));
    kit::LiveStation other(freeTcpPort());
    QCOMPARE(Companions::FindProcess(Companions::dataManagerName(), other.home), qint64(0));
    QVERIFY(!Companions::IsProcessAlive(0));

    // An id whose process has ended is not alive, and terminating it does nothing.
    child->kill();
    QVERIFY(child->waitForFinished(5000));
    QVERIFY(!Companions::IsProcessAlive(pid));
    Companions::terminate(pid, Companions::dataManagerName(), 100);
    // An id that now belongs to another program is not terminated.
    QProcess sleeper;
    sleeper.start("sleep", {"30"});
    QVERIFY(sleeper.waitForStarted());
    Companions::terminate(sleeper.processId(), Companions::dataManagerName(), 100);
    QVERIFY(!sleeper.waitForFinished(300));
    sleeper.kill();
    sleeper.waitForFinished();
}

void TestCompanionControl::startAndStopButtons()
{
    kit::LiveStation live(freeTcpPort());
    OptionForm dlg(*live, stationOptionsPages());
    QCOMPARE(statusText(dlg, 0), QString("- stopped"));
    QCOMPARE(statusText(dlg, 1), QString("- stopped"));
    QVERIFY(button(dlg, "cmdStart", 0)->isEnabled());
    QVERIFY(!button(dlg, "cmdStop", 0)->isEnabled());

    // The AE title and port typed in reach the receiver through the settings store, once
    // the operator agrees to save them.
    const quint16 port = freeTcpPort();
    dlg.findChild<QLineEdit *>("txtIR_0")->setText("TYPEDAET");
    dlg.findChild<QLineEdit *>("txtIR_1")->setText(QString::number(port));
    live.prompter.yesNo.push_back(true); // yes, save them for the start
    button(dlg, "cmdStart", 0)->click();
    QCOMPARE(statusText(dlg, 0), QString("- started"));
    QVERIFY(!button(dlg, "cmdStart", 0)->isEnabled());
    QVERIFY(button(dlg, "cmdStop", 0)->isEnabled());
    const qint64 receiver = live->receiverPid;
    QVERIFY(receiver != 0);
    QCOMPARE(live->settingsStore().readValue("Com/IR_Port", {}), QString::number(port));
    live.port = port;
    live.aeTitle = "TYPEDAET";
    QVERIFY(live.waitForReceiver());

    // A second press finds the button disabled; a second start call starts nothing new.
    button(dlg, "cmdStart", 0)->click();
    Companions::StartReceiver(*live);
    QCOMPARE(live->receiverPid, receiver);
    QCOMPARE(statusText(dlg, 0), QString("- started"));

    button(dlg, "cmdStart", 1)->click();
    QCOMPARE(statusText(dlg, 1), QString("- started"));
    const qint64 dataManager = live->dataManagerPid;
    QVERIFY(dataManager != 0 && dataManager != receiver);

    // Stop the data manager, then the receiver: each by its own id.
    button(dlg, "cmdStop", 1)->click();
    QVERIFY(!Companions::IsProcessAlive(dataManager));
    QVERIFY(Companions::IsProcessAlive(receiver));
    QCOMPARE(statusText(dlg, 1), QString("- stopped"));
    QCOMPARE(live->dataManagerPid, qint64(0));
    button(dlg, "cmdStop", 0)->click();
    QVERIFY(!Companions::IsProcessAlive(receiver));
    QCOMPARE(statusText(dlg, 0), QString("- stopped"));
    QVERIFY(button(dlg, "cmdStart", 0)->isEnabled());
    QVERIFY(!button(dlg, "cmdStop", 0)->isEnabled());
    // It ended on the polite request, with a clean exit: nothing in the error log.
    QVERIFY(kit::readAll(live->log().errorLogPath()).isEmpty());
}

void TestCompanionControl::emptyPortStartsNoReceiver()
{
    kit::LiveStation live(freeTcpPort());
    live->settings().irPort.clear();
    Companions::startAtStartup(*live);
    QCOMPARE(live->receiverPid, qint64(0));
    QVERIFY(live->dataManagerPid != 0);
    OptionForm dlg(*live, stationOptionsPages());
    QCOMPARE(statusText(dlg, 0), QString("- stopped"));
    QCOMPARE(statusText(dlg, 1), QString("- started"));
    dlg.findChild<QLineEdit *>("txtIR_1")->clear();
    button(dlg, "cmdStart", 0)->click();
    QCOMPARE(live->receiverPid, qint64(0));
    QCOMPARE(statusText(dlg, 0), QString("- stopped"));
    Companions::StopDataManager(*live);
}

void TestCompanionControl::missingExecutableStartsNothing()
{
    kit::LiveStation live(freeTcpPort());
    QTemporaryDir empty;
    const QByteArray saved = qgetenv("CALVAREX_BIN_DIR");
    qputenv("CALVAREX_BIN_DIR", empty.path().toLocal8Bit());
    Companions::StartReceiver(*live);
    Companions::StartDataManager(*live);
    qputenv("CALVAREX_BIN_DIR", saved);
    QCOMPARE(live->receiverPid, qint64(0));
    QCOMPARE(live->dataManagerPid, qint64(0));
    QVERIFY(live.prompter.shown.isEmpty());
}

void TestCompanionControl::receiverThatCannotListenShowsStopped()
{
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::Any, 0));
    kit::LiveStation live(taken.serverPort());
    OptionForm dlg(*live, stationOptionsPages());
    button(dlg, "cmdStart", 0)->click();
    // It ends at once; the status follows within moments, and says why beside it.
    QTRY_COMPARE_WITH_TIMEOUT(statusText(dlg, 0), QString("- stopped"), 5000);
    auto *reason = dlg.findChild<QLabel *>("lblStopReason_0");
    QVERIFY(reason);
    QTRY_VERIFY_WITH_TIMEOUT(!reason->isHidden(), 5000);
    QVERIFY2(reason->text().startsWith(QString("Port %1 is taken by another program").arg(taken.serverPort())),
             qPrintable(reason->text()));
    QVERIFY(dlg.findChild<QLabel *>("lblStopReason_1")->isHidden());
    QVERIFY(button(dlg, "cmdStart", 0)->isEnabled());
    QVERIFY(kit::readAll(live->log().errorLogPath()).contains("[TqReceiver Listen]"));
}

void TestCompanionControl::tabSwitchFindsCompanionStartedElsewhere()
{
    kit::LiveStation live(freeTcpPort());
    OptionForm dlg(*live, stationOptionsPages());
    QCOMPARE(statusText(dlg, 0), QString("- stopped"));
    auto outside = live.startChild(Companions::receiverName());
    QVERIFY(live.waitForReceiver());
    auto *tabs = dlg.findChild<QTabWidget *>("SSTab1");
    tabs->setCurrentIndex(0);
    QCOMPARE(statusText(dlg, 0), QString("- stopped")); // no refresh on other tabs
    tabs->setCurrentIndex(1);
    QCOMPARE(statusText(dlg, 0), QString("- started"));
    QCOMPARE(live->receiverPid, outside->processId());
    // Looked up, it can now be stopped from here.
    button(dlg, "cmdStop", 0)->click();
    QVERIFY(outside->waitForFinished(5000));
    QCOMPARE(outside->exitCode(), 0);
    QCOMPARE(statusText(dlg, 0), QString("- stopped"));
}

void TestCompanionControl::startUpLeavesRunningCompanionAlone()
{
    kit::LiveStation live(freeTcpPort());
    auto outside = live.startChild(Companions::receiverName());
    QVERIFY(live.waitForReceiver());
    MainHooks hooks;
    CompanionArea area(*live, hooks);
    MainHooks::run(hooks.startCompanions);
    QCOMPARE(live->receiverPid, qint64(0)); // found running: left alone, id not remembered
    QVERIFY(live->dataManagerPid != 0);
    const qint64 dataManager = live->dataManagerPid;
    // The exit step stops what the station knows of.
    MainHooks::run(hooks.stopCompanions);
    QVERIFY(!Companions::IsProcessAlive(dataManager));
    QCOMPARE(outside->state(), QProcess::Running);
    QVERIFY(kit::terminateChild(*outside));
}

void TestCompanionControl::companionsEndWhenStationFolderIsRemoved()
{
    kit::LiveStation live(freeTcpPort());
    auto receiver = live.startChild(Companions::receiverName());
    auto dataManager = live.startChild(Companions::dataManagerName());
    QVERIFY(live.waitForReceiver());
    // Removed once both are running: a data manager still starting would make its
    // folders again, as it does for a new station.
    QVERIFY(live.waitForDataManager());
    QVERIFY(QDir(live.home).removeRecursively());
    QVERIFY(receiver->waitForFinished(10000));
    QVERIFY(dataManager->waitForFinished(10000));
}

void TestCompanionControl::stationStartsCompanionsAndStopsThemOnExit_data()
{
    QTest::addColumn<QString>("stopService");
    QTest::newRow("StopService 1: stopped on exit") << "1";
    QTest::newRow("StopService 0: left running") << "0";
}

void TestCompanionControl::stationStartsCompanionsAndStopsThemOnExit()
{
    QFETCH(QString, stopService);
    if (pydicomTestFiles().isEmpty())
        CALVAREX_MISSING("pydicom's test files are not installed");
    kit::LiveStation live(freeTcpPort());
    live->settingsStore().writeValue("General/StopService", stopService);
    MainForm form(*live);
    QVERIFY(form.formLoad());
    const qint64 receiver = live->receiverPid, dataManager = live->dataManagerPid;
    QVERIFY(receiver != 0 && dataManager != 0);
    QVERIFY(live.waitForReceiver());

    // Images arrive; the update timer's refresh rebuilds the patient list.
    QTreeWidget *patients = form.findChild<QTreeWidget *>("lvPatients");
    const int before = patients->topLevelItemCount();
    form.findChild<QTimer *>("UpdateTimer")->setInterval(200);
    QCOMPARE(live.send({kit::testFile("CT_small.dcm"), kit::testFile("JPEG-lossy.dcm")}), 0);
    QTRY_COMPARE_WITH_TIMEOUT(patients->topLevelItemCount(), before + 2, 20000);
    QStringList ids;
    for (int i = 0; i < patients->topLevelItemCount(); ++i)
        ids << patients->topLevelItem(i)->text(0);
    QVERIFY2(ids.contains("1CT1") && ids.contains("8NM1"), qPrintable(ids.join(",")));
    QTRY_COMPARE(kit::count(*live, "SELECT COUNT(*) FROM tblReceive"), 0); // taken by the refresh

    form.exitProgram();
    if (stopService == "1") {
        QTRY_VERIFY(!Companions::IsProcessAlive(receiver));
        QTRY_VERIFY(!Companions::IsProcessAlive(dataManager));
    } else {
        QTest::qWait(500);
        QVERIFY(Companions::IsProcessAlive(receiver));
        QVERIFY(Companions::IsProcessAlive(dataManager));
        Companions::terminate(receiver, Companions::receiverName());
        Companions::terminate(dataManager, Companions::dataManagerName());
    }
}

QTEST_MAIN(TestCompanionControl)
#include "test_companioncontrol.moc"

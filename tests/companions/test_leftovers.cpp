// What a killed receiver, import, send or merge leaves in the station folder, and what a
// second receiver started by mistake must not touch; an import cut short is reported.
#include "CompanionTestKit.h"
#include "StationProcess.h"

#include "app/MainForm.h"
#include "core/Leftovers.h"
#include "dicom/StorageReceiver.h"

#include <QProcess>
#include <QtTest>

namespace {

// The id of a process that has ended.
qint64 endedPid()
{
    QProcess p;
    p.start("/bin/true", {});
    p.waitForStarted();
    const qint64 pid = p.processId();
    p.waitForFinished();
    return pid;
}

void touch(const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write("part");
}

} // namespace

class TestLeftovers : public QObject {
    Q_OBJECT
private slots:
    void onlyWhatEndedProcessesLeftGoes();
    void secondReceiverKeepsTheRunningOnesFiles();
    void importCutShortIsReported();
};

void TestLeftovers::onlyWhatEndedProcessesLeftGoes()
{
    TestStation ts;
    const qint64 dead = endedPid();
    QVERIFY(dead > 0);
    const qint64 alive = QCoreApplication::applicationPid();
    const QString temp = ts->paths().tempDir(), bin = ts->paths().binDir();
    const QStringList gone{temp + QString("/.rcv-%1-1.part").arg(dead), temp + QString("/.imp-%1-2.part").arg(dead),
                           bin + QString("/Send-20261209-101010000-%1/a.dcm").arg(dead)};
    const QStringList kept{temp + QString("/.rcv-%1-1.part").arg(alive), temp + QString("/.imp-%1-2.part").arg(alive),
                           bin + QString("/Send-20261209-101010000-%1/a.dcm").arg(alive),
                           bin + QString("/Other-20261209-%1/a.dcm").arg(dead), // not a staging folder of ours
                           temp + "/1.2.3.dcm"};
    for (const QString &f : gone + kept)
        touch(f);
    MainForm form(*ts);
    form.hooks().startCompanions.clear();
    form.formLoad();
    for (const QString &f : gone)
        QVERIFY2(!QFile::exists(f), qPrintable(f));
    QVERIFY(!QFileInfo::exists(QFileInfo(gone.last()).absolutePath()));
    for (const QString &f : kept)
        QVERIFY2(QFile::exists(f), qPrintable(f));
    form.exitProgram();
}

void TestLeftovers::secondReceiverKeepsTheRunningOnesFiles()
{
    kit::LiveStation live(freeTcpPort());
    auto first = live.startChild(Companions::receiverName());
    QVERIFY(live.waitForReceiver());
    // An object the running receiver is taking in.
    const QString partial = live->paths().tempDir() + QString("/.rcv-%1-7.part").arg(first->processId());
    touch(partial);
    auto second = live.startChild(Companions::receiverName());
    QVERIFY(second->waitForFinished(15000));
    QVERIFY(second->exitCode() != 0);
    QVERIFY(QFile::exists(partial));
    QVERIFY(Companions::stopReason(live->paths().logsDir(), "TqReceiver").contains("is taken by another program"));
    QVERIFY(live.waitForReceiver()); // the first one goes on
    // Ended cleanly, it leaves no reason behind for the Options to show.
    QVERIFY(kit::terminateChild(*first));
    QVERIFY(Companions::stopReason(live->paths().logsDir(), "TqReceiver").isEmpty());
}

void TestLeftovers::importCutShortIsReported()
{
    TestStation ts;
    const qint64 dead = endedPid();
    {
        QFile marker(ts->paths().dataDir() + "/TqImport.running");
        QVERIFY(marker.open(QIODevice::WriteOnly));
        marker.write(QByteArray::number(dead) + " 3 10\n");
    }
    const QString partial = ts->paths().tempDir() + QString("/.imp-%1-4.part").arg(dead);
    touch(partial);
    MainForm form(*ts);
    form.hooks().startCompanions.clear();
    form.formLoad();
    const QString told = ts.prompter.lastText();
    QVERIFY2(told.contains("An import was cut short when the station ended: 3 of 10 image(s)"), qPrintable(told));
    QVERIFY(kit::readAll(ts->log().errorLogPath()).contains("An import was cut short"));
    QVERIFY(!QFile::exists(partial));
    QVERIFY(!QFile::exists(ts->paths().dataDir() + "/TqImport.running"));
    // Said once, not at every start.
    ts.prompter.clear();
    MainForm again(*ts);
    again.hooks().startCompanions.clear();
    again.formLoad();
    QVERIFY(ts.prompter.shown.isEmpty());
    form.exitProgram();
    again.exitProgram();
}

QTEST_MAIN(TestLeftovers)
#include "test_leftovers.moc"

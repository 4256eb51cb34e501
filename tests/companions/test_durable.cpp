// Success means durable: the receiver answers Success only for an object whose data is
// synced to disk and whose name in the input folder is synced too. Seen on the real
// receiver by strace: for every object, the sync of its file (returned), then its rename to
// the final name, then the sync of the folder, in the thread that serves the association.
#include "CompanionTestKit.h"

#include <QRegularExpression>
#include <QtTest>

class TestDurable : public QObject {
    Q_OBJECT
private slots:
    void eachObjectIsOnDiskBeforeSuccess();
};

void TestDurable::eachObjectIsOnDiskBeforeSuccess()
{
    QVERIFY2(!QStandardPaths::findExecutable("strace").isEmpty(), "strace is installed by scripts/deps");
    kit::LiveStation live(freeTcpPort());
    const QString trace = live.dir.path() + "/receiver.strace";
    QProcess traced;
    QProcessEnvironment env = live.environment();
    env.remove("TCP_NODELAY"); // the receiver's own choice is looked at
    traced.setProcessEnvironment(env);
    traced.setProcessChannelMode(QProcess::ForwardedChannels);
    traced.start("strace", {"-f", "-qq", "-y", "-e", "trace=fdatasync,fsync,rename,renameat,renameat2,setsockopt", "-o",
                            trace, Companions::executablePath(Companions::receiverName())});
    QVERIFY(traced.waitForStarted(10000));
    QVERIFY(live.waitForReceiver(20000));
    const QStringList files{kit::testFile("CT_small.dcm"), kit::testFile("MR_small.dcm"),
                            kit::testFile("JPEG2000.dcm")};
    QString out;
    QCOMPARE(live.send(files, &out), 0);
    killStationProcesses(live.home);
    traced.waitForFinished(10000);

    const QStringList lines = kit::readAll(trace).split('\n', Qt::SkipEmptyParts);
    static const QRegularExpression renameLine(
        R"re(^(\d+)\s+rename\w*\(.*"([^"]*\.rcv-[^"]*\.part)".*"[^"]*/temp/([0-9.]+)\.dcm".*= 0)re");
    int checked = 0;
    for (int i = 0; i < lines.size(); ++i) {
        const QRegularExpressionMatch m = renameLine.match(lines[i]);
        if (!m.hasMatch())
            continue;
        const QString tid = m.captured(1), part = m.captured(2), sop = m.captured(3);
        bool synced = false, folderSynced = false;
        // The data may be synced by a helper thread while the object is checked: its sync
        // has to have returned (successfully) before the rename.
        for (int j = i - 1; j >= 0 && !synced; --j) {
            if (!lines[j].contains("fdatasync(") || !lines[j].contains(part + ">"))
                continue;
            if (lines[j].endsWith("= 0")) {
                synced = true;
            } else if (lines[j].contains("<unfinished ...>")) {
                const QString syncTid = lines[j].section(' ', 0, 0);
                for (int k = j + 1; k < i && !synced; ++k)
                    synced = lines[k].startsWith(syncTid + ' ') && lines[k].contains("<... fdatasync resumed>")
                             && lines[k].endsWith("= 0");
            }
        }
        for (int j = i + 1; j < lines.size() && !folderSynced; ++j)
            folderSynced = lines[j].startsWith(tid + ' ') && lines[j].contains("fsync(") && lines[j].contains("/temp>")
                           && lines[j].endsWith("= 0");
        QVERIFY2(synced, qPrintable(sop + ": no sync of its data before the rename"));
        QVERIFY2(folderSynced, qPrintable(sop + ": no sync of the folder after the rename"));
        ++checked;
    }
    // Each answer leaves at once, not after the acknowledgement of the data before it
    // (about 40 ms an object with the toolkit's default).
    QVERIFY2(lines.filter(QRegularExpression(R"(setsockopt\(\d+<socket:\[\d+\]>, SOL_TCP, TCP_NODELAY, \[1\])")).size()
                 >= 1,
             "the receiver's connection does not turn Nagle's algorithm off");
    QVERIFY2(checked == files.size(), qPrintable(QString::number(checked) + "\n" + lines.join('\n').right(3000)));
}

QTEST_GUILESS_MAIN(TestDurable)
#include "test_durable.moc"

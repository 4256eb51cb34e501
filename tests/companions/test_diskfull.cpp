// The receiver on a full disk, as real processes with DCMTK's storescu as the sender: the
// sender hears "out of resources" (A700) at once, nothing half-written stays in the input
// folder, and once there is room again the next images are received and filed.
// Two ways to fill the disk: a small tmpfs mounted on the input folder (needs the right
// to mount), and a file size limit on the receiver process (writes past it fail).
#include "CompanionTestKit.h"
#include "Requires.h"
#include "StoreFixture.h"
#include "TestStation.h"
#include "core/Companions.h"
#include "core/SettingsStore.h"

#include <QElapsedTimer>
#include <QtTest>

namespace {

// A generated mammogram of about rows x cols x 2 bytes, with UIDs of its own.
QString image(const QString &dir, const QString &name, QSize size, int n)
{
    StoreFixture::Mammogram m;
    m.size = size;
    m.studyUid = QStringLiteral("1.2.826.0.1.3680043.9.7433.7.%1.1").arg(n);
    m.seriesUid = QStringLiteral("1.2.826.0.1.3680043.9.7433.7.%1.2").arg(n);
    m.sopUid = QStringLiteral("1.2.826.0.1.3680043.9.7433.7.%1.3").arg(n);
    const QString path = dir + QLatin1Char('/') + name;
    StoreFixture::writeMammogram(path, m);
    return path;
}

// Everything in a folder, hidden names included.
QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

struct Sent {
    int exitCode = -1;
    qint64 ms = 0;
    QString output;
};

Sent storescu(const kit::LiveStation &live, const QStringList &files)
{
    Sent s;
    QElapsedTimer t;
    t.start();
    s.exitCode = kit::runTool(QStringLiteral("storescu"),
                              QStringList{QStringLiteral("-v"), QStringLiteral("--no-halt"), QStringLiteral("-aec"),
                                          live.aeTitle, QStringLiteral("127.0.0.1"), QString::number(live.port)}
                                  + files,
                              &s.output, 120000);
    s.ms = t.elapsed();
    return s;
}

// What storescu -v prints for the answer 0xA700.
bool outOfResources(const QString &output)
{
    return output.contains(QStringLiteral("Out of Resources"), Qt::CaseInsensitive)
           || output.contains(QStringLiteral("OutOfResources"), Qt::CaseInsensitive)
           || output.contains(QStringLiteral("0xa700"), Qt::CaseInsensitive);
}

bool success(const QString &output) { return output.contains(QStringLiteral("Received Store Response (Success)")); }

int run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(30000))
        return -1;
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

} // namespace

class TestDiskFull : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(Companions::executablePath(Companions::receiverName())).isExecutable(),
                 "TqReceiver not built");
        QVERIFY2(QFileInfo(Companions::executablePath(Companions::dataManagerName())).isExecutable(),
                 "TqDataMgr not built");
        m_images = std::make_unique<QTemporaryDir>();
        // 1536 x 1024 x 2 bytes: 3 MB, more than the small disk holds.
        m_big = image(m_images->path(), "big.dcm", QSize(1024, 1536), 1);
        m_small = image(m_images->path(), "small.dcm", QSize(64, 64), 2);
        QVERIFY(QFileInfo(m_big).size() > 3000000);
    }
    void cleanup()
    {
        if (m_receiver)
            kit::terminateChild(*m_receiver);
        if (m_dataManager)
            kit::terminateChild(*m_dataManager);
        m_receiver.reset();
        m_dataManager.reset();
        if (!m_mounted.isEmpty())
            run("umount", {"-l", m_mounted});
        m_mounted.clear();
        m_live.reset();
    }

    // A free-space reserve larger than the disk: every object is refused before a byte of
    // it is written, with the answer a sender retries later.
    void reserveRefusesAtOnce()
    {
        m_live = std::make_unique<kit::LiveStation>(freeTcpPort());
        setting("Com/IR_MinFreeMB", "100000000"); // 100 TB
        m_receiver = m_live->startChild(Companions::receiverName());
        QVERIFY(m_live->waitForReceiver());

        const Sent s = storescu(*m_live, {m_small});
        QVERIFY2(outOfResources(s.output), qPrintable(s.output));
        QVERIFY2(s.ms < 15000, qPrintable(QString::number(s.ms)));
        QVERIFY(entries((*m_live)->paths().tempDir()).isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(kit::readAll((*m_live)->log().errorLogPath()).contains("reserve"), 5000);
        QCOMPARE(m_receiver->state(), QProcess::Running);
    }

    void failedWriteAnswersOutOfResources_data()
    {
        QTest::addColumn<QString>("method");
        QTest::newRow("small tmpfs") << "tmpfs";
        QTest::newRow("file size limit") << "fsize";
    }

    // The disk fills up while an object comes in: the sender hears A700 as soon as the
    // object is through, the half-written file is gone, and once there is room again the
    // same receiver takes the next association and the image is filed.
    void failedWriteAnswersOutOfResources()
    {
        QFETCH(QString, method);
        m_live = std::make_unique<kit::LiveStation>(freeTcpPort());
        Station &s = **m_live;
        const QString temp = s.paths().tempDir();
        setting("Com/IR_MinFreeMB", "0"); // no reserve: the write itself must fail

        if (method == "tmpfs") {
            if (run("mount", {"-t", "tmpfs", "-o", "size=2m", "tmpfs", temp}) != 0)
                CALVAREX_MISSING("this machine does not allow mounting a tmpfs (needs root)");
            m_mounted = temp;
            m_receiver = m_live->startChild(Companions::receiverName());
        } else {
            // The receiver under a 1 MB file size limit (soft, so it can be raised again),
            // the signal of a too large write ignored: the write fails with EFBIG as on a
            // full disk.
            if (QStandardPaths::findExecutable("prlimit").isEmpty())
                CALVAREX_MISSING("prlimit is not installed");
            m_receiver = std::make_unique<QProcess>();
            m_receiver->setProcessEnvironment(m_live->environment());
            m_receiver->setProcessChannelMode(QProcess::ForwardedChannels);
            m_receiver->start("/bin/sh", {"-c", "trap '' XFSZ; exec prlimit --fsize=1000000:unlimited \"$0\"",
                                          Companions::executablePath(Companions::receiverName())});
            QVERIFY(m_receiver->waitForStarted(10000));
        }
        m_dataManager = m_live->startChild(Companions::dataManagerName());
        QVERIFY(m_live->waitForReceiver());

        // A small image fits, the large one does not; both in one association.
        const Sent full = storescu(*m_live, {m_big, m_small});
        QVERIFY2(outOfResources(full.output), qPrintable(full.output));
        QVERIFY2(full.ms < 20000, qPrintable(QString::number(full.ms)));
        // The association went on after the refusal: the small image was received.
        QVERIFY2(success(full.output), qPrintable(full.output));
        QTRY_COMPARE_WITH_TIMEOUT(kit::count(s, "SELECT COUNT(*) FROM tblImages"), 1, 20000);
        QVERIFY2(entries(temp).isEmpty(), qPrintable(entries(temp).join(' ')));
        QVERIFY(kit::readAll(s.log().errorLogPath()).contains("cannot write"));
        QCOMPARE(m_receiver->state(), QProcess::Running);

        // Room again: the same receiver takes the large image.
        if (method == "tmpfs")
            QCOMPARE(run("mount", {"-o", "remount,size=64m", temp}), 0);
        else
            QCOMPARE(run("prlimit", {"--pid", QString::number(m_receiver->processId()), "--fsize=unlimited:unlimited"}),
                     0);
        const Sent again = storescu(*m_live, {m_big});
        QCOMPARE(again.exitCode, 0);
        QVERIFY2(success(again.output) && !outOfResources(again.output), qPrintable(again.output));
        QTRY_COMPARE_WITH_TIMEOUT(kit::count(s, "SELECT COUNT(*) FROM tblImages"), 2, 20000);
        QVERIFY(kit::storeProblems(s).isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(entries(temp).isEmpty(), 10000);
    }

private:
    void setting(const QString &key, const QString &value)
    {
        SettingsStore store(m_live->configHome + QStringLiteral("/Lumetra/TqStation.conf"));
        store.writeValue(key, value);
    }

    std::unique_ptr<QTemporaryDir> m_images;
    QString m_big, m_small;
    std::unique_ptr<kit::LiveStation> m_live;
    std::unique_ptr<QProcess> m_receiver, m_dataManager;
    QString m_mounted;
};

QTEST_MAIN(TestDiskFull)
#include "test_diskfull.moc"

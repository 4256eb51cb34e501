// The companions under hostile input, as real processes: a poison file of deeply nested
// sequences, a link in the input folder, a sender calling the wrong AE title, a sender
// with an invalid Study UID, a peer that opens a connection and falls silent, and a
// database broken while images wait.
#include "CompanionTestKit.h"
#include "Requires.h"
#include "StoreFixture.h"
#include "TestStation.h"
#include "core/Companions.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QtTest>

namespace {

// A small real image followed by a Digital Signatures Sequence nested `depth` deep: the
// kind of object whose parsing recurses until the stack is gone.
QByteArray nestedObject(const QString &sample, int depth)
{
    QByteArray bytes = kit::bytes(sample);
    const QByteArray open = QByteArray::fromHex("FAFFFAFF"
                                                "5351"
                                                "0000"
                                                "FFFFFFFF"
                                                "FEFF00E0"
                                                "FFFFFFFF");
    const QByteArray close = QByteArray::fromHex("FEFF0DE0"
                                                 "00000000"
                                                 "FEFFDDE0"
                                                 "00000000");
    bytes.reserve(bytes.size() + depth * (open.size() + close.size()));
    for (int i = 0; i < depth; ++i)
        bytes += open;
    for (int i = 0; i < depth; ++i)
        bytes += close;
    return bytes;
}

void writeOld(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    // Written a while ago: no writer is still at work on it.
    f.setFileTime(QDateTime::currentDateTime().addSecs(-120), QFileDevice::FileModificationTime);
}

} // namespace

class TestHostile : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        if (pydicomTestFiles().isEmpty())
            CALVAREX_MISSING("pydicom's test files are not installed");
        QVERIFY2(QFileInfo(Companions::executablePath(Companions::receiverName())).isExecutable(),
                 "TqReceiver not built");
        QVERIFY2(QFileInfo(Companions::executablePath(Companions::dataManagerName())).isExecutable(),
                 "TqDataMgr not built");
    }
    void init()
    {
        m_live = std::make_unique<kit::LiveStation>(freeTcpPort());
        m_receiver = m_live->startChild(Companions::receiverName());
        m_dataManager = m_live->startChild(Companions::dataManagerName());
        QVERIFY(m_live->waitForReceiver());
    }
    void cleanup()
    {
        if (m_receiver)
            kit::terminateChild(*m_receiver);
        if (m_dataManager)
            kit::terminateChild(*m_dataManager);
        m_receiver.reset();
        m_dataManager.reset();
        m_live.reset();
    }

    void poisonFileIsQuarantinedAndFilingGoesOn()
    {
        Station &s = **m_live;
        QTemporaryDir work;
        const QString sample = work.path() + "/sample.dcm";
        StoreFixture fx(s);
        StoreFixture::writeSmallImage(sample, fx.newUid(), fx.newUid(), fx.newUid(), 1);
        writeOld(s.paths().tempDir() + "/poison.dcm", nestedObject(sample, 6000));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(s.paths().quarantineDir() + "/poison.dcm"), 20000);
        QCOMPARE(m_dataManager->state(), QProcess::Running);
        // The next image is filed as usual.
        QCOMPARE(m_live->send({kit::testFile("CT_small.dcm")}), 0);
        QTRY_COMPARE_WITH_TIMEOUT(kit::count(s, "SELECT COUNT(*) FROM tblImages"), 1, 20000);
    }

    void linkInTheInputFolderIsNeverFiled()
    {
        Station &s = **m_live;
        QTemporaryDir outside;
        const QString target = outside.path() + "/image.dcm";
        QVERIFY(QFile::copy(kit::testFile("CT_small.dcm"), target));
        const QByteArray before = kit::bytes(target);
        QVERIFY(QFile::link(target, s.paths().tempDir() + "/link.dcm"));
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(s.paths().tempDir() + "/link.dcm")
                                     && !QFileInfo(s.paths().tempDir() + "/link.dcm").isSymLink(),
                                 20000);
        QCOMPARE(kit::count(s, "SELECT COUNT(*) FROM tblImages"), 0);
        QCOMPARE(kit::bytes(target), before); // the file the link pointed at is untouched
        QVERIFY(kit::storeFiles(s).isEmpty());
    }

    void wrongCalledAeTitleIsRefusedAndLogged()
    {
        Station &s = **m_live;
        QString output;
        const int rc = kit::runTool("storescu",
                                    {"-aec", "NOTTHEONE", "-aet", "INTRUDER", "127.0.0.1",
                                     QString::number(m_live->port), kit::testFile("CT_small.dcm")},
                                    &output, 30000);
        QVERIFY2(rc != 0, qPrintable(output));
        QTRY_VERIFY_WITH_TIMEOUT(kit::readAll(s.log().errorLogPath()).contains("NOTTHEONE"), 10000);
        QVERIFY(kit::readAll(s.log().errorLogPath()).contains("INTRUDER"));
        QTest::qWait(500);
        QCOMPARE(kit::count(s, "SELECT COUNT(*) FROM tblImages"), 0);
    }

    void invalidStudyUidIsRefusedBeforeSuccess()
    {
        Station &s = **m_live;
        QTemporaryDir work;
        const QString file = work.path() + "/bad.dcm";
        QVERIFY(QFile::copy(kit::testFile("CT_small.dcm"), file));
        QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner);
        QVERIFY(kit::modify(file, {"(0020,000D)=1.2.abc"}));
        QString output;
        kit::runTool("storescu", {"-v", "-aec", m_live->aeTitle, "127.0.0.1", QString::number(m_live->port), file},
                     &output, 30000);
        // The sender hears a failure, not Success: it keeps the image and can try again.
        QVERIFY2(output.contains("Received Store Response (Error") || output.contains("Status: Error")
                     || output.contains("0xc000", Qt::CaseInsensitive),
                 qPrintable(output));
        QTest::qWait(1000);
        QCOMPARE(kit::count(s, "SELECT COUNT(*) FROM tblImages"), 0);
        QVERIFY(QDir(s.paths().tempDir()).entryList(QDir::Files).isEmpty());
        QVERIFY(kit::readAll(s.log().errorLogPath()).contains("1.2.abc"));
    }

    void silentPeerBlocksNobody()
    {
        // Part of an association request, then silence.
        QTcpSocket silent;
        silent.connectToHost("127.0.0.1", m_live->port);
        QVERIFY(silent.waitForConnected(5000));
        silent.write(QByteArray::fromHex("01000000"));
        QVERIFY(silent.waitForBytesWritten(2000));
        QElapsedTimer t;
        t.start();
        QCOMPARE(m_live->send({kit::testFile("CT_small.dcm")}), 0);
        QVERIFY2(t.elapsed() < 20000, qPrintable(QString::number(t.elapsed())));
        QTRY_COMPARE_WITH_TIMEOUT(kit::count(**m_live, "SELECT COUNT(*) FROM tblImages"), 1, 20000);
    }

    // A fault that recurs every second (the data database broken while images wait):
    // one line in the error log, and one with the number of repeats when the data
    // manager ends, not a line a second.
    void brokenDatabaseIsOneLogLineWithACount()
    {
        Station &s = **m_live;
        QFile db(s.paths().dataDb());
        QVERIFY(db.open(QIODevice::WriteOnly | QIODevice::Truncate));
        db.write(QByteArray(4096, 'x'));
        db.close();
        QVERIFY(QFile::copy(kit::testFile("CT_small.dcm"), s.paths().tempDir() + "/waiting.dcm"));
        QTest::qWait(5000); // five passes of the data manager, each failing
        QCOMPARE(m_dataManager->state(), QProcess::Running);
        QVERIFY(kit::terminateChild(*m_dataManager));

        const QStringList lines =
            kit::readAll(s.log().errorLogPath()).split('\n', Qt::SkipEmptyParts).filter("TqDataMgr");
        QVERIFY2(lines.size() >= 2 && lines.size() <= 3, qPrintable(lines.join('\n')));
        static const QRegularExpression counted(QStringLiteral("\\(repeated (\\d+) times\\)$"));
        const QRegularExpressionMatch m = counted.match(lines.last().trimmed());
        QVERIFY2(m.hasMatch() && m.captured(1).toInt() >= 3, qPrintable(lines.join('\n')));
    }

private:
    std::unique_ptr<kit::LiveStation> m_live;
    std::unique_ptr<QProcess> m_receiver, m_dataManager;
};

QTEST_MAIN(TestHostile)
#include "test_hostile.moc"

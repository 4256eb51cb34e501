// The two companions as real processes: DCMTK's storescu sends through TqReceiver, and
// TqDataMgr files into the store.
#include "CompanionTestKit.h"
#include "Requires.h"
#include "StoreFixture.h"
#include "TestStation.h"
#include "core/Companions.h"
#include "dicom/FileFacts.h"

#include <QTcpServer>
#include <QtTest>
#include <csignal>
#include <unistd.h>

class TestReceive : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void filesEverythingSentOnceOnly();
    void answersEchoAndRefusesForeignClasses();
    void garbageInInputGoesToQuarantine();
    void bothEndCleanlyOnSigterm();
    void receiverFinishesAssociationOnSigterm();
    void receiverWithoutUsablePortEndsWithError();
    void killedDataManagerLeavesConsistentStore();

private:
    std::unique_ptr<kit::LiveStation> m_live;
    std::unique_ptr<QProcess> m_receiver, m_dataManager;
};

void TestReceive::initTestCase()
{
    if (pydicomTestFiles().isEmpty())
        CALVAREX_MISSING("pydicom's test files are not installed");
    QVERIFY2(QFileInfo(Companions::executablePath(Companions::receiverName())).isExecutable(), "TqReceiver not built");
    QVERIFY2(QFileInfo(Companions::executablePath(Companions::dataManagerName())).isExecutable(),
             "TqDataMgr not built");
}

void TestReceive::init()
{
    m_live = std::make_unique<kit::LiveStation>(freeTcpPort());
    m_receiver = m_live->startChild(Companions::receiverName());
    m_dataManager = m_live->startChild(Companions::dataManagerName());
    QVERIFY(m_live->waitForReceiver());
}

void TestReceive::cleanup()
{
    if (m_receiver)
        kit::terminateChild(*m_receiver);
    if (m_dataManager)
        kit::terminateChild(*m_dataManager);
    m_receiver.reset();
    m_dataManager.reset();
    m_live.reset();
}

void TestReceive::filesEverythingSentOnceOnly()
{
    Station &s = **m_live;
    // Real files in several transfer syntaxes, and two generated mammograms.
    QStringList files;
    for (const char *n : {"CT_small.dcm", "MR_small_jpeg_ls_lossless.dcm", "JPEG-lossy.dcm", "SC_rgb_jpeg_dcmtk.dcm",
                          "SC_rgb_rle.dcm", "ExplVR_BigEnd.dcm", "MR_small_implicit.dcm"})
        files << kit::testFile(QString::fromLatin1(n));
    // (MR_small_implicit is the JPEG-LS image's twin: same SOP Instance UID.)
    StoreFixture fx(s);
    const QString mgStudy = fx.newUid(), mgSeries = fx.newUid();
    QTemporaryDir out;
    for (int i = 0; i < 2; ++i) {
        StoreFixture::Mammogram m;
        m.patientId = QStringLiteral("MG-77");
        m.patientName = QStringLiteral("O'Neil^Mary");
        m.studyUid = mgStudy;
        m.seriesUid = mgSeries;
        m.sopUid = fx.newUid();
        m.instanceNumber = i + 1;
        m.laterality = i ? 'L' : 'R';
        files << out.filePath(QStringLiteral("mg%1.dcm").arg(i));
        StoreFixture::writeMammogram(files.last(), m);
    }
    const int images = files.size() - 1;

    QString output;
    QVERIFY2(m_live->send(files, &output) == 0, qPrintable(output));
    QTRY_COMPARE_WITH_TIMEOUT(kit::count(s, "SELECT COUNT(*) FROM tblImages"), qint64(images), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(kit::count(s, "SELECT SUM(ImageCount) FROM tblReceive"), qint64(files.size()), 30000);
    QVERIFY(kit::count(s, "SELECT COUNT(*) FROM tblReceive") >= 1);
    QVERIFY2(kit::storeProblems(s).isEmpty(), qPrintable(kit::storeProblems(s).join("; ")));

    // Each filed file is the image it claims to be.
    for (const QString &f : kit::storeFiles(s)) {
        const FileFacts facts = dicom::readFileFacts(s.paths().imagesDir() + QLatin1Char('/') + f);
        QCOMPARE(facts.studyUid + QLatin1Char('/') + facts.sopUid + QStringLiteral(".dcm"), f);
    }
    QCOMPARE(kit::count(s, "SELECT COUNT(*) FROM view_studies WHERE PatID1 = ?", {"MG-77"}), 1);
    QCOMPARE(kit::count(s, "SELECT COUNT(*) FROM View_Images WHERE StudyUID = ?", {mgStudy}), 2);
    {
        Database db = Database::openData(s.paths());
        QCOMPARE(db.scalar("SELECT PatNachname FROM tblPatienten WHERE PatID1 = ?", {"MG-77"}).toString(),
                 QString("O'Neil"));
        QCOMPARE(db.scalar("SELECT Modality FROM view_studies WHERE PatID1 = ?", {"MG-77"}).toString(), QString("MG"));
    }
    QVERIFY(QDir(s.paths().tempDir()).entryList(QDir::Files | QDir::Hidden).isEmpty());

    // The same files again: announced again, but no row twice.
    const qint64 patients = kit::count(s, "SELECT COUNT(*) FROM tblPatienten");
    const qint64 studies = kit::count(s, "SELECT COUNT(*) FROM tblStudies");
    const qint64 series = kit::count(s, "SELECT COUNT(*) FROM tblSeries");
    QCOMPARE(m_live->send(files), 0);
    QTRY_COMPARE_WITH_TIMEOUT(kit::count(s, "SELECT SUM(ImageCount) FROM tblReceive"), qint64(2 * files.size()), 30000);
    QCOMPARE(kit::count(s, "SELECT COUNT(*) FROM tblImages"), qint64(images));
    QCOMPARE(kit::count(s, "SELECT COUNT(*) FROM tblPatienten"), patients);
    QCOMPARE(kit::count(s, "SELECT COUNT(*) FROM tblStudies"), studies);
    QCOMPARE(kit::count(s, "SELECT COUNT(*) FROM tblSeries"), series);
    QVERIFY2(kit::storeProblems(s).isEmpty(), qPrintable(kit::storeProblems(s).join("; ")));
}

void TestReceive::answersEchoAndRefusesForeignClasses()
{
    Station &s = **m_live;
    QCOMPARE(kit::runTool("echoscu", {"-aec", m_live->aeTitle, "127.0.0.1", QString::number(m_live->port)}), 0);
    // A radiotherapy plan is no image for this room: no presentation context, nothing stored.
    QString output;
    QVERIFY(m_live->send({kit::testFile("rtplan.dcm")}, &output) != 0);
    QVERIFY2(output.contains("No presentation context", Qt::CaseInsensitive)
                 || output.contains("Association Rejected", Qt::CaseInsensitive),
             qPrintable(output));
    // A segmentation proposed as a plain storage class on its own is refused the same way.
    QVERIFY(m_live->send({kit::testFile("liver_1frame.dcm")}) != 0);
    QTest::qWait(1500);
    QCOMPARE(kit::count(s, "SELECT COUNT(*) FROM tblImages"), 0);
    QVERIFY(kit::storeFiles(s).isEmpty());
}

void TestReceive::garbageInInputGoesToQuarantine()
{
    Station &s = **m_live;
    const QString garbage = s.paths().tempDir() + "/garbage.dcm";
    {
        QFile f(garbage);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(4096, 'x'));
        // Written a while ago: no writer is still at work on it.
        f.setFileTime(QDateTime::currentDateTime().addSecs(-120), QFileDevice::FileModificationTime);
    }
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(s.paths().quarantineDir() + "/garbage.dcm"), 15000);
    QVERIFY(!QFile::exists(garbage));
    QVERIFY(kit::readAll(s.log().errorLogPath()).contains("[TqDataMgr FileImage]"));
    QCOMPARE(kit::count(s, "SELECT COUNT(*) FROM tblReceive"), 0);
}

void TestReceive::bothEndCleanlyOnSigterm()
{
    QVERIFY(kit::terminateChild(*m_receiver));
    QVERIFY(kit::terminateChild(*m_dataManager));
    QCOMPARE(m_receiver->exitCode(), 0);
    QCOMPARE(m_dataManager->exitCode(), 0);
}

void TestReceive::receiverFinishesAssociationOnSigterm()
{
    Station &s = **m_live;
    StoreFixture fx(s);
    QTemporaryDir out;
    QStringList files;
    const QString study = fx.newUid(), series = fx.newUid();
    for (int i = 0; i < 60; ++i) {
        StoreFixture::Mammogram m;
        m.size = QSize(664, 820);
        m.studyUid = study;
        m.seriesUid = series;
        m.sopUid = fx.newUid();
        m.instanceNumber = i + 1;
        m.seed = i + 1;
        files << out.filePath(QStringLiteral("m%1.dcm").arg(i));
        StoreFixture::writeMammogram(files.last(), m);
    }
    QProcess sender;
    sender.setProcessChannelMode(QProcess::MergedChannels);
    sender.start("storescu", QStringList{"-aec", m_live->aeTitle, "127.0.0.1", QString::number(m_live->port)} + files);
    // Stop requested while the association runs: every image of it still arrives.
    QTRY_VERIFY_WITH_TIMEOUT(kit::count(s, "SELECT COUNT(*) FROM tblImages") > 0
                                 || !QDir(s.paths().tempDir()).entryList(QDir::Files).isEmpty(),
                             20000);
    QCOMPARE(sender.state(), QProcess::Running);
    ::kill(static_cast<pid_t>(m_receiver->processId()), SIGTERM);
    QVERIFY(sender.waitForFinished(60000));
    QVERIFY2(sender.exitCode() == 0, sender.readAll().constData());
    QVERIFY(m_receiver->waitForFinished(10000));
    QCOMPARE(m_receiver->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_receiver->exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(kit::count(s, "SELECT COUNT(*) FROM tblImages"), qint64(files.size()), 30000);
    // And it takes no new association.
    QVERIFY(kit::runTool("echoscu", {"-aec", m_live->aeTitle, "127.0.0.1", QString::number(m_live->port)}) != 0);
}

void TestReceive::receiverWithoutUsablePortEndsWithError()
{
    Station &s = **m_live;
    // The port is taken by the running receiver: a second one cannot listen there.
    auto second = m_live->startChild(Companions::receiverName());
    QVERIFY(second->waitForFinished(15000));
    QVERIFY(second->exitCode() != 0);
    QTRY_VERIFY(kit::readAll(s.log().errorLogPath()).contains("[TqReceiver Listen]"));
    QVERIFY(kit::readAll(s.log().errorLogPath()).contains(QString::number(m_live->port)));

    // Port 105, the default, needs privileges an ordinary user does not have.
    if (::geteuid() != 0) {
        s.settingsStore().writeValue("Com/IR_Port", "105");
        auto privileged = m_live->startChild(Companions::receiverName());
        QVERIFY(privileged->waitForFinished(15000));
        QVERIFY(privileged->exitCode() != 0);
        QVERIFY(kit::readAll(s.log().errorLogPath()).contains("Port 105 needs privileges"));
    }
    // A port that is no number.
    s.settingsStore().writeValue("Com/IR_Port", "11x");
    auto bad = m_live->startChild(Companions::receiverName());
    QVERIFY(bad->waitForFinished(15000));
    QVERIFY(bad->exitCode() != 0);
    QVERIFY(kit::readAll(s.log().errorLogPath()).contains("'11x' (Com/IR_Port) is not a usable TCP port"));
}

void TestReceive::killedDataManagerLeavesConsistentStore()
{
    Station &s = **m_live;
    QVERIFY(kit::terminateChild(*m_dataManager));
    StoreFixture fx(s);
    const int total = 600;
    const QString study = fx.newUid();
    QStringList series = {fx.newUid(), fx.newUid(), fx.newUid()};
    // Written elsewhere and moved in, as the receiver does.
    QTemporaryDir staging;
    for (int i = 0; i < total; ++i) {
        const QString sop = fx.newUid();
        const QString f = staging.filePath(sop + ".dcm");
        StoreFixture::writeSmallImage(f, study, series[i % 3], sop, i + 1);
        QVERIFY(QFile::rename(f, s.paths().tempDir() + "/" + sop + ".dcm"));
    }

    // Killed at several moments while it works through the batches.
    for (int delay : {60, 150, 300, 450}) {
        m_dataManager = m_live->startChild(Companions::dataManagerName());
        QTest::qWait(delay);
        ::kill(static_cast<pid_t>(m_dataManager->processId()), SIGKILL);
        QVERIFY(m_dataManager->waitForFinished(5000));
        for (const QString &p : kit::storeProblems(s))
            QVERIFY2(p.startsWith("file without row"), qPrintable(p));
    }
    m_dataManager = m_live->startChild(Companions::dataManagerName());
    QTRY_COMPARE_WITH_TIMEOUT(kit::count(s, "SELECT COUNT(*) FROM tblImages"), qint64(total), 60000);
    QTRY_VERIFY_WITH_TIMEOUT(QDir(s.paths().tempDir()).entryList(QDir::Files | QDir::Hidden).isEmpty(), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(s.paths().dataDir() + "/TqDataMgr.journal"), 10000);
    QVERIFY2(kit::storeProblems(s).isEmpty(), qPrintable(kit::storeProblems(s).join("; ")));
    QCOMPARE(kit::count(s, "SELECT COUNT(*) FROM tblSeries"), 3);
    QCOMPARE(kit::count(s, "SELECT SUM(ImageCount) FROM tblReceive") >= total, true);
}

QTEST_GUILESS_MAIN(TestReceive)
#include "test_receive.moc"

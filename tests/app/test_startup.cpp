#include "Requires.h"
#include "StationProcess.h"
#include "TestStation.h"
#include "core/AppError.h"
#include "core/StartupChecks.h"
#include "core/StationPaths.h"
#include "core/Version.h"

#include <QProcess>
#include <QtTest>

class TestStartup : public QObject {
    Q_OBJECT
private slots:
    void versionFormats_data();
    void versionFormats();
    void screenCheck_data();
    void screenCheck();
    void freeSpaceThreshold_data();
    void freeSpaceThreshold();
    void messagesWordForWord();
    void uidsThatNamePaths_data();
    void uidsThatNamePaths();
    void screenCheckOfTheRealProgram_data();
    void screenCheckOfTheRealProgram();
    void unusableStationFolderIsNamed();
    void instanceLockInOneProcess();
    void secondInstanceWithTwoProcesses();
};

void TestStartup::versionFormats_data()
{
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("minor");
    QTest::addColumn<int>("revision");
    QTest::addColumn<QString>("splash");
    QTest::addColumn<QString>("caption");
    QTest::newRow("1.4.3") << 1 << 4 << 3 << "1.4.03"
                           << "1.4.3";
    QTest::newRow("revision 5") << 2 << 0 << 5 << "2.0.05"
                                << "2.0.5";
    QTest::newRow("two digits") << 1 << 2 << 12 << "1.2.12"
                                << "1.2.12";
}

void TestStartup::versionFormats()
{
    QFETCH(int, major);
    QFETCH(int, minor);
    QFETCH(int, revision);
    QFETCH(QString, splash);
    QFETCH(QString, caption);
    QCOMPARE(Version::splashNumber(major, minor, revision), splash);
    QCOMPARE(Version::captionNumber(major, minor, revision), caption);
    QVERIFY(Version::mainCaption().startsWith("Calvarex Version "));
    QVERIFY(Version::splashCaption().startsWith("Calvarex Version "));
    QCOMPARE(Version::splashVersionLabel(),
             "Version " + Version::splashNumber(Version::Major, Version::Minor, Version::Revision));
}

void TestStartup::screenCheck_data()
{
    QTest::addColumn<QSize>("screen");
    QTest::addColumn<bool>("ok");
    QTest::newRow("1024x768") << QSize(1024, 768) << true;
    QTest::newRow("1023 wide") << QSize(1023, 768) << false;
    QTest::newRow("767 high") << QSize(1024, 767) << false;
    QTest::newRow("full hd") << QSize(1920, 1080) << true;
}

void TestStartup::screenCheck()
{
    QFETCH(QSize, screen);
    QFETCH(bool, ok);
    QCOMPARE(StartupChecks::screenLargeEnough(screen), ok);
}

void TestStartup::freeSpaceThreshold_data()
{
    QTest::addColumn<qint64>("free");
    QTest::addColumn<bool>("low");
    QTest::newRow("exactly 1200000000") << qint64(1200000000) << false;
    QTest::newRow("one byte less") << qint64(1199999999) << true;
    QTest::newRow("plenty") << qint64(50000000000) << false;
    QTest::newRow("unknown") << qint64(-1) << false;
}

void TestStartup::freeSpaceThreshold()
{
    QFETCH(qint64, free);
    QFETCH(bool, low);
    QCOMPARE(StartupChecks::diskSpaceLow(free), low);
    if (low)
        QVERIFY(StartupChecks::lowDiskSpaceText(free).contains("Low disk space"));
}

void TestStartup::messagesWordForWord()
{
    QCOMPARE(StartupChecks::screenTooSmallText(),
             QString("ATTENTION!\nA screen resolution of 1024x768 pixel is required for this application!"));
    QCOMPARE(StartupChecks::secondInstanceText(), QString("Your can only run one instance of 'Calvarex'"));
}

void TestStartup::uidsThatNamePaths_data()
{
    QTest::addColumn<QString>("uid");
    QTest::addColumn<bool>("valid");
    QTest::newRow("plain") << "1.2.840.10008.5.1.4.1.1.1.2" << true;
    QTest::newRow("64 chars") << ("1." + QString(62, '2')) << true;
    QTest::newRow("65 chars") << ("1." + QString(63, '2')) << false;
    QTest::newRow("parent dir") << ".." << false;
    QTest::newRow("traversal") << "../../etc" << false;
    QTest::newRow("slash") << "1.2/3" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("double dot") << "1..2" << false;
    QTest::newRow("trailing dot") << "1.2." << false;
    QTest::newRow("letters") << "1.2.abc" << false;
}

void TestStartup::uidsThatNamePaths()
{
    QFETCH(QString, uid);
    QFETCH(bool, valid);
    QCOMPARE(isValidUid(uid), valid);
    StationPaths p("/tmp/station");
    if (valid) {
        QCOMPARE(p.imageFile(uid, "1.2.3"), "/tmp/station/Images/" + uid + "/1.2.3.dcm");
    } else {
        QVERIFY_THROWS_EXCEPTION(AppError, p.studyDir(uid));
        QVERIFY_THROWS_EXCEPTION(AppError, p.imageFile("1.2.3", uid));
    }
}

void TestStartup::screenCheckOfTheRealProgram_data()
{
    QTest::addColumn<QSize>("screen");
    QTest::addColumn<bool>("runs");
    QTest::newRow("1024x768 runs") << QSize(1024, 768) << true;
    QTest::newRow("1023x768 ends") << QSize(1023, 768) << false;
    QTest::newRow("1024x767 ends") << QSize(1024, 767) << false;
}

void TestStartup::screenCheckOfTheRealProgram()
{
    QFETCH(QSize, screen);
    QFETCH(bool, runs);
    const QString exe = binDir() + "/Calvarex";
    QTemporaryDir home, config;
    {
        QSettings s(config.filePath("Lumetra/TqStation.conf"), QSettings::IniFormat);
        s.setValue("Com/IR_Port", "");
    }
    QProcess p;
    p.setProcessEnvironment(stationEnvironment(home.path(), config.path(), screen));
    p.start(exe, {});
    QVERIFY(p.waitForStarted());
    const bool ended = p.waitForFinished(runs ? 3000 : 20000);
    const QString out = QString::fromLocal8Bit(p.readAllStandardOutput());
    if (runs) {
        QVERIFY2(!ended, qPrintable(out));
        QVERIFY(!out.contains("ATTENTION!"));
        p.kill();
        p.waitForFinished(5000);
        killStationProcesses(home.path());
    } else {
        QVERIFY(ended);
        QVERIFY2(out.contains("MESSAGE Calvarex: ATTENTION!\\nA screen resolution of 1024x768 pixel is required for "
                              "this application!"),
                 qPrintable(out));
        // It ended before the start went on: no instance lock, no data folder.
        QVERIFY(!QFile::exists(home.filePath("Calvarex.lock")));
        QVERIFY(!QFile::exists(home.filePath("Data")));
    }
}

void TestStartup::unusableStationFolderIsNamed()
{
    // CALVAREX_HOME names a file: the station says so and ends, before anything is written.
    QTemporaryDir dir, config;
    const QString notAFolder = dir.filePath("station");
    QFile f(notAFolder);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();
    QProcess p;
    p.setProcessEnvironment(stationEnvironment(notAFolder, config.path()));
    p.start(binDir() + "/Calvarex", {});
    QVERIFY(p.waitForFinished(20000));
    QCOMPARE(p.exitCode(), 1);
    const QString out = QString::fromLocal8Bit(p.readAllStandardOutput());
    QVERIFY2(out.contains(QString("The station folder %1 (CALVAREX_HOME) is not a folder.").arg(notAFolder)),
             qPrintable(out));
    QVERIFY(QFileInfo(notAFolder).isFile());
}

void TestStartup::instanceLockInOneProcess()
{
    QTemporaryDir dir;
    StartupChecks::InstanceLock first(dir.path());
    QVERIFY(first.acquired());
    {
        StartupChecks::InstanceLock second(dir.path());
        QVERIFY(!second.acquired());
    }
    // The first keeps its lock when the second gives up.
    StartupChecks::InstanceLock third(dir.path());
    QVERIFY(!third.acquired());
}

void TestStartup::secondInstanceWithTwoProcesses()
{
    const QString exe = binDir() + "/Calvarex";
    if (!QFile::exists(exe))
        CALVAREX_MISSING("Calvarex not built");
    QTemporaryDir home, config;
    {
        // No receiver on a privileged port during the test.
        QSettings s(config.filePath("Lumetra/TqStation.conf"), QSettings::IniFormat);
        s.setValue("Com/IR_Port", "");
    }
    const auto env = stationEnvironment(home.path(), config.path());

    QProcess first;
    first.setProcessEnvironment(env);
    first.start(exe, {});
    QVERIFY(first.waitForStarted());
    // The first instance holds the lock once its splash timer has ticked.
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(home.filePath("Calvarex.lock")), 20000);
    QTest::qWait(300);
    QCOMPARE(first.state(), QProcess::Running);

    QProcess second;
    second.setProcessEnvironment(env);
    second.start(exe, {});
    QVERIFY(second.waitForFinished(20000));
    const QString out = QString::fromLocal8Bit(second.readAllStandardOutput());
    QVERIFY2(out.contains("MESSAGE Calvarex: Your can only run one instance of 'Calvarex'"), qPrintable(out));

    // The first is untouched: still running, its store still there.
    QTest::qWait(500);
    QCOMPARE(first.state(), QProcess::Running);
    QVERIFY(QFile::exists(home.filePath("Calvarex.lock")));
    first.kill();
    first.waitForFinished(5000);
    killStationProcesses(home.path());
}

QTEST_GUILESS_MAIN(TestStartup)
#include "test_startup.moc"

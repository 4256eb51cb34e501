#include "core/AppError.h"
#include "core/StationLog.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

class TestLog : public QObject {
    Q_OBJECT
private slots:
    void firstErrorCreatesFolderAndOneLine();
    void lineFormat();
    void restartBeyondLimit_data();
    void restartBeyondLimit();
    void twoErrorsInOrder();
    void repeatedErrorIsCountedNotRepeated();
    void unwritableFolderLosesEntryQuietly();
    void debugLineCarriesTextAndDetail();
    void logFileSizeOfMissingFileThrows();
};

static QStringList lines(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QStringList out = QString::fromUtf8(f.readAll()).split("\r\n");
    if (!out.isEmpty() && out.last().isEmpty())
        out.removeLast();
    return out;
}

void TestLog::firstErrorCreatesFolderAndOneLine()
{
    QTemporaryDir dir;
    StationLog log(dir.filePath("Logs"));
    QVERIFY(!QFile::exists(dir.filePath("Logs")));
    log.writeError(13, "Type mismatch", "MainForm LoadStudy");
    QCOMPARE(lines(dir.filePath("Logs/Error.log")).size(), 1);
    QVERIFY(!QFile::exists(dir.filePath("Logs/debug.log")));
}

void TestLog::lineFormat()
{
    QTemporaryDir dir;
    StationLog log(dir.path());
    log.writeError(13, "Type mismatch", "MainForm LoadStudy");
    const QString line = lines(log.errorLogPath()).value(0);
    // Stamp, then "#" + number + " - " + description, and the procedure that trapped it.
    QVERIFY2(
        QRegularExpression("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d#13 - Type mismatch \\[MainForm LoadStudy\\]$")
            .match(line)
            .hasMatch(),
        qPrintable(line));
    QFile f(log.errorLogPath());
    QVERIFY(f.open(QIODevice::ReadOnly));
    QVERIFY(f.readAll().endsWith("\r\n"));
}

void TestLog::restartBeyondLimit_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("linesAfter");
    QTest::newRow("exactly the limit stays") << qint64(1000000) << 2;
    QTest::newRow("one byte more restarts") << qint64(1000001) << 1;
}

void TestLog::restartBeyondLimit()
{
    QFETCH(qint64, size);
    QFETCH(int, linesAfter);
    QTemporaryDir dir;
    StationLog log(dir.path());
    {
        QFile f(log.errorLogPath());
        QVERIFY(f.open(QIODevice::WriteOnly));
        QByteArray filler(size - 2, 'x');
        f.write(filler + "\r\n");
    }
    QCOMPARE(StationLog::logFileSize(log.errorLogPath()), size);
    log.writeError(5, "Invalid procedure call", "Splash_Timer");
    const QStringList l = lines(log.errorLogPath());
    QCOMPARE(l.size(), linesAfter);
    QVERIFY(l.last().contains("#5 - Invalid procedure call"));
}

void TestLog::twoErrorsInOrder()
{
    QTemporaryDir dir;
    StationLog log(dir.path());
    log.writeError(1, "first", "A");
    log.writeError(2, "second", "B");
    const QStringList l = lines(log.errorLogPath());
    QCOMPARE(l.size(), 2);
    QVERIFY(l[0].contains("#1 - first"));
    QVERIFY(l[1].contains("#2 - second"));
}

void TestLog::repeatedErrorIsCountedNotRepeated()
{
    QTemporaryDir dir;
    StationLog log(dir.path());
    // A fault that recurs every second (a broken database) writes one line, not one a second.
    for (int i = 0; i < 5; ++i)
        log.writeError(1001, "database is locked", "MainForm_RefreshPatientList");
    log.writeError(1001, "database is locked", "Other procedure"); // another place: its own line
    QCOMPARE(lines(log.errorLogPath()).size(), 2);
    // What was held back is counted when the log is closed.
    log.flushRepeats();
    const QStringList l = lines(log.errorLogPath());
    QCOMPARE(l.size(), 3);
    QVERIFY2(l[2].endsWith("#1001 - database is locked [MainForm_RefreshPatientList] (repeated 4 times)"),
             qPrintable(l[2]));
}

void TestLog::unwritableFolderLosesEntryQuietly()
{
    QTemporaryDir dir;
    // A file where the folder should be: the folder cannot be made, nothing is thrown.
    QFile blocker(dir.filePath("Logs"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    StationLog log(dir.filePath("Logs"));
    log.writeError(1, "lost", "X");
    log.writeDebug("lost too");
    QVERIFY(QFileInfo(dir.filePath("Logs")).isFile());
}

void TestLog::debugLineCarriesTextAndDetail()
{
    QTemporaryDir dir;
    StationLog log(dir.path());
    log.writeDebug("Initialise_cPort", "Port Open False");
    log.writeDebug("Initialize_cPort 4800,N,8,1");
    const QStringList l = lines(log.debugLogPath());
    QCOMPARE(l.size(), 2);
    QVERIFY(l[0].endsWith("Initialise_cPort Port Open False"));
    QVERIFY(l[1].endsWith(":00Initialize_cPort 4800,N,8,1")
            || QRegularExpression("\\d\\dInitialize_cPort 4800,N,8,1$").match(l[1]).hasMatch());
}

void TestLog::logFileSizeOfMissingFileThrows()
{
    QTemporaryDir dir;
    QVERIFY_THROWS_EXCEPTION(AppError, StationLog::logFileSize(dir.filePath("nothing.log")));
}

QTEST_GUILESS_MAIN(TestLog)
#include "test_log.moc"

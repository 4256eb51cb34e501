// The capture journal on its own: what a restart reads back is what the station had, a
// line cut short by a kill or a failed write never spoils the file, and the rewrite at
// start keeps exactly what is still needed.
#include "Wait.h"

#include "dose/ExposureJournal.h"

#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

namespace {

ExamPatient patient(const QString &id, const QString &last)
{
    ExamPatient p;
    p.rows = {id, "ANN", last, "", "1960-12-31", "F", "ACC1", "BREAST"};
    return p;
}

ExposureJournal::Cut cut(const QString &dose)
{
    ExposureJournal::Cut c;
    c.message = dose + QString::fromUtf8("cGyCm\u00B2;28kV;56mAs;W;350ms");
    c.values = {dose, "28", "56", "350"};
    c.date = "2026-12-09";
    c.time = "10:00:00";
    c.unit = 5;
    return c;
}

QStringList summary(const ExposureJournal &j)
{
    QStringList out{"gathered=" + j.gathered(), "exam=" + (j.examination() ? j.examination()->id() : QString("-")),
                    "last=" + QString::number(j.lastImageNo())};
    for (const JournalExposure &e : j.exposures())
        out << QString("%1 %2 %3 n=%4 %5%6 id=%7")
                   .arg(e.seq)
                   .arg(e.values.mGy1, e.patient.id())
                   .arg(e.imageNo)
                   .arg(e.state == JournalExposure::State::Stored ? "stored" : "waiting", e.closed ? " closed" : "")
                   .arg(e.recordId);
    return out;
}

} // namespace

class TestJournal : public QObject {
    Q_OBJECT
private slots:
    void restartReadsBackWhatWasThere();
    void lineCutShortByAKillIsDropped();
    void failedWriteLeavesNoPartLineAndIsWrittenLater();
    void rewriteKeepsOnlyWhatIsNeeded();
    void recordUidsAreDicomUids();
    void noisyLineDoesNotFillTheDisk();
};

void TestJournal::restartReadsBackWhatWasThere()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("Data/Exposures.journal");
    ExposureJournal j(path);
    j.load();
    QVERIFY(j.appendInput("12.5cGy"));
    QVERIFY(j.appendInput("Cm\xB2;28"));
    QVERIFY(j.keepLast(6));
    // One exposure before any patient: it waits for one.
    j.capture({cut("1.0")}, {}, QString());
    QVERIFY(j.openExamination(patient("4711", "SMITH"), 2));
    const QList<JournalExposure> got =
        j.capture({cut("2.0"), cut("3.0")}, {{"noise", "message incomplete"}}, QString("4.0cG"));
    QCOMPARE(got.size(), 2);
    QCOMPARE(got[0].imageNo, 3); // after the patient's two open records
    QCOMPARE(got[1].imageNo, 4);
    QVERIFY(j.assignToExamination(j.unassigned().first().seq));
    QVERIFY(j.markStored(got[0].seq, 77));
    // Another patient, then back: numbers go on where they were.
    QVERIFY(j.openExamination(patient("4712", "JONES"), 0));
    j.capture({cut("5.0")}, {}, std::nullopt);
    QVERIFY(j.closeExamination());

    ExposureJournal again(path);
    again.load();
    QCOMPARE(summary(again), summary(j));
    QCOMPARE(again.gathered(), QString("4.0cG"));
    QVERIFY(!again.examination());
    QStringList numbers;
    for (const JournalExposure &e : again.unstored())
        numbers << e.patient.id() + ":" + QString::number(e.imageNo);
    QCOMPARE(numbers, (QStringList{"4711:5", "4711:4", "4712:1"}));
    // The close took the waiting exposure of its examination along.
    QVERIFY(again.unstored().last().closed);
    QVERIFY(!again.unstored().first().closed);
}

void TestJournal::lineCutShortByAKillIsDropped()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("Exposures.journal");
    {
        ExposureJournal j(path);
        QVERIFY(j.openExamination(patient("4711", "SMITH"), 0));
        j.capture({cut("1.0")}, {}, QString());
    }
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::Append));
        f.write("{\"t\":\"cut\",\"e\":[{\"s\":9,\"u\":\"2.25.1\"");
    }
    ExposureJournal j(path);
    QStringList problems;
    j.load(&problems);
    QCOMPARE(problems.size(), 1);
    QVERIFY(problems[0].contains("cut short"));
    QCOMPARE(j.unstored().size(), 1);
    QVERIFY(readFile(path).endsWith('\n'));
    // What comes next is read again as a whole line.
    j.capture({cut("2.0")}, {}, QString());
    ExposureJournal again(path);
    problems.clear();
    again.load(&problems);
    QVERIFY(problems.isEmpty());
    QCOMPARE(again.unstored().size(), 2);
    QCOMPARE(again.unstored().last().imageNo, 2);
}

void TestJournal::failedWriteLeavesNoPartLineAndIsWrittenLater()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("Exposures.journal");
    ExposureJournal j(path);
    QVERIFY(j.openExamination(patient("4711", "SMITH"), 0));
    const qint64 before = QFileInfo(path).size();

    // The disk is full: the file cannot grow.
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit full = old;
    full.rlim_cur = rlim_t(before + 10);
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &full), 0);
    QVERIFY(!j.appendInput("12.5cGyCm\xB2;28kV;56mAs;W;350ms"));
    j.capture({cut("12.5")}, {}, QString());
    const qint64 during = QFileInfo(path).size();
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &old), 0);

    QCOMPARE(during, before); // not a byte of a cut line
    QCOMPARE(j.backlog(), 2);
    QVERIFY(!j.lastError().isEmpty());
    // In memory meanwhile.
    QCOMPARE(j.unstored().size(), 1);
    QCOMPARE(j.unstored().first().imageNo, 1);

    QVERIFY(j.flush());
    QCOMPARE(j.backlog(), 0);
    ExposureJournal again(path);
    again.load();
    QCOMPARE(summary(again), summary(j));
}

void TestJournal::rewriteKeepsOnlyWhatIsNeeded()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("Exposures.journal");
    ExposureJournal j(path);
    QVERIFY(j.openExamination(patient("4711", "SMITH"), 0));
    for (int i = 0; i < 50; ++i)
        j.appendInput("x");
    const QList<JournalExposure> got = j.capture({cut("1.0"), cut("2.0"), cut("3.0")}, {}, QString("4.0"));
    QVERIFY(j.markStored(got[0].seq, 1));
    QVERIFY(j.markStored(got[2].seq, 3));
    const qint64 grown = QFileInfo(path).size();
    QVERIFY(j.compact());
    QVERIFY(QFileInfo(path).size() < grown);
    QVERIFY(!QFile::exists(path + ".new"));

    ExposureJournal again(path);
    again.load();
    QCOMPARE(summary(again), summary(j));
    QCOMPARE(again.exposures().size(), 1);
    QCOMPARE(again.exposures().first().values.mGy1, QString("2.0"));
    QCOMPARE(again.gathered(), QString("4.0"));
    QCOMPARE(again.lastImageNo(), 3);
    // Arrival numbers go on after the rewrite, never again from 1.
    const QList<JournalExposure> next = again.capture({cut("4.0")}, {}, QString());
    QCOMPARE(next.first().seq, got.last().seq + 1);
    QCOMPARE(next.first().imageNo, 4);
}

void TestJournal::recordUidsAreDicomUids()
{
    static const QRegularExpression uid("^2\\.25\\.(0|[1-9][0-9]*)$");
    QSet<QString> seen;
    for (int i = 0; i < 200; ++i) {
        const QString u = ExposureJournal::newUid();
        QVERIFY2(uid.match(u).hasMatch(), qPrintable(u));
        QVERIFY(u.size() <= 64);
        seen.insert(u);
    }
    QCOMPARE(seen.size(), 200);
}

void TestJournal::noisyLineDoesNotFillTheDisk()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("Exposures.journal");
    ExposureJournal j(path);
    QVERIFY(j.openExamination(patient("4711", "SMITH"), 0));
    j.capture({cut("1.0")}, {}, QString());
    // An hour of noise at 4800 baud, a second at a time; the station keeps the last 256 KiB.
    const QString chunk(480, QChar(0xAA));
    for (int i = 0; i < 3600; ++i) {
        j.appendInput(chunk);
        if (j.gathered().size() > 256 * 1024)
            j.keepLast(256 * 1024);
    }
    QVERIFY2(QFileInfo(path).size() < 2 * ExposureJournal::CompactAt,
             qPrintable(QString::number(QFileInfo(path).size())));
    ExposureJournal again(path);
    again.load();
    QCOMPARE(again.gathered(), j.gathered());
    QCOMPARE(again.unstored().size(), 1);
}

QTEST_MAIN(TestJournal)
#include "test_journal.moc"

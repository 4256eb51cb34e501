// Deleting images, series, studies, patients and the whole store: rows in a real SQLite
// file and files on disk, escalations decided by the database, the journal that completes
// a run killed between rows and files, and the commands of the browser through the real
// progress window.
#include "PanelHost.h"
#include "RecordingProgress.h"
#include "StationProcess.h"
#include "StoreFixture.h"
#include "TestStation.h"
#include "Wait.h"
#include "app/MainForm.h"
#include "core/Database.h"
#include "store/BrowserPanel.h"
#include "store/ImageFiler.h"
#include "store/Schema.h"
#include "store/StoreDeleteCommands.h"
#include "store/StoreDeletion.h"
#include "store/ViewerPanel.h"
#include "store/ViewerWidget.h"
#include "ui/EditForm.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QPushButton>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTimer>
#include <QtTest>
#include <thread>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

using Level = StoreDeletion::Level;

namespace {

qint64 rows(Station &s, const QString &sql, const QVariantList &binds = {})
{
    Database db = Database::openData(s.paths());
    return db.scalar(sql, binds, 0).toLongLong();
}

qint64 tableRows(Station &s, const QString &table) { return rows(s, QStringLiteral("SELECT COUNT(*) FROM ") + table); }

QList<qint64> seriesOf(Station &s, qint64 studyId)
{
    Database db = Database::openData(s.paths());
    QSqlQuery q =
        db.exec(QStringLiteral("SELECT SeriesID FROM tblSeries WHERE FKeyStudyID = ? ORDER BY SeriesID"), {studyId});
    QList<qint64> out;
    while (q.next())
        out << q.value(0).toLongLong();
    return out;
}

int existing(const QStringList &files)
{
    int n = 0;
    for (const QString &f : files)
        n += QFile::exists(f) ? 1 : 0;
    return n;
}

// No row points at a missing file, and no file of the store lacks its row.
QStringList inconsistencies(Station &s)
{
    QStringList out;
    Database db = Database::openData(s.paths());
    QSqlQuery q = db.exec(QStringLiteral("SELECT st.StudyUID, i.ImageUID FROM tblImages i"
                                         " INNER JOIN tblSeries se ON i.FKeySeriesID = se.SeriesID"
                                         " INNER JOIN tblStudies st ON se.FKeyStudyID = st.StudyID"));
    QSet<QString> known;
    while (q.next()) {
        const QString f = s.paths().imageFile(q.value(0).toString(), q.value(1).toString());
        known.insert(QFileInfo(f).absoluteFilePath());
        if (!QFile::exists(f))
            out << QStringLiteral("row without file: ") + f;
    }
    QDirIterator it(s.paths().imagesDir(), {QStringLiteral("*.dcm")}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString f = QFileInfo(it.next()).absoluteFilePath();
        if (!known.contains(f))
            out << QStringLiteral("file without row: ") + f;
    }
    return out;
}

QString errorLog(Station &s)
{
    QFile f(s.log().errorLogPath());
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

QTreeWidgetItem *findItem(QTreeWidget *lv, const QString &text)
{
    for (int i = 0; i < lv->topLevelItemCount(); ++i)
        if (lv->topLevelItem(i)->text(0) == text)
            return lv->topLevelItem(i);
    return nullptr;
}

void clickItem(QTreeWidget *lv, QTreeWidgetItem *item)
{
    lv->scrollToItem(item);
    const QRect r = lv->visualItemRect(item);
    QTest::mouseClick(lv->viewport(), Qt::LeftButton, {}, QPoint(r.left() + 12, r.center().y()));
    QCoreApplication::processEvents();
}

// Drives the progress window as the operator would: waits for OK, notes what it showed,
// clicks OK.
struct WindowDriver {
    QStringList captions;
    QStringList texts;
    std::function<int(QDialog &)> exec()
    {
        return [this](QDialog &d) {
            auto &f = static_cast<EditForm &>(d);
            f.show();
            if (!waitUntil([&] { return f.isDone(); }, 20000))
                return -1;
            captions << f.windowTitle();
            texts << f.progressText();
            f.findChild<QPushButton *>("cmdOK")->click();
            return f.result();
        };
    }
};

// A kept dose report of the study (its content does not matter to a deletion).
QString keepReport(Station &s, const QString &studyUid)
{
    QDir().mkpath(s.paths().doseReportsDir());
    QFile f(s.paths().doseReportFile(studyUid));
    if (f.open(QIODevice::WriteOnly))
        f.write("report");
    return f.fileName();
}

QStringList itemTexts(QTreeWidget *lv)
{
    QStringList out;
    for (int i = 0; i < lv->topLevelItemCount(); ++i)
        out << lv->topLevelItem(i)->text(0);
    return out;
}

} // namespace

class TestDeletion : public QObject {
    Q_OBJECT

    // A store of two patients: P1 with two studies (the first of two series), P2 with one.
    struct Store {
        TestStation ts;
        StoreFixture fx{*ts};
        qint64 p1 = 0, p2 = 0;
        StoreFixture::StudyMade a, b, c;
        Store()
        {
            p1 = fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"), QStringLiteral("Jane"));
            a = fx.addStudyWithImages(p1, 4, QSize(), 2);
            b = fx.addStudyWithImages(p1, 2);
            p2 = fx.addPatient(QStringLiteral("P2"), QStringLiteral("Roe"));
            c = fx.addStudyWithImages(p2, 3);
        }
        QString folder(const StoreFixture::StudyMade &m) { return ts->paths().studyDir(m.studyUid); }
    };

private slots:
    void eachLevelRemovesRowsAndFiles_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<QList<qint64>>("left"); // patients, studies, series, images left
        QTest::addColumn<QString>("text");       // the progress text
        QTest::newRow("patient") << "patient" << QList<qint64>{1, 1, 1, 3}
                                 << "Updating Database ... OK\nRemoving image directory ... OK\n";
        QTest::newRow("study of two") << "study a" << QList<qint64>{2, 2, 2, 5}
                                      << "Updating Database ... OK\nRemoving image directory ... OK\n";
        QTest::newRow("last study goes with its patient")
            << "study c" << QList<qint64>{1, 2, 3, 6} << "Updating Database ... OK\nRemoving image directory ... OK\n";
        QTest::newRow("series of two") << "series a1" << QList<qint64>{2, 3, 3, 7}
                                       << "Updating Database ... OK\nRemoving images ... OK\n";
        QTest::newRow("last series goes with its study")
            << "series b" << QList<qint64>{2, 2, 3, 7} << "Updating Database ... OK\nRemoving image directory ... OK\n";
        QTest::newRow("one image of several") << "image a0" << QList<qint64>{2, 3, 4, 8} << "OK\n";
        QTest::newRow("whole store") << "all" << QList<qint64>{0, 0, 0, 0}
                                     << "Removing database entries ... OK\nRemoving images ... OK\n";
    }
    void eachLevelRemovesRowsAndFiles()
    {
        QFETCH(QString, what);
        QFETCH(QList<qint64>, left);
        QFETCH(QString, text);
        Store st;
        Station &s = *st.ts;
        RecordingProgress progress;
        StoreDeletion d(s.paths(), s.log(), progress);
        const QList<qint64> aSeries = seriesOf(s, st.a.studyId);
        if (what == "patient")
            d.deletePatient(st.p1);
        else if (what == "study a")
            d.deleteStudy(st.a.studyId);
        else if (what == "study c")
            d.deleteStudy(st.c.studyId);
        else if (what == "series a1")
            d.deleteSeries(aSeries.first());
        else if (what == "series b")
            d.deleteSeries(st.b.seriesId);
        else if (what == "image a0")
            d.deleteImage(st.a.sopUids.first());
        else
            d.deleteAll();

        QCOMPARE((QList<qint64>{tableRows(s, "tblPatienten"), tableRows(s, "tblStudies"), tableRows(s, "tblSeries"),
                                tableRows(s, "tblImages")}),
                 left);
        QCOMPARE(progress.text, text);
        QCOMPARE(inconsistencies(s), QStringList());
        QVERIFY(!QFile::exists(d.journalPath()));
        // Folders of removed studies are gone, the others keep their files.
        for (const auto *m : {&st.a, &st.b, &st.c}) {
            const bool studyLeft = rows(s, "SELECT COUNT(*) FROM tblStudies WHERE StudyID = ?", {m->studyId}) > 0;
            QCOMPARE(QDir(st.folder(*m)).exists(), studyLeft);
        }
        if (what == "image a0") {
            QVERIFY(!QFile::exists(st.a.files.first()));
            QCOMPARE(existing(st.a.files), 3);
        }
        if (what == "series a1")
            QCOMPARE(existing(st.a.files), 2);
    }

    void keptDoseReportsGoWithTheirStudies_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<bool>("withReports");
        QTest::addColumn<QStringList>("gone"); // the studies whose report went
        QTest::newRow("patient") << "patient" << true << QStringList{"a", "b"};
        QTest::newRow("study of two") << "study a" << true << QStringList{"a"};
        QTest::newRow("series of two: the study stays") << "series a1" << true << QStringList{};
        QTest::newRow("last series") << "series b" << true << QStringList{"b"};
        QTest::newRow("last image") << "images c" << true << QStringList{"c"};
        // With the dose records every report goes, also of a study never filed.
        QTest::newRow("whole store") << "all" << true << QStringList{"a", "b", "c", "records only"};
        // Sending and updating remove images, not what was reported of them.
        QTest::newRow("sent or updated") << "images c" << false << QStringList{};
    }
    void keptDoseReportsGoWithTheirStudies()
    {
        QFETCH(QString, what);
        QFETCH(bool, withReports);
        QFETCH(QStringList, gone);
        Store st;
        Station &s = *st.ts;
        const QMap<QString, QString> reports{{"a", keepReport(s, st.a.studyUid)},
                                             {"b", keepReport(s, st.b.studyUid)},
                                             {"c", keepReport(s, st.c.studyUid)},
                                             {"records only", keepReport(s, st.fx.newUid())}};
        RecordingProgress progress;
        StoreDeletion d(s.paths(), s.log(), progress);
        d.withDoseReports = withReports;
        if (what == "patient")
            d.deletePatient(st.p1);
        else if (what == "study a")
            d.deleteStudy(st.a.studyId);
        else if (what == "series a1")
            d.deleteSeries(seriesOf(s, st.a.studyId).first());
        else if (what == "series b")
            d.deleteSeries(st.b.seriesId);
        else if (what == "images c")
            d.deleteImages(st.c.sopUids);
        else
            d.deleteAll();
        for (auto it = reports.cbegin(); it != reports.cend(); ++it)
            QVERIFY2(QFile::exists(it.value()) != gone.contains(it.key()), qPrintable(it.key()));
        QVERIFY(!progress.text.contains("failed"));
        QCOMPARE(errorLog(s), QString());
    }

    void reportOfAStudyFiledAgainStays()
    {
        Store st;
        Station &s = *st.ts;
        const QString report = keepReport(s, st.b.studyUid);
        // An image of the study arrives again right after its rows went.
        NoProgress none;
        StoreDeletion d(s.paths(), s.log(), none);
        d.withDoseReports = true;
        d.stageHook = [&](const QString &at) {
            if (at != "rows")
                return;
            const QString file = s.paths().tempDir() + "/again.dcm";
            StoreFixture::writeSmallImage(file, st.b.studyUid, st.fx.newUid(), st.fx.newUid(), 1, 24, 32, "P1");
            QCOMPARE(ImageFiler(s.paths(), s.log()).fileBatch({file}).filed, 1);
        };
        d.deleteStudy(st.b.studyId);
        QCOMPARE(rows(s, "SELECT COUNT(*) FROM tblStudies WHERE StudyUID = ?", {st.b.studyUid}), 1);
        QVERIFY(QFile::exists(report));
    }

    void escalationsAreDecidedByTheDatabaseNow()
    {
        Store st;
        Station &s = *st.ts;
        NoProgress none;
        StoreDeletion d(s.paths(), s.log(), none);
        using T = StoreDeletion::Target;
        auto same = [](T x, T y) { return x.level == y.level && x.key == y.key; };
        QVERIFY(same(d.escalated({Level::Study, st.c.studyId}), T{Level::Patient, st.p2}));
        QVERIFY(same(d.escalated({Level::Study, st.a.studyId}), T{Level::Study, st.a.studyId}));
        QVERIFY(same(d.escalated({Level::Series, st.b.seriesId}), T{Level::Study, st.b.studyId}));
        QVERIFY(same(d.escalated({Level::Series, seriesOf(s, st.a.studyId).first()}),
                     T{Level::Series, seriesOf(s, st.a.studyId).first()}));

        // A study that arrives for P2 after the lists were filled: its study is no longer
        // the last, and deleting it leaves the patient and the newcomer alone.
        const auto late = st.fx.addStudyWithImages(st.p2, 1);
        QVERIFY(same(d.escalated({Level::Study, st.c.studyId}), T{Level::Study, st.c.studyId}));
        d.deleteStudy(st.c.studyId);
        QCOMPARE(rows(s, "SELECT COUNT(*) FROM tblPatienten WHERE PatID = ?", {st.p2}), 1);
        QCOMPARE(existing(late.files), 1);

        // The last image of a series or of a study is its container.
        QVERIFY(same(d.containerOfLastImage(late.sopUids.first(), Level::Study), T{Level::Patient, st.p2}));
        QVERIFY(same(d.containerOfLastImage(st.b.sopUids.first(), Level::Study), T{Level::Image, 0}));
        d.deleteImage(st.b.sopUids.first());
        QVERIFY(same(d.containerOfLastImage(st.b.sopUids.last(), Level::Series), T{Level::Study, st.b.studyId}));
    }

    void deleteAllLeavesTheTemplateWhileAnotherConnectionIsOpen()
    {
        Store st;
        Station &s = *st.ts;
        {
            Database db = Database::openData(s.paths());
            db.exec("INSERT INTO tblReceive (PatID, ImageCount) VALUES ('1', 3)");
            db.exec("INSERT INTO tblDosis (PatFirstname, Status) VALUES ('ANN', '0')");
        }
        // The data manager's connection, open across the deletion.
        Database other(s.paths().dataDb());
        QCOMPARE(other.scalar("SELECT COUNT(*) FROM tblImages").toInt(), 9);

        RecordingProgress progress;
        StoreDeletion(s.paths(), s.log(), progress).deleteAll();

        for (const QString &t : Schema::dataTables())
            QCOMPARE(tableRows(s, t), 0);
        QCOMPARE(QDir(s.paths().imagesDir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
        QCOMPARE(progress.maximum, 3);
        QCOMPARE(progress.value, 3);
        // The same file, WAL and all: the other connection sees the empty store and writes on.
        QVERIFY(QFile::exists(s.paths().dataDb() + "-wal"));
        QCOMPARE(other.scalar("SELECT COUNT(*) FROM tblImages").toInt(), 0);
        other.exec("INSERT INTO tblPatienten (PatID1, PatNachname) VALUES ('NEW', 'Late')");
        QCOMPARE(rows(s, "SELECT COUNT(*) FROM tblPatienten WHERE PatID1 = 'NEW'"), 1);
        // Keys start again as in the template.
        QCOMPARE(rows(s, "SELECT PatID FROM tblPatienten WHERE PatID1 = 'NEW'"), 1);
    }

    void abortedDeleteChangesNothingAndSaysFailed()
    {
        Store st;
        Station &s = *st.ts;
        {
            Database db = Database::openData(s.paths());
            db.exec("CREATE TRIGGER keep BEFORE DELETE ON tblImages BEGIN SELECT RAISE(ABORT, 'images are kept'); END");
        }
        PanelHost h(s);
        QString shown;
        h.deletes->execDialog = [&](QDialog &d) {
            auto &f = static_cast<EditForm &>(d);
            f.show();
            if (!waitUntil([&] { return f.isDone(); }, 10000))
                return -1;
            shown = f.progressText();
            f.findChild<QPushButton *>("cmdOK")->click();
            return f.result();
        };
        h.window.show();
        h.load();
        clickItem(h.w.lvPatients, findItem(h.w.lvPatients, "P1"));
        h.deletes->deletePatient();

        QCOMPARE(shown, QStringLiteral("Updating Database ... failed\nTasks done."));
        QVERIFY(errorLog(s).contains("images are kept"));
        QVERIFY(errorLog(s).contains("[EditForm DeletePatientFromDatabase]"));
        QVERIFY(st.ts.prompter.lastText().startsWith("Error #"));
        QCOMPARE(tableRows(s, "tblImages"), 9);
        QCOMPARE(tableRows(s, "tblPatienten"), 2);
        QCOMPARE(existing(st.a.files) + existing(st.b.files) + existing(st.c.files), 9);
        QVERIFY(findItem(h.w.lvPatients, "P1")); // the rows are still there, so is the item
        QVERIFY(!s.busy);
    }

    void fileThatCannotGoSaysFailed()
    {
        Store st;
        Station &s = *st.ts;
        // A directory where the image file should be, with something in it.
        const QString blocked = st.b.files.first();
        QVERIFY(QFile::remove(blocked));
        QVERIFY(QDir().mkpath(blocked + "/inner"));
        RecordingProgress progress;
        const auto r = StoreDeletion(s.paths(), s.log(), progress).deleteStudy(st.b.studyId);
        QCOMPARE(r.filesFailed, 1);
        QCOMPARE(progress.text, QStringLiteral("Updating Database ... OK\nRemoving image directory ... failed\n"));
        QVERIFY(errorLog(s).contains("[EditForm DeleteStudyFromDatabase]"));
        QCOMPARE(existing(st.b.files), 1); // the blocked one; the other is gone
        QCOMPARE(rows(s, "SELECT COUNT(*) FROM tblStudies WHERE StudyID = ?", {st.b.studyId}), 0);
    }

    void killedBetweenRowsAndFilesIsCompletedAtTheNextStart_data()
    {
        QTest::addColumn<QString>("stage");
        QTest::addColumn<bool>("rowsGone");
        QTest::newRow("before the commit") << "journal" << false;
        QTest::newRow("after the commit") << "rows" << true;
    }
    void killedBetweenRowsAndFilesIsCompletedAtTheNextStart()
    {
        QFETCH(QString, stage);
        QFETCH(bool, rowsGone);
        Store st;
        Station &s = *st.ts;
        const QString reportA = keepReport(s, st.a.studyUid);
        const QString reportC = keepReport(s, st.c.studyUid);
        const pid_t child = ::fork();
        if (child == 0) {
            NoProgress none;
            StoreDeletion d(s.paths(), s.log(), none);
            d.withDoseReports = true;
            d.stageHook = [&](const QString &at) {
                if (at == stage)
                    ::raise(SIGKILL);
            };
            d.deletePatient(st.p1);
            ::_exit(0);
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

        NoProgress none;
        StoreDeletion d(s.paths(), s.log(), none);
        QVERIFY(QFile::exists(d.journalPath()));
        QCOMPARE(tableRows(s, "tblPatienten"), rowsGone ? 1 : 2);
        QCOMPARE(existing(st.a.files) + existing(st.b.files), 6); // the files were not reached
        QVERIFY(QFile::exists(reportA));

        d.recover(); // the next start
        QVERIFY(!QFile::exists(d.journalPath()));
        QCOMPARE(inconsistencies(s), QStringList());
        QCOMPARE(existing(st.a.files) + existing(st.b.files), rowsGone ? 0 : 6);
        QCOMPARE(QDir(st.folder(st.a)).exists(), !rowsGone);
        QCOMPARE(QFile::exists(reportA), !rowsGone);
        QCOMPARE(existing(st.c.files), 3);
        QVERIFY(QFile::exists(reportC));
    }

    void studyFiledDuringADeletionSurvives()
    {
        Store st;
        Station &s = *st.ts;
        // The data manager files a new study of P1 right after the rows went.
        QString newStudy;
        NoProgress none;
        StoreDeletion d(s.paths(), s.log(), none);
        d.stageHook = [&](const QString &at) {
            if (at != "rows")
                return;
            newStudy = st.fx.newUid();
            const QString file = s.paths().tempDir() + "/incoming.dcm";
            StoreFixture::writeSmallImage(file, newStudy, st.fx.newUid(), st.fx.newUid(), 1);
            ImageFiler filer(s.paths(), s.log());
            QCOMPARE(filer.fileBatch({file}).filed, 1);
        };
        d.deletePatient(st.p1);
        QCOMPARE(rows(s, "SELECT COUNT(*) FROM tblStudies WHERE StudyUID = ?", {newStudy}), 1);
        QCOMPARE(QDir(s.paths().studyDir(newStudy)).entryList({"*.dcm"}).size(), 1);
        QCOMPARE(inconsistencies(s), QStringList());
    }

    void deletionTakesWhatWasThereWhenAsked()
    {
        Store st;
        Station &s = *st.ts;
        // Asked: study a as it stands. Then, before the deletion runs, two images arrive in
        // one of its series and one in a new series of it.
        const QStringList confirmed = StoreDeletion::imageUidsOf(s.paths(), {Level::Study, st.a.studyId});
        QCOMPARE(confirmed.size(), 4);
        QString series;
        {
            Database db = Database::openData(s.paths());
            series = db.scalar("SELECT SeriesUID FROM tblSeries WHERE SeriesID = ?", {st.a.seriesId}).toString();
        }
        QStringList arrived;
        ImageFiler filer(s.paths(), s.log());
        for (const QString &into : {series, series, st.fx.newUid()}) {
            arrived << st.fx.newUid();
            const QString file = s.paths().tempDir() + "/" + arrived.last() + ".dcm";
            StoreFixture::writeSmallImage(file, st.a.studyUid, into, arrived.last(), 9, 24, 32, "P1");
            QCOMPARE(filer.fileBatch({file}).filed, 1);
        }
        // While its files go, one of the deleted images is filed anew (a modality sends it
        // again): its new file stays with its new row.
        const QString again = confirmed.first();
        NoProgress none;
        StoreDeletion d(s.paths(), s.log(), none);
        d.stageHook = [&](const QString &at) {
            if (at != "rows")
                return;
            const QString file = s.paths().tempDir() + "/again.dcm";
            StoreFixture::writeSmallImage(file, st.a.studyUid, st.fx.newUid(), again, 1, 24, 32, "P1");
            QCOMPARE(filer.fileBatch({file}).filed, 1);
        };
        const StoreDeletion::Result r = d.deleteStudy(st.a.studyId, &confirmed);
        QCOMPARE(r.imageUids.size(), 4);
        QVERIFY(r.studyUids.isEmpty()); // the study stays with what arrived
        for (const QString &uid : arrived + QStringList{again})
            QCOMPARE(rows(s, "SELECT COUNT(*) FROM tblImages WHERE ImageUID = ?", {uid}), 1);
        QCOMPARE(rows(s, "SELECT COUNT(*) FROM View_Images WHERE StudyID = ?", {st.a.studyId}), 4);
        QCOMPARE(QDir(st.folder(st.a)).entryList({"*.dcm"}).size(), 4);
        QCOMPARE(inconsistencies(s), QStringList());
    }

    void deletionWhile100ImagesArrive()
    {
        // The real data manager files 100 images into the study while it is deleted.
        Store st;
        Station &s = *st.ts;
        const QStringList confirmed = StoreDeletion::imageUidsOf(s.paths(), {Level::Study, st.a.studyId});
        QStringList arriving;
        for (int i = 0; i < 100; ++i) {
            arriving << st.fx.newUid();
            StoreFixture::writeSmallImage(s.paths().tempDir() + "/.w" + arriving.last(), st.a.studyUid, st.fx.newUid(),
                                          arriving.last(), i + 1, 24, 32, "P1");
        }
        QProcess manager;
        manager.setProcessEnvironment(stationEnvironment(s.paths().appPath(), st.ts.root()));
        manager.start(binDir() + "/TqDataMgr", {});
        QVERIFY(manager.waitForStarted(10000));
        // They come in while the deletion runs (hidden until whole, as the receiver does it).
        std::thread feeder([&] {
            for (const QString &uid : std::as_const(arriving)) {
                QFile::rename(s.paths().tempDir() + "/.w" + uid, s.paths().tempDir() + "/" + uid + ".dcm");
                QThread::msleep(2);
            }
        });
        NoProgress none;
        const StoreDeletion::Result r = StoreDeletion(s.paths(), s.log(), none).deleteStudy(st.a.studyId, &confirmed);
        feeder.join();
        QVERIFY(waitUntil(
            [&] { return rows(s, "SELECT COUNT(*) FROM View_Images WHERE StudyUID = ?", {st.a.studyUid}) == 100; },
            30000));
        manager.terminate();
        QVERIFY(manager.waitForFinished(10000));
        QCOMPARE(r.imageUids.size(), 4);
        for (const QString &uid : confirmed)
            QCOMPARE(rows(s, "SELECT COUNT(*) FROM tblImages WHERE ImageUID = ?", {uid}), 0);
        QCOMPARE(inconsistencies(s), QStringList());
    }

    void foreignStudyUidNeverNamesAFolderOutsideTheStore()
    {
        Store st;
        Station &s = *st.ts;
        // A row whose study UID climbs out of the store, and a sentinel where it points.
        const QString sentinelDir = QDir(s.paths().imagesDir() + "/../x").absolutePath();
        QVERIFY(QDir().mkpath(sentinelDir));
        QFile sentinel(sentinelDir + "/keep.dcm");
        QVERIFY(sentinel.open(QIODevice::WriteOnly));
        sentinel.close();
        qint64 studyId = 0;
        {
            Database db = Database::openData(s.paths());
            QSqlQuery study = db.exec("INSERT INTO tblStudies (StudyUID, FKeyPATID) VALUES ('../x', ?)", {st.p2});
            studyId = db.lastInsertId(study);
            QSqlQuery series =
                db.exec("INSERT INTO tblSeries (SeriesUID, FKeyStudyID) VALUES ('1.2.3.9', ?)", {studyId});
            const qint64 seriesId = db.lastInsertId(series);
            db.exec("INSERT INTO tblImages (ImageUID, FKeySeriesID) VALUES ('keep', ?)", {seriesId});
        }
        RecordingProgress progress;
        StoreDeletion(s.paths(), s.log(), progress).deleteStudy(studyId);
        QCOMPARE(rows(s, "SELECT COUNT(*) FROM tblStudies WHERE StudyID = ?", {studyId}), 0);
        QCOMPARE(rows(s, "SELECT COUNT(*) FROM tblImages WHERE ImageUID = 'keep'"), 0);
        QVERIFY(QFile::exists(sentinelDir + "/keep.dcm"));
        QVERIFY(errorLog(s).contains("Not a valid Study Instance UID"));
    }

    void commandsRunInTheWindowAndTheListsFollow()
    {
        Store st;
        Station &s = *st.ts;
        const QString reportA = keepReport(s, st.a.studyUid);
        const QString reportB = keepReport(s, st.b.studyUid);
        const QString reportC = keepReport(s, st.c.studyUid);
        PanelHost h(s);
        WindowDriver win;
        h.deletes->execDialog = win.exec();
        h.window.show();
        h.load();
        clickItem(h.w.lvPatients, findItem(h.w.lvPatients, "P1"));
        QCOMPARE(h.w.lvStudien->topLevelItemCount(), 2);

        // One of two studies: the study only.
        h.w.lvStudien->setCurrentItem(findItem(h.w.lvStudien, QString::number(st.a.studyId)));
        h.deletes->deleteStudy();
        QCOMPARE(win.captions, QStringList{"Delete images"});
        QCOMPARE(win.texts.last(),
                 QStringLiteral("Updating Database ... OK\nRemoving image directory ... OK\nTasks done."));
        QCOMPARE(itemTexts(h.w.lvStudien), QStringList{QString::number(st.b.studyId)});
        QVERIFY(findItem(h.w.lvPatients, "P1"));
        QVERIFY(!s.busy);
        // The study's kept dose report went with it.
        QVERIFY(!QFile::exists(reportA));
        QVERIFY(QFile::exists(reportB));

        // The last study: the patient goes, with its item and its lists.
        h.w.lvStudien->setCurrentItem(h.w.lvStudien->topLevelItem(0));
        h.deletes->deleteStudy();
        QCOMPARE(itemTexts(h.w.lvPatients), QStringList{"P2"});
        QCOMPARE(h.w.lvStudien->topLevelItemCount(), 0);
        QCOMPARE(h.selection.patId1(), QString());
        QCOMPARE(rows(s, "SELECT COUNT(*) FROM tblPatienten WHERE PatID = ?", {st.p1}), 0);
        QCOMPARE(existing(st.a.files) + existing(st.b.files), 0);
        QVERIFY(!QFile::exists(reportB));
        QVERIFY(QFile::exists(reportC));

        // Everything: asked first; No changes nothing.
        st.ts.prompter.yesNo = {false};
        h.deletes->deleteAllPatients();
        QCOMPARE(st.ts.prompter.lastText(), QStringLiteral("Delete all database entries and images?"));
        QCOMPARE(tableRows(s, "tblImages"), 3);
        st.ts.prompter.yesNo = {true};
        h.deletes->deleteAllPatients();
        QCOMPARE(win.captions.last(), QStringLiteral("Delete Patient list"));
        QCOMPARE(win.texts.last(),
                 QStringLiteral("Removing database entries ... OK\nRemoving images ... OK\nTasks done."));
        QCOMPARE(h.w.lvPatients->topLevelItemCount(), 0);
        QCOMPARE(tableRows(s, "tblImages"), 0);
        QVERIFY(!QFile::exists(reportC));
        QCOMPARE(h.w.statusPanel[0]->text(), QString());
    }

    void imageDeletedInTheViewer()
    {
        Store st;
        Station &s = *st.ts;
        PanelHost h(s);
        WindowDriver win;
        h.deletes->execDialog = win.exec();
        h.window.show();
        h.load();
        clickItem(h.w.lvPatients, findItem(h.w.lvPatients, "P2"));
        QSignalSpy loaded(h.viewer, &ViewerPanel::loadFinished);
        clickItem(h.w.lvStudien, h.w.lvStudien->topLevelItem(0));
        QVERIFY(loaded.count() == 1 || loaded.wait(10000));
        QCOMPARE(h.w.dv1->count(), 3);
        QCOMPARE(h.selection.viewerFiles().size(), 3);

        // No: nothing happens.
        h.viewer->pickImage(2);
        st.ts.prompter.yesNo = {false};
        h.deletes->deleteImage();
        QCOMPARE(st.ts.prompter.lastText(), QStringLiteral("Delete image?"));
        QCOMPARE(h.w.dv1->count(), 3);

        // Yes: the row, the file, the viewer's picture and the list row go; no window.
        const QString uid = h.w.dv1->image(2).sopInstanceUid;
        st.ts.prompter.yesNo = {true};
        h.deletes->deleteImage();
        QCOMPARE(h.w.dv1->count(), 2);
        QCOMPARE(h.selection.viewerFiles().size(), 2);
        QVERIFY(!h.selection.viewerFiles().contains(st.c.files.at(1)));
        QCOMPARE(h.w.lvImages->topLevelItemCount(), 2);
        QCOMPARE(h.w.statusPanel[StoreStatus::PanelImages]->text(), QStringLiteral("2 image(s)"));
        QCOMPARE(rows(s, "SELECT COUNT(*) FROM tblImages WHERE ImageUID = ?", {uid}), 0);
        QCOMPARE(existing(st.c.files), 2);
        QVERIFY(win.captions.isEmpty());

        // The last image: its study goes in the window, and with it the patient.
        for (int n = 0; n < 2; ++n) {
            h.viewer->pickImage(1);
            st.ts.prompter.yesNo = {true};
            h.deletes->deleteImage();
        }
        QCOMPARE(win.captions, QStringList{"Delete images"});
        QCOMPARE(itemTexts(h.w.lvPatients), QStringList{"P1"});
        QCOMPARE(existing(st.c.files), 0);
        QVERIFY(!QDir(st.folder(st.c)).exists());
        QCOMPARE(inconsistencies(s), QStringList());
    }

    void staleStudyListDeletesOnlyTheStudy()
    {
        Store st;
        Station &s = *st.ts;
        PanelHost h(s);
        WindowDriver win;
        h.deletes->execDialog = win.exec();
        h.window.show();
        h.load();
        clickItem(h.w.lvPatients, findItem(h.w.lvPatients, "P2"));
        QCOMPARE(h.w.lvStudien->topLevelItemCount(), 1);
        // A study of P2 arrives; the list (update timer off) does not show it.
        const auto late = st.fx.addStudyWithImages(st.p2, 2);
        h.w.lvStudien->setCurrentItem(h.w.lvStudien->topLevelItem(0));
        h.deletes->deleteStudy();
        QCOMPARE(rows(s, "SELECT COUNT(*) FROM tblPatienten WHERE PatID = ?", {st.p2}), 1);
        QCOMPARE(existing(late.files), 2);
        QVERIFY(findItem(h.w.lvPatients, "P2"));
    }

    void progressOkKeepsImageRows_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("listedAfter");
        QTest::newRow("worklist patient") << int(AssignmentMode::WorklistPatient) << 0;
        QTest::newRow("removed dose row") << int(AssignmentMode::RemoveRow) << 4;
    }
    void progressOkKeepsImageRows()
    {
        QFETCH(int, mode);
        QFETCH(int, listedAfter);
        Store st;
        Station &s = *st.ts;
        MainForm form(s);
        form.hooks().startCompanions.clear(); // no companion processes from this test
        form.formLoad();
        form.show();
        auto *patients = form.findChild<QTreeWidget *>("lvPatients");
        auto *studies = form.findChild<QTreeWidget *>("lvStudien");
        auto *images = form.findChild<QTreeWidget *>("lvImages");
        clickItem(patients, findItem(patients, "P1"));
        studies->setCurrentItem(findItem(studies, QString::number(st.a.studyId)));
        emit studies->itemClicked(studies->currentItem(), 0);
        QCOMPARE(images->topLevelItemCount(), 4);

        form.doseState().assignmentMode = AssignmentMode(mode);
        EditForm::Job job;
        job.operation = EditForm::SendStudy;
        job.work = [](EditForm &) {};
        EditForm window(s, std::move(job), &form.hooks(), &form);
        WindowDriver win;
        QCOMPARE(win.exec()(window), int(QDialog::Accepted));
        QCOMPARE(tableRows(s, "tblImages"), 9);
        QCOMPARE(images->topLevelItemCount(), listedAfter);
        QVERIFY(form.findChild<QTimer *>("UpdateTimer")->isActive());
        form.exitProgram();
    }

    void missingFoldersAreSkipped()
    {
        Store st;
        Station &s = *st.ts;
        QVERIFY(QDir(st.folder(st.a)).removeRecursively());
        QVERIFY(QDir(st.folder(st.b)).removeRecursively());
        RecordingProgress progress;
        const auto r = StoreDeletion(s.paths(), s.log(), progress).deletePatient(st.p1);
        QCOMPARE(r.filesFailed, 0);
        QCOMPARE(progress.text, QStringLiteral("Updating Database ... OK\nRemoving image directory ... OK\n"));
        QCOMPARE(errorLog(s), QString());
    }
};

QTEST_MAIN(TestDeletion)
#include "test_deletion.moc"

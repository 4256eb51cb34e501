// Filing of the input folder into the image store, in process: rows, files, duplicates,
// quarantine, and a batch cut off at every stage.
#include "CompanionTestKit.h"
#include "Requires.h"
#include "StoreFixture.h"
#include "TestStation.h"
#include "core/AppError.h"
#include "store/ImageFiler.h"
#include "store/Quarantine.h"

#include <QDateTime>
#include <QtTest>

class TestImageFiler : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void filesRealFilesWithTheirRows();
    void refilingUpdatesWithoutDuplicates();
    void badFilesGoToQuarantine_data();
    void badFilesGoToQuarantine();
    void unreadableYoungFileWaits();
    void cutOffBatchIsCompleted_data();
    void cutOffBatchIsCompleted();
    void createsMissingDataDatabase();
    void fileWithoutPatientDataIsFiled();
    void imageMovedToAnotherStudyLeavesNoOldCopy();
    void seriesResentUnderANewStudyTakesItsFilesAlong();

private:
    static QString put(TestStation &ts, const QString &source, const QString &name)
    {
        const QString target = ts->paths().tempDir() + QLatin1Char('/') + name;
        QFile::remove(target);
        if (!QFile::copy(source, target))
            return {};
        QFile(target).setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        return target;
    }
};

void TestImageFiler::initTestCase()
{
    if (pydicomTestFiles().isEmpty())
        CALVAREX_MISSING("pydicom's test files are not installed");
}

void TestImageFiler::filesRealFilesWithTheirRows()
{
    TestStation ts;
    ImageFiler filer(ts->paths(), ts->log());
    const QStringList names = {"CT_small.dcm", "JPEG-lossy.dcm", "SC_rgb_jpeg_dcmtk.dcm",
                               "MR_small_jpeg_ls_lossless.dcm"};
    for (int i = 0; i < names.size(); ++i)
        QVERIFY(!put(ts, kit::testFile(names[i]), QStringLiteral("in%1.dcm").arg(i)).isEmpty());

    const ImageFiler::Result r = filer.fileInput();
    QCOMPARE(r.filed, 4);
    QCOMPARE(r.quarantined, 0);
    QCOMPARE(r.batches, 1);
    QVERIFY(QDir(ts->paths().tempDir()).isEmpty());

    // The CT image: file unchanged in its study folder, rows as the lists read them.
    const QString ctStudy = "1.3.6.1.4.1.5962.1.2.1.20040119072730.12322";
    const QString ctSop = "1.3.6.1.4.1.5962.1.1.1.1.1.20040119072730.12322";
    QCOMPARE(kit::bytes(ts->paths().imageFile(ctStudy, ctSop)), kit::bytes(kit::testFile("CT_small.dcm")));

    Database db = Database::openData(ts->paths());
    QSqlQuery p =
        db.exec("SELECT PatNachname, PatVorname, Pat2Vorname, PatGebDatum, PatSex FROM tblPatienten WHERE PatID1 = ?",
                {"1CT1"});
    QVERIFY(p.next());
    QCOMPARE(p.value(0).toString(), QString("CompressedSamples"));
    QCOMPARE(p.value(1).toString(), QString("CT1"));
    QCOMPARE(p.value(2).toString(), QString());
    QCOMPARE(p.value(3).toString(), QString());
    QCOMPARE(p.value(4).toString(), QString("O"));

    QSqlQuery s =
        db.exec("SELECT StudyUID, StudyDate, StudyTime, Modality FROM view_studies WHERE PatID1 = ?", {"1CT1"});
    QVERIFY(s.next());
    QCOMPARE(s.value(0).toString(), ctStudy);
    QCOMPARE(s.value(1).toString(), QString("2004-01-19"));
    QCOMPARE(s.value(2).toString(), QString("07:27:30"));
    QCOMPARE(s.value(3).toString(), QString("CT"));
    QVERIFY(!s.next());

    QSqlQuery i = db.exec(
        "SELECT ImageUID, ImageDate, ImageTime, ImageNr, SeriesNr FROM View_Images WHERE StudyUID = ?", {ctStudy});
    QVERIFY(i.next());
    QCOMPARE(i.value(0).toString(), ctSop);
    QCOMPARE(i.value(1).toString(), QString("1997-04-30"));
    QCOMPARE(i.value(2).toString(), QString("11:30:08"));
    QCOMPARE(i.value(3).toInt(), 1);
    QCOMPARE(i.value(4).toInt(), 1);

    // The NM secondary capture has instance number 5; the RGB capture no content date,
    // so its image date is the study date.
    QCOMPARE(db.scalar("SELECT ImageNr FROM tblImages WHERE ImageUID = ?",
                       {"1.3.6.1.4.1.5962.1.1.8.1.5.20040826185059.5457"})
                 .toInt(),
             5);
    QCOMPARE(db.scalar("SELECT ImageDate FROM tblImages WHERE ImageUID = ?",
                       {"1.2.276.0.7230010.3.1.4.8323329.15150.1506363677.126194"})
                 .toString(),
             QString("2017-01-01"));

    QCOMPARE(db.scalar("SELECT COUNT(*) FROM tblPatienten").toInt(), 4);
    QCOMPARE(db.scalar("SELECT COUNT(*) FROM tblReceive").toInt(), 1);
    QCOMPARE(db.scalar("SELECT ImageCount FROM tblReceive").toInt(), 4);
    QVERIFY2(kit::storeProblems(*ts).isEmpty(), qPrintable(kit::storeProblems(*ts).join("; ")));
}

void TestImageFiler::refilingUpdatesWithoutDuplicates()
{
    TestStation ts;
    ImageFiler filer(ts->paths(), ts->log());
    const QStringList names = {"CT_small.dcm", "JPEG-lossy.dcm", "SC_rgb_jpeg_dcmtk.dcm"};
    for (const QString &n : names)
        put(ts, kit::testFile(n), n);
    QCOMPARE(filer.fileInput().filed, 3);

    // The same images again, the CT one now with another name and a birth date.
    for (const QString &n : names)
        put(ts, kit::testFile(n), n);
    const QString ct = ts->paths().tempDir() + "/CT_small.dcm";
    QVERIFY(kit::modify(ct, {"(0010,0010)=O'Neil^Mary^Ann", "(0010,0030)=19601231"}));
    const QByteArray changed = kit::bytes(ct);
    QCOMPARE(filer.fileInput().filed, 3);

    QCOMPARE(kit::count(*ts, "SELECT COUNT(*) FROM tblPatienten"), 3);
    QCOMPARE(kit::count(*ts, "SELECT COUNT(*) FROM tblStudies"), 3);
    QCOMPARE(kit::count(*ts, "SELECT COUNT(*) FROM tblImages"), 3);
    QCOMPARE(kit::count(*ts, "SELECT COUNT(*) FROM tblReceive"), 2);

    Database db = Database::openData(ts->paths());
    QSqlQuery p = db.exec("SELECT PatNachname, PatVorname, Pat2Vorname, PatGebDatum FROM tblPatienten WHERE PatID1 = ?",
                          {"1CT1"});
    QVERIFY(p.next());
    QCOMPARE(p.value(0).toString(), QString("O'Neil"));
    QCOMPARE(p.value(1).toString(), QString("Mary"));
    QCOMPARE(p.value(2).toString(), QString("Ann"));
    QCOMPARE(p.value(3).toString(), QString("1960-12-31"));
    QCOMPARE(kit::bytes(ts->paths().imageFile("1.3.6.1.4.1.5962.1.2.1.20040119072730.12322",
                                              "1.3.6.1.4.1.5962.1.1.1.1.1.20040119072730.12322")),
             changed);
    QVERIFY2(kit::storeProblems(*ts).isEmpty(), qPrintable(kit::storeProblems(*ts).join("; ")));
}

void TestImageFiler::badFilesGoToQuarantine_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("text file") << "text";
    QTest::newRow("empty file") << "empty";
    QTest::newRow("no SOP Instance UID") << "nosop";
    QTest::newRow("study UID with a path in it") << "badstudy";
    QTest::newRow("no series UID") << "noseries";
}

void TestImageFiler::badFilesGoToQuarantine()
{
    QFETCH(QString, kind);
    TestStation ts;
    ImageFiler filer(ts->paths(), ts->log());
    filer.setSettleSeconds(0);
    const QString file = ts->paths().tempDir() + "/incoming.dcm";
    if (kind == "text" || kind == "empty") {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        if (kind == "text")
            f.write("this is no image at all\n");
    } else {
        QVERIFY(!put(ts, kit::testFile("CT_small.dcm"), "incoming.dcm").isEmpty());
        if (kind == "nosop")
            QVERIFY(kit::eraseElement(file, "(0008,0018)"));
        else if (kind == "noseries")
            QVERIFY(kit::eraseElement(file, "(0020,000E)"));
        else
            QVERIFY(kit::modify(file, {"(0020,000D)=../../../tmp"}));
    }
    const QByteArray content = kit::bytes(file);

    const ImageFiler::Result r = filer.fileInput();
    QCOMPARE(r.filed, 0);
    QCOMPARE(r.quarantined, 1);
    QVERIFY(!QFile::exists(file));
    QCOMPARE(kit::bytes(ts->paths().quarantineDir() + "/incoming.dcm"), content);
    QCOMPARE(kit::count(*ts, "SELECT COUNT(*) FROM tblImages"), 0);
    QCOMPARE(kit::count(*ts, "SELECT COUNT(*) FROM tblReceive"), 0);
    QVERIFY(kit::storeFiles(*ts).isEmpty());
    const QString log = kit::readAll(ts->log().errorLogPath());
    QVERIFY2(log.contains("[TqDataMgr FileImage]") && log.contains("incoming.dcm"), qPrintable(log));

    // A second bad file of the same name does not overwrite the first in quarantine.
    QFile::copy(ts->paths().quarantineDir() + "/incoming.dcm", file);
    QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner);
    QCOMPARE(filer.fileInput().quarantined, 1);
    // Each with its reason beside it.
    QCOMPARE(QDir(ts->paths().quarantineDir()).entryList(QDir::Files).size(), 4);
    const QList<QuarantinedObject> kept = Quarantine::list(ts->paths());
    QCOMPARE(kept.size(), 2);
    for (const QuarantinedObject &o : kept) {
        QVERIFY(!o.clash);
        QVERIFY2(!o.reason.isEmpty(), qPrintable(o.file));
    }
}

void TestImageFiler::unreadableYoungFileWaits()
{
    TestStation ts;
    ImageFiler filer(ts->paths(), ts->log());
    filer.setSettleSeconds(60);
    // Half a DICOM file, as a slow writer leaves it for a moment.
    const QByteArray whole = kit::bytes(kit::testFile("CT_small.dcm"));
    const QString file = ts->paths().tempDir() + "/half.dcm";
    {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(whole.left(whole.size() / 2));
    }
    ImageFiler::Result r = filer.fileInput();
    QCOMPARE(r.deferred, 1);
    QVERIFY(QFile::exists(file));
    QVERIFY(QDir(ts->paths().quarantineDir()).entryList(QDir::Files).isEmpty());

    // Completed meanwhile: filed.
    {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(whole);
    }
    r = filer.fileInput();
    QCOMPARE(r.filed, 1);
    QCOMPARE(r.deferred, 0);
}

void TestImageFiler::cutOffBatchIsCompleted_data()
{
    QTest::addColumn<QString>("stage");
    QTest::newRow("after the journal") << "journal";
    QTest::newRow("after the files moved") << "moved";
    QTest::newRow("before the rows are committed") << "rows";
}

void TestImageFiler::cutOffBatchIsCompleted()
{
    QFETCH(QString, stage);
    TestStation ts;
    StoreFixture fx(*ts);
    const QString study = fx.newUid(), series = fx.newUid();
    QStringList sops;
    for (int i = 0; i < 12; ++i) {
        sops << fx.newUid();
        StoreFixture::writeSmallImage(ts->paths().tempDir() + QStringLiteral("/%1.dcm").arg(sops.last()), study, series,
                                      sops.last(), i + 1);
    }
    // An earlier image of the same study, already filed.
    {
        ImageFiler first(ts->paths(), ts->log());
        const QString moved = ts->paths().tempDir() + "/" + sops.first() + ".dcm";
        QVERIFY(first.fileBatch({moved}).filed == 1);
    }

    {
        ImageFiler filer(ts->paths(), ts->log());
        filer.stageHook = [&](const QString &s) {
            if (s == stage)
                throw AppError(ErrorNo::General, "killed");
        };
        QVERIFY_THROWS_EXCEPTION(AppError, filer.fileInput());
    }
    // Cut off: whatever rows exist have their files.
    for (const QString &p : kit::storeProblems(*ts))
        QVERIFY2(p.startsWith("file without row"), qPrintable(p));

    ImageFiler again(ts->paths(), ts->log());
    again.fileInput();
    QVERIFY2(kit::storeProblems(*ts).isEmpty(), qPrintable(kit::storeProblems(*ts).join("; ")));
    QCOMPARE(kit::count(*ts, "SELECT COUNT(*) FROM tblImages"), 12);
    QCOMPARE(kit::count(*ts, "SELECT COUNT(*) FROM tblSeries"), 1);
    QVERIFY(QDir(ts->paths().tempDir()).isEmpty());
    QVERIFY(!QFile::exists(again.journalPath()));
    // The station hears of the new images.
    QCOMPARE(kit::count(*ts, "SELECT SUM(ImageCount) FROM tblReceive"), 12);
}

void TestImageFiler::createsMissingDataDatabase()
{
    TestStation ts(false);
    QVERIFY(!QFile::exists(ts->paths().dataDb()));
    put(ts, kit::testFile("MR_small.dcm"), "mr.dcm");
    ImageFiler filer(ts->paths(), ts->log());
    QCOMPARE(filer.fileInput().filed, 1);
    QVERIFY(QFile::exists(ts->paths().dataDb()));
    QVERIFY(QFile::exists(ts->paths().templateDb()));
    QCOMPARE(kit::count(*ts, "SELECT COUNT(*) FROM view_studies WHERE PatID1 = ?", {"4MR1"}), 1);
}

void TestImageFiler::fileWithoutPatientDataIsFiled()
{
    TestStation ts;
    const QString f = put(ts, kit::testFile("CT_small.dcm"), "anon.dcm");
    QVERIFY(kit::eraseElement(f, "(0010,0020)"));
    QVERIFY(kit::eraseElement(f, "(0010,0010)"));
    ImageFiler filer(ts->paths(), ts->log());
    QCOMPARE(filer.fileInput().filed, 1);
    Database db = Database::openData(ts->paths());
    QSqlQuery p = db.exec("SELECT PatID1, PatNachname, PatGebDatum FROM tblPatienten");
    QVERIFY(p.next());
    QVERIFY(!p.value(0).isNull() && p.value(0).toString().isEmpty());
    QVERIFY(!p.value(1).isNull() && p.value(1).toString().isEmpty());
    QVERIFY(!p.value(2).isNull());
    QCOMPARE(db.scalar("SELECT COUNT(*) FROM view_studies WHERE PatID1 = ?", {""}).toInt(), 1);
}

void TestImageFiler::imageMovedToAnotherStudyLeavesNoOldCopy()
{
    TestStation ts;
    ImageFiler filer(ts->paths(), ts->log());
    put(ts, kit::testFile("CT_small.dcm"), "ct.dcm");
    QCOMPARE(filer.fileInput().filed, 1);
    // Corrected at the modality: the same image, now in another study and series.
    const QString f = put(ts, kit::testFile("CT_small.dcm"), "ct.dcm");
    QVERIFY(
        kit::modify(f, {"(0020,000D)=1.2.826.0.1.3680043.9.7433.99.1", "(0020,000E)=1.2.826.0.1.3680043.9.7433.99.2"}));
    QCOMPARE(filer.fileInput().filed, 1);
    const QSet<QString> files = kit::storeFiles(*ts);
    QCOMPARE(files,
             QSet<QString>{"1.2.826.0.1.3680043.9.7433.99.1/1.3.6.1.4.1.5962.1.1.1.1.1.20040119072730.12322.dcm"});
    QCOMPARE(kit::count(*ts, "SELECT COUNT(*) FROM tblImages"), 1);
    QCOMPARE(
        kit::count(*ts, "SELECT COUNT(*) FROM View_Images WHERE StudyUID = ?", {"1.2.826.0.1.3680043.9.7433.99.1"}), 1);
    // The old study and series, now empty, are gone from the lists and the disk.
    QCOMPARE(kit::count(*ts, "SELECT COUNT(*) FROM tblStudies"), 1);
    QCOMPARE(kit::count(*ts, "SELECT COUNT(*) FROM tblSeries"), 1);
    QVERIFY(!QFileInfo::exists(ts->paths().imagesDir() + "/1.3.6.1.4.1.5962.1.2.1.20040119072730.12322"));
    QVERIFY2(kit::storeProblems(*ts).isEmpty(), qPrintable(kit::storeProblems(*ts).join("; ")));
}

void TestImageFiler::seriesResentUnderANewStudyTakesItsFilesAlong()
{
    TestStation ts;
    ImageFiler filer(ts->paths(), ts->log());
    StoreFixture fx(*ts);
    const QString oldStudy = fx.newUid(), newStudy = fx.newUid(), series = fx.newUid();
    const QString a = fx.newUid(), b = fx.newUid();
    StoreFixture::writeSmallImage(ts->paths().tempDir() + "/a.dcm", oldStudy, series, a, 1);
    StoreFixture::writeSmallImage(ts->paths().tempDir() + "/b.dcm", oldStudy, series, b, 2);
    QCOMPARE(filer.fileInput().filed, 2);
    // Only image a comes again, with the same series under a new study.
    StoreFixture::writeSmallImage(ts->paths().tempDir() + "/a2.dcm", newStudy, series, a, 1);
    QCOMPARE(filer.fileInput().filed, 1);
    // Every row's file lies in its own study's folder; the old study, empty now, is gone.
    QVERIFY2(kit::storeProblems(*ts).isEmpty(), qPrintable(kit::storeProblems(*ts).join("; ")));
    QCOMPARE(kit::count(*ts, "SELECT COUNT(*) FROM tblImages"), 2);
    QCOMPARE(kit::count(*ts, "SELECT COUNT(*) FROM tblStudies WHERE StudyUID = ?", {oldStudy}), 0);
    QCOMPARE(kit::count(*ts, "SELECT COUNT(*) FROM View_Images WHERE StudyUID = ?", {newStudy}), 2);
    QVERIFY(!QFileInfo::exists(ts->paths().studyDir(oldStudy)));
}

QTEST_GUILESS_MAIN(TestImageFiler)
#include "test_imagefiler.moc"

// The database files as the station and the data manager create them: the template, the
// data database copied from it, the user database with the dictionary of standard
// elements, and the views joined as the lists read them.
#include "TestStation.h"
#include "core/AppError.h"
#include "core/Database.h"
#include "store/Schema.h"

#include <QFile>
#include <QSqlQuery>
#include <QtTest>

class TestSchema : public QObject {
    Q_OBJECT
private slots:
    void filesAreCreatedWhenMissing();
    void tablesAndColumnsTheStationReads_data();
    void tablesAndColumnsTheStationReads();
    void viewsJoinPatientStudySeriesImage();
    void dictionaryHoldsTheStandardElements_data();
    void dictionaryHoldsTheStandardElements();
    void valuesAreBoundNotPasted();
    void sixtyFourBitKeys();
    void missingDataDatabaseIsCopiedFromTheTemplate();
    void failingStatementThrowsWithTheDriverText();
};

void TestSchema::filesAreCreatedWhenMissing()
{
    TestStation ts(false);
    const auto &p = ts->paths();
    QVERIFY(!QFile::exists(p.dataDb()));
    Schema::ensureDatabases(p);
    QVERIFY(QFile::exists(p.templateDb()));
    QVERIFY(QFile::exists(p.dataDb()));
    QVERIFY(QFile::exists(p.userDb()));
    QVERIFY(!QFile::exists(p.dataDb() + ".new"));
    // A second run keeps what is there.
    {
        Database db = Database::openData(p);
        db.exec("INSERT INTO tblReceive (PatID) VALUES (?)", {"X"});
    }
    Schema::ensureDatabases(p);
    Database db = Database::openData(p);
    QCOMPARE(db.scalar("SELECT COUNT(*) FROM tblReceive").toInt(), 1);
}

void TestSchema::tablesAndColumnsTheStationReads_data()
{
    QTest::addColumn<bool>("user");
    QTest::addColumn<QString>("statement");
    QTest::newRow("patients")
        << false << "SELECT PatID, PatID1, PatNachname, PatVorname, Pat2Vorname, PatGebDatum FROM tblPatienten";
    QTest::newRow("studies") << false << "SELECT StudyID, StudyUID, FKeyPATID FROM tblStudies";
    QTest::newRow("series") << false << "SELECT SeriesID, SeriesUID, SeriesNr, FKeyStudyID FROM tblSeries";
    QTest::newRow("images") << false << "SELECT ImageID, ImageUID, ImageNr, FKeySeriesID FROM tblImages";
    QTest::newRow("receive") << false << "SELECT Count(PatID) AS ReceiveCount FROM tblReceive";
    QTest::newRow("view_studies")
        << false
        << "SELECT StudyID, StudyUID, StudyDate, StudyTime, Modality, Bodypart FROM view_studies WHERE PatID1 = 'x'";
    QTest::newRow("View_Images") << false
                                 << "SELECT ImageID, ImageDate, ImageTime, ImageUID FROM View_Images WHERE StudyUID = "
                                    "'1' ORDER BY ImageDate, ImageTime";
    QTest::newRow("dose records")
        << false
        << "SELECT ID, PatFirstname, PatLastname, PatBirthdate, mGy1, mGy2, mGy3, expTime, \"Date\", \"Time\", Status, "
           "Bodypart, ImgNo, "
           "FKeyPatID, Patname, Datum, Zeit, KVP, ma, Dicke, Druck, mGy, Sonstiges FROM tblDosis";
    QTest::newRow("destinations") << true << "SELECT ID, Alias, AET, IP, Port, \"Default\" FROM tblSCP ORDER BY Alias";
    QTest::newRow("rules") << true << "SELECT fName, fLevel, fSource, fTask, fTaskID, fTarget FROM tblRules";
    QTest::newRow("rule names") << true << "SELECT fKeyName FROM tblRuleKey";
    QTest::newRow("dictionary") << true
                                << "SELECT \"Index\", Tag, Type, Description, Visible FROM tblDictionary ORDER BY Tag";
    QTest::newRow("filters") << true << "SELECT Modality FROM tblModality ORDER BY Modality";
}

void TestSchema::tablesAndColumnsTheStationReads()
{
    QFETCH(bool, user);
    QFETCH(QString, statement);
    TestStation ts;
    Database db = user ? Database::openUser(ts->paths()) : Database::openData(ts->paths());
    db.exec(statement); // throws when a table or column is missing
}

void TestSchema::viewsJoinPatientStudySeriesImage()
{
    TestStation ts;
    Database db = Database::openData(ts->paths());
    QSqlQuery q = db.exec("INSERT INTO tblPatienten (PatID1, PatNachname) VALUES (?, ?)", {"P1", "O'NEIL"});
    const qint64 pat = db.lastInsertId(q);
    q = db.exec("INSERT INTO tblStudies (StudyUID, FKeyPATID, StudyDate, Modality) VALUES (?, ?, ?, ?)",
                {"1.2.3", pat, "2026-12-08", "MG"});
    const qint64 study = db.lastInsertId(q);
    q = db.exec("INSERT INTO tblSeries (SeriesUID, SeriesNr, FKeyStudyID) VALUES (?, ?, ?)", {"1.2.3.1", 1, study});
    const qint64 series = db.lastInsertId(q);
    for (int i = 1; i <= 2; ++i)
        db.exec("INSERT INTO tblImages (ImageUID, ImageNr, FKeySeriesID, ImageDate, ImageTime) VALUES (?, ?, ?, ?, ?)",
                {QString("1.2.3.1.%1").arg(i), i, series, "2026-12-08", QString("09:00:0%1").arg(i)});
    QCOMPARE(db.scalar("SELECT Modality FROM view_studies WHERE PatID1 = ?", {"P1"}).toString(), QString("MG"));
    QCOMPARE(db.scalar("SELECT COUNT(*) FROM View_Images WHERE StudyUID = ?", {"1.2.3"}).toInt(), 2);
    QCOMPARE(db.scalar("SELECT COUNT(*) FROM View_Images WHERE FKeySeriesID = ?", {series}).toInt(), 2);
    QCOMPARE(
        db.scalar("SELECT ImageUID FROM View_Images WHERE StudyUID = ? ORDER BY ImageDate, ImageTime DESC", {"1.2.3"})
            .toString(),
        QString("1.2.3.1.2"));
}

void TestSchema::dictionaryHoldsTheStandardElements_data()
{
    QTest::addColumn<QString>("tag");
    QTest::addColumn<QString>("vr");
    QTest::addColumn<QString>("name");
    QTest::newRow("patient name") << "0010,0010"
                                  << "PN"
                                  << "PatientName";
    QTest::newRow("study uid") << "0020,000D"
                               << "UI"
                               << "StudyInstanceUID";
    QTest::newRow("entrance dose") << "0040,8302"
                                   << "DS"
                                   << "EntranceDoseInmGy";
    QTest::newRow("view position") << "0018,5101"
                                   << "CS"
                                   << "ViewPosition";
}

void TestSchema::dictionaryHoldsTheStandardElements()
{
    QFETCH(QString, tag);
    QFETCH(QString, vr);
    QFETCH(QString, name);
    TestStation ts;
    Database db = Database::openUser(ts->paths());
    QVERIFY(db.scalar("SELECT COUNT(*) FROM tblDictionary").toInt() > 2000);
    // No group lengths, no private or command elements.
    QCOMPARE(db.scalar("SELECT COUNT(*) FROM tblDictionary WHERE Tag LIKE '%,0000' OR Tag LIKE '0002,%'").toInt(), 0);
    QSqlQuery q = db.exec("SELECT Type, Description, Visible FROM tblDictionary WHERE Tag = ?", {tag});
    QVERIFY2(q.next(), qPrintable(tag));
    QCOMPARE(q.value(0).toString(), vr);
    QCOMPARE(q.value(1).toString(), name);
    QCOMPARE(q.value(2).toInt(), -1);
    QVERIFY(!q.next()); // one row per tag
}

void TestSchema::valuesAreBoundNotPasted()
{
    TestStation ts;
    Database db = Database::openData(ts->paths());
    const QString evil = "O'NEIL'); DROP TABLE tblDosis; --";
    db.exec("INSERT INTO tblDosis (PatLastname, Status) VALUES (?, ?)", {evil, "0"});
    QCOMPARE(db.scalar("SELECT PatLastname FROM tblDosis WHERE PatLastname = ?", {evil}).toString(), evil);
}

void TestSchema::sixtyFourBitKeys()
{
    TestStation ts;
    Database db = Database::openData(ts->paths());
    const qint64 big = 5000000000LL;
    db.exec("INSERT INTO tblImages (ImageID, ImageUID, FKeySeriesID) VALUES (?, ?, ?)", {big, "1.2.9", big});
    QSqlQuery q = db.exec("INSERT INTO tblImages (ImageUID, FKeySeriesID) VALUES (?, ?)", {"1.2.10", 1});
    QCOMPARE(db.lastInsertId(q), big + 1);
    QCOMPARE(db.scalar("SELECT FKeySeriesID FROM tblImages WHERE ImageID = ?", {big}).toLongLong(), big);
}

void TestSchema::missingDataDatabaseIsCopiedFromTheTemplate()
{
    TestStation ts;
    const auto &p = ts->paths();
    {
        Database db = Database::openData(p);
        db.exec("INSERT INTO tblPatienten (PatID1) VALUES (?)", {"P1"});
    }
    QVERIFY(QFile::remove(p.dataDb()));
    QVERIFY(Schema::ensureDataDb(p));
    Database db = Database::openData(p);
    QCOMPARE(db.scalar("SELECT COUNT(*) FROM tblPatienten").toInt(), 0);
    QVERIFY(!Schema::ensureDataDb(p)); // there now: nothing to do
}

void TestSchema::failingStatementThrowsWithTheDriverText()
{
    TestStation ts;
    Database db = Database::openData(ts->paths());
    try {
        db.exec("SELECT NoSuchColumn FROM tblPatienten");
        QFAIL("no error");
    } catch (const AppError &e) {
        QCOMPARE(e.number(), ErrorNo::Database);
        QVERIFY2(e.description().contains("NoSuchColumn"), qPrintable(e.description()));
    }
    QVERIFY_THROWS_EXCEPTION(AppError, Database(ts.root() + "/Data/none.dat"));
}

QTEST_GUILESS_MAIN(TestSchema)
#include "test_schema.moc"

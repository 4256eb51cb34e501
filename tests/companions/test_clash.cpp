// An arriving object whose image, series or study UID is stored already for another
// patient: the stored data stays exactly as it is, the newcomer is kept apart with its
// reason, one log line names the UID and both patients, and only the operator may file it
// anyway. The same patient sending an image again still replaces it. In process with the
// data manager's filer, and once through the real receiver and data manager with dcmsend.
#include "CompanionTestKit.h"
#include "ScriptedPrompter.h"
#include "StoreFixture.h"
#include "TestStation.h"

#include "store/ImageFiler.h"
#include "store/Quarantine.h"
#include "store/QuarantineForm.h"

#include <QCryptographicHash>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>

namespace {

// An image of the patient, written into the input folder.
QString arrive(TestStation &ts, const QString &name, const QString &study, const QString &series, const QString &sop,
               const QString &patientId, const QString &patientName, int number = 1)
{
    const QString file = ts->paths().tempDir() + "/" + name;
    StoreFixture::writeSmallImage(file, study, series, sop, number);
    kit::modify(file, {"(0010,0020)=" + patientId, "(0010,0010)=" + patientName});
    return file;
}

QByteArray storeDigest(Station &s)
{
    QCryptographicHash h(QCryptographicHash::Sha1);
    QStringList files = kit::storeFiles(s).values();
    files.sort();
    for (const QString &f : files)
        h.addData(f.toUtf8() + readFile(s.paths().imagesDir() + "/" + f));
    Database db = Database::openData(s.paths());
    QSqlQuery q =
        db.exec("SELECT p.PatID1, st.StudyUID, se.SeriesUID, i.ImageUID, i.ImageNr FROM tblImages i"
                " JOIN tblSeries se ON i.FKeySeriesID = se.SeriesID JOIN tblStudies st ON se.FKeyStudyID = st.StudyID"
                " JOIN tblPatienten p ON st.FKeyPATID = p.PatID ORDER BY i.ImageUID");
    while (q.next())
        for (int c = 0; c < 5; ++c)
            h.addData(q.value(c).toString().toUtf8() + '|');
    return h.result();
}

} // namespace

class TestClash : public QObject {
    Q_OBJECT
private slots:
    void clashNeverTouchesWhatIsStored_data();
    void clashNeverTouchesWhatIsStored();
    void samePatientSendingAgainReplaces();
    void operatorFilesAClashAnyway();
    void realReceiverKeepsAReusedStudyApart();
};

void TestClash::clashNeverTouchesWhatIsStored_data()
{
    // Which UIDs of the stored image the newcomer of patient B200 carries again.
    QTest::addColumn<bool>("sameStudy");
    QTest::addColumn<bool>("sameSeries");
    QTest::addColumn<bool>("sameImage");
    QTest::addColumn<QString>("level");
    QTest::newRow("the same SOP Instance UID") << false << false << true << "Image";
    QTest::newRow("a reused Study Instance UID") << true << false << false << "Study";
    QTest::newRow("a reused Series Instance UID") << false << true << false << "Series";
    QTest::newRow("all three") << true << true << true << "Image";
}

void TestClash::clashNeverTouchesWhatIsStored()
{
    QFETCH(bool, sameStudy);
    QFETCH(bool, sameSeries);
    QFETCH(bool, sameImage);
    QFETCH(QString, level);
    TestStation ts;
    StoreFixture fx(*ts);
    ImageFiler filer(ts->paths(), ts->log());
    const QString study = fx.newUid(), series = fx.newUid(), sop = fx.newUid(), other = fx.newUid();
    arrive(ts, "a1.dcm", study, series, sop, "A100", "ALPHA^ANNA", 1);
    arrive(ts, "a2.dcm", study, series, other, "A100", "ALPHA^ANNA", 2);
    QCOMPARE(filer.fileInput().filed, 2);
    const QByteArray before = storeDigest(*ts);

    const QString newStudy = sameStudy ? study : fx.newUid();
    const QString newSeries = sameSeries ? series : fx.newUid();
    const QString newSop = sameImage ? sop : fx.newUid();
    arrive(ts, "b.dcm", newStudy, newSeries, newSop, "B200", "BETA^BEN");
    const ImageFiler::Result r = filer.fileInput();
    QCOMPARE(r.filed, 0);
    QCOMPARE(r.clashes, 1);

    // What is stored stays, bytes and rows.
    QCOMPARE(storeDigest(*ts), before);
    QVERIFY(kit::storeProblems(*ts).isEmpty());
    QCOMPARE(kit::count(*ts, "SELECT COUNT(*) FROM tblPatienten WHERE PatID1 = 'B200'"), 0);
    QVERIFY(QDir(ts->paths().tempDir()).isEmpty());
    // The newcomer is kept apart with why.
    const QList<QuarantinedObject> kept = Quarantine::list(ts->paths());
    QCOMPARE(kept.size(), 1);
    const QuarantinedObject &o = kept.first();
    QVERIFY(o.clash);
    QCOMPARE(o.level, level);
    QCOMPARE(o.uid, level == "Image" ? newSop : level == "Series" ? newSeries : newStudy);
    QCOMPARE(o.sopUid, newSop);
    QCOMPARE(o.storedPatientId, QString("A100"));
    QCOMPARE(o.newPatientId, QString("B200"));
    QVERIFY(QFile::exists(o.file));
    // One log line names the UID and both patients.
    const QStringList lines = kit::readAll(ts->log().errorLogPath()).split('\n').filter(o.uid);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines[0].contains("A100") && lines[0].contains("B200") && lines[0].contains("ALPHA^ANNA")
                 && lines[0].contains("BETA^BEN"),
             qPrintable(lines[0]));
}

void TestClash::samePatientSendingAgainReplaces()
{
    TestStation ts;
    StoreFixture fx(*ts);
    ImageFiler filer(ts->paths(), ts->log());
    const QString study = fx.newUid(), series = fx.newUid(), sop = fx.newUid();
    arrive(ts, "a.dcm", study, series, sop, "A100", "ALPHA^ANNA", 1);
    QCOMPARE(filer.fileInput().filed, 1);
    // The modality sends the image again, corrected (another image number).
    arrive(ts, "a.dcm", study, series, sop, "A100", "ALPHA^ANNA", 7);
    const ImageFiler::Result r = filer.fileInput();
    QCOMPARE(r.filed, 1);
    QCOMPARE(r.clashes, 0);
    QCOMPARE(kit::count(*ts, "SELECT ImageNr FROM tblImages WHERE ImageUID = ?", {sop}), 7);
    QCOMPARE(kit::count(*ts, "SELECT COUNT(*) FROM tblImages"), 1);
    QVERIFY(Quarantine::list(ts->paths()).isEmpty());
    QVERIFY(kit::storeProblems(*ts).isEmpty());
}

void TestClash::operatorFilesAClashAnyway()
{
    TestStation ts;
    StoreFixture fx(*ts);
    ImageFiler filer(ts->paths(), ts->log());
    const QString study = fx.newUid(), sopA = fx.newUid(), sopB = fx.newUid();
    arrive(ts, "a.dcm", study, fx.newUid(), sopA, "A100", "ALPHA^ANNA");
    QCOMPARE(filer.fileInput().filed, 1);
    arrive(ts, "b.dcm", study, fx.newUid(), sopB, "B200", "BETA^BEN");
    QCOMPARE(filer.fileInput().clashes, 1);

    // The list of what was kept apart: "File anyway" only for the clash, after a question
    // that names both patients; "No" changes nothing.
    QuarantineForm form(*ts);
    QCOMPARE(form.list()->topLevelItemCount(), 1);
    auto *fileAnyway = form.findChild<QPushButton *>("cmdFileAnyway");
    QVERIFY(!fileAnyway->isEnabled());
    form.list()->topLevelItem(0)->setSelected(true);
    QVERIFY(fileAnyway->isEnabled());
    ts.prompter.yesNo = {false};
    fileAnyway->click();
    const QString asked = ts.prompter.lastText();
    QVERIFY2(asked.contains("Study Instance UID " + study) && asked.contains("ALPHA^ANNA (ID A100)")
                 && asked.contains("BETA^BEN (ID B200)"),
             qPrintable(asked));
    QCOMPARE(form.list()->topLevelItemCount(), 1);
    QVERIFY(QDir(ts->paths().tempDir()).isEmpty());

    ts.prompter.yesNo = {true};
    fileAnyway->click();
    QCOMPARE(form.list()->topLevelItemCount(), 0);
    // The data manager files it now, as the operator chose: the study is B's.
    const ImageFiler::Result r = filer.fileInput();
    QCOMPARE(r.filed, 1);
    QCOMPARE(r.clashes, 0);
    Database db = Database::openData(ts->paths());
    QCOMPARE(db.scalar("SELECT PatID1 FROM view_studies WHERE StudyUID = ?", {study}).toString(), QString("B200"));
    QVERIFY(kit::storeProblems(*ts).isEmpty());
    QVERIFY(kit::readAll(ts->log().errorLogPath()).contains("Filed as the operator chose"));
    // The consent was used up: another such object is kept apart again.
    arrive(ts, "c.dcm", study, fx.newUid(), fx.newUid(), "C300", "GAMMA^GIL");
    QCOMPARE(filer.fileInput().clashes, 1);
}

void TestClash::realReceiverKeepsAReusedStudyApart()
{
    kit::LiveStation live(freeTcpPort());
    auto receiver = live.startChild(Companions::receiverName());
    auto manager = live.startChild(Companions::dataManagerName());
    QVERIFY(live.waitForReceiver());
    QTemporaryDir work;
    const QString a = work.filePath("a.dcm"), b = work.filePath("b.dcm");
    QVERIFY(QFile::copy(kit::testFile("CT_small.dcm"), a));
    QVERIFY(QFile::copy(kit::testFile("MR_small.dcm"), b));
    QFile::setPermissions(b, QFile::ReadOwner | QFile::WriteOwner);
    const QString studyOfA = QString::fromLatin1("1.3.6.1.4.1.5962.1.2.1.20040119072730.12322");
    // Another patient's image that carries the stored study's UID.
    QVERIFY(kit::modify(b, {"(0020,000D)=" + studyOfA, "(0010,0020)=OTHER-7"}));
    QCOMPARE(live.send({a}), 0);
    QVERIFY(waitUntil([&] { return kit::count(*live, "SELECT COUNT(*) FROM tblImages") == 1; }, 15000));
    const QByteArray before = storeDigest(*live);
    QCOMPARE(live.send({b}), 0);
    QVERIFY(waitUntil([&] { return Quarantine::list(live->paths()).size() == 1; }, 15000));
    QTest::qWait(500);
    QCOMPARE(storeDigest(*live), before);
    QCOMPARE(kit::count(*live, "SELECT COUNT(*) FROM tblImages"), 1);
    QCOMPARE(Quarantine::list(live->paths()).first().level, QString("Study"));
    QVERIFY(kit::terminateChild(*receiver));
    QVERIFY(kit::terminateChild(*manager));
}

QTEST_MAIN(TestClash)
#include "test_clash.moc"

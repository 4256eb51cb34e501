// Storage destinations and the transfers against real peers: storescp (with and without
// accepting compressed syntaxes), an SCP that refuses one image, a silent port, a closed one.
#include "RecordingProgress.h"
#include "Requires.h"
#include "StoreFixture.h"
#include "StorePeers.h"
#include "TestStation.h"
#include "Wait.h"

#include "core/AppError.h"
#include "core/Database.h"
#include "core/Station.h"
#include "dicom/StoreSender.h"
#include "dose/DoseReports.h"
#include "net/Destinations.h"
#include "net/SendTransfer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

class TestSend : public QObject {
    Q_OBJECT
private slots:
    void validation_data();
    void validation();
    void destinationsKeepTheirTexts();
    void seriesArrivesUnchanged_data();
    void seriesArrivesUnchanged();
    void seriesArrivesAtOrthanc();
    void studyArrivesAtOrthancWithItsDoseReport();
    void refusedImageIsNotSent();
    void studySendsOnlyItsOwnStagedFiles();
    void silentPeerTimesOut();
    void closedPortIsAnError();
};

void TestSend::validation_data()
{
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<QString>("message");
    const QString fill = "Please fill all text fields.";
    const QString port = "Not a valid port.";
    QTest::newRow("valid") << QStringList{"PACS", "STORE1", "10.0.0.5", "104"} << QString();
    QTest::newRow("highest port") << QStringList{"PACS", "STORE1", "10.0.0.5", "65535"} << QString();
    QTest::newRow("host name") << QStringList{"O'Neil's PACS", "STORE1", "pacs", "11112"} << QString();
    QTest::newRow("empty alias") << QStringList{"", "STORE1", "10.0.0.5", "104"} << fill;
    QTest::newRow("empty AET, bad port") << QStringList{"PACS", "", "10.0.0.5", "10a4"} << fill;
    QTest::newRow("blank IP") << QStringList{"PACS", "STORE1", "   ", "104"} << fill;
    QTest::newRow("letters in port") << QStringList{"PACS", "STORE1", "10.0.0.5", "10a4"} << port;
    QTest::newRow("port 0") << QStringList{"PACS", "STORE1", "10.0.0.5", "0"} << port;
    QTest::newRow("port too high") << QStringList{"PACS", "STORE1", "10.0.0.5", "65536"} << port;
    QTest::newRow("signed port") << QStringList{"PACS", "STORE1", "10.0.0.5", "+104"} << port;
    QTest::newRow("port with blank") << QStringList{"PACS", "STORE1", "10.0.0.5", " 104"} << port;
    QTest::newRow("separator in alias") << QStringList{"A!++!B", "STORE1", "10.0.0.5", "104"}
                                        << QString("\"!++!\" may not be part of a field.");
    QTest::newRow("separator in AET") << QStringList{"PACS", "S!++!1", "10.0.0.5", "104"}
                                      << QString("\"!++!\" may not be part of a field.");
    QTest::newRow("AET of 17") << QStringList{"PACS", "ABCDEFGHIJKLMNOPQ", "10.0.0.5", "104"}
                               << QString("Not a valid AE title (at most 16 characters, no backslash).");
    QTest::newRow("AET of 16") << QStringList{"PACS", "ABCDEFGHIJKLMNOP", "10.0.0.5", "104"} << QString();
    QTest::newRow("AET backslash") << QStringList{"PACS", "A\\B", "10.0.0.5", "104"}
                                   << QString("Not a valid AE title (at most 16 characters, no backslash).");
    QTest::newRow("AET control") << QStringList{"PACS", "A\tB", "10.0.0.5", "104"}
                                 << QString("Not a valid AE title (at most 16 characters, no backslash).");
}

void TestSend::validation()
{
    QFETCH(QStringList, fields);
    QFETCH(QString, message);
    QCOMPARE(Destinations::validate(fields[0], fields[1], fields[2], fields[3]), message);
}

void TestSend::destinationsKeepTheirTexts()
{
    TestStation ts;
    Destinations d(*ts);
    const qint64 b = d.add("O'Neil's PACS", "ONEIL", "10.0.0.7", "104");
    const qint64 a = d.add("Archive", "ARCH", "127.0.0.1", "11112");
    QVERIFY_THROWS_EXCEPTION(AppError, d.add("Bad", "X", "1.2.3.4", "99999"));
    auto list = d.list();
    QCOMPARE(list.size(), size_t(2));
    QCOMPARE(list[0].alias, QString("Archive"));
    QCOMPARE(list[1].alias, QString("O'Neil's PACS"));
    QVERIFY(!d.defaultDestination());

    d.makeDefault(b);
    d.makeDefault(a);
    list = d.list();
    QCOMPARE(int(list[0].isDefault) + int(list[1].isDefault), 1);
    QCOMPARE(d.defaultDestination()->aet, QString("ARCH"));

    d.update(b, "O'Neil's PACS", "ONEIL2", "10.0.0.8", "105");
    const PeerAddress p = Destinations::splitTag(Destinations::tag("ONEIL2", "10.0.0.8", "105"));
    QCOMPARE(p.aet, QString("ONEIL2"));
    QCOMPARE(p.ip, QString("10.0.0.8"));
    QCOMPARE(p.port, QString("105"));
    QCOMPARE(d.list()[1].aet, QString("ONEIL2"));
    d.remove(b);
    QCOMPARE(d.list().size(), size_t(1));
}

void TestSend::seriesArrivesUnchanged_data()
{
    QTest::addColumn<bool>("acceptAll");
    QTest::newRow("storescp") << false;
    QTest::newRow("storescp +xa") << true;
}

void TestSend::seriesArrivesUnchanged()
{
    QFETCH(bool, acceptAll);
    const QString jpegLs = pydicomTestFiles() + "/MR_small_jpeg_ls_lossless.dcm";
    if (!QFile::exists(jpegLs))
        CALVAREX_MISSING("python3-pydicom test files are missing");
    TestStation ts;
    StoreFixture fx(*ts);
    const auto made = fx.addStudyWithImages(fx.addPatient("P1", "DOE", "JANE"), 2, QSize(332, 410));
    fx.addRealFile(made.seriesId, made.studyUid, pydicomTestFiles() + "/CT_small.dcm", 3);
    fx.addRealFile(made.seriesId, made.studyUid, jpegLs, 4);
    const QStringList stored = SendTransfer::seriesFiles(*ts, made.seriesId);
    QCOMPARE(stored.size(), 4);

    StoreScp scp(acceptAll);
    QVERIFY(scp.start());
    dicom::StoreSender sender({"127.0.0.1", QString::number(scp.port()), "TqStation", scp.aet()});
    sender.open(stored);
    RecordingProgress progress;
    SendTransfer t(*ts, progress, sender);
    t.sendSeries(made.seriesId);
    sender.close();
    QVERIFY2(progress.text.contains("Sending Series ... OK\n4 of 4 images successfully sent.\n"),
             qPrintable(progress.text));
    QCOMPARE(progress.maximum, 4);
    QCOMPARE(progress.value, 4);

    QVERIFY(waitUntil([&] { return scp.files().size() == 4; }));
    QMap<QString, ObjectFacts> received;
    for (const QString &f : scp.files()) {
        const ObjectFacts o = objectFacts(f);
        received.insert(o.sopUid, o);
    }
    for (const QString &f : stored) {
        const ObjectFacts own = objectFacts(f);
        QVERIFY2(received.contains(own.sopUid), qPrintable(own.sopUid));
        const ObjectFacts got = received.value(own.sopUid);
        QCOMPARE(got.sopClass, own.sopClass);
        QVERIFY(!own.pixelHash.isEmpty());
        QCOMPARE(got.pixelHash, own.pixelHash);
        if (f.contains(made.studyUid) && !own.encodedHash.isEmpty()) {
            // The JPEG-LS image: as it is where the peer takes it, decompressed where not.
            if (acceptAll) {
                QCOMPARE(got.transferSyntax, own.transferSyntax);
                QCOMPARE(got.encodedHash, own.encodedHash);
            } else {
                QCOMPARE(got.transferSyntax, QString("1.2.840.10008.1.2.1"));
            }
        }
    }
    // Nothing is removed with General\SentAndKeep at its default.
    QCOMPARE(ts->settings().sentAndKeep, qint16(1));
    QVERIFY(QFile::exists(stored.first()));
}

void TestSend::seriesArrivesAtOrthanc()
{
    TestStation ts;
    StoreFixture fx(*ts);
    const auto made = fx.addStudyWithImages(fx.addPatient("P1", "DOE", "JANE"), 2, QSize(332, 410));
    if (QFile::exists(pydicomTestFiles() + "/CT_small.dcm"))
        fx.addRealFile(made.seriesId, made.studyUid, pydicomTestFiles() + "/CT_small.dcm", 3);
    OrthancPacs pacs;
    QVERIFY(pacs.start());
    const QStringList stored = SendTransfer::seriesFiles(*ts, made.seriesId);
    dicom::StoreSender sender({"127.0.0.1", QString::number(pacs.port()), "TqStation", "PACS"});
    sender.open(stored);
    RecordingProgress progress;
    SendTransfer t(*ts, progress, sender);
    t.sendSeries(made.seriesId);
    sender.close();
    QVERIFY2(progress.text.contains(SendTransfer::countLine(int(stored.size()), int(stored.size()))),
             qPrintable(progress.text));
    QTemporaryDir tmp;
    for (const QString &f : stored) {
        const ObjectFacts own = objectFacts(f);
        const QByteArray bytes = pacs.fileOf(own.sopUid);
        QVERIFY2(!bytes.isEmpty(), qPrintable(own.sopUid));
        const QString copy = tmp.path() + "/got.dcm";
        QFile out(copy);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(bytes);
        out.close();
        const ObjectFacts got = objectFacts(copy);
        QCOMPARE(got.sopUid, own.sopUid);
        QCOMPARE(got.pixelHash, own.pixelHash);
    }
}

void TestSend::studyArrivesAtOrthancWithItsDoseReport()
{
    TestStation ts;
    StoreFixture fx(*ts);
    const auto made = fx.addStudyWithImages(fx.addPatient("P1", "DOE", "JANE"), 4, QSize(64, 80));
    std::vector<qint64> ids;
    {
        Database db = Database::openData(ts->paths());
        for (int i = 0; i < 4; ++i) {
            QSqlQuery q = db.exec("INSERT INTO tblDosis (PatFirstname, PatLastname, mGy1, mGy2, mGy3, expTime,"
                                  " \"Date\", \"Time\", Status, ImgNo, XrayComm, WorklistPatID)"
                                  " VALUES ('JANE', 'DOE', ?, '28', '80', '450', '2026-12-10', '10:00:00', '2', ?, 5,"
                                  " 'P1')",
                                  {QString::number(9.6 + i), i + 1});
            ids.push_back(db.lastInsertId(q));
        }
    }
    const DoseReports::Made report = DoseReports(*ts).make(ids, made.studyUid, made.files);
    QTemporaryDir staging;
    for (const QString &f : made.files)
        QVERIFY(QFile::copy(f, QDir(staging.path()).filePath(QFileInfo(f).fileName())));
    const SendTransfer::StudyPlan plan = SendTransfer::studyPlan(*ts, made.studyId, staging.path());
    QCOMPARE(plan.report, report.file);
    QCOMPARE(SendTransfer::filesOf({plan}).size(), 5);

    OrthancPacs pacs;
    QVERIFY(pacs.start());
    dicom::StoreSender sender({"127.0.0.1", QString::number(pacs.port()), "TqStation", "PACS"});
    sender.open(SendTransfer::filesOf({plan}));
    RecordingProgress progress;
    SendTransfer t(*ts, progress, sender);
    t.sendStudy(plan);
    sender.close();
    QCOMPARE(t.reportsSent(), 1);
    QVERIFY2(progress.text.contains(SendTransfer::countLine(4, 4)), qPrintable(progress.text));

    // Orthanc files the report into the images' study.
    const QJsonArray studies = QJsonDocument::fromJson(pacs.get("/studies?expand")).array();
    QCOMPARE(studies.size(), 1);
    const QJsonObject study = studies.first().toObject();
    QCOMPARE(study["MainDicomTags"].toObject()["StudyInstanceUID"].toString(), made.studyUid);
    const QJsonArray instances =
        QJsonDocument::fromJson(pacs.get("/studies/" + study["ID"].toString() + "/instances")).array();
    QCOMPARE(instances.size(), 5);
    int reports = 0;
    for (const QJsonValue &v : instances)
        reports += v.toObject()["MainDicomTags"].toObject()["SOPInstanceUID"].toString() == report.sopUid;
    QCOMPARE(reports, 1);
    // What Orthanc hands back is the report as the station made it.
    QTemporaryDir tmp;
    const QString copy = tmp.path() + "/report.dcm";
    QFile out(copy);
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(pacs.fileOf(report.sopUid));
    out.close();
    const DoseReportFacts got = DoseReports::read(copy);
    QCOMPARE(got.events.size(), 4);
    QCOMPARE(got.events[0].dap.value(), 9.6e-6);
    QCOMPARE(got.studyUid, made.studyUid);
}

void TestSend::refusedImageIsNotSent()
{
    TestStation ts;
    ts->settings().sentAndKeep = 0;
    StoreFixture fx(*ts);
    const auto made = fx.addStudyWithImages(fx.addPatient("P1", "DOE", "JANE"), 3);
    RefusingScp scp(std::map<int, Uint16>{{2, 0xA700}});
    QVERIFY(scp.start());
    dicom::StoreSender sender({"127.0.0.1", QString::number(scp.port()), "TqStation", "REFUSER"});
    const QStringList files = SendTransfer::seriesFiles(*ts, made.seriesId);
    sender.open(files);
    RecordingProgress progress;
    SendTransfer t(*ts, progress, sender);
    int removals = 0;
    t.removeFromStore = [&](SendTransfer::Level, qint64, const QStringList &) {
        ++removals;
        return SendTransfer::Removed{true, false, 0};
    };
    t.sendSeries(made.seriesId);
    sender.close();
    QVERIFY2(progress.text.contains("2 of 3 images successfully sent."), qPrintable(progress.text));
    QCOMPARE(scp.received(), 3);
    QCOMPARE(removals, 0);
    QVERIFY(!t.sendSuccess());
    QFile log(ts->log().errorLogPath());
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QString logged = QString::fromLatin1(log.readAll());
    QVERIFY2(logged.contains("A700") && logged.contains("EditForm SerieSenden (TRANSMIT_ERRROR)"), qPrintable(logged));
}

void TestSend::studySendsOnlyItsOwnStagedFiles()
{
    TestStation ts;
    ts->settings().sentAndKeep = 0;
    StoreFixture fx(*ts);
    const auto mine = fx.addStudyWithImages(fx.addPatient("Y", "YOUNG"), 3);
    const auto other = fx.addStudyWithImages(fx.addPatient("X", "XAVER"), 2);
    // Staged: two of this study's images and a stale image of another patient.
    const QString staging = ts.root() + "/bin/run";
    QDir().mkpath(staging);
    QVERIFY(QFile::copy(mine.files[0], staging + "/" + mine.sopUids[0] + ".dcm"));
    QVERIFY(QFile::copy(mine.files[1], staging + "/" + mine.sopUids[1] + ".dcm"));
    QVERIFY(QFile::copy(other.files[0], staging + "/" + other.sopUids[0] + ".dcm"));

    const auto plan = SendTransfer::studyPlan(*ts, mine.studyId, staging);
    QCOMPARE(plan.imageUids.size(), 3);
    QCOMPARE(plan.files.size(), 2);
    StoreScp scp;
    QVERIFY(scp.start());
    dicom::StoreSender sender({"127.0.0.1", QString::number(scp.port()), "TqStation", scp.aet()});
    sender.open(plan.files);
    RecordingProgress progress;
    SendTransfer t(*ts, progress, sender);
    int removals = 0;
    t.removeFromStore = [&](SendTransfer::Level, qint64, const QStringList &) {
        ++removals;
        return SendTransfer::Removed{true, false, 0};
    };
    t.sendStudy(plan);
    sender.close();
    // The total is the study's rows: not all went, so nothing is removed.
    QVERIFY2(progress.text.contains("2 of 3 images successfully sent."), qPrintable(progress.text));
    QCOMPARE(removals, 0);
    QVERIFY(waitUntil([&] { return scp.files().size() == 2; }));
    QTest::qWait(300);
    QStringList got;
    for (const QString &f : scp.files())
        got << objectFacts(f).sopUid;
    got.sort();
    QStringList want{mine.sopUids[0], mine.sopUids[1]};
    want.sort();
    QCOMPARE(got, want);
}

void TestSend::silentPeerTimesOut()
{
    SilentPeer peer;
    QVERIFY(peer.start());
    dicom::StoreSender::Timeouts t;
    t.connectSeconds = 2;
    t.acseSeconds = 2;
    t.dimseSeconds = 2;
    dicom::StoreSender sender({"127.0.0.1", QString::number(peer.port()), "TqStation", "SILENT"}, t);
    QElapsedTimer clock;
    clock.start();
    try {
        sender.open({});
        QFAIL("a silent peer gave an association");
    } catch (const AppError &e) {
        QCOMPARE(e.number(), long(ErrorNo::Network));
    }
    QVERIFY2(clock.elapsed() < 15000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(!sender.isOpen());
}

void TestSend::closedPortIsAnError()
{
    dicom::StoreSender sender({"127.0.0.1", QString::number(freeTcpPort()), "TqStation", "NOBODY"});
    QVERIFY_THROWS_EXCEPTION(AppError, sender.open({}));
    dicom::StoreSender badPort({"127.0.0.1", "10a4", "TqStation", "NOBODY"});
    QVERIFY_THROWS_EXCEPTION(AppError, badPort.open({}));
    QCOMPARE(dicom::StoreSender::portNumber("104"), 104);
    QCOMPARE(dicom::StoreSender::portNumber("0"), 0);
    QCOMPARE(dicom::StoreSender::portNumber("65536"), 0);
}

QTEST_MAIN(TestSend)
#include "test_send.moc"

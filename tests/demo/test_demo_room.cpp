// The demo room's automatic examination, run headless as a newcomer's "scripts/run --demo
// --auto" runs it, and checked through the peers afterwards: the station's data database
// and image store, and the PACS's own storage read back by a fresh Orthanc.
#include "Requires.h"
#include "TestStation.h"
#include "Wait.h"

#include "core/Companions.h"
#include "dicom/SrDocument.h"
#include "dose/DoseReports.h"
#include "peers/Orthanc.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>

namespace {

bool processGone(qint64 pid)
{
    // Gone, or a zombie nobody waits for any more.
    if (::kill(pid_t(pid), 0) != 0)
        return true;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.open(QIODevice::ReadOnly) && stat.readAll().contains(") Z ");
}

} // namespace

class TestDemoRoom : public QObject {
    Q_OBJECT
private slots:
    void automaticExaminationEndsInThePacs_data();
    void automaticExaminationEndsInThePacs();
    void modalityImagesAreValidMammograms();
};

void TestDemoRoom::modalityImagesAreValidMammograms()
{
    // The modality simulator's four views: valid Digital Mammography For Presentation
    // objects for dciodvfy, 14 bits stored, each view where its exposure number says,
    // and the worklist's accented name in Latin-1.
    QTemporaryDir out;
    QProcess sim;
    sim.start(binDir() + QStringLiteral("/modality-sim"),
              {QStringLiteral("--no-send"), QStringLiteral("--out"), out.path(), QStringLiteral("--patient-id"),
               QStringLiteral("DEMO002"), QStringLiteral("--name"), QString::fromUtf8("Müller^Zoë"),
               QStringLiteral("--birth"), QStringLiteral("19720923"), QStringLiteral("--accession"),
               QStringLiteral("ACC1002"), QStringLiteral("--size"), QStringLiteral("320x416"),
               QStringLiteral("--instance"), QStringLiteral("1,2,3,4")});
    QVERIFY(sim.waitForFinished(60000));
    QCOMPARE(sim.exitCode(), 0);
    const char *const expected[] = {"R CC", "L CC", "R MLO", "L MLO"};
    for (int n = 1; n <= 4; ++n) {
        const QString file = out.filePath(QStringLiteral("MG%1.dcm").arg(n));
        QProcess verify;
        verify.setProcessChannelMode(QProcess::MergedChannels);
        verify.start(QStringLiteral("dciodvfy"), {file});
        QVERIFY(verify.waitForFinished(60000));
        const QString report = QString::fromLatin1(verify.readAll());
        QVERIFY2(report.contains(QStringLiteral("MammographyImageForPresentation")), qPrintable(report));
        QVERIFY2(!report.contains(QStringLiteral("Error")), qPrintable(report));
        QProcess dump;
        dump.start(QStringLiteral("dcmdump"),
                   {QStringLiteral("+P"), QStringLiteral("0028,0101"), QStringLiteral("+P"),
                    QStringLiteral("0020,0062"), QStringLiteral("+P"), QStringLiteral("0018,5101"),
                    QStringLiteral("+P"), QStringLiteral("0020,0013"), QStringLiteral("+P"),
                    QStringLiteral("0010,0010"), file});
        QVERIFY(dump.waitForFinished(30000));
        const QString d = QString::fromLatin1(dump.readAll());
        const QStringList side = QString::fromLatin1(expected[n - 1]).split(QLatin1Char(' '));
        QVERIFY2(d.contains(QStringLiteral("US 14 ")), qPrintable(d));
        QVERIFY2(d.contains(QStringLiteral("CS [%1]").arg(side[0])), qPrintable(d));
        QVERIFY2(d.contains(QStringLiteral("CS [%1]").arg(side[1])), qPrintable(d));
        QVERIFY2(d.contains(QStringLiteral("IS [%1]").arg(n)), qPrintable(d));
        QVERIFY2(d.contains(QString::fromUtf8("PN [Müller^Zoë]")), qPrintable(d));
    }
}

void TestDemoRoom::automaticExaminationEndsInThePacs_data()
{
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QString>("doseTag"); // where the PACS must hold the dose
    QTest::addColumn<double>("divisor");  // recorded value / divisor = the image's value
    QTest::newRow("HFE 501: dose-area product") << "hfe"
                                                << "ImageAndFluoroscopyAreaDoseProduct" << 10.0;
    QTest::newRow("Giotto: entrance dose") << "giotto"
                                           << "EntranceDoseInmGy" << 1.0;
}

void TestDemoRoom::automaticExaminationEndsInThePacs()
{
    QFETCH(QString, unit);
    QFETCH(QString, doseTag);
    QFETCH(double, divisor);
    if (QStandardPaths::findExecutable(QStringLiteral("Orthanc")).isEmpty()
        || QStandardPaths::findExecutable(QStringLiteral("wlmscpfs")).isEmpty())
        CALVAREX_MISSING("Orthanc or wlmscpfs is not installed (scripts/deps installs them)");

    QTemporaryDir work;
    const QString folder = work.filePath(QStringLiteral("demo"));
    const QString userConfig = work.filePath(QStringLiteral("user-config"));
    QProcess room;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // A real site's settings scope, to see that the demo never writes there.
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), userConfig);
    env.remove(QStringLiteral("CALVAREX_SETTINGS"));
    env.remove(QStringLiteral("CALVAREX_HOME"));
    room.setProcessEnvironment(env);
    room.setProcessChannelMode(QProcess::MergedChannels);
    room.start(binDir() + QStringLiteral("/demo-room"),
               {QStringLiteral("--folder"), folder, QStringLiteral("--auto"), QStringLiteral("--unit"), unit,
                QStringLiteral("--size"), QStringLiteral("640x832"), QStringLiteral("--http-port"),
                QStringLiteral("0")});
    QVERIFY(room.waitForStarted(10000));
    const bool ended = room.waitForFinished(240000);
    const QString out = QString::fromUtf8(room.readAll());
    if (!ended) {
        room.kill();
        room.waitForFinished(5000);
    }
    QVERIFY2(ended, qPrintable(out.right(3000)));
    QVERIFY2(room.exitCode() == 0, qPrintable(out.right(3000)));
    QVERIFY2(out.contains(QStringLiteral("EXAM done")), qPrintable(out.right(3000)));
    // The audit log names the examination's query, receipt, dose merge and transfer.
    QVERIFY2(out.contains(QRegularExpression(
                 QStringLiteral("CHECK audit log of DEMO001: worklist queries [1-9]\\d*, images "
                                "received [1-9]\\d*, studies opened [1-9]\\d*, dose merges [1-9]\\d*, PACS "
                                "transfers [1-9]\\d* -> ok"))),
             qPrintable(out));
    // The live view showed the four images as they came, before "New Study".
    QVERIFY2(out.contains(QStringLiteral("CHECK live view of DEMO001: 4 images shown during the examination -> ok")),
             qPrintable(out.right(3000)));
    // The PACS committed to the study (four images and the dose report), as the station's
    // study list showed it, and the RIS has the step with a dose item per exposure.
    QVERIFY2(out.contains(QStringLiteral("EXAM commitment 5 sent: 5 committed")), qPrintable(out.right(3000)));
    QVERIFY2(out.contains(QStringLiteral("CHECK storage commitment of DEMO001: 5 sent: 5 committed -> ok")),
             qPrintable(out.right(3000)));
    QVERIFY2(
        QRegularExpression(QStringLiteral("CHECK MPPS step of DEMO001: COMPLETED, N-CREATE 1, N-SET 1, \\d images, "
                                          "4 dose items -> ok"))
            .match(out)
            .hasMatch(),
        qPrintable(out.right(3000)));

    // Nothing the room started is left running: its peers and the station by their ids,
    // and no companion serves the demo's station folder.
    const QString station = folder + QStringLiteral("/station");
    QList<qint64> pids;
    for (const QRegularExpressionMatch &m :
         QRegularExpression(QStringLiteral("^PID (\\S+) (\\d+)$"), QRegularExpression::MultilineOption)
             .globalMatch(out))
        pids << m.captured(2).toLongLong();
    QCOMPARE(pids.size(), 5); // worklist, PACS, MPPS provider, X-ray unit, station
    QVERIFY(waitUntil([&] { return std::all_of(pids.begin(), pids.end(), processGone); }, 10000));
    QCOMPARE(Companions::FindProcess(Companions::receiverName(), station), 0);
    QCOMPARE(Companions::FindProcess(Companions::dataManagerName(), station), 0);
    // The settings went into the demo's own file only.
    QVERIFY(QFile::exists(station + QStringLiteral("/settings.ini")));
    QVERIFY(!QFile::exists(userConfig + QStringLiteral("/Lumetra/TqStation.conf")));

    // The station's side: four dose records of the worklist patient with exposure numbers
    // 1 to 4, four images filed with their files in the store.
    QHash<int, double> doses;
    QString studyUid;
    QStringList files;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("demo-check"));
        db.setDatabaseName(station + QStringLiteral("/Data/TqData.dat"));
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY(
            q.exec(QString::fromUtf8("SELECT ImgNo, mGy1 FROM tblDosis WHERE PatLastname = 'O´Brien'"
                                     " AND PatFirstname = 'Siobhan' AND PatBirthdate = '1968-04-12' ORDER BY ImgNo")));
        while (q.next())
            doses.insert(q.value(0).toInt(), q.value(1).toDouble());
        QVERIFY(q.exec(QStringLiteral("SELECT st.StudyUID, i.ImageUID FROM tblImages i"
                                      " JOIN tblSeries se ON i.FKeySeriesID = se.SeriesID"
                                      " JOIN tblStudies st ON se.FKeyStudyID = st.StudyID"
                                      " JOIN tblPatienten p ON st.FKeyPATID = p.PatID WHERE p.PatID1 = 'DEMO001'")));
        while (q.next()) {
            studyUid = q.value(0).toString();
            files << QStringLiteral("%1/Images/%2/%3.dcm").arg(station, studyUid, q.value(1).toString());
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("demo-check"));
    QCOMPARE(QList<int>(doses.keyBegin(), doses.keyEnd()).size(), 4);
    for (int n = 1; n <= 4; ++n)
        QVERIFY2(doses.contains(n), qPrintable(QStringLiteral("no dose record with exposure number %1").arg(n)));
    QCOMPARE(files.size(), 4);
    for (const QString &f : files)
        QVERIFY2(QFile::exists(f), qPrintable(f));

    // The PACS's side, read back from its storage by a fresh Orthanc: four instances of the
    // patient, each with its own exposure's dose in the unit's attribute.
    peers::OrthancPacs::Options check;
    check.folder = work.filePath(QStringLiteral("orthanc-check"));
    check.storage = folder + QStringLiteral("/orthanc/db");
    peers::OrthancPacs orthanc(check);
    QVERIFY2(orthanc.start(), qPrintable(orthanc.output()));
    int found = 0;
    QSet<int> numbers;
    QList<QJsonObject> images;
    QStringList reports;
    for (const QJsonValue &id : QJsonDocument::fromJson(orthanc.get(QStringLiteral("/instances"))).array()) {
        const QJsonObject tags =
            QJsonDocument::fromJson(orthanc.get(QStringLiteral("/instances/%1/simplified-tags").arg(id.toString())))
                .object();
        if (tags.value("PatientID").toString() != QLatin1String("DEMO001"))
            continue;
        QCOMPARE(tags.value("StudyInstanceUID").toString(), studyUid);
        if (tags.value("SOPClassUID").toString() == dicom::XRayRadiationDoseSrClass)
            reports << id.toString();
        else
            images << tags;
    }
    // One dose report with the study, dciodvfy finds no error in it.
    QCOMPARE(reports.size(), 1);
    const QString reportFile = work.filePath(QStringLiteral("dose-report.dcm"));
    {
        QFile f(reportFile);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(orthanc.get(QStringLiteral("/instances/%1/file").arg(reports.first())));
    }
    QProcess verify;
    verify.setProcessChannelMode(QProcess::MergedChannels);
    verify.start(QStringLiteral("dciodvfy"), {reportFile});
    QVERIFY(verify.waitForFinished(60000));
    const QString verdict = QString::fromLatin1(verify.readAll());
    QVERIFY2(!verdict.contains(QStringLiteral("\nError")) && !verdict.startsWith(QStringLiteral("Error")),
             qPrintable(verdict));
    const DoseReportFacts report = DoseReports::read(reportFile);
    QCOMPARE(report.events.size(), 4);
    QVERIFY2(out.contains(QStringLiteral("CHECK PACS dose reports of DEMO001: 1, 4 events -> ok")),
             qPrintable(out.right(3000)));
    for (const QJsonObject &tags : images) {
        ++found;
        const int n = tags.value("InstanceNumber").toString().toInt();
        numbers.insert(n);
        QVERIFY2(doses.contains(n), qPrintable(QStringLiteral("image %1 has no exposure").arg(n)));
        const QString value = tags.value(doseTag).toString();
        QVERIFY2(!value.isEmpty(), qPrintable(QStringLiteral("image %1 lacks %2").arg(n).arg(doseTag)));
        QVERIFY2(
            qAbs(value.toDouble() - doses.value(n) / divisor) < 1e-6,
            qPrintable(
                QStringLiteral("image %1: %2 = %3, exposure dose %4").arg(n).arg(doseTag, value).arg(doses.value(n))));
        // The image names the report's event of its own exposure: the HFE's dose-area
        // product in Gy m2 (record x 1e-6), the other units' entrance dose in mGy.
        const QString eventUid = tags.value("IrradiationEventUID").toString();
        const auto event = std::find_if(report.events.begin(), report.events.end(),
                                        [&](const DoseEvent &e) { return e.eventUid == eventUid; });
        QVERIFY2(event != report.events.end(), qPrintable(QStringLiteral("image %1: event %2").arg(n).arg(eventUid)));
        const double reported = unit == QLatin1String("hfe") ? event->dap.value() : event->entranceDose.value();
        const double want = doses.value(n) * (unit == QLatin1String("hfe") ? 1e-6 : 1.0);
        QVERIFY2(
            qAbs(reported - want) <= 1e-9 * qMax(1.0, want),
            qPrintable(QStringLiteral("image %1: reported %2, record %3").arg(n).arg(reported).arg(doses.value(n))));
    }
    orthanc.stop();
    QCOMPARE(found, 4);
    QCOMPARE(numbers, (QSet<int>{1, 2, 3, 4}));
    // The steps were pictured for the operator's script, the live view's hanging filling
    // up among them.
    const QDir screens(folder + QStringLiteral("/screens"));
    for (const char *step : {"*-live-1.png", "*-live-4.png", "*-progress.png"}) {
        const QFileInfoList found = screens.entryInfoList({QString::fromLatin1(step)}, QDir::Files);
        QVERIFY2(found.size() == 1 && found.first().size() > 1000, step);
    }
}

QTEST_MAIN(TestDemoRoom)
#include "test_demo_room.moc"

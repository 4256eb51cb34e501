// The dose report of an examination, as dose registries and PACS read it: checked with
// dciodvfy, DCMTK's dsrdump and pydicom (independent readers), and kept once per study.
#include "Requires.h"
#include "StoreFixture.h"
#include "TestStation.h"

#include "core/AppError.h"
#include "core/Database.h"
#include "core/Station.h"
#include "dicom/Image.h"
#include "dose/DoseReport.h"
#include "dose/DoseReports.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

namespace {

struct Exposure {
    const char *laterality, *view;
    QString mGy1, mGy2, mGy3, expTime;
};

// Four HFE 501 exposures: dose-area product cGy*cm2, kV, mAs, ms.
const QList<Exposure> HfeStudy{{"R", "CC", "9.60", "28", "80", "450"},
                               {"L", "CC", "10.25", "29", "90", "500"},
                               {"R", "MLO", "11.5", "30", "100", "0"},
                               {"L", "MLO", "12", "31", "", "400"}};
// A Giotto study: the entrance dose in mGy (the channel's other values are not reported).
const QList<Exposure> GiottoStudy{{"R", "CC", "4.12", "7", "8", ""}, {"L", "CC", "3.9", "7", "8", ""}};

struct Made {
    QString studyUid;
    QStringList files;
    std::vector<qint64> ids;
};

// The images of the exposures (Instance Number = exposure number) and their records.
Made makeStudy(Station &st, const QList<Exposure> &exposures, int unit, const QString &folder)
{
    StoreFixture fx(st);
    Made m;
    m.studyUid = fx.newUid();
    const QString series = fx.newUid();
    Database db = Database::openData(st.paths());
    for (int i = 0; i < exposures.size(); ++i) {
        StoreFixture::Mammogram g;
        g.size = QSize(64, 80);
        g.laterality = exposures[i].laterality[0];
        g.view = QString::fromLatin1(exposures[i].view);
        g.instanceNumber = i + 1;
        g.studyUid = m.studyUid;
        g.seriesUid = series;
        g.sopUid = fx.newUid();
        const QString file = QDir(folder).filePath(g.sopUid + ".dcm");
        StoreFixture::writeMammogram(file, g);
        m.files << file;
        QSqlQuery q = db.exec(
            "INSERT INTO tblDosis (PatFirstname, PatLastname, PatBirthdate, mGy1, mGy2, mGy3, expTime, \"Date\","
            " \"Time\", Status, ImgNo, XrayComm, WorklistPatID) VALUES ('JANE', 'DOE', '1960-12-31', ?, ?, ?, ?,"
            " '2026-12-10', ?, '2', ?, ?, 'P1')",
            {exposures[i].mGy1, exposures[i].mGy2, exposures[i].mGy3, exposures[i].expTime, QString("14:0%1:22").arg(i),
             i + 1, unit});
        m.ids.push_back(db.lastInsertId(q));
    }
    return m;
}

QString run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(60000))
        return QStringLiteral("(timed out)");
    return QString::fromUtf8(p.readAll());
}

QStringList verifierErrors(const QString &file)
{
    QStringList errors;
    for (const QString &line : run("dciodvfy", {file}).split('\n'))
        if (line.startsWith("Error"))
            errors << line.trimmed();
    return errors;
}

// pydicom's reading of the events: one object per event, concept code -> value and unit.
const char *const PydicomEvents = R"(
import json, sys, pydicom
ds = pydicom.dcmread(sys.argv[1])
def items(node):
    return getattr(node, 'ContentSequence', [])
events = []
for c in items(ds):
    if c.ConceptNameCodeSequence[0].CodeValue != '113706':
        continue
    ev = {}
    for i in items(c):
        code = i.ConceptNameCodeSequence[0].CodeValue
        if i.ValueType == 'NUM':
            mv = getattr(i, 'MeasuredValueSequence', [])
            if mv:
                ev[code] = [float(mv[0].NumericValue), mv[0].MeasurementUnitsCodeSequence[0].CodeValue]
            else:
                ev[code] = [None, i.NumericValueQualifierCodeSequence[0].CodeMeaning]
        elif i.ValueType == 'UIDREF':
            ev[code] = i.UID
        elif i.ValueType == 'DATETIME':
            ev[code] = i.DateTime
        elif i.ValueType == 'CODE':
            ev[code] = i.ConceptCodeSequence[0].CodeMeaning
            for m in items(i):
                ev[code + '/' + m.ConceptNameCodeSequence[0].CodeValue] = m.ConceptCodeSequence[0].CodeMeaning
    events.append(ev)
print(json.dumps({'sopClass': ds.SOPClassUID, 'template': ds.ContentTemplateSequence[0].TemplateIdentifier,
                  'events': events}))
)";

QJsonObject pydicomRead(const QString &file)
{
    // Debian's interpreter, which has Debian's pydicom (another python3 may come first in PATH).
    const QString python =
        QFileInfo::exists("/usr/bin/python3") ? QStringLiteral("/usr/bin/python3") : QStringLiteral("python3");
    const QString out = run(python, {"-c", PydicomEvents, file});
    const QJsonObject o = QJsonDocument::fromJson(out.toUtf8()).object();
    if (o.isEmpty())
        qWarning("pydicom: %s", qPrintable(out));
    return o;
}

} // namespace

class TestDoseReport : public QObject {
    Q_OBJECT
private slots:
    void reportReadsAsTheUnitSentIt_data();
    void reportReadsAsTheUnitSentIt();
    void secondReportOfTheSameStudyIsTheSame();
    void changedRecordsReplaceTheReport();
    void reportWithoutImages();
    void numbersFitTheDecimalString_data();
    void numbersFitTheDecimalString();
};

void TestDoseReport::reportReadsAsTheUnitSentIt_data()
{
    QTest::addColumn<int>("unit");
    QTest::addColumn<QList<Exposure>>("exposures");
    QTest::newRow("HFE 501, four exposures") << 5 << HfeStudy;
    QTest::newRow("Giotto, two exposures") << 2 << GiottoStudy;
}

void TestDoseReport::reportReadsAsTheUnitSentIt()
{
    QFETCH(int, unit);
    QFETCH(QList<Exposure>, exposures);
    for (const char *tool : {"dciodvfy", "dsrdump", "python3"})
        if (QStandardPaths::findExecutable(tool).isEmpty())
            CALVAREX_MISSING("dciodvfy, dsrdump or python3 is not installed (scripts/deps)");
    TestStation ts;
    ts->settings().irAet = "MAMMO1";
    QTemporaryDir images;
    const Made m = makeStudy(*ts, exposures, unit, images.path());
    DoseReports reports(*ts);
    const DoseReports::Made r = reports.make(m.ids, m.studyUid, m.files);
    QVERIFY(QFileInfo::exists(r.file));
    QCOMPARE(r.file, ts->paths().doseReportFile(m.studyUid));

    const QStringList errors = verifierErrors(r.file);
    QVERIFY2(errors.isEmpty(), qPrintable(errors.join('\n')));

    const QString dump = run("dsrdump", {"+Pt", r.file});
    QVERIFY2(dump.contains("X-Ray Radiation Dose SR"), qPrintable(dump.left(2000)));
    QVERIFY2(dump.contains("TID 10001 (DCMR)"), qPrintable(dump.left(2000)));

    const QJsonObject py = pydicomRead(r.file);
    QCOMPARE(py["sopClass"].toString(), QString("1.2.840.10008.5.1.4.1.1.88.67"));
    QCOMPARE(py["template"].toString(), QString("10001"));
    const QJsonArray events = py["events"].toArray();
    QCOMPARE(events.size(), exposures.size());
    for (int i = 0; i < events.size(); ++i) {
        const QJsonObject ev = events[i].toObject();
        const Exposure &x = exposures[i];
        const QString what = QString("event %1: %2").arg(i + 1).arg(QString(QJsonDocument(ev).toJson()));
        // Each event names its own image's exposure, and its image's view and side.
        QCOMPARE(ev["113769"].toString(), r.eventOf.value(m.ids[i]));
        QCOMPARE(ev["111526"].toString(), QString("20261210140" + QString::number(i) + "22"));
        QCOMPARE(ev["91723000/272741003"].toString(), QString(x.laterality[0] == 'R' ? "Right" : "Left"));
        QCOMPARE(ev["111031"].toString(),
                 QString(x.view == QByteArray("CC") ? "cranio-caudal" : "medio-lateral oblique"));
        QCOMPARE(ev["123014"].toString(), QString("Breast"));
        // Never a glandular dose the unit did not measure.
        QCOMPARE(ev["111631"].toArray()[1].toString(), QString("Value unknown"));
        auto value = [&](const char *code) { return ev[code].toArray(); };
        if (unit == 5) {
            QVERIFY2(qAbs(value("122130")[0].toDouble() - x.mGy1.toDouble() * 1e-6) < 1e-15, qPrintable(what));
            QCOMPARE(value("122130")[1].toString(), QString("Gy.m2"));
            QCOMPARE(value("113733")[0].toDouble(), x.mGy2.toDouble());
            QCOMPARE(value("113733")[1].toString(), QString("kV"));
            QCOMPARE(value("111636")[1].toString(), QString("Value unknown"));
            if (x.mGy3.isEmpty()) {
                QCOMPARE(value("113736")[1].toString(), QString("Value unknown"));
                QVERIFY(!ev.contains("113767"));
            } else {
                QCOMPARE(value("113736")[0].toDouble(), x.mGy3.toDouble() * 1000);
                QCOMPARE(value("113736")[1].toString(), QString("uA.s"));
            }
            if (x.expTime.toDouble() > 0) {
                QCOMPARE(value("113824")[0].toDouble(), x.expTime.toDouble());
                QCOMPARE(value("113824")[1].toString(), QString("ms"));
            }
            // The tube current only where both mAs and a time are known.
            if (!x.mGy3.isEmpty() && x.expTime.toDouble() > 0)
                QVERIFY2(qAbs(value("113767")[0].toDouble() - x.mGy3.toDouble() / (x.expTime.toDouble() / 1000)) < 1e-3,
                         qPrintable(what));
            else
                QVERIFY2(!ev.contains("113767"), qPrintable(what));
        } else {
            QCOMPARE(value("111636")[0].toDouble(), x.mGy1.toDouble());
            QCOMPARE(value("111636")[1].toString(), QString("mGy"));
            QVERIFY(!ev.contains("122130"));
            QVERIFY(!ev.contains("113733"));
        }
    }
    // The HFE's example in plain numbers: 9.60 cGy*cm2 is 9.6E-06 Gy*m2.
    if (unit == 5)
        QCOMPARE(DoseReports::read(r.file).events[0].dap.value(), 9.6e-6);
}

void TestDoseReport::secondReportOfTheSameStudyIsTheSame()
{
    TestStation ts;
    QTemporaryDir images;
    const Made m = makeStudy(*ts, HfeStudy, 5, images.path());
    DoseReports reports(*ts);
    const DoseReports::Made first = reports.make(m.ids, m.studyUid, m.files);
    const QByteArray bytes = [&] {
        QFile f(first.file);
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }();
    QTest::qWait(1100); // a second later: a remade file would carry another content time
    const DoseReports::Made second = reports.make(m.ids, m.studyUid, m.files);
    QVERIFY(second.unchanged);
    QCOMPARE(second.sopUid, first.sopUid);
    QCOMPARE(second.eventOf, first.eventOf);
    QFile f(second.file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), bytes);
    QCOMPARE(QDir(ts->paths().doseReportsDir()).entryList(QDir::Files).size(), 1);
    // The same device UID every time, kept in the settings.
    QCOMPARE(DoseReports::read(second.file).deviceUid, reports.deviceUid());
}

void TestDoseReport::changedRecordsReplaceTheReport()
{
    TestStation ts;
    QTemporaryDir images;
    const Made m = makeStudy(*ts, HfeStudy, 5, images.path());
    DoseReports reports(*ts);
    const DoseReports::Made first = reports.make(m.ids, m.studyUid, m.files);
    {
        Database db = Database::openData(ts->paths());
        db.exec("UPDATE tblDosis SET mGy1 = '9.70' WHERE ID = ?", {m.ids[0]});
    }
    const DoseReports::Made second = reports.make(m.ids, m.studyUid, m.files);
    QVERIFY(!second.unchanged);
    QVERIFY(second.sopUid != first.sopUid);
    QCOMPARE(second.replaced, first.sopUid);
    // The events stay the same exposures.
    QCOMPARE(second.eventOf, first.eventOf);
    const DoseReportFacts f = DoseReports::read(second.file);
    QCOMPARE(f.predecessorUid, first.sopUid);
    QCOMPARE(f.seriesUid, DoseReports::read(second.file).seriesUid);
    QCOMPARE(f.events[0].dap.value(), 9.7e-6);
    QCOMPARE(QDir(ts->paths().doseReportsDir()).entryList(QDir::Files).size(), 1);
}

void TestDoseReport::reportWithoutImages()
{
    TestStation ts;
    QTemporaryDir images;
    const Made m = makeStudy(*ts, GiottoStudy, 2, images.path());
    DoseReports reports(*ts);
    // No study known: one is made, and kept with the records for the next report.
    const DoseReports::Made r = reports.make(m.ids, QString());
    const DoseReportFacts f = DoseReports::read(r.file);
    QVERIFY(isValidUid(f.studyUid));
    QCOMPARE(f.patientId, QString("P1"));
    QCOMPARE(f.patientName, QString("DOE^JANE"));
    QCOMPARE(f.events.size(), 2);
    for (const DoseEvent &e : f.events) {
        QVERIFY(e.imageUid.isEmpty());
        QVERIFY(e.laterality.isEmpty());
    }
    QCOMPARE(f.events[1].entranceDose.value(), 3.9);
    const QStringList errors = verifierErrors(r.file);
    QVERIFY2(errors.isEmpty(), qPrintable(errors.join('\n')));
    QCOMPARE(reports.make(m.ids, QString()).sopUid, r.sopUid);
    QCOMPARE(reports.assignEvents(m.ids, QString()).studyUid, f.studyUid);
}

void TestDoseReport::numbersFitTheDecimalString_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("dap") << 9.6e-6 << "9.6E-06";
    QTest::newRow("kV") << 28.0 << "28";
    QTest::newRow("current") << 177.77777777777777 << "177.7777778";
    QTest::newRow("tiny") << 1.234567890123e-12 << "1.23456789E-12";
}

void TestDoseReport::numbersFitTheDecimalString()
{
    QFETCH(double, value);
    QFETCH(QString, text);
    const QString got = DoseReport::numberText(value);
    QCOMPARE(got, text);
    QVERIFY(got.size() <= 16);
}

QTEST_GUILESS_MAIN(TestDoseReport)
#include "test_dosereport.moc"

// What the station's own actions leave in the audit trail: an export, an import, a
// deletion, a transfer to a storage destination. Each message names the patient and the
// study the action touched, and is valid against the DICOM audit message schema.
#include "AuditSchema.h"
#include "RecordingProgress.h"
#include "Requires.h"
#include "StoreFixture.h"
#include "TestStation.h"
#include "core/Audit.h"
#include "core/AuditTrail.h"
#include "core/SecuritySettings.h"
#include "dicom/StoreSender.h"
#include "dicom/Uid.h"
#include "io/ImageExport.h"
#include "io/ImageImport.h"
#include "peers/StoreScp.h"
#include "store/StoreDeletion.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QUrl>
#include <QtTest>

namespace {

// n small images of one new study of this patient, in folder.
struct Files {
    QString studyUid;
    QStringList files;
};
Files images(const QString &folder, const QString &patientId, int n)
{
    Files f;
    f.studyUid = dicom::newUid();
    const QString series = dicom::newUid();
    for (int i = 1; i <= n; ++i) {
        f.files << QStringLiteral("%1/%2-%3.dcm").arg(folder, patientId).arg(i);
        StoreFixture::writeSmallImage(f.files.last(), f.studyUid, series, dicom::newUid(), i, 24, 32, patientId);
    }
    return f;
}

} // namespace

class TestAuditPoints : public QObject {
    Q_OBJECT
    QTemporaryDir m_logs;

    // The messages written since the trail began, as an auditor reads them; each one
    // checked against the schema.
    QList<Audit::Summary> messages()
    {
        QList<Audit::Summary> out;
        for (const AuditTrail::Entry &e : AuditTrail::readLog(Audit::logFile())) {
            const QString problem = auditSchemaProblem(e.xml);
            if (!problem.isEmpty())
                qWarning("%s", qPrintable(problem + QString::fromUtf8(e.xml)));
            out << Audit::summarize(e.xml);
            out.last().description = problem.isEmpty() ? out.last().description : QStringLiteral("INVALID");
        }
        return out;
    }
    // The one message of this event after the application start.
    Audit::Summary only(const QString &event)
    {
        QList<Audit::Summary> found;
        for (const Audit::Summary &s : messages()) {
            if (s.description == QLatin1String("INVALID"))
                return s;
            if (s.event == event)
                found << s;
        }
        return found.size() == 1 ? found.first() : Audit::Summary{};
    }

private slots:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("xmllint")).isEmpty())
            CALVAREX_MISSING("xmllint (libxml2-utils) checks the messages against the schema");
    }
    void init()
    {
        QFile::remove(m_logs.filePath(QStringLiteral("audit.log")));
        Audit::begin(QStringLiteral("calvarex"), QStringLiteral("MAMMO1"), m_logs.path(), SecuritySettings());
    }
    void cleanup() { Audit::end(); }

    void exportAndImportNameTheirPatientsAndMedia()
    {
        TestStation ts;
        QTemporaryDir source;
        const Files made = images(source.path(), QStringLiteral("EXP1"), 3);
        QTemporaryDir out;
        RecordingProgress progress;
        ImageExport::Options o;
        o.directory = out.path();
        const ImageExport::Result r = ImageExport(ts->log(), progress).run(made.files, o);
        QCOMPARE(r.images, 3);
        const Audit::Summary exported = only(QStringLiteral("110106"));
        QCOMPARE(exported.action, QStringLiteral("R"));
        QVERIFY2(exported.objects.contains(QStringLiteral("EXP1")) && exported.objects.contains(made.studyUid),
                 qPrintable(exported.objects.join(' ')));
        QVERIFY2(exported.users.join(' ').contains(QUrl::fromLocalFile(out.path()).toString()),
                 qPrintable(exported.users.join(' ')));

        TestStation other;
        const ImageImport::Result in = ImageImport(other->paths(), other->log(), progress).importFiles(made.files);
        QCOMPARE(in.imported, 3);
        const Audit::Summary imported = only(QStringLiteral("110107"));
        QCOMPARE(imported.action, QStringLiteral("C"));
        QVERIFY2(imported.objects.contains(QStringLiteral("EXP1")) && imported.objects.contains(made.studyUid),
                 qPrintable(imported.objects.join(' ')));
    }

    void deletionNamesTheStudyBeforeItsFilesGo()
    {
        TestStation ts;
        StoreFixture fx(*ts);
        const auto made = fx.addStudyWithImages(fx.addPatient("DEL1", "ROE", "ANN"), 2);
        RecordingProgress progress;
        StoreDeletion(ts->paths(), ts->log(), progress).deleteStudy(made.studyId);
        QVERIFY(!QFileInfo::exists(made.files.first()));
        const Audit::Summary deleted = only(QStringLiteral("110105"));
        QCOMPARE(deleted.action, QStringLiteral("D"));
        // The patient as the files name her (the fixture's files carry "S1").
        QVERIFY2(deleted.objects.contains(QStringLiteral("S1")) && deleted.objects.contains(made.studyUid),
                 qPrintable(deleted.objects.join(' ')));
    }

    void transferNamesThePeerAndEachPatient()
    {
        QTemporaryDir source;
        const Files a = images(source.path(), QStringLiteral("TX1"), 2);
        const Files b = images(source.path(), QStringLiteral("TX2"), 1);
        peers::StoreScp scp;
        QVERIFY(scp.start());
        {
            dicom::StoreSender sender({"127.0.0.1", QString::number(scp.port()), "MAMMO1", scp.aet()});
            const QStringList files = a.files + b.files;
            sender.open(files);
            for (const QString &f : files)
                QVERIFY(sender.send(f).sent);
            sender.close();
        }
        QList<Audit::Summary> sent;
        for (const Audit::Summary &s : messages())
            if (s.event == QLatin1String("110104"))
                sent << s;
        QCOMPARE(sent.size(), 2); // one per patient
        QVERIFY(sent[0].objects.contains(QStringLiteral("TX1")) && sent[0].objects.contains(a.studyUid));
        QVERIFY(sent[1].objects.contains(QStringLiteral("TX2")) && sent[1].objects.contains(b.studyUid));
        for (const Audit::Summary &s : sent)
            QVERIFY2(s.users.contains(scp.aet()) && s.users.contains(QStringLiteral("127.0.0.1")),
                     qPrintable(s.users.join(' ')));
    }
};

QTEST_GUILESS_MAIN(TestAuditPoints)
#include "test_auditpoints.moc"

// The receiver as a secure node: TqReceiver requiring TLS with a caller certificate,
// DCMTK's storescu as the callers, and the audit log the receiver writes: the callers it
// refused (security alerts), the images it took (instances transferred), its start and
// stop, each message valid against the DICOM audit message schema.
#include "AuditSchema.h"
#include "CompanionTestKit.h"
#include "Requires.h"
#include "StoreFixture.h"
#include "TestPki.h"
#include "core/Audit.h"
#include "core/AuditTrail.h"
#include "core/Companions.h"
#include "dicom/Uid.h"
#include "peers/Ports.h"

#include <QtTest>

class TestSecureNode : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        for (const char *program : {"openssl", "storescu", "xmllint"})
            if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty())
                CALVAREX_MISSING("openssl, storescu or xmllint is not installed");
        QVERIFY2(QFileInfo(Companions::executablePath(Companions::receiverName())).isExecutable(),
                 "TqReceiver not built");
    }

    void receiverTakesOnlyTrustedCallersAndAuditsBoth()
    {
        TestPki pki;
        QVERIFY2(pki.ok(), qPrintable(pki.error()));
        QVERIFY2(pki.make(QStringLiteral("expired"), TestPki::Expired), qPrintable(pki.error()));
        QVERIFY2(pki.make(QStringLiteral("station")) && pki.make(QStringLiteral("modality")), qPrintable(pki.error()));

        kit::LiveStation live(freeTcpPort());
        SettingsStore &store = live.station->settingsStore();
        store.writeValue(QStringLiteral("Security/KeyFile"), pki.key("station"));
        store.writeValue(QStringLiteral("Security/CertFile"), pki.cert("station"));
        store.writeValue(QStringLiteral("Security/Trusted"), pki.ca());
        store.writeValue(QStringLiteral("Security/Receiver"), QStringLiteral("tls-client-cert"));
        auto receiver = live.startChild(Companions::receiverName());
        QVERIFY(peers::waitForPort(live.port, 15000));

        const QString studyUid = dicom::newUid();
        const QString file = QDir(live.dir.path()).filePath(QStringLiteral("sent.dcm"));
        StoreFixture::writeSmallImage(file, studyUid, dicom::newUid(), dicom::newUid(), 1, 24, 32,
                                      QStringLiteral("SECURE1"));
        const QStringList target{QStringLiteral("-aec"), live.aeTitle, QStringLiteral("127.0.0.1"),
                                 QString::number(live.port), file};
        const QString dir = pki.folder() + QLatin1Char('/');
        QString out;
        // A plain caller and one with an expired certificate store nothing.
        QVERIFY(kit::runTool(QStringLiteral("storescu"), target, &out) != 0);
        QVERIFY(
            kit::runTool(QStringLiteral("storescu"),
                         QStringList{"+tls", dir + "expired.key", dir + "expired.pem", "-pw", "+cf", pki.ca()} + target,
                         &out)
            != 0);
        const QString input = live.station->paths().tempDir();
        QCOMPARE(QDir(input).entryList({QStringLiteral("*.dcm")}, QDir::Files).size(), 0);
        // A modality with a certificate of the site's CA does.
        QVERIFY2(kit::runTool(QStringLiteral("storescu"),
                              QStringList{"+tls", dir + "modality.key", dir + "modality.pem", "-pw", "+cf", pki.ca()}
                                  + target,
                              &out)
                     == 0,
                 qPrintable(out));
        QCOMPARE(QDir(input).entryList({QStringLiteral("*.dcm")}, QDir::Files).size(), 1);
        QVERIFY(kit::terminateChild(*receiver));

        const QList<AuditTrail::Entry> log =
            AuditTrail::readLog(QDir(live.station->paths().logsDir()).filePath(QStringLiteral("audit.log")));
        QStringList events;
        QList<Audit::Summary> read;
        for (const AuditTrail::Entry &e : log) {
            QCOMPARE(e.appName, QStringLiteral("TqReceiver"));
            const QString problem = auditSchemaProblem(e.xml);
            QVERIFY2(problem.isEmpty(), qPrintable(problem + QString::fromUtf8(e.xml)));
            read << Audit::summarize(e.xml);
            events << read.last().event;
        }
        // Start, two refusals, the image, stop.
        QCOMPARE(events, QStringList({"110100", "110113", "110113", "110104", "110100"}));
        QVERIFY2(read[1].description.startsWith(QStringLiteral("TLS caller 127.0.0.1 refused: it does not speak TLS")),
                 qPrintable(read[1].description));
        QCOMPARE(read[2].description,
                 QStringLiteral("TLS caller 127.0.0.1 refused: its certificate has expired (CN=expired)"));
        QVERIFY2(read[1].users.contains(QStringLiteral("127.0.0.1")), qPrintable(read[1].users.join(' ')));
        const Audit::Summary &received = read[3];
        QCOMPARE(received.action, QStringLiteral("C"));
        QCOMPARE(received.outcome, QStringLiteral("0"));
        QVERIFY2(received.objects.contains(QStringLiteral("SECURE1")) && received.objects.contains(studyUid),
                 qPrintable(received.objects.join(' ')));
        QVERIFY2(received.users.contains(QStringLiteral("STORESCU")), qPrintable(received.users.join(' ')));
    }
};

QTEST_GUILESS_MAIN(TestSecureNode)
#include "test_securenode.moc"

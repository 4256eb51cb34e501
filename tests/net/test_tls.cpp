// DICOM over TLS: the station's associations and its receiver against DCMTK's storescu
// and storescp with TLS, and against Orthanc with DICOM TLS (as a PACS both ways, and
// as a worklist provider). Certificates are made by the test with openssl.
#include "Requires.h"
#include "StoreFixture.h"
#include "TestPki.h"
#include "core/AppError.h"
#include "core/SecuritySettings.h"
#include "core/SettingsStore.h"
#include "dicom/CommitmentRequester.h"
#include "dicom/FileFacts.h"
#include "dicom/StorageReceiver.h"
#include "dicom/StoreSender.h"
#include "dicom/Uid.h"
#include "dicom/WorklistQuery.h"
#include "peers/Orthanc.h"
#include "peers/Ports.h"
#include "peers/StoreScp.h"
#include "peers/Worklist.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <mutex>
#include <thread>

namespace {

const dicom::StoreSender::Timeouts Quick{5, 10, 10};

// The station's TLS settings made from the scratch PKI: its key and certificate
// "station", the CA trusted.
TlsConfig stationTls(const TestPki &pki, bool enabled = true)
{
    TlsConfig c;
    c.enabled = enabled;
    c.keyFile = pki.key(QStringLiteral("station"));
    c.certFile = pki.cert(QStringLiteral("station"));
    c.trusted = pki.ca();
    return c;
}

QString smallImage(const QString &folder, int n)
{
    const QString path = QStringLiteral("%1/img%2.dcm").arg(folder).arg(n);
    StoreFixture::writeSmallImage(path, dicom::newUid(), dicom::newUid(), dicom::newUid(), n);
    return path;
}

// The receiver in a thread of the test, with what it refused.
class Receiver {
public:
    Receiver(const QString &folder, const TlsConfig &tls)
    {
        m_config.aeTitle = QStringLiteral("CALVAREX");
        m_config.port = peers::freePort();
        m_config.outputDir = folder;
        m_config.commitReportsDir = folder + QStringLiteral("/reports");
        m_config.timeoutSeconds = 10;
        m_config.tls = tls;
    }
    ~Receiver() { stop(); }
    bool start()
    {
        m_receiver = std::make_unique<StorageReceiver>(m_config);
        m_receiver->onSecurityAlert = [this](const QString &, const QString &text) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_alerts << text;
        };
        m_thread = std::thread([this] { m_error = m_receiver->run(); });
        return peers::waitForPort(m_config.port, 10000);
    }
    void stop()
    {
        if (!m_thread.joinable())
            return;
        StorageReceiver::requestStop();
        m_thread.join();
        m_receiver.reset();
    }
    quint16 port() const { return m_config.port; }
    QString error() const { return m_error; }
    QStringList alerts()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_alerts;
    }
    QStringList stored() const { return QDir(m_config.outputDir).entryList({QStringLiteral("*.dcm")}, QDir::Files); }
    QStringList reports() const
    {
        return QDir(m_config.commitReportsDir).entryList({QStringLiteral("*.json")}, QDir::Files);
    }

private:
    StorageReceiver::Config m_config;
    std::unique_ptr<StorageReceiver> m_receiver;
    std::thread m_thread;
    QString m_error;
    std::mutex m_mutex;
    QStringList m_alerts;
};

// storescu with these arguments before the peer; its exit code and output.
struct Run {
    int code = -1;
    QString output;
};
Run storescu(const QStringList &tlsArgs, quint16 port, const QString &file)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("storescu"),
            QStringList{QStringLiteral("-aec"), QStringLiteral("CALVAREX"), QStringLiteral("-to"), QStringLiteral("10")}
                << tlsArgs << QStringList{QStringLiteral("127.0.0.1"), QString::number(port), file});
    if (!p.waitForFinished(30000))
        p.kill();
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromLocal8Bit(p.readAll())};
}

} // namespace

class TestTls : public QObject {
    Q_OBJECT
    std::unique_ptr<TestPki> m_pki;
    QTemporaryDir m_work;

private slots:
    void initTestCase()
    {
        for (const char *program : {"openssl", "storescu", "storescp", "Orthanc"})
            if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty())
                CALVAREX_MISSING("openssl, DCMTK's storescu/storescp or Orthanc is not installed");
        m_pki = std::make_unique<TestPki>();
        QVERIFY2(m_pki->ok(), qPrintable(m_pki->error()));
        QVERIFY2(m_pki->make(QStringLiteral("expired"), TestPki::Expired), qPrintable(m_pki->error()));
        for (const char *name : {"station", "archive", "modality", "orthanc"})
            QVERIFY2(m_pki->make(QString::fromLatin1(name)), qPrintable(m_pki->error()));
        QVERIFY2(m_pki->make(QStringLiteral("selfmade"), TestPki::SelfSigned), qPrintable(m_pki->error()));
    }

    // The station sends over TLS to storescp; a plain association to the TLS port fails
    // with a text that says so, and a key others can read is refused before connecting.
    void sendsOverTlsOnlyWhenConfigured()
    {
        const TestPki &pki = *m_pki;
        peers::StoreScp scp;
        scp.setExtraArguments({"+tls", pki.key("archive"), pki.cert("archive"), "-pw", "+cf", pki.ca()});
        QVERIFY(scp.start());
        const QString file = smallImage(m_work.path(), 1);
        {
            dicom::StoreSender sender(
                {"127.0.0.1", QString::number(scp.port()), "CALVAREX", scp.aet(), stationTls(pki)}, Quick);
            sender.open({file});
            const auto r = sender.send(file);
            QVERIFY2(r.sent, qPrintable(r.problem));
            sender.close();
        }
        QTRY_COMPARE_WITH_TIMEOUT(scp.files().size(), 1, 5000);

        dicom::StoreSender plain(
            {"127.0.0.1", QString::number(scp.port()), "CALVAREX", scp.aet(), stationTls(pki, false)}, Quick);
        try {
            plain.open({file});
            QFAIL("a plain association to a TLS port opened");
        } catch (const AppError &e) {
            QVERIFY2(e.description().startsWith(QStringLiteral("No association with ARCHIVE at 127.0.0.1:")),
                     qPrintable(e.description()));
        }

        const QString key = pki.key("station");
        QVERIFY(QFile::setPermissions(key, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
        dicom::StoreSender exposed({"127.0.0.1", QString::number(scp.port()), "CALVAREX", scp.aet(), stationTls(pki)},
                                   Quick);
        QString refused;
        try {
            exposed.open({file});
        } catch (const AppError &e) {
            refused = e.description();
        }
        QVERIFY(QFile::setPermissions(key, QFile::ReadOwner | QFile::WriteOwner));
        QVERIFY2(refused.contains(QStringLiteral("can be read by others (mode 0644)")) && refused.contains(key)
                     && refused.contains(QStringLiteral("chmod 600")),
                 qPrintable(refused));
        QCOMPARE(scp.files().size(), 1);
    }

    // A peer whose certificate the station cannot trust: the message names the peer and
    // the reason, nothing is sent.
    void senderNamesWhyThePeerIsNotTrusted_data()
    {
        QTest::addColumn<QString>("certificate");
        QTest::addColumn<QString>("reason");
        QTest::newRow("expired") << "expired"
                                 << "TLS: its certificate has expired (CN=expired)";
        QTest::newRow("self-signed") << "selfmade"
                                     << "TLS: its certificate is self-signed and not trusted (CN=selfmade)";
    }
    void senderNamesWhyThePeerIsNotTrusted()
    {
        QFETCH(QString, certificate);
        QFETCH(QString, reason);
        const TestPki &pki = *m_pki;
        peers::StoreScp scp;
        scp.setExtraArguments({"+tls", pki.key(certificate), pki.cert(certificate), "-pw", "+cf", pki.ca(), "-ic"});
        QVERIFY(scp.start());
        const QString file = smallImage(m_work.path(), 2);
        dicom::StoreSender sender({"127.0.0.1", QString::number(scp.port()), "CALVAREX", scp.aet(), stationTls(pki)},
                                  Quick);
        QString problem;
        try {
            sender.open({file});
        } catch (const AppError &e) {
            problem = e.description();
        }
        QCOMPARE(problem,
                 QStringLiteral("No association with ARCHIVE at 127.0.0.1:%1: %2").arg(scp.port()).arg(reason));
        QCOMPARE(scp.files().size(), 0);
    }

    // The receiver requires TLS with a certificate from a trusted issuer: only such a
    // caller stores; every other one is refused, logged with its address and why, and
    // leaves nothing behind.
    void receiverRefusesEveryOtherCaller_data()
    {
        QTest::addColumn<QStringList>("callerArgs");
        QTest::addColumn<QString>("refusal"); // empty: stored
        const QString dir = m_pki->folder() + QLatin1Char('/');
        QTest::newRow("trusted certificate")
            << QStringList{"+tls", dir + "modality.key", dir + "modality.pem", "-pw", "+cf", dir + "ca.pem"}
            << QString();
        QTest::newRow("plain DICOM") << QStringList{} << "TLS caller 127.0.0.1 refused: it does not speak TLS";
        QTest::newRow("no certificate") << QStringList{"+tla", "+cf", dir + "ca.pem"}
                                        << "TLS caller 127.0.0.1 refused: it showed no certificate";
        QTest::newRow("self-signed") << QStringList{"+tls", dir + "selfmade.key", dir + "selfmade.pem", "-pw",
                                                    "+cf",  dir + "ca.pem"}
                                     << "TLS caller 127.0.0.1 refused: its certificate is self-signed and not trusted "
                                        "(CN=selfmade)";
        QTest::newRow("expired") << QStringList{"+tls", dir + "expired.key", dir + "expired.pem", "-pw",
                                                "+cf",  dir + "ca.pem"}
                                 << "TLS caller 127.0.0.1 refused: its certificate has expired (CN=expired)";
    }
    void receiverRefusesEveryOtherCaller()
    {
        QFETCH(QStringList, callerArgs);
        QFETCH(QString, refusal);
        QTemporaryDir input;
        TlsConfig tls = stationTls(*m_pki);
        tls.requireClientCertificate = true;
        Receiver receiver(input.path(), tls);
        QVERIFY(receiver.start());
        const Run run = storescu(callerArgs, receiver.port(), smallImage(m_work.path(), 3));
        if (refusal.isEmpty()) {
            QVERIFY2(run.code == 0, qPrintable(run.output));
            QTRY_COMPARE_WITH_TIMEOUT(receiver.stored().size(), 1, 5000);
            QVERIFY2(receiver.alerts().isEmpty(), qPrintable(receiver.alerts().join('\n')));
        } else {
            QVERIFY2(run.code != 0, qPrintable(run.output));
            QTRY_VERIFY_WITH_TIMEOUT(!receiver.alerts().isEmpty(), 5000);
            const QStringList alerts = receiver.alerts();
            QCOMPARE(alerts.size(), 1);
            QVERIFY2(alerts.first().startsWith(refusal), qPrintable(alerts.first()));
            QCOMPARE(receiver.stored().size(), 0);
        }
        receiver.stop();
        QCOMPARE(receiver.error(), QString());
    }

    // Orthanc with DICOM TLS, both ways: the station sends to it, it sends to the
    // station's receiver, it commits to what it keeps (the report over TLS to the
    // receiver); plain callers of it fail. It answers the worklist query below.
    void orthancOverTlsBothWays()
    {
        const TestPki &pki = *m_pki;
        QTemporaryDir input;
        TlsConfig receiverTls = stationTls(pki);
        receiverTls.requireClientCertificate = true;
        Receiver receiver(input.path(), receiverTls);
        QVERIFY(receiver.start());

        peers::OrthancPacs::Options o;
        o.tls = {pki.cert("orthanc"), pki.key("orthanc"), pki.ca(), true};
        o.modalities = {{QStringLiteral("CALVAREX"), QStringLiteral("127.0.0.1"), receiver.port(), true}};
        peers::OrthancPacs pacs(o);
        QVERIFY2(pacs.start(), qPrintable(pacs.output()));

        const QString file = smallImage(m_work.path(), 4);
        {
            dicom::StoreSender sender(
                {"127.0.0.1", QString::number(pacs.port()), "CALVAREX", pacs.aet(), stationTls(pki)}, Quick);
            sender.open({file});
            const auto r = sender.send(file);
            QVERIFY2(r.sent, qPrintable(r.problem));
            sender.close();
        }
        const QJsonArray instances = QJsonDocument::fromJson(pacs.get(QStringLiteral("/instances"))).array();
        QCOMPARE(instances.size(), 1);

        // Orthanc sends it back over TLS to the receiver, which requires its certificate.
        const QByteArray answer =
            pacs.post(QStringLiteral("/modalities/peer0/store"), QJsonDocument(QJsonArray{instances.first()}).toJson());
        QVERIFY2(!answer.isEmpty(), qPrintable(pacs.output().right(2000)));
        QTRY_COMPARE_WITH_TIMEOUT(receiver.stored().size(), 1, 10000);
        QVERIFY2(receiver.alerts().isEmpty(), qPrintable(receiver.alerts().join('\n')));

        // Storage commitment: asked on the station's TLS association, reported on Orthanc's.
        const FileFacts facts = dicom::readFileFacts(file);
        dicom::CommitmentRequester requester(
            {"127.0.0.1", QString::number(pacs.port()), "CALVAREX", pacs.aet(), stationTls(pki)}, Quick, 0);
        const auto asked = requester.request(dicom::newUid(), {{facts.sopClassUid, facts.sopUid, 0}});
        QVERIFY2(asked.ok(), qPrintable(asked.problem));
        QTRY_COMPARE_WITH_TIMEOUT(receiver.reports().size(), 1, 15000);
        QVERIFY2(receiver.alerts().isEmpty(), qPrintable(receiver.alerts().join('\n')));

        dicom::StoreSender plain(
            {"127.0.0.1", QString::number(pacs.port()), "CALVAREX", pacs.aet(), stationTls(pki, false)}, Quick);
        QVERIFY_THROWS_EXCEPTION(AppError, plain.open({file}));
        QCOMPARE(QJsonDocument::fromJson(pacs.get(QStringLiteral("/instances"))).array().size(), 1);
    }

    void worklistFromOrthancOverTls()
    {
        const TestPki &pki = *m_pki;
        peers::WorklistProvider provider(peers::WorklistProvider::Orthanc);
        provider.setTls(pki.cert("orthanc"), pki.key("orthanc"), pki.ca());
        peers::WorklistItem item;
        item.name = QStringLiteral("SMITH^ANN");
        item.patientId = QStringLiteral("4711");
        item.stationAet = peers::WorklistProvider::Caller;
        QVERIFY(provider.add(item));
        QVERIFY2(provider.start(), qPrintable(provider.output()));

        dicom::WorklistQueryParams p;
        p.localAet = peers::WorklistProvider::Caller;
        p.remoteAet = provider.aet();
        p.remoteIp = QStringLiteral("127.0.0.1");
        p.remotePort = QString::number(provider.port());
        p.tls = stationTls(pki);
        const auto answers = dicom::queryWorklist(p);
        QCOMPARE(answers.size(), size_t(1));
        QCOMPARE(answers.front().patientId, QStringLiteral("4711"));

        p.tls.enabled = false;
        QVERIFY_THROWS_EXCEPTION(AppError, dicom::queryWorklist(p));
    }

    // The settings name the peers spoken to over TLS; the receiver's mode, with an
    // unknown word taken as the strictest.
    void settingsChooseTlsPerPeer()
    {
        QTemporaryDir dir;
        SettingsStore store(dir.filePath(QStringLiteral("station.ini")));
        store.writeValue(QStringLiteral("Security/KeyFile"), QStringLiteral("/site/station.key"));
        store.writeValue(QStringLiteral("Security/TlsPeers"), QStringLiteral("PACS.example:2762, 10.0.0.7:2762"));
        store.writeValue(QStringLiteral("Security/Receiver"), QStringLiteral("tls-client-cert"));
        SecuritySettings s = SecuritySettings::read(store);
        QVERIFY(s.forPeer(QStringLiteral("pacs.example"), QStringLiteral("2762")).enabled);
        QVERIFY(s.forPeer(QStringLiteral(" 10.0.0.7 "), QStringLiteral("2762")).enabled);
        QVERIFY(!s.forPeer(QStringLiteral("10.0.0.7"), QStringLiteral("104")).enabled);
        QCOMPARE(s.forPeer(QStringLiteral("10.0.0.7"), QStringLiteral("2762")).keyFile,
                 QStringLiteral("/site/station.key"));
        QVERIFY(s.forReceiver().enabled && s.forReceiver().requireClientCertificate);
        store.writeValue(QStringLiteral("Security/Receiver"), QStringLiteral("tls"));
        s = SecuritySettings::read(store);
        QVERIFY(s.forReceiver().enabled && !s.forReceiver().requireClientCertificate);
        store.writeValue(QStringLiteral("Security/Receiver"), QStringLiteral("tsl"));
        QVERIFY(SecuritySettings::read(store).forReceiver().requireClientCertificate);
        store.writeValue(QStringLiteral("Security/Receiver"), QStringLiteral("plain"));
        QVERIFY(!SecuritySettings::read(store).forReceiver().enabled);
    }
};

QTEST_GUILESS_MAIN(TestTls)
#include "test_tls.moc"

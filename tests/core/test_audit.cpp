// The audit trail: each DICOM audit message checked against the audit message schema by
// xmllint and read as an auditor would; the local log written by several processes at
// once and by one that is killed; syslog as an audit repository receives it over UDP and
// TLS, also while the repository is away.
#include "AuditSchema.h"
#include "Requires.h"
#include "Wait.h"
#include "core/AuditTrail.h"

#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QProcess>
#include <QRegularExpression>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QXmlStreamReader>
#include <QtTest>
#include <csignal>
#include <cstdio>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

const QString Mg = QStringLiteral("1.2.840.10008.5.1.4.1.1.1.2");
const QString DoseSr = QStringLiteral("1.2.840.10008.5.1.4.1.1.88.67");
const QRegularExpression UtcMillis(QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$)"));
// RFC 5424: <PRI>1 TIMESTAMP HOSTNAME APP-NAME PROCID MSGID STRUCTURED-DATA, then the MSG.
const QRegularExpression
    SyslogHeader(QStringLiteral(R"(^<(\d{1,3})>1 (\S+) (\S{1,255}) (\S{1,48}) (\S{1,128}) (\S{1,32}) - )"));
const QByteArray Bom("\xEF\xBB\xBF");

// True when xmllint finds the message valid; what it said otherwise in out.
bool lint(const QByteArray &xml, QString *out)
{
    *out = auditSchemaProblem(xml);
    return out->isEmpty();
}

// A message as a tree, read by Qt's own XML reader.
struct Node {
    QString name, text;
    QXmlStreamAttributes attrs;
    QList<Node> kids;

    QString a(const char *attr) const { return attrs.value(QLatin1String(attr)).toString(); }
    QList<const Node *> all(const char *child) const
    {
        QList<const Node *> out;
        for (const Node &k : kids)
            if (k.name == QLatin1String(child))
                out << &k;
        return out;
    }
    const Node &one(const char *child) const
    {
        static const Node none;
        const QList<const Node *> found = all(child);
        return found.size() == 1 ? *found.first() : none;
    }
};

Node tree(const QByteArray &xml, QString *error)
{
    QXmlStreamReader r(xml);
    Node root;
    QList<Node *> path;
    while (!r.atEnd()) {
        r.readNext();
        if (r.isStartElement()) {
            Node n{r.name().toString(), {}, r.attributes(), {}};
            if (path.isEmpty()) {
                root = n;
                path << &root;
            } else {
                path.last()->kids << n;
                path << &path.last()->kids.last();
            }
        } else if (r.isEndElement()) {
            path.removeLast();
        } else if (r.isCharacters() && !path.isEmpty()) {
            path.last()->text += r.text();
        }
    }
    *error = r.errorString();
    return root;
}

// The ID of the last participant object of a message (the patient, where there is one).
QString lastObjectId(const QByteArray &xml)
{
    QString error, id;
    const Node m = tree(xml.mid(xml.indexOf("<?xml")), &error);
    for (const Node *o : m.all("ParticipantObjectIdentification"))
        id = o->a("ParticipantObjectID");
    return id;
}

AuditStation station()
{
    AuditStation s = AuditStation::current(QStringLiteral("calvarex"), QStringLiteral("MAMMO_ROOM2"));
    s.siteId = QStringLiteral("Breast Centre");
    return s;
}

AuditSubject subject(const QString &patientId = QStringLiteral("PAT-0815"))
{
    return {{patientId, QStringLiteral("DOE^JANE")},
            {{QStringLiteral("1.2.826.0.1.3680043.2.1125.7.1"), QStringLiteral("ACC-77"), {}, {{Mg, 4}, {DoseSr, 1}}}}};
}

const AuditPeer Pacs{QStringLiteral("PACS_MAIN"), QStringLiteral("10.0.0.7")};
const AuditPeer Modality{QStringLiteral("MG_UNIT"), QStringLiteral("10.0.0.21")};
const AuditPeer Ris{QStringLiteral("RIS_MWL"), QStringLiteral("ris.hospital.example")};
// A worklist query identifier (implicit VR little endian): Patient's Name "*".
const QByteArray QueryDataset = QByteArray::fromHex("10001000020000002a20");

AuditTrail::Config localConfig(const QString &log, const QString &app = QStringLiteral("calvarex"))
{
    AuditTrail::Config c;
    c.logFile = log;
    c.applicationName = app;
    c.aeTitle = QStringLiteral("MAMMO_ROOM2");
    return c;
}

// An audit record repository over TLS: frames "LENGTH SP MSG" taken apart as RFC 5425 says.
class TlsRepository : public QSslServer {
public:
    TlsRepository(const QString &dir, const QString &name)
    {
        QSslConfiguration c = QSslConfiguration::defaultConfiguration();
        c.setLocalCertificate(
            QSslCertificate::fromPath(dir + QLatin1Char('/') + name + QStringLiteral(".pem")).value(0));
        QFile key(dir + QLatin1Char('/') + name + QStringLiteral(".key"));
        if (key.open(QIODevice::ReadOnly))
            c.setPrivateKey(QSslKey(key.readAll(), QSsl::Ec));
        c.setCaCertificates(QSslCertificate::fromPath(dir + QStringLiteral("/ca.pem")));
        c.setPeerVerifyMode(QSslSocket::VerifyPeer); // the station shows its certificate
        setSslConfiguration(c);
        connect(this, &QTcpServer::pendingConnectionAvailable, this, [this] {
            while (auto *s = qobject_cast<QSslSocket *>(nextPendingConnection())) {
                clients << s->peerCertificate().subjectInfo(QSslCertificate::CommonName).join(QLatin1Char(','));
                connect(s, &QSslSocket::readyRead, this, [this, s] { take(s); });
            }
        });
    }
    // As if it went down and came back: its connections cut, listening anew.
    bool restart()
    {
        const quint16 port = serverPort();
        close();
        for (QSslSocket *s : findChildren<QSslSocket *>())
            s->abort();
        return listen(QHostAddress::LocalHost, port);
    }

    QList<QByteArray> messages;
    QStringList clients;
    QByteArray badFrame;

private:
    void take(QSslSocket *s)
    {
        QByteArray &buffer = m_buffers[s];
        buffer += s->readAll();
        for (qsizetype sp; (sp = buffer.indexOf(' ')) > 0;) {
            bool ok = false;
            const qsizetype length = buffer.left(sp).toLongLong(&ok);
            if (!ok || length <= 0 || buffer.startsWith('0')) {
                badFrame = buffer.left(40);
                return;
            }
            if (buffer.size() < sp + 1 + length)
                return;
            messages << buffer.mid(sp + 1, length);
            buffer.remove(0, sp + 1 + length);
        }
    }
    QHash<QSslSocket *, QByteArray> m_buffers;
};

// The test certificates: a CA, the repository's certificate (for 127.0.0.1), the
// station's (its key under a password), and a repository signed by a CA nobody trusts.
const char *const MakeCertificates = R"(
key="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
for ca in ca rogue-ca; do openssl req -x509 $key -keyout $ca.key -out $ca.pem -days 2 -subj /CN=$ca; done
cert() {
  printf '%b' "$4" > $1.ext
  openssl req $key -keyout $1.key -out $1.csr -subj /CN=$3
  openssl x509 -req -in $1.csr -CA $2.pem -CAkey $2.key -CAcreateserial -days 2 -out $1.pem -extfile $1.ext
}
cert repository ca audit-repository 'subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth'
cert station ca calvarex-station 'extendedKeyUsage=clientAuth'
cert impostor rogue-ca audit-repository 'subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth'
openssl pkey -in station.key -aes256 -passout pass:room2-secret -out station-locked.key
)";

} // namespace

class TestAudit : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void eachEventIsAValidMessageThatSaysWhatHappened_data();
    void eachEventIsAValidMessageThatSaysWhatHappened();
    void theSchemaRejectsBrokenMessages_data();
    void theSchemaRejectsBrokenMessages();
    void textsStayWellFormedOnOneLine();
    void aLogLineIsASyslogMessage();
    void concurrentWritersNeverMixTheirLines();
    void aMessageIsOnDiskBeforeLogReturns();
    void udpCarriesOneMessagePerDatagram();
    void whileTheRepositoryIsAwayMessagesWaitAndArriveInOrderOnce();
    void aRepositoryTheCaDidNotSignGetsNothing();
    void aSilentRepositoryDoesNotHoldTheCaller();

private:
    AuditTrail::Config tlsConfig(const QString &log, quint16 port) const
    {
        AuditTrail::Config c = localConfig(log);
        c.transport = AuditTrail::Transport::Tls;
        c.repositoryHost = QStringLiteral("127.0.0.1");
        c.repositoryPort = port;
        c.caFile = m_pki.filePath(QStringLiteral("ca.pem"));
        c.certFile = m_pki.filePath(QStringLiteral("station.pem"));
        c.keyFile = m_pki.filePath(QStringLiteral("station-locked.key"));
        c.keyPassword = "room2-secret";
        c.connectTimeoutMs = 1000;
        return c;
    }
    QTemporaryDir m_pki;
};

void TestAudit::initTestCase()
{
    if (QStandardPaths::findExecutable(QStringLiteral("xmllint")).isEmpty())
        CALVAREX_MISSING("xmllint (libxml2-utils) checks the messages against the schema");
    if (QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty() || !QSslSocket::supportsSsl())
        CALVAREX_MISSING("openssl and Qt's OpenSSL backend are needed for the TLS repository");
    QProcess sh;
    sh.setWorkingDirectory(m_pki.path());
    sh.setProcessChannelMode(QProcess::MergedChannels);
    sh.start(QStringLiteral("sh"), {QStringLiteral("-ec"), QString::fromLatin1(MakeCertificates)});
    QVERIFY(sh.waitForFinished(60000));
    QVERIFY2(sh.exitCode() == 0, sh.readAll().constData());
}

void TestAudit::eachEventIsAValidMessageThatSaysWhatHappened_data()
{
    // Expected: EventID, action, EventTypeCode, outcome, the RoleIDCodes of all
    // participants (sorted), the requestor, the peer's address, the patient and the study
    // named ("patient", "both"), the medium's MediaType.
    QTest::addColumn<QByteArray>("xml");
    QTest::addColumn<QStringList>("expected");
    const AuditStation s = station();
    AuditStation dataManager = AuditStation::current(QStringLiteral("TqDataMgr"), QStringLiteral("MAMMO_ROOM2"));
    dataManager.siteId = s.siteId;
    const AuditMedia zip{AuditCodes::Uri, QStringLiteral("file:///media/usb0/PAT-0815.zip"),
                         QStringLiteral("USB-4711")};
    const AuditMedia cd{AuditCodes::Cd, QStringLiteral("CD \"Prior mammograms 2023\""), {}};
    const QString expired = QStringLiteral("TLS caller 10.0.0.5 refused: certificate has expired (CN=mg-unit)");
    auto row = [](const char *name, const AuditEvent &e, const QStringList &expected) {
        QTest::newRow(name) << e.toXml() << expected;
    };
    row("station starts", AuditEvent::applicationStart(s),
        {"110100", "E", "110120", "0", "110150 110151", "user", "", "", ""});
    row("data manager stops", AuditEvent::applicationStop(dataManager),
        {"110100", "E", "110121", "0", "110150 110151", "user", "", "", ""});
    row("images sent to the PACS", AuditEvent::instancesSent(s, Pacs, subject()),
        {"110104", "R", "", "0", "110152 110153", "user", "10.0.0.7", "both", ""});
    row("send refused by the PACS",
        AuditEvent::instancesSent(s, Pacs, subject())
            .setOutcome(AuditOutcome::MinorFailure, QStringLiteral("rejected")),
        {"110104", "R", "", "4", "110152 110153", "user", "10.0.0.7", "both", ""});
    row("images received from the unit", AuditEvent::instancesReceived(s, Modality, subject()),
        {"110104", "C", "", "0", "110152 110153", "peer", "10.0.0.21", "both", ""});
    row("image opened", AuditEvent::instancesAccessed(s, AuditAction::Read, subject()),
        {"110103", "R", "", "0", "", "user", "", "both", ""});
    row("dose stamped into the image", AuditEvent::instancesAccessed(s, AuditAction::Update, subject()),
        {"110103", "U", "", "0", "", "user", "", "both", ""});
    row("dose report made", AuditEvent::instancesAccessed(s, AuditAction::Create, subject()),
        {"110103", "C", "", "0", "", "user", "", "both", ""});
    row("worklist patient taken", AuditEvent::patientRecord(s, AuditAction::Create, subject().patient),
        {"110110", "C", "", "0", "", "user", "", "patient", ""});
    row("dose record stored", AuditEvent::patientRecord(s, AuditAction::Update, subject().patient),
        {"110110", "U", "", "0", "", "user", "", "patient", ""});
    row("worklist query", AuditEvent::query(s, Ris, QueryDataset),
        {"110112", "E", "", "0", "110152 110153", "user", "ris.hospital.example", "", ""});
    row("import from CD", AuditEvent::dataImport(s, cd, {subject()}),
        {"110107", "C", "", "0", "110152 110152 110155", "user", "", "both", "110032"});
    row("export as ZIP", AuditEvent::dataExport(s, zip, {subject()}),
        {"110106", "R", "", "0", "110153 110153 110154", "user", "", "both", "110037"});
    row("study deleted", AuditEvent::studyDeleted(s, subject()), {"110105", "D", "", "0", "", "user", "", "both", ""});
    row("TLS caller refused",
        AuditEvent::securityAlert(s, {AuditCodes::NodeAuthentication,
                                      AuditOutcome::MinorFailure,
                                      expired,
                                      {QString(), QStringLiteral("10.0.0.5")},
                                      QString(),
                                      false}),
        {"110113", "E", "110126", "4", "", "", "10.0.0.5", "", ""});
    row("emergency override",
        AuditEvent::securityAlert(s, {AuditCodes::EmergencyOverride, AuditOutcome::Success,
                                      QStringLiteral("sent without TLS at the operator's request"), Pacs, QString(),
                                      true}),
        {"110113", "E", "110127", "0", "", "user", "10.0.0.7", "", ""});
    row("station key unreadable",
        AuditEvent::securityAlert(s, {AuditCodes::SecurityConfiguration,
                                      AuditOutcome::SeriousFailure,
                                      QStringLiteral("the station key cannot be opened; DICOM TLS is off"),
                                      {},
                                      QStringLiteral("file:///etc/calvarex/station.key"),
                                      false}),
        {"110113", "E", "110129", "8", "", "", "", "", ""});
}

void TestAudit::eachEventIsAValidMessageThatSaysWhatHappened()
{
    QFETCH(QByteArray, xml);
    QFETCH(QStringList, expected);
    const QString eventId = expected[0], typeCode = expected[2], requestor = expected[5], peerAt = expected[6],
                  objects = expected[7], media = expected[8];
    QString said, error;
    QVERIFY2(lint(xml, &said), qPrintable(said + QString::fromUtf8(xml)));
    const Node m = tree(xml, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));

    const Node &event = m.one("EventIdentification");
    QCOMPARE(event.one("EventID").a("csd-code"), eventId);
    QCOMPARE(event.one("EventID").a("codeSystemName"), QStringLiteral("DCM"));
    QCOMPARE(event.a("EventActionCode"), expected[1]);
    QCOMPARE(event.a("EventOutcomeIndicator"), expected[3]);
    QVERIFY2(UtcMillis.match(event.a("EventDateTime")).hasMatch(), qPrintable(event.a("EventDateTime")));
    QCOMPARE(event.all("EventTypeCode").size(), typeCode.isEmpty() ? 0 : 1);
    QCOMPARE(event.one("EventTypeCode").a("csd-code"), typeCode);

    // Every message names the program (process, AE title, machine) and the person at it.
    const AuditStation s = station();
    const Node *process = nullptr, *user = nullptr, *peer = nullptr, *medium = nullptr;
    QStringList roles, requestors;
    for (const Node *p : m.all("ActiveParticipant")) {
        const Node *&which = p->a("AlternativeUserID") == QStringLiteral("AETITLES=MAMMO_ROOM2") ? process
                             : p->a("UserID") == s.userName + QLatin1Char('@') + s.hostName      ? user
                             : !p->one("MediaIdentifier").name.isEmpty()                         ? medium
                                                                                                 : peer;
        QVERIFY(!which);
        which = p;
        for (const Node *r : p->all("RoleIDCode"))
            roles << r->a("csd-code");
        if (p->a("UserIsRequestor") == QStringLiteral("true"))
            requestors << (p == user ? QStringLiteral("user") : p == peer ? QStringLiteral("peer") : p->a("UserID"));
    }
    QVERIFY(process && user);
    QCOMPARE(process->a("UserID"), QString::number(QCoreApplication::applicationPid()));
    QCOMPARE(process->a("NetworkAccessPointID"), s.hostName);
    QCOMPARE(user->a("UserName"), s.userName);
    roles.sort();
    QCOMPARE(roles.join(QLatin1Char(' ')), expected[4]);
    QCOMPARE(requestors, requestor.isEmpty() ? QStringList() : QStringList{requestor}); // one at most
    QCOMPARE(peer ? peer->a("NetworkAccessPointID") : QString(), peerAt);
    if (peer)
        QCOMPARE(peer->a("NetworkAccessPointTypeCode"),
                 peerAt.front().isDigit() ? QStringLiteral("2") : QStringLiteral("1"));
    QCOMPARE(medium ? medium->one("MediaIdentifier").one("MediaType").a("csd-code") : QString(), media);
    if (medium)
        QCOMPARE(medium->a("UserIsRequestor"), QStringLiteral("false"));
    QCOMPARE(m.all("AuditSourceIdentification").size(), 1);
    QCOMPARE(m.one("AuditSourceIdentification").a("AuditSourceID"), s.hostName);
    QCOMPARE(m.one("AuditSourceIdentification").a("AuditEnterpriseSiteID"), QStringLiteral("Breast Centre"));

    const Node *patient = nullptr, *study = nullptr;
    for (const Node *o : m.all("ParticipantObjectIdentification")) {
        const QString idType = o->one("ParticipantObjectIDTypeCode").a("csd-code");
        if (idType == QStringLiteral("2"))
            patient = o;
        else if (idType == QStringLiteral("110180"))
            study = o;
        // A query keeps its data set and transfer syntax; an alert says what it is about.
        for (const Node *d : o->all("ParticipantObjectDetail")) {
            const QByteArray value = QByteArray::fromBase64(d->a("value").toLatin1());
            if (d->a("type") == QStringLiteral("TransferSyntax"))
                QCOMPARE(value, QByteArray("1.2.840.10008.1.2"));
            else
                QCOMPARE(QString::fromUtf8(value), event.one("EventOutcomeDescription").text);
        }
        if (idType == QStringLiteral("110181"))
            QCOMPARE(QByteArray::fromBase64(o->one("ParticipantObjectQuery").text.toLatin1()), QueryDataset);
    }
    QCOMPARE(bool(patient), !objects.isEmpty());
    QCOMPARE(bool(study), objects == QStringLiteral("both"));
    if (patient) {
        QCOMPARE(patient->a("ParticipantObjectID"), QStringLiteral("PAT-0815"));
        QCOMPARE(patient->a("ParticipantObjectTypeCode") + patient->a("ParticipantObjectTypeCodeRole"),
                 QStringLiteral("11"));
        QCOMPARE(patient->one("ParticipantObjectIDTypeCode").a("originalText"), QStringLiteral("Patient Number"));
        QCOMPARE(patient->one("ParticipantObjectName").text, QStringLiteral("DOE^JANE"));
    }
    if (study) {
        QCOMPARE(study->a("ParticipantObjectID"), subject().studies.first().instanceUid);
        QCOMPARE(study->a("ParticipantObjectTypeCode") + study->a("ParticipantObjectTypeCodeRole"),
                 QStringLiteral("23"));
        const Node &description = study->one("ParticipantObjectDescription");
        QCOMPARE(description.one("Accession").a("Number"), QStringLiteral("ACC-77"));
        QStringList perClass;
        for (const Node *c : description.all("SOPClass"))
            perClass << c->a("UID") + QLatin1Char('=') + c->a("NumberOfInstances");
        QCOMPARE(perClass, (QStringList{Mg + QStringLiteral("=4"), DoseSr + QStringLiteral("=1")}));
    }
}

void TestAudit::theSchemaRejectsBrokenMessages_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("replacement");
    QTest::newRow("no EventID") << R"(<EventID [^>]*/>)"
                                << "";
    QTest::newRow("an action that is none") << R"(EventActionCode="R")"
                                            << R"(EventActionCode="X")";
    QTest::newRow("a time that is no xsd:dateTime") << R"(EventDateTime="(\d{4}-\d\d-\d\d)T)"
                                                    << R"(EventDateTime="\1 )";
    QTest::newRow("an outcome that is none") << R"(EventOutcomeIndicator="0")"
                                             << R"(EventOutcomeIndicator="1")";
    QTest::newRow("a code without its meaning") << R"((<EventID [^>]*) originalText="[^"]*")"
                                                << R"(\1)";
    QTest::newRow("no active participant") << R"(<ActiveParticipant [^>]*?(/>|>.*?</ActiveParticipant>))"
                                           << "";
    QTest::newRow("a requestor that is neither") << R"(UserIsRequestor="false")"
                                                 << R"(UserIsRequestor="maybe")";
    QTest::newRow("two audit sources") << R"((<AuditSourceIdentification .*?</AuditSourceIdentification>))"
                                       << R"(\1\1)";
    QTest::newRow("objects before the source")
        << R"((<AuditSourceIdentification .*?</AuditSourceIdentification>)(.*)(</AuditMessage>))"
        << R"(\2\1\3)";
    QTest::newRow("a study without name") << R"(<ParticipantObjectName>1\.2\.826[^<]*</ParticipantObjectName>)"
                                          << "";
    QTest::newRow("the accession after the SOP classes") << R"((<Accession [^>]*/>)((<SOPClass [^>]*/>)+))"
                                                         << R"(\2\1)";
    QTest::newRow("a SOP class without its count") << R"( NumberOfInstances="4")"
                                                   << "";
}

// The check is real: each change breaks a rule of the schema, not of XML, and xmllint
// says so.
void TestAudit::theSchemaRejectsBrokenMessages()
{
    QFETCH(QString, pattern);
    QFETCH(QString, replacement);
    const QString good = QString::fromUtf8(AuditEvent::instancesSent(station(), Pacs, subject()).toXml());
    QString bad = good, said, error;
    bad.replace(QRegularExpression(pattern), replacement);
    QVERIFY2(bad != good, "the pattern finds nothing to break");
    tree(bad.toUtf8(), &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QVERIFY2(lint(good.toUtf8(), &said), qPrintable(said));
    QVERIFY2(!lint(bad.toUtf8(), &said), qPrintable(bad));
    QVERIFY2(said.contains(QStringLiteral("fails to validate")), qPrintable(said));
}

void TestAudit::textsStayWellFormedOnOneLine()
{
    const QString name =
        QStringLiteral("O'Brien & <Sons> \"Ltd\"\n2nd line \u00c4\u00dfler \u5c71\u7530 \U0001F600 end");
    AuditSubject who = subject(QStringLiteral("ID</ParticipantObjectName><x>"));
    who.patient.name = name + QChar(0x01) + QChar(0xD800); // a control character, a lone surrogate
    const QString why = QStringLiteral("refused]]> <EventOutcomeDescription>\r\nsecond line");
    const QByteArray xml = AuditEvent::instancesAccessed(station(), AuditAction::Read, who)
                               .setOutcome(AuditOutcome::MinorFailure, why)
                               .toXml();
    QVERIFY(!xml.contains('\n') && !xml.contains('\r'));
    QString said, error;
    QVERIFY2(lint(xml, &said), qPrintable(said));
    const Node m = tree(xml, &error);
    QCOMPARE(m.one("EventIdentification").one("EventOutcomeDescription").text, why);
    const Node &patient = *m.all("ParticipantObjectIdentification").last();
    QCOMPARE(patient.a("ParticipantObjectID"), who.patient.id);
    QCOMPARE(patient.one("ParticipantObjectName").text, name + QStringLiteral("\uFFFD\uFFFD"));
}

void TestAudit::aLogLineIsASyslogMessage()
{
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("audit.log"));
    const AuditEvent started = AuditEvent::applicationStart(station());
    const AuditEvent refused = AuditEvent::instancesSent(station(), Pacs, subject())
                                   .setOutcome(AuditOutcome::MinorFailure, QStringLiteral("rejected"));
    {
        AuditTrail trail(localConfig(log));
        trail.log(started);
        trail.log(refused);
    }
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(log).constData(), &st), 0);
    QVERIFY2((st.st_mode & 0137) == 0, qPrintable(QString::number(st.st_mode & 0777, 8))); // 0640 at most
    const QList<QByteArray> lines = readFile(log).split('\n');
    QCOMPARE(lines.size(), 3); // two lines, each ended
    const QList<QPair<QString, AuditEvent>> expected{{QStringLiteral("85"), started}, {QStringLiteral("84"), refused}};
    for (int i = 0; i < 2; ++i) {
        const QRegularExpressionMatch h = SyslogHeader.match(QString::fromUtf8(lines[i]));
        QVERIFY2(h.hasMatch(), lines[i].constData());
        QCOMPARE(h.captured(1), expected[i].first); // authpriv.notice, authpriv.warning
        QVERIFY2(UtcMillis.match(h.captured(2)).hasMatch(), qPrintable(h.captured(2)));
        QCOMPARE(h.captured(3), QSysInfo::machineHostName());
        QCOMPARE(h.captured(4), QStringLiteral("calvarex"));
        QCOMPARE(h.captured(5), QString::number(QCoreApplication::applicationPid()));
        QCOMPARE(h.captured(6), QStringLiteral("DICOM+RFC3881"));
        QCOMPARE(lines[i].mid(h.capturedLength(0)), expected[i].second.toXml());
    }
    // It reads back.
    const QList<AuditTrail::Entry> entries = AuditTrail::readLog(log);
    QCOMPARE(entries.size(), 2);
    QCOMPARE(entries[1].xml, refused.toXml());
    QCOMPARE(entries[1].facility * 8 + entries[1].severity, 84);
    QCOMPARE(entries[1].appName, QStringLiteral("calvarex"));
}

void TestAudit::concurrentWritersNeverMixTheirLines()
{
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("audit.log"));
    AuditTrail station(localConfig(log));
    station.log(AuditEvent::applicationStart(station.station()));
    const QByteArray before = readFile(log);
    // Two companions (new processes opening the log) and the station write at the same
    // moment, 150 messages each; what the log held stays.
    constexpr int Count = 150;
    QList<QProcess *> writers;
    for (const QString &name : {QStringLiteral("TqReceiver"), QStringLiteral("TqDataMgr")}) {
        writers << new QProcess(this);
        writers.last()->start(QCoreApplication::applicationFilePath(), {QStringLiteral("--audit-writer"), log, name,
                                                                        QString::number(Count), QStringLiteral("go")});
        QVERIFY(writers.last()->waitForStarted(10000) && writers.last()->waitForReadyRead(20000));
    }
    QFile go(log + QStringLiteral(".go"));
    QVERIFY(go.open(QIODevice::WriteOnly));
    for (int i = 0; i < Count; ++i)
        station.log(AuditEvent::patientRecord(station.station(), AuditAction::Read,
                                              {QStringLiteral("calvarex-%1").arg(i), QStringLiteral("W")}));
    for (QProcess *p : writers)
        QVERIFY(p->waitForFinished(60000) && p->exitCode() == 0);

    const QByteArray after = readFile(log);
    QVERIFY(after.startsWith(before));
    const QList<AuditTrail::Entry> entries = AuditTrail::readLog(log);
    QCOMPARE(after.count('\n'), 1 + 3 * Count);
    QCOMPARE(entries.size(), 1 + 3 * Count); // every line whole
    QHash<QString, int> next;
    int switches = 0;
    for (qsizetype i = 1; i < entries.size(); ++i) {
        const QString app = entries[i].appName;
        QCOMPARE(lastObjectId(entries[i].xml), QStringLiteral("%1-%2").arg(app).arg(next[app]++)); // in order
        switches += entries[i - 1].appName != app;
    }
    QCOMPARE(next.size(), 3);
    QVERIFY2(switches > 3, "the writers did not write at the same time");
}

void TestAudit::aMessageIsOnDiskBeforeLogReturns()
{
    QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("strace")).isEmpty(),
             "strace is installed by scripts/deps");
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("audit.log")),
                  trace = dir.filePath(QStringLiteral("writer.strace"));
    QProcess traced;
    traced.start(QStringLiteral("strace"),
                 {QStringLiteral("-f"), QStringLiteral("-qq"), QStringLiteral("-y"), QStringLiteral("-e"),
                  QStringLiteral("trace=write,fdatasync"), QStringLiteral("-o"), trace,
                  QCoreApplication::applicationFilePath(), QStringLiteral("--audit-writer"), log,
                  QStringLiteral("TqReceiver"), QStringLiteral("1"), QStringLiteral("hold")});
    QVERIFY(traced.waitForStarted(10000) && traced.waitForReadyRead(20000));
    const QByteArray said = traced.readAllStandardOutput();
    QVERIFY2(said.startsWith("written "), said.constData());
    QCOMPARE(::kill(pid_t(said.mid(8).trimmed().toLongLong()), SIGKILL), 0); // the moment log() returned
    QVERIFY(traced.waitForFinished(20000));

    const QByteArray content = readFile(log);
    QVERIFY(content.endsWith("</AuditMessage>\n"));
    QCOMPARE(AuditTrail::readLog(log).size(), 1);
    // The whole line in one write, synced, and only then did log() return.
    const QStringList calls = QString::fromUtf8(readFile(trace)).split(QLatin1Char('\n'));
    auto find = [&](const QString &a, const QString &b, qsizetype from) {
        for (qsizetype i = qMax(from, qsizetype(0)); i < calls.size(); ++i)
            if (calls[i].contains(a) && calls[i].contains(b))
                return i;
        return qsizetype(-1);
    };
    const qsizetype wrote =
        find(QStringLiteral("audit.log>, \"<85>1 "), QStringLiteral(") = %1").arg(content.size()), 0);
    const qsizetype synced = find(QStringLiteral("fdatasync("), QStringLiteral("audit.log>) = 0"), wrote + 1);
    const qsizetype returned = find(QStringLiteral("write(1"), QStringLiteral("\"written "), synced + 1);
    QVERIFY2(wrote >= 0 && synced > wrote && returned > synced, qPrintable(calls.join(QLatin1Char('\n'))));
}

void TestAudit::udpCarriesOneMessagePerDatagram()
{
    QUdpSocket repository;
    QVERIFY(repository.bind(QHostAddress::LocalHost, 0));
    QTemporaryDir dir;
    AuditTrail::Config c = localConfig(dir.filePath(QStringLiteral("audit.log")));
    c.transport = AuditTrail::Transport::Udp;
    c.repositoryHost = QStringLiteral("127.0.0.1");
    c.repositoryPort = repository.localPort();
    AuditTrail trail(c);
    const QList<AuditEvent> events{AuditEvent::instancesSent(trail.station(), Pacs, subject()),
                                   AuditEvent::securityAlert(trail.station(), {AuditCodes::NodeAuthentication,
                                                                               AuditOutcome::MinorFailure,
                                                                               QStringLiteral("refused"),
                                                                               {},
                                                                               QString(),
                                                                               false})};
    for (const AuditEvent &e : events)
        trail.log(e);
    QCOMPARE(trail.flush(), 0);
    QList<QByteArray> got;
    QVERIFY(waitUntil([&] {
        while (repository.hasPendingDatagrams())
            got << repository.receiveDatagram().data();
        return got.size() >= 2;
    }));
    QTest::qWait(100);
    QVERIFY(!repository.hasPendingDatagrams());
    for (int i = 0; i < 2; ++i) {
        const QRegularExpressionMatch h = SyslogHeader.match(QString::fromUtf8(got[i]));
        QVERIFY2(h.hasMatch(), got[i].left(100).constData());
        QCOMPARE(h.captured(1), i == 0 ? QStringLiteral("85") : QStringLiteral("84"));
        QCOMPARE(h.captured(4) + h.captured(5),
                 QStringLiteral("calvarex") + QString::number(QCoreApplication::applicationPid()));
        // The MSG: a byte order mark, then the message as the local log holds it.
        QCOMPARE(got[i].mid(h.capturedLength(0)), Bom + events[i].toXml());
        QCOMPARE(AuditTrail::readLog(c.logFile)[i].xml, events[i].toXml());
    }
}

void TestAudit::whileTheRepositoryIsAwayMessagesWaitAndArriveInOrderOnce()
{
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("audit.log"));
    const quint16 port = peers::freePort();
    auto accessed = [](const AuditTrail &t, int n) {
        // A name of several bytes per character: the frame counts octets.
        return AuditEvent::patientRecord(
            t.station(), AuditAction::Read,
            {QStringLiteral("AWAY-%1").arg(n), QStringLiteral("M\u00fcller^\u5c71\u7530")});
    };
    constexpr int Away = 20, Meanwhile = 20;
    {
        AuditTrail trail(tlsConfig(log, port));
        for (int n = 1; n <= Away; ++n) {
            QElapsedTimer t;
            t.start();
            trail.log(accessed(trail, n));
            QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
        }
        QCOMPARE(trail.flush(), Away);
        QVERIFY(!trail.lastForwardError().isEmpty());
    } // the station ends with the repository still away

    TlsRepository repository(m_pki.path(), QStringLiteral("repository"));
    QVERIFY(repository.listen(QHostAddress::LocalHost, port));
    AuditTrail trail(tlsConfig(log, port)); // the next run finds the queue and sends it...
    std::thread writer([&] {                // ... while new messages join it
        for (int n = Away + 1; n <= Away + Meanwhile; ++n)
            trail.log(accessed(trail, n));
    });
    const bool arrived = waitUntil([&] { return repository.messages.size() >= Away + Meanwhile; }, 20000);
    writer.join();
    QVERIFY2(arrived, qPrintable(trail.lastForwardError()));
    // The repository restarts between two messages: the next one finds it again.
    QVERIFY(repository.restart());
    trail.log(accessed(trail, Away + Meanwhile + 1));
    QVERIFY(waitUntil([&] { return repository.messages.size() > Away + Meanwhile; }, 10000));
    QTest::qWait(300);

    QVERIFY2(repository.badFrame.isEmpty(), repository.badFrame.constData());
    QCOMPARE(repository.clients.value(0), QStringLiteral("calvarex-station"));
    QStringList got, expected;
    for (const QByteArray &m : std::as_const(repository.messages))
        got << lastObjectId(m);
    for (int n = 1; n <= Away + Meanwhile + 1; ++n)
        expected << QStringLiteral("AWAY-%1").arg(n);
    QCOMPARE(got, expected); // all, in order, once
    const QList<AuditTrail::Entry> logged = AuditTrail::readLog(log);
    QCOMPARE(logged.size(), Away + Meanwhile + 1);
    QVERIFY(repository.messages[0].endsWith(Bom + logged[0].xml));
    QCOMPARE(trail.pending(), 0);
}

void TestAudit::aRepositoryTheCaDidNotSignGetsNothing()
{
    TlsRepository impostor(m_pki.path(), QStringLiteral("impostor"));
    QVERIFY(impostor.listen(QHostAddress::LocalHost));
    QTemporaryDir dir;
    AuditTrail trail(tlsConfig(dir.filePath(QStringLiteral("audit.log")), impostor.serverPort()));
    trail.log(AuditEvent::instancesSent(trail.station(), Pacs, subject()));
    QVERIFY(waitUntil([&] { return !trail.lastForwardError().isEmpty(); }));
    QVERIFY2(trail.lastForwardError().contains(QStringLiteral("certificate"), Qt::CaseInsensitive),
             qPrintable(trail.lastForwardError()));
    QCOMPARE(trail.pending(), 1);
    QVERIFY(impostor.messages.isEmpty());
}

void TestAudit::aSilentRepositoryDoesNotHoldTheCaller()
{
    QTcpServer silent; // takes the connection, never answers the handshake
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    QTemporaryDir dir;
    AuditTrail::Config c = tlsConfig(dir.filePath(QStringLiteral("audit.log")), silent.serverPort());
    c.connectTimeoutMs = 1500;
    AuditTrail trail(c);
    QElapsedTimer t;
    for (int i = 0; i < 3; ++i) {
        t.start();
        trail.log(AuditEvent::applicationStart(trail.station()));
        QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed()))); // less than a connect timeout
    }
    t.start();
    QCOMPARE(trail.flush(), 3);
    QVERIFY2(t.elapsed() < 8000, qPrintable(QString::number(t.elapsed())));
    QVERIFY2(trail.lastForwardError().contains(QStringLiteral("no answer within 1500 ms")),
             qPrintable(trail.lastForwardError()));
    QCOMPARE(AuditTrail::readLog(c.logFile).size(), 3);
}

// The log tests' writer, a process of its own: "go" waits for the go file beside the log,
// "hold" says when it wrote and waits to be killed.
static int runWriter(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString log = QString::fromLocal8Bit(argv[2]), name = QString::fromLocal8Bit(argv[3]);
    const QByteArray mode = argc > 5 ? argv[5] : "";
    AuditTrail trail(localConfig(log, name));
    std::printf("%s", mode == "go" ? "ready\n" : "");
    std::fflush(stdout);
    while (mode == "go" && !QFile::exists(log + QStringLiteral(".go")))
        ::usleep(200);
    for (int i = 0; i < QByteArray(argv[4]).toInt(); ++i)
        trail.log(AuditEvent::patientRecord(trail.station(), AuditAction::Read,
                                            {QStringLiteral("%1-%2").arg(name).arg(i), QStringLiteral("W")}));
    if (mode == "hold") {
        std::printf("written %lld\n", static_cast<long long>(::getpid()));
        std::fflush(stdout);
        for (;;)
            ::pause();
    }
    return 0;
}

int main(int argc, char **argv)
{
    if (argc > 4 && QByteArray(argv[1]) == "--audit-writer")
        return runWriter(argc, argv);
    QCoreApplication app(argc, argv);
    TestAudit test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "test_audit.moc"

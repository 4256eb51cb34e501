// The peers the tests, the benchmarks and the demo room start: ports, waiting for one,
// the worklist files a provider serves, the pseudo-terminal as a serial line, and the
// ending of a peer's process.
#include "peers/MppsProvider.h"
#include "peers/PeerProcess.h"
#include "peers/Ports.h"
#include "peers/PseudoTerminal.h"
#include "peers/Worklist.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "Requires.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

// dcmdump's text of a file.
QString dump(const QString &file)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("dcmdump"), {file});
    p.waitForFinished(30000);
    return QString::fromLatin1(p.readAll());
}

// What arrives on fd within ms.
QByteArray readFor(int fd, int ms)
{
    QByteArray got;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
            char buf[256];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0)
                got.append(buf, n);
        }
    }
    return got;
}

} // namespace

class TestPeers : public QObject {
    Q_OBJECT
private slots:
    void portsAreFreeAndWaitedFor();
    void worklistFilesHoldWhatTheItemSays();
    void pseudoTerminalCarriesBytesBothWaysAcrossReopening();
    void peerThatIgnoresTheRequestIsEndedAnyway();
    void mppsProviderKeepsTheStepsRules();
};

void TestPeers::portsAreFreeAndWaitedFor()
{
    // A wanted port that is free is taken; one that is taken is not.
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::LocalHost, 0));
    const quint16 taken = holder.serverPort();
    const quint16 other = peers::freePort(taken);
    QVERIFY(other != 0);
    QVERIFY(other != taken);
    const quint16 free = peers::freePort();
    QVERIFY(free != 0);
    QCOMPARE(peers::freePort(free), free);

    // Nobody there: false after the time given, not much later.
    QElapsedTimer t;
    t.start();
    QVERIFY(!peers::waitForPort(free, 600));
    QVERIFY(t.elapsed() < 3000);

    // A peer that opens its port a little later, through the event loop: the wait lets
    // events run, so it sees it.
    QTcpServer late;
    QTimer::singleShot(300, &late, [&] { late.listen(QHostAddress::LocalHost, free); });
    QVERIFY(peers::waitForPort(free, 5000));
    QVERIFY(late.isListening());
}

void TestPeers::worklistFilesHoldWhatTheItemSays()
{
    peers::WorklistProvider wl(peers::WorklistProvider::Wlmscpfs, QStringLiteral("WLTEST"));
    QVERIFY(QFile::exists(wl.folder() + QStringLiteral("/lockfile")));

    peers::WorklistItem plain;
    plain.name = QString::fromUtf8("Müller^Zoë");
    plain.patientId = QStringLiteral("P1");
    plain.stationAet = QStringLiteral("MAMMO1");
    plain.date = QDate(2026, 3, 2);
    QVERIFY(wl.add(plain, QStringLiteral("plain")));
    // The study UID came from the dicom layer and went back into the item.
    QVERIFY(QRegularExpression(QStringLiteral("^[0-9]+(\\.[0-9]+)+$")).match(plain.studyUid).hasMatch());

    peers::WorklistItem full = plain;
    full.studyUid.clear();
    full.patientId = QStringLiteral("P2");
    full.procedureCode = QStringLiteral("MG4");
    full.procedureDescription = QStringLiteral("Screening mammography");
    full.stepDescription = QStringLiteral("Mammography, 4 views");
    full.stationName = QStringLiteral("MAMMO-DEMO");
    QVERIFY(wl.add(full));
    QVERIFY(full.studyUid != plain.studyUid);

    const QString a = dump(wl.folder() + QStringLiteral("/plain.wl"));
    QVERIFY2(a.contains(QString::fromUtf8("PN [Müller^Zoë]")), qPrintable(a));
    QVERIFY2(a.contains(QStringLiteral("UI [%1]").arg(plain.studyUid)), qPrintable(a));
    QVERIFY2(a.contains(QStringLiteral("AE [MAMMO1]")), qPrintable(a));
    QVERIFY2(a.contains(QStringLiteral("DA [20260302]")), qPrintable(a));
    QVERIFY2(a.contains(QStringLiteral("SH [SPS1]")) && a.contains(QStringLiteral("SH [RP1]")), qPrintable(a));
    // What was not set is not there (empty texts are: a provider matches on them).
    QVERIFY2(a.contains(QStringLiteral("(0008,0050) SH (no value available)")), qPrintable(a));
    for (const char *absent : {"(0032,1060)", "(0032,1064)", "(0040,0007)", "(0040,0010)"})
        QVERIFY2(!a.contains(QLatin1String(absent)), absent);

    const QString b = dump(wl.folder() + QStringLiteral("/item2.wl"));
    QVERIFY2(b.contains(QStringLiteral("(0032,1060) LO [Screening mammography]")), qPrintable(b));
    QVERIFY2(b.contains(QStringLiteral("(0008,0100) SH [MG4]")), qPrintable(b));
    QVERIFY2(b.contains(QStringLiteral("(0040,0007) LO [Mammography, 4 views]")), qPrintable(b));
    QVERIFY2(b.contains(QStringLiteral("(0040,0010) SH [MAMMO-DEMO]")), qPrintable(b));
    QVERIFY2(b.contains(QStringLiteral("SH [SPS2]")), qPrintable(b));

    // Cleared: the files go, the lock file stays.
    wl.clear();
    QCOMPARE(QDir(wl.folder()).entryList({QStringLiteral("*.wl"), QStringLiteral("*.dump")}, QDir::Files).size(), 0);
    QVERIFY(QFile::exists(wl.folder() + QStringLiteral("/lockfile")));
}

void TestPeers::pseudoTerminalCarriesBytesBothWaysAcrossReopening()
{
    peers::PseudoTerminal line;
    QVERIFY2(line.open(9600), line.error().c_str());
    QVERIFY(line.ok());
    for (int round = 0; round < 2; ++round) {
        // The station opens the device, talks, and closes it again; the line stays up.
        const int station = ::open(line.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(station >= 0);
        const QByteArray ask = "%PRT\r\n";
        QCOMPARE(::write(station, ask.constData(), size_t(ask.size())), ssize_t(ask.size()));
        // Raw: the bytes arrive as written, with no echo back to the station.
        QCOMPARE(readFor(line.master(), 300), ask);
        const QByteArray answer = "12.5;28kV;56mAs\r";
        QCOMPARE(::write(line.master(), answer.constData(), size_t(answer.size())), ssize_t(answer.size()));
        QCOMPARE(readFor(station, 300), answer);
        QVERIFY(readFor(line.master(), 100).isEmpty());
        ::close(station);
    }
}

void TestPeers::peerThatIgnoresTheRequestIsEndedAnyway()
{
    peers::PeerProcess p;
    QVERIFY(
        p.start(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("trap '' TERM; echo ready; sleep 30")}));
    QVERIFY(peers::waitUntil([&] { return p.process().canReadLine(); }, 5000));
    QElapsedTimer t;
    t.start();
    p.stop(300);
    QVERIFY(!p.running());
    QVERIFY(t.elapsed() < 5000);
    p.stop(); // a second time: nothing happens
    QVERIFY(!p.running());

    // A polite ending is used when one is set.
    peers::PeerProcess polite;
    polite.setPoliteEnding([](QProcess &proc) { proc.write("quit\n"); });
    QVERIFY(polite.start(QStringLiteral("sh"),
                         {QStringLiteral("-c"), QStringLiteral("trap '' TERM; read x; echo got $x")}));
    polite.stop(5000);
    QVERIFY(!polite.running());
    QCOMPARE(polite.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(polite.output().trimmed(), QStringLiteral("got quit"));
}

// A client on dcmjs-dimse: N-CREATE IN PROGRESS, N-CREATE again (duplicate), N-SET
// COMPLETED, N-SET again (no longer updatable), N-CREATE not IN PROGRESS.
static const char *const MppsClient = R"(
const dimse = require(process.env.CALVAREX_DIMSE_DIR);
dimse.log.setLevel('warn');
const { Client, Dataset } = dimse;
const { NCreateRequest, NSetRequest } = dimse.requests;
const { SopClass } = dimse.constants;
const [port, aet] = process.argv.slice(2);
const uid = '1.2.3.4.5.6', other = '1.2.3.4.5.7';
const client = new Client();
const create = (u, status) => {
  const r = new NCreateRequest(SopClass.ModalityPerformedProcedureStep, u);
  r.setDataset(new Dataset({ PerformedProcedureStepStatus: status, PatientID: 'P1', Modality: 'MG' }));
  return r;
};
const set = (status) => {
  const r = new NSetRequest(SopClass.ModalityPerformedProcedureStep, uid);
  r.setDataset(new Dataset({ PerformedProcedureStepStatus: status }));
  return r;
};
const requests = [create(uid, 'IN PROGRESS'), create(uid, 'IN PROGRESS'), set('COMPLETED'), set('COMPLETED'),
                  create(other, 'COMPLETED')];
const statuses = [];
for (const r of requests) {
  r.on('response', (rsp) => statuses.push(rsp.getStatus()));
  client.addRequest(r);
}
client.on('closed', () => { console.log(JSON.stringify(statuses)); });
client.send('127.0.0.1', Number(port), 'STATION', aet);
)";

void TestPeers::mppsProviderKeepsTheStepsRules()
{
    peers::MppsProvider mpps;
    if (!mpps.start())
        CALVAREX_MISSING("the MPPS provider cannot run: node or dcmjs-dimse is missing (scripts/deps)");
    // Only its own AE title is answered.
    QProcess echo;
    echo.start(QStringLiteral("echoscu"),
               {QStringLiteral("-aec"), mpps.aet(), QStringLiteral("127.0.0.1"), QString::number(mpps.port())});
    QVERIFY(echo.waitForFinished(20000));
    QCOMPARE(echo.exitCode(), 0);
    echo.start(QStringLiteral("echoscu"), {QStringLiteral("-aec"), QStringLiteral("OTHER"), QStringLiteral("127.0.0.1"),
                                           QString::number(mpps.port())});
    QVERIFY(echo.waitForFinished(20000));
    QVERIFY(echo.exitCode() != 0);

    QTemporaryDir dir;
    const QString script = dir.filePath(QStringLiteral("client.js"));
    QFile f(script);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(MppsClient);
    f.close();
    QProcess client;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("CALVAREX_DIMSE_DIR"),
               peers::MppsProvider::scriptDir() + QStringLiteral("/npm/node_modules/dcmjs-dimse"));
    client.setProcessEnvironment(env);
    client.start(QStringLiteral("node"), {script, QString::number(mpps.port()), mpps.aet()});
    QVERIFY(client.waitForFinished(30000));
    const QString statuses = QString::fromUtf8(client.readAllStandardOutput()).trimmed();
    // Success, duplicate instance 0111H, success, processing failure 0110H, invalid value 0106H.
    QCOMPARE(statuses, QStringLiteral("[0,273,0,272,262]"));
    const QJsonArray messages = mpps.messages();
    QCOMPARE(messages.size(), 5);
    QCOMPARE(messages[0].toObject()[QStringLiteral("type")].toString(), QStringLiteral("N-CREATE"));
    QCOMPARE(messages[0].toObject()[QStringLiteral("calling")].toString(), QStringLiteral("STATION"));
    QCOMPARE(messages[2].toObject()[QStringLiteral("type")].toString(), QStringLiteral("N-SET"));
    const QJsonObject step = mpps.steps()[QStringLiteral("1.2.3.4.5.6")].toObject();
    QCOMPARE(step[QStringLiteral("PerformedProcedureStepStatus")].toString(), QStringLiteral("COMPLETED"));
    QCOMPARE(step[QStringLiteral("PatientID")].toString(), QStringLiteral("P1"));
    QVERIFY(!mpps.steps().contains(QStringLiteral("1.2.3.4.5.7")));
}

QTEST_GUILESS_MAIN(TestPeers)
#include "test_peers.moc"

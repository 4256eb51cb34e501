#include "DemoRoom.h"

#include "core/Audit.h"
#include "core/AuditTrail.h"
#include "core/Companions.h"
#include "core/Database.h"
#include "core/Station.h"
#include "dicom/SrDocument.h"
#include "dicom/Uid.h"
#include "dose/DoseReports.h"
#include "net/Destinations.h"
#include "store/Commitments.h"
#include "store/Schema.h"

#include "peers/MppsProvider.h"
#include "peers/Orthanc.h"
#include "peers/Ports.h"
#include "peers/PostgresServer.h"
#include "peers/StationFolder.h"
#include "peers/Worklist.h"
#include "peers/XraySim.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#endif

namespace {

const QString StationAet = QStringLiteral("CALVAREX"); // the station's receiver
const QString LocalAet = QStringLiteral("MAMMO1");     // the station as the worklist knows it
const QString WorklistAet = QStringLiteral("WORKLIST");
const QString PacsAet = QStringLiteral("PACS");
const QString UnitAet = QStringLiteral("MAMMOUNIT");
const QString Marker = QStringLiteral("demo-room.txt");

bool writeText(const QString &path, const QByteArray &text)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text) == text.size() && f.flush();
}

// The exposures of a screening examination, in their order.
const char *const ViewNames[] = {"R CC", "L CC", "R MLO", "L MLO"};

} // namespace

DemoRoom::DemoRoom(const Options &options, QObject *parent)
    : QObject(parent), m_o(options), m_station(options.folder + QStringLiteral("/station")),
      m_settingsFile(options.folder + QStringLiteral("/station/settings.ini"))
{
    m_poll.setInterval(250);
    connect(&m_poll, &QTimer::timeout, this, &DemoRoom::pollDoseRecord);
}

DemoRoom::~DemoRoom() { stop(); }

std::vector<DemoRoom::Patient> DemoRoom::todaysPatients()
{
    // Names as a real day brings them: an apostrophe, accents, a compound family name.
    return {
        {QStringLiteral("DEMO001"),
         QStringLiteral("O'Brien"),
         QStringLiteral("Siobhan"),
         QStringLiteral("19680412"),
         QStringLiteral("F"),
         QStringLiteral("ACC1001"),
         QStringLiteral("Hartmann^Eva"),
         QStringLiteral("083000"),
         {},
         {}},
        {QStringLiteral("DEMO002"),
         QString::fromUtf8("Müller"),
         QString::fromUtf8("Zoë"),
         QStringLiteral("19720923"),
         QStringLiteral("F"),
         QStringLiteral("ACC1002"),
         QStringLiteral("Hartmann^Eva"),
         QStringLiteral("090000"),
         {},
         {}},
        {QStringLiteral("DEMO003"),
         QString::fromUtf8("García Núñez"),
         QString::fromUtf8("María"),
         QStringLiteral("19590130"),
         QStringLiteral("F"),
         QStringLiteral("ACC1003"),
         QStringLiteral("Lindqvist^Per"),
         QStringLiteral("093000"),
         {},
         {}},
        {QStringLiteral("DEMO004"),
         QStringLiteral("Nakamura"),
         QStringLiteral("Aiko"),
         QStringLiteral("19810707"),
         QStringLiteral("F"),
         QStringLiteral("ACC1004"),
         QStringLiteral("Lindqvist^Per"),
         QStringLiteral("100000"),
         {},
         {}},
        {QStringLiteral("DEMO005"),
         QStringLiteral("Smith"),
         QStringLiteral("Jane"),
         QStringLiteral("19640215"),
         QStringLiteral("F"),
         QStringLiteral("ACC1005"),
         QStringLiteral("Hartmann^Eva"),
         QStringLiteral("103000"),
         {},
         {}},
    };
}

void DemoRoom::log(const QString &line) const
{
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

bool DemoRoom::start()
{
    if (!prepareFolder() || !writeWorklist() || !startWorklist() || !startPacs() || !startMpps() || !startRegistry()
        || !startXrayUnit() || !writeSettings() || !startStation()) {
        stop();
        return false;
    }
    log(QStringLiteral("Demo room ready:"));
    log(QStringLiteral("  station folder  %1 (settings: %2)").arg(m_station, m_settingsFile));
    log(QStringLiteral("  worklist        wlmscpfs %1@127.0.0.1:%2, today's %3 patients for %4")
            .arg(WorklistAet)
            .arg(m_worklistPort)
            .arg(m_patients.size())
            .arg(LocalAet));
    log(QStringLiteral("  PACS            Orthanc %1@127.0.0.1:%2, web page http://127.0.0.1:%3/app/explorer.html,"
                       " storage commitment reports to %4@127.0.0.1:%5")
            .arg(PacsAet)
            .arg(m_pacsPort)
            .arg(m_httpPort)
            .arg(StationAet)
            .arg(m_receiverPort));
    if (m_mpps && m_mpps->running())
        log(QStringLiteral("  MPPS provider   dcmjs-dimse %1@127.0.0.1:%2 (the RIS's performed procedure steps)")
                .arg(m_mpps->aet())
                .arg(m_mpps->port()));
    if (m_registry)
        log(QStringLiteral("  shared database PostgreSQL %1 (the configuration and the dose registry)")
                .arg(m_stationObj->settings().registry.describe()));
    log(QStringLiteral("  X-ray unit      %1 on %2").arg(m_o.unit.toUpper(), m_pty));
    log(QStringLiteral("  receiver        %1@127.0.0.1:%2 (the images of the exposures go there)")
            .arg(StationAet)
            .arg(m_receiverPort));
    if (!m_o.automatic) {
        log(QStringLiteral("In the station: OK in Options, \"Worklist\", pick a patient, Apply."));
        log(QStringLiteral("Then here: press Enter for the four exposures (R CC, L CC, R MLO, L MLO); "
                           "type q and Enter to end the demo."));
        auto *stdinNotifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
        connect(stdinNotifier, &QSocketNotifier::activated, this, &DemoRoom::terminalInput);
    }
    return true;
}

bool DemoRoom::prepareFolder()
{
    QDir dir(m_o.folder);
    if (m_o.reset && dir.exists()) {
        // Only a folder the room made is emptied.
        if (!QFile::exists(dir.filePath(Marker)) && !dir.isEmpty()) {
            std::fprintf(stderr, "demo-room: %s was not made by the demo room; not emptied\n", qPrintable(m_o.folder));
            return false;
        }
        dir.removeRecursively();
    }
    for (const QString &sub : {QStringLiteral("station"), QStringLiteral("worklist/") + WorklistAet,
                               QStringLiteral("orthanc"), QStringLiteral("screens")})
        if (!QDir().mkpath(m_o.folder + QLatin1Char('/') + sub)) {
            std::fprintf(stderr, "demo-room: cannot create %s/%s\n", qPrintable(m_o.folder), qPrintable(sub));
            return false;
        }
    writeText(dir.filePath(Marker), "This folder belongs to the Calvarex demo room (scripts/run --demo).\n");
    m_prompter = std::make_unique<SilentPrompter>();
    m_stationObj = peers::openStation(m_station, m_settingsFile, *m_prompter);
    return true;
}

bool DemoRoom::writeWorklist()
{
    m_worklist = std::make_unique<peers::WorklistProvider>(peers::WorklistProvider::Wlmscpfs, WorklistAet,
                                                           m_o.folder + QStringLiteral("/worklist"));
    m_worklist->clear();
    m_patients = todaysPatients();
    for (Patient &p : m_patients) {
        peers::WorklistItem item;
        item.name = p.dicomName();
        item.patientId = p.id;
        item.birthDate = p.birthDate;
        item.sex = p.sex;
        item.accession = p.accession;
        item.referring = p.referring;
        item.institution = QStringLiteral("Calvarex Demo Breast Centre");
        item.stationAet = LocalAet;
        item.time = p.time;
        item.procedureDescription = QStringLiteral("Screening mammography");
        item.stepDescription = QStringLiteral("Mammography, 4 views");
        item.stationName = QStringLiteral("MAMMO-DEMO");
        // The worklist files are in ISO_IR 100 (Latin-1), as their first line says.
        if (!m_worklist->add(item, p.id)) {
            std::fprintf(stderr, "demo-room: dump2dcm could not write the worklist file of %s\n", qPrintable(p.id));
            return false;
        }
        p.studyUid = item.studyUid;
        p.seriesUid = dicom::newUid();
    }
    return true;
}

void DemoRoom::started(const QString &name, qint64 pid) const { log(QStringLiteral("PID %1 %2").arg(name).arg(pid)); }

bool DemoRoom::startWorklist()
{
    const bool ok = m_worklist->start();
    if (m_worklist->processId() > 0)
        started(QStringLiteral("worklist"), m_worklist->processId());
    if (!ok) {
        std::fprintf(stderr, "demo-room: the worklist provider (wlmscpfs) does not answer on port %u\n%s",
                     m_worklist->port(), qPrintable(m_worklist->output()));
        return false;
    }
    m_worklistPort = m_worklist->port();
    return true;
}

bool DemoRoom::startMpps()
{
    m_mpps = std::make_unique<peers::MppsProvider>(QStringLiteral("RIS"));
    if (m_mpps->start()) {
        started(QStringLiteral("mpps"), m_mpps->processId());
        return true;
    }
    // A room without Node still works; only the automatic examination, which checks
    // the steps, needs it.
    std::fprintf(stderr, "demo-room: the MPPS provider does not run (%s)\n", qPrintable(m_mpps->problem()));
    return !m_o.automatic;
}

bool DemoRoom::startPacs()
{
    peers::OrthancPacs::Options o;
    o.aet = PacsAet;
    o.name = QStringLiteral("Calvarex demo PACS");
    o.folder = m_o.folder + QStringLiteral("/orthanc");
    o.httpPort = quint16(m_o.httpPort);
    // The PACS knows the station: its storage commitment reports go to the receiver.
    m_receiverPort = peers::freePort();
    o.modalities << peers::OrthancPacs::Options::Modality{StationAet, QStringLiteral("127.0.0.1"), m_receiverPort};
    m_pacs = std::make_unique<peers::OrthancPacs>(o);
    const bool ok = m_pacs->start();
    if (m_pacs->processId() > 0)
        started(QStringLiteral("pacs"), m_pacs->processId());
    if (!ok) {
        std::fprintf(stderr, "demo-room: Orthanc does not answer (DICOM port %u, web port %u)\n%s", m_pacs->port(),
                     m_pacs->httpPort(), qPrintable(m_pacs->output()));
        return false;
    }
    m_pacsPort = m_pacs->port();
    m_httpPort = m_pacs->httpPort();
    return true;
}

bool DemoRoom::startXrayUnit()
{
    m_xray = std::make_unique<peers::XraySim>(m_o.binDir);
    const bool ok = m_xray->start();
    if (m_xray->processId() > 0)
        started(QStringLiteral("xray-unit"), m_xray->processId());
    if (!ok) {
        std::fprintf(stderr, "demo-room: the X-ray unit simulator (%s/xray-sim) opened no pseudo-terminal\n",
                     qPrintable(m_o.binDir));
        return false;
    }
    m_pty = m_xray->device();
    // Its reports are not needed.
    m_xray->ignoreOutput();
    return true;
}

bool DemoRoom::startRegistry()
{
    if (!m_o.registry)
        return true;
    m_registry = std::make_unique<peers::PostgresServer>();
    if (!m_registry->start()) {
        std::fprintf(stderr, "demo-room: the PostgreSQL server did not start (%s)\n", qPrintable(m_registry->error()));
        return false;
    }
    const SharedDbSettings s = m_registry->createDatabase(QStringLiteral("calvarex"));
    SettingsStore &store = m_stationObj->settingsStore();
    store.writeValue(QStringLiteral("Registry/Host"), s.host);
    store.writeValue(QStringLiteral("Registry/Port"), s.port);
    store.writeValue(QStringLiteral("Registry/Database"), s.database);
    store.writeValue(QStringLiteral("Registry/User"), s.user);
    store.writeValue(QStringLiteral("Registry/PassFile"), s.passFile);
    m_stationObj->loadSettings();
    // The shared schema made and this station's configuration brought along.
    return m_stationObj->trap(QStringLiteral("demo-room"), [&] { Schema::syncShared(m_stationObj->paths()); });
}

bool DemoRoom::checkRegistry()
{
    if (!m_registry)
        return true;
    // The background round sends within seconds.
    int records = 0;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 20000) {
        m_stationObj->trap(QStringLiteral("demo-room"), [&] {
            Database db = Database::openShared(m_stationObj->paths());
            records = db.scalar(QStringLiteral("SELECT COUNT(*) FROM tblDosis WHERE Room = ? AND WorklistPatID = ?"),
                                {LocalAet, m_o.autoPatient})
                          .toInt();
        });
        if (records == 4)
            break;
        QThread::msleep(500);
    }
    const bool ok = records == 4;
    log(QStringLiteral("CHECK dose registry of %1: %2 records of room %3 -> %4")
            .arg(m_o.autoPatient)
            .arg(records)
            .arg(LocalAet, ok ? QStringLiteral("ok") : QStringLiteral("FAILED")));
    return ok;
}

bool DemoRoom::writeSettings()
{
    Settings &s = m_stationObj->settings();
    static const QHash<QString, qint16> units{{QStringLiteral("hfe"), XrayUnit::Hfe501},
                                              {QStringLiteral("sophie"), XrayUnit::Sophie},
                                              {QStringLiteral("giotto"), XrayUnit::Giotto},
                                              {QStringLiteral("lorad"), XrayUnit::LoradM4}};
    s.xrayComm = units.value(m_o.unit, XrayUnit::Hfe501);
    s.comDevice = m_pty;
    s.irAet = StationAet;
    s.irPort = QString::number(m_receiverPort);
    s.worklistLocalAet = LocalAet;
    s.worklist = {QStringLiteral("127.0.0.1"), WorklistAet, QString::number(m_worklistPort)};
    s.scp = {QStringLiteral("127.0.0.1"), PacsAet, QString::number(m_pacsPort)};
    if (m_mpps && m_mpps->running())
        s.mpps = {QStringLiteral("127.0.0.1"), m_mpps->aet(), QString::number(m_mpps->port())};
    else
        s.mpps = {};
    s.stopService = 1; // the companions end with the station
    s.mammoLayout = 1;
    m_stationObj->saveSettings();
    // Orthanc as the default storage destination.
    bool ok = m_stationObj->trap(QStringLiteral("demo-room"), [&] {
        Destinations d(*m_stationObj);
        qint64 id = 0;
        for (const Destination &row : d.list())
            if (row.alias == QLatin1String("Demo PACS"))
                id = row.id;
        if (id)
            d.update(id, QStringLiteral("Demo PACS"), PacsAet, QStringLiteral("127.0.0.1"),
                     QString::number(m_pacsPort));
        else
            id = d.add(QStringLiteral("Demo PACS"), PacsAet, QStringLiteral("127.0.0.1"), QString::number(m_pacsPort));
        d.makeDefault(id);
        // The PACS commits to what it received.
        d.setStorageCommitment(id, true);
    });
    if (!ok)
        std::fprintf(stderr, "demo-room: the PACS could not be entered as the default destination\n");
    return ok;
}

bool DemoRoom::startStation()
{
    m_calvarex = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("CALVAREX_HOME"), m_station);
    env.insert(QStringLiteral("CALVAREX_SETTINGS"), m_settingsFile);
    // The automatic examination runs in the demo's own build of the station.
    QString program = m_o.binDir + QStringLiteral("/Calvarex");
    QStringList args;
    if (m_o.automatic) {
        env.insert(QStringLiteral("CALVAREX_UNATTENDED"), QStringLiteral("1"));
        program = m_o.binDir + QStringLiteral("/demo-station");
        args << QStringLiteral("--patient") << m_o.autoPatient << QStringLiteral("--screens")
             << m_o.folder + QStringLiteral("/screens");
    }
    m_calvarex->setProcessEnvironment(env);
    m_calvarex->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    connect(m_calvarex.get(), &QProcess::readyReadStandardOutput, this, &DemoRoom::stationOutput);
    connect(m_calvarex.get(), &QProcess::finished, this, [this](int code) { stationEnded(code); });
    m_calvarex->start(program, args);
    if (!m_calvarex->waitForStarted(10000)) {
        std::fprintf(stderr, "demo-room: the station did not start: %s\n", qPrintable(m_calvarex->errorString()));
        return false;
    }
    started(QStringLiteral("station"), m_calvarex->processId());
    return true;
}

void DemoRoom::stationOutput()
{
    while (m_calvarex->canReadLine()) {
        const QString line = QString::fromUtf8(m_calvarex->readLine()).trimmed();
        log(QStringLiteral("station: ") + line);
        // The automatic examination picked its patient: the unit exposes.
        if (line.startsWith(QStringLiteral("EXAM patient ")))
            QTimer::singleShot(1500, this, &DemoRoom::beginExamination);
        static const QRegularExpression live(QStringLiteral("^EXAM live view (\\d+) images"));
        if (const QRegularExpressionMatch m = live.match(line); m.hasMatch())
            m_liveShown = std::max(m_liveShown, m.captured(1).toInt());
    }
}

void DemoRoom::terminalInput()
{
    char buf[256];
    const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n <= 0) {
        // No terminal any more: the room goes on until the station ends.
        if (auto *notifier = qobject_cast<QSocketNotifier *>(sender()))
            notifier->setEnabled(false);
        return;
    }
    const QString text = QString::fromLocal8Bit(buf, int(n)).trimmed();
    if (text == QLatin1String("q")) {
        log(QStringLiteral("Ending the demo."));
        stop();
        return;
    }
    beginExamination();
}

void DemoRoom::beginExamination()
{
    if (m_exposure > 0) {
        log(QStringLiteral("unit: an examination is running; wait for its four images"));
        return;
    }
    m_exposure = 0;
    ++m_examinations;
    m_seenDoseId = lastDoseId();
    exposeNext();
}

void DemoRoom::exposeNext()
{
    if (m_stopping)
        return;
    if (m_exposure >= 4) {
        log(QStringLiteral("unit: examination done, four exposures and their images"));
        m_exposure = 0;
        return;
    }
    const int view = m_exposure++;
    // Technique and dose of each view as the automatic exposure control gives them: each
    // woman (each examination) has a compressed breast of her own, thicker in the MLO
    // views, so no two patients share their doses and a dose in the wrong patient's image
    // shows in the PACS.
    const QString who = m_o.automatic ? m_o.autoPatient : QString::number(m_examinations);
    uint hash = 7;
    for (const QChar c : who)
        hash = hash * 31 + c.unicode();
    const int thickness = 38 + int(hash % 25) + (view >= 2 ? 6 : 0) + view % 2; // mm
    const int kvp = 25 + thickness / 12;
    const double mAs = 30 + 1.1 * thickness + 3 * (view % 2);
    const double kvFactor = (kvp / 28.0) * (kvp / 28.0);
    const QString kv = QString::number(kvp);
    const QString mas = QString::number(qRound(mAs));
    // The HFE 501 measures the dose-area product (cGy cm2), the others the entrance dose (mGy).
    const bool hfe = m_o.unit == QLatin1String("hfe");
    m_lastDose = QString::number(mAs * kvFactor * (hfe ? 0.16 : 0.018), 'f', 2);
    QString command;
    if (hfe)
        command =
            QStringLiteral("hfe %1 %2 %3 W/Rh %4 %5mm").arg(m_lastDose, kv, mas).arg(qRound(4 * mAs)).arg(thickness);
    else if (m_o.unit == QLatin1String("lorad"))
        command = QStringLiteral("lorad %1 %2 %3").arg(m_lastDose, kv, mas);
    else
        command = QStringLiteral("%1 %2 %3 %4").arg(m_o.unit, m_lastDose, kv, mas);
    log(QStringLiteral("unit: exposure %1 (%2) %3 kV %4 mAs, dose %5")
            .arg(view + 1)
            .arg(QLatin1String(ViewNames[view]), kv, mas, m_lastDose));
    m_xray->command(command);
    if (m_o.unit == QLatin1String("lorad"))
        log(QStringLiteral("unit: press \"Get Dose Product\" in the station to fetch the dose"));
    else if (m_o.unit != QLatin1String("hfe") && !m_o.automatic)
        log(QStringLiteral("unit: choose \"?\" > \"Fill\" in the station to store the dose"));
    m_waited.start();
    m_poll.start();
}

qint64 DemoRoom::lastDoseId() const
{
    qint64 id = 0;
    m_stationObj->trap(QStringLiteral("demo-room"), [&] {
        Database db = Database::openData(m_stationObj->paths());
        QSqlQuery q = db.exec(QStringLiteral("SELECT MAX(ID) FROM tblDosis"));
        if (q.next())
            id = q.value(0).toLongLong();
    });
    return id;
}

void DemoRoom::pollDoseRecord()
{
    QJsonObject record;
    m_stationObj->trap(QStringLiteral("demo-room"), [&] {
        Database db = Database::openData(m_stationObj->paths());
        QSqlQuery q =
            db.exec(QStringLiteral("SELECT ID, ImgNo, PatLastname, PatFirstname, PatBirthdate, mGy1, mGy2, mGy3,"
                                   " WorklistPatID FROM tblDosis WHERE ID > ? ORDER BY ID LIMIT 1"),
                    {m_seenDoseId});
        if (q.next())
            record = QJsonObject{{"id", q.value(0).toLongLong()},     {"imgNo", q.value(1).toInt()},
                                 {"family", q.value(2).toString()},   {"given", q.value(3).toString()},
                                 {"birth", q.value(4).toString()},    {"dose", q.value(5).toString()},
                                 {"kv", q.value(6).toString()},       {"mas", q.value(7).toString()},
                                 {"patientId", q.value(8).toString()}};
    });
    if (record.isEmpty()) {
        // The HFE's dose is stored at once; the others' when the operator asks for it.
        const int limit = m_o.unit == QLatin1String("hfe") ? 20000 : m_o.automatic ? 60000 : 300000;
        if (m_waited.elapsed() > limit) {
            m_poll.stop();
            log(QStringLiteral("unit: the station recorded no dose for exposure %1; examination stopped")
                    .arg(m_exposure));
            m_exposure = 0;
        }
        return;
    }
    m_poll.stop();
    m_seenDoseId = record.value("id").toInteger();
    log(QStringLiteral("station recorded exposure %1 of %2^%3: dose %4")
            .arg(record.value("imgNo").toInt())
            .arg(record.value("family").toString(), record.value("given").toString(), record.value("dose").toString()));
    sendImage(record);
}

const DemoRoom::Patient *DemoRoom::patientOfRecord(const QString &family, const QString &given,
                                                   const QString &birth) const
{
    // The station writes an apostrophe in a name as an acute accent and dates with dashes.
    auto same = [](QString a, QString b) {
        a.replace(QChar(0xB4), QLatin1Char('\''));
        b.replace(QChar(0xB4), QLatin1Char('\''));
        return a.trimmed().compare(b.trimmed(), Qt::CaseInsensitive) == 0;
    };
    for (const Patient &p : m_patients)
        if (same(p.family, family) && same(p.given, given) && QString(birth).remove(QLatin1Char('-')) == p.birthDate)
            return &p;
    return nullptr;
}

const DemoRoom::Patient *DemoRoom::worklistPatient(const QString &id) const
{
    for (const Patient &p : m_patients)
        if (p.id == id)
            return &p;
    return nullptr;
}

void DemoRoom::sendImage(const QJsonObject &record)
{
    const int number = record.value("imgNo").toInt();
    const QString family = record.value("family").toString();
    // The station keeps a dose record under the worklist patient's ID (older records: name
    // and birth date).
    const Patient *known = worklistPatient(record.value("patientId").toString());
    if (!known)
        known = patientOfRecord(family, record.value("given").toString(), record.value("birth").toString());
    if ((!known && family.isEmpty()) || number < 1) {
        log(QStringLiteral("unit: no patient was picked in the station, so this exposure has no patient; "
                           "no image is sent. Pick the patient from the worklist first."));
        QTimer::singleShot(1500, this, &DemoRoom::exposeNext);
        return;
    }
    Patient p;
    if (known) {
        p = *known;
    } else {
        // A patient entered by hand: the unit knows what the station recorded.
        p.id = QStringLiteral("MAN%1").arg(qHash(family + record.value("given").toString()) % 100000);
        p.family = QString(family).replace(QChar(0xB4), QLatin1Char('\''));
        p.given = record.value("given").toString();
        p.birthDate = record.value("birth").toString().remove(QLatin1Char('-'));
        p.sex = QStringLiteral("F");
        p.studyUid = dicom::newUid();
        p.seriesUid = dicom::newUid();
        m_patients.push_back(p);
    }
    m_sent[p.id][number] = m_lastDose;
    QStringList args{
        QStringLiteral("--port"),       QString::number(m_receiverPort),
        QStringLiteral("--called"),     StationAet,
        QStringLiteral("--calling"),    UnitAet,
        QStringLiteral("--patient-id"), p.id,
        QStringLiteral("--name"),       p.dicomName(),
        QStringLiteral("--sex"),        p.sex,
        QStringLiteral("--study-uid"),  p.studyUid,
        QStringLiteral("--series-uid"), p.seriesUid,
        QStringLiteral("--instance"),   QString::number(number),
        QStringLiteral("--size"),       QStringLiteral("%1x%2").arg(m_o.imageSize.width()).arg(m_o.imageSize.height())};
    if (!p.birthDate.isEmpty())
        args << QStringLiteral("--birth") << p.birthDate;
    if (!p.accession.isEmpty())
        args << QStringLiteral("--accession") << p.accession << QStringLiteral("--referring") << p.referring
             << QStringLiteral("--institution") << QStringLiteral("Calvarex Demo Breast Centre");
    const QString kv = record.value("kv").toString().remove(QStringLiteral("kV")).trimmed();
    const QString mas = record.value("mas").toString().remove(QStringLiteral("mAs")).trimmed();
    bool kvOk = false, masOk = false;
    kv.toDouble(&kvOk);
    mas.toDouble(&masOk);
    if (kvOk)
        args << QStringLiteral("--kvp") << kv;
    if (masOk)
        args << QStringLiteral("--mas") << mas;
    m_modality = std::make_unique<QProcess>();
    m_modality->setProcessChannelMode(QProcess::MergedChannels);
#ifdef Q_OS_LINUX
    m_modality->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif
    connect(m_modality.get(), &QProcess::finished, this, [this](int code) { imageSent(code); });
    m_modality->start(m_o.binDir + QStringLiteral("/modality-sim"), args);
}

void DemoRoom::imageSent(int exitCode)
{
    for (const QByteArray &line : m_modality->readAll().split('\n'))
        if (!line.trimmed().isEmpty())
            log(QStringLiteral("modality: ") + QString::fromLatin1(line.trimmed()));
    if (exitCode != 0)
        log(QStringLiteral("modality: the image was not accepted (exit code %1)").arg(exitCode));
    m_modality.release()->deleteLater();
    QTimer::singleShot(1500, this, &DemoRoom::exposeNext);
}

void DemoRoom::stationEnded(int code)
{
    log(QStringLiteral("The station ended (exit code %1).").arg(code));
    m_exitCode = code;
    if (m_o.automatic && code == 0 && !checkPacs())
        m_exitCode = 1;
    stop();
}

QByteArray DemoRoom::rest(const QString &path) const { return m_pacs->get(path); }

bool DemoRoom::checkPacs()
{
    // What the station recorded for the patient, by exposure number.
    QHash<int, QString> doses;
    const Patient *p = worklistPatient(m_o.autoPatient);
    m_stationObj->trap(QStringLiteral("demo-room"), [&] {
        Database db = Database::openData(m_stationObj->paths());
        QSqlQuery q =
            db.exec(QStringLiteral("SELECT ImgNo, mGy1 FROM tblDosis WHERE WorklistPatID = ?"), {m_o.autoPatient});
        while (q.next())
            doses.insert(q.value(0).toInt(), q.value(1).toString());
    });
    bool ok = doses.size() == 4;
    log(QStringLiteral("CHECK dose records of %1: %2").arg(m_o.autoPatient).arg(doses.size()));
    // The station showed each image as it arrived, while the examination was open.
    log(QStringLiteral("CHECK live view of %1: %2 images shown during the examination -> %3")
            .arg(m_o.autoPatient)
            .arg(m_liveShown)
            .arg(m_liveShown >= 4 ? QStringLiteral("ok") : QStringLiteral("FAILED")));
    const bool liveOk = m_liveShown >= 4;
    const QJsonArray studies = QJsonDocument::fromJson(rest(QStringLiteral("/studies"))).array();
    for (const QJsonValue &study : studies) {
        const QByteArray page = rest(QStringLiteral("/studies/") + study.toString());
        const QJsonObject o = QJsonDocument::fromJson(page).object();
        if (p && o.value("MainDicomTags").toObject().value("StudyInstanceUID").toString() == p->studyUid)
            writeText(m_o.folder + QStringLiteral("/screens/orthanc-study.json"), page);
    }
    int found = 0;
    // The dose report the station made for the examination: one, valid, read back.
    QList<QJsonObject> images;
    QStringList reportIds;
    for (const QJsonValue &id : QJsonDocument::fromJson(rest(QStringLiteral("/instances"))).array()) {
        QJsonObject tags =
            QJsonDocument::fromJson(rest(QStringLiteral("/instances/%1/simplified-tags").arg(id.toString()))).object();
        if (tags.value("PatientID").toString() != m_o.autoPatient)
            continue;
        if (tags.value("SOPClassUID").toString() == dicom::XRayRadiationDoseSrClass)
            reportIds << id.toString();
        else
            images << tags;
    }
    DoseReportFacts report;
    bool reportOk = reportIds.size() == 1;
    if (reportOk) {
        const QString file = m_o.folder + QStringLiteral("/screens/dose-report.dcm");
        writeText(file, rest(QStringLiteral("/instances/%1/file").arg(reportIds.first())));
        QProcess verify;
        verify.setProcessChannelMode(QProcess::MergedChannels);
        verify.start(QStringLiteral("dciodvfy"), {file});
        verify.waitForFinished(60000);
        QStringList errors;
        for (const QString &line : QString::fromLatin1(verify.readAll()).split(QLatin1Char('\n')))
            if (line.startsWith(QLatin1String("Error")))
                errors << line.trimmed();
        if (verify.error() == QProcess::FailedToStart)
            errors << QStringLiteral("dciodvfy cannot be started");
        for (const QString &e : errors)
            log(QStringLiteral("CHECK dose report: dciodvfy %1").arg(e));
        try {
            report = DoseReports::read(file);
        } catch (const std::exception &e) {
            errors << QString::fromLocal8Bit(e.what());
        }
        reportOk = errors.isEmpty() && report.events.size() == 4;
    }
    log(QStringLiteral("CHECK PACS dose reports of %1: %2, %3 events -> %4")
            .arg(m_o.autoPatient)
            .arg(reportIds.size())
            .arg(report.events.size())
            .arg(reportOk ? "ok" : "FAILED"));
    ok = ok && reportOk;
    for (const QJsonObject &tags : images) {
        ++found;
        const int n = tags.value("InstanceNumber").toString().toInt();
        const QString dap = tags.value("ImageAndFluoroscopyAreaDoseProduct").toString();
        const QString entrance = tags.value("EntranceDoseInmGy").toString();
        const QString recorded = doses.value(n);
        // The record is the dose the unit gave this patient's exposure, and no other.
        const QString sent = m_sent.value(m_o.autoPatient).value(n);
        // The HFE 501 gives cGy cm2; the image carries dGy cm2. The other units' doses go as entrance dose.
        const bool hfe = m_o.unit == QLatin1String("hfe");
        const double want = recorded.toDouble() / (hfe ? 10.0 : 1.0);
        const double got = (hfe ? dap : entrance).toDouble();
        // The image names the report's event of its own exposure: the HFE's dose-area
        // product there in Gy m2 (cGy cm2 x 1e-6), the other units' entrance dose in mGy.
        const QString eventUid = tags.value("IrradiationEventUID").toString();
        const DoseEvent *event = nullptr;
        for (const DoseEvent &e : report.events)
            if (e.eventUid == eventUid)
                event = &e;
        const double reported = !event ? -1 : hfe ? event->dap.value_or(-1) : event->entranceDose.value_or(-1);
        const double wantReported = recorded.toDouble() * (hfe ? 1e-6 : 1.0);
        const bool eventMatch = event && qAbs(reported - wantReported) <= 1e-9 * qMax(1.0, wantReported);
        const bool match = !recorded.isEmpty() && recorded == sent && qAbs(want - got) < 1e-6 && eventMatch;
        ok = ok && match;
        log(QStringLiteral("CHECK PACS image %1: %2 %3, unit sent %4, recorded dose %5 -> %6, report event %7 %8 %9")
                .arg(n)
                .arg(hfe ? QStringLiteral("(0018,115E)") : QStringLiteral("(0040,8302)"), hfe ? dap : entrance, sent,
                     recorded, QString::number(want), eventUid.isEmpty() ? QStringLiteral("(none)") : eventUid,
                     event
                         ? DoseReport::numberText(reported) + (hfe ? QStringLiteral(" Gy.m2") : QStringLiteral(" mGy"))
                         : QStringLiteral("(not in the report)"),
                     match ? QStringLiteral("ok") : QStringLiteral("WRONG")));
    }
    ok = ok && found == 4;
    log(QStringLiteral("CHECK PACS images of %1: %2 -> %3").arg(m_o.autoPatient).arg(found).arg(ok ? "ok" : "FAILED"));
    // The PACS committed to every object of the study the station sent.
    Commitments::Summary committed;
    if (p)
        m_stationObj->trap(QStringLiteral("demo-room"), [&] {
            committed = Commitments(m_stationObj->paths(), m_stationObj->log()).summary(p->studyUid);
        });
    const bool commitOk = committed.sent >= 5 && committed.committed == committed.sent;
    log(QStringLiteral("CHECK storage commitment of %1: %2 -> %3")
            .arg(m_o.autoPatient, committed.any() ? committed.text() : QStringLiteral("(nothing asked)"),
                 commitOk ? QStringLiteral("ok") : QStringLiteral("FAILED")));
    ok = ok && commitOk;
    ok = checkRegistry() && ok;
    ok = checkAudit() && ok;
    return checkMpps() && ok && liveOk;
}

bool DemoRoom::checkAudit()
{
    // The audit log the station and its companions kept of the examination: the worklist
    // query, the images the receiver took, the dose merged into them, the transfer.
    const QString file = QDir(m_stationObj->paths().logsDir()).filePath(QStringLiteral("audit.log"));
    QFile::remove(m_o.folder + QStringLiteral("/screens/audit.log"));
    QFile::copy(file, m_o.folder + QStringLiteral("/screens/audit.log"));
    const QString pacsAet = m_pacs ? m_pacs->aet() : QString();
    int query = 0, received = 0, opened = 0, merged = 0, sent = 0;
    for (const AuditTrail::Entry &e : AuditTrail::readLog(file)) {
        const Audit::Summary s = Audit::summarize(e.xml);
        const bool patient = s.objects.contains(m_o.autoPatient);
        if (s.event == QLatin1String("110112"))
            ++query;
        else if (s.event == QLatin1String("110104") && e.appName == QLatin1String("TqReceiver") && patient)
            ++received;
        else if (s.event == QLatin1String("110103") && s.action == QLatin1String("R") && patient)
            ++opened;
        else if (s.event == QLatin1String("110103") && s.action == QLatin1String("U") && patient)
            ++merged;
        else if (s.event == QLatin1String("110104") && e.appName == QLatin1String("calvarex") && patient
                 && s.users.contains(pacsAet))
            ++sent;
    }
    const bool ok = query > 0 && received > 0 && opened > 0 && merged > 0 && sent > 0;
    log(QStringLiteral("CHECK audit log of %1: worklist queries %2, images received %3, studies opened %4, dose "
                       "merges %5, PACS transfers %6 -> %7")
            .arg(m_o.autoPatient)
            .arg(query)
            .arg(received)
            .arg(opened)
            .arg(merged)
            .arg(sent)
            .arg(ok ? QStringLiteral("ok") : QStringLiteral("FAILED")));
    return ok;
}

bool DemoRoom::checkMpps()
{
    if (!m_mpps || !m_mpps->running()) {
        log(QStringLiteral("CHECK MPPS: the provider does not run -> FAILED"));
        return false;
    }
    // The station delivers in the background: the last message may be on its way.
    QJsonObject step;
    QString uid;
    QJsonArray messages;
    for (QElapsedTimer waited; !waited.isValid() || waited.elapsed() < 30000;) {
        if (!waited.isValid())
            waited.start();
        messages = m_mpps->messages();
        const QJsonObject steps = m_mpps->steps();
        for (auto it = steps.begin(); it != steps.end(); ++it)
            if (it->toObject().value("PatientID").toString() == m_o.autoPatient) {
                uid = it.key();
                step = it->toObject();
            }
        if (step.value("PerformedProcedureStepStatus").toString() == QLatin1String("COMPLETED"))
            break;
        QThread::msleep(250);
    }
    int creates = 0, sets = 0;
    for (const QJsonValue &m : messages) {
        const QJsonObject o = m.toObject();
        if (o.value("uid").toString() != uid)
            continue;
        (o.value("type").toString() == QLatin1String("N-CREATE") ? creates : sets)++;
    }
    const int doseItems = int(step.value("ExposureDoseSequence").toArray().size());
    int images = 0;
    for (const QJsonValue &series : step.value("PerformedSeriesSequence").toArray())
        images += int(series.toObject().value("ReferencedImageSequence").toArray().size());
    const QString status = step.value("PerformedProcedureStepStatus").toString();
    // "New Study" ends the step when the unit is done; the images that arrived by then are
    // its series (the last may still be on its way).
    const bool ok = status == QLatin1String("COMPLETED") && doseItems == 4 && creates == 1 && sets == 1;
    writeText(m_o.folder + QStringLiteral("/screens/mpps-step.json"), QJsonDocument(step).toJson());
    log(QStringLiteral("CHECK MPPS step of %1: %2, N-CREATE %3, N-SET %4, %5 images, %6 dose items -> %7")
            .arg(m_o.autoPatient, status.isEmpty() ? QStringLiteral("(none)") : status)
            .arg(creates)
            .arg(sets)
            .arg(images)
            .arg(doseItems)
            .arg(ok ? "ok" : "FAILED"));
    return ok;
}

void DemoRoom::stop()
{
    if (m_stopped || m_stopping)
        return;
    m_stopping = true;
    m_poll.stop();
    if (m_modality && m_modality->state() != QProcess::NotRunning) {
        m_modality->kill();
        m_modality->waitForFinished(3000);
    }
    if (m_calvarex && m_calvarex->state() != QProcess::NotRunning) {
        m_calvarex->terminate();
        if (!m_calvarex->waitForFinished(10000)) {
            m_calvarex->kill();
            m_calvarex->waitForFinished(3000);
        }
    }
    // The companions end with the station; any left over (the station was killed) are
    // ended here, by their process ids, and only those serving the demo's station folder.
    for (const QString &name : {Companions::receiverName(), Companions::dataManagerName()}) {
        const qint64 pid = Companions::FindProcess(name, m_station);
        if (pid) {
            log(QStringLiteral("stopping the left-over %1 (%2)").arg(name).arg(pid));
            Companions::terminate(pid, name, 3000);
        }
    }
    // The peers, in the reverse order of their start.
    if (m_xray)
        m_xray->stop();
    if (m_registry)
        m_registry->stop();
    if (m_mpps)
        m_mpps->stop();
    if (m_pacs)
        m_pacs->stop();
    if (m_worklist)
        m_worklist->stop();
    m_stopped = true;
    log(QStringLiteral("Demo room stopped."));
    emit finished();
}

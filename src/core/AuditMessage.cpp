#include "core/AuditMessage.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QSysInfo>
#include <QXmlStreamWriter>

#ifndef Q_OS_WIN
#include <pwd.h>
#include <unistd.h>
#endif

namespace {

AuditCode dcm(const char *code, const char *meaning)
{
    return {QString::fromLatin1(code), QStringLiteral("DCM"), QString::fromLatin1(meaning)};
}

const AuditCode ApplicationActivity = dcm("110100", "Application Activity");
const AuditCode InstancesAccessed = dcm("110103", "DICOM Instances Accessed");
const AuditCode InstancesTransferred = dcm("110104", "DICOM Instances Transferred");
const AuditCode StudyDeleted = dcm("110105", "DICOM Study Deleted");
const AuditCode Export = dcm("110106", "Export");
const AuditCode Import = dcm("110107", "Import");
const AuditCode PatientRecord = dcm("110110", "Patient Record");
const AuditCode Query = dcm("110112", "Query");
const AuditCode SecurityAlert = dcm("110113", "Security Alert");
const AuditCode ApplicationStart = dcm("110120", "Application Start");
const AuditCode ApplicationStop = dcm("110121", "Application Stop");
const AuditCode ApplicationRole = dcm("110150", "Application");
const AuditCode ApplicationLauncher = dcm("110151", "Application Launcher");
const AuditCode DestinationRole = dcm("110152", "Destination Role ID");
const AuditCode SourceRole = dcm("110153", "Source Role ID");
const AuditCode DestinationMedia = dcm("110154", "Destination Media");
const AuditCode SourceMedia = dcm("110155", "Source Media");
const AuditCode StudyInstanceUid = dcm("110180", "Study Instance UID");
const AuditCode SopClassUid = dcm("110181", "SOP Class UID");
const AuditCode NodeId = dcm("110182", "Node ID");
const AuditCode PatientNumber{QStringLiteral("2"), QStringLiteral("RFC-3881"), QStringLiteral("Patient Number")};
const AuditCode UriId{QStringLiteral("12"), QStringLiteral("RFC-3881"), QStringLiteral("URI")};

// Audit source type 2: a data acquisition device.
constexpr const char *AcquisitionDevice = "2";

QString actionCode(AuditAction a)
{
    switch (a) {
    case AuditAction::Create:
        return QStringLiteral("C");
    case AuditAction::Read:
        return QStringLiteral("R");
    case AuditAction::Update:
        return QStringLiteral("U");
    case AuditAction::Delete:
        return QStringLiteral("D");
    case AuditAction::Execute:
        break;
    }
    return QStringLiteral("E");
}

// XML 1.0 carries neither control characters (but tab and line breaks) nor lone
// surrogates nor U+FFFE/U+FFFF: a patient name read from a damaged file still makes a
// well-formed message, with U+FFFD where such a character was.
QString xmlSafe(const QString &s)
{
    QString out;
    out.reserve(s.size());
    for (qsizetype i = 0; i < s.size(); ++i) {
        const QChar c = s.at(i);
        if (c.isHighSurrogate() && i + 1 < s.size() && s.at(i + 1).isLowSurrogate()) {
            out += c;
            out += s.at(++i);
            continue;
        }
        const char16_t u = c.unicode();
        const bool ok = u == 0x9 || u == 0xA || u == 0xD || (u >= 0x20 && u < 0xD800) || (u >= 0xE000 && u <= 0xFFFD);
        out += ok ? c : QChar(QChar::ReplacementCharacter);
    }
    return out;
}

bool isIpAddress(const QString &s)
{
    QHostAddress a;
    return a.setAddress(s);
}

QString localUserName()
{
#ifndef Q_OS_WIN
    if (const passwd *pw = ::getpwuid(::geteuid()); pw && pw->pw_name && *pw->pw_name)
        return QString::fromLocal8Bit(pw->pw_name);
#endif
    const QString env = qEnvironmentVariable("USER", qEnvironmentVariable("USERNAME"));
    return env.isEmpty() ? QStringLiteral("unknown") : env;
}

void writeCode(QXmlStreamWriter &w, const QString &element, const AuditCode &c)
{
    w.writeEmptyElement(element);
    w.writeAttribute(QStringLiteral("csd-code"), xmlSafe(c.code));
    w.writeAttribute(QStringLiteral("codeSystemName"), xmlSafe(c.system));
    w.writeAttribute(QStringLiteral("originalText"), xmlSafe(c.meaning));
}

} // namespace

AuditStation AuditStation::current(const QString &applicationName, const QString &aeTitle)
{
    AuditStation s;
    s.applicationName = applicationName;
    s.aeTitle = aeTitle.trimmed();
    s.hostName = QSysInfo::machineHostName();
    if (s.hostName.isEmpty())
        s.hostName = QStringLiteral("localhost");
    s.processId = QCoreApplication::applicationPid();
    s.userName = localUserName();
    return s;
}

AuditEvent::AuditEvent(const AuditStation &station, const AuditCode &id, AuditAction action)
    : m_station(station), m_eventId(id), m_action(action), m_time(QDateTime::currentDateTimeUtc())
{
}

// The program itself: its process ID as the system's own logs name it, its AE title, its
// name, and the machine it runs on.
AuditEvent::Participant AuditEvent::process(const AuditStation &station, bool requestor)
{
    Participant p;
    p.userId = QString::number(station.processId);
    if (!station.aeTitle.isEmpty())
        p.alternativeUserId = QStringLiteral("AETITLES=") + station.aeTitle;
    p.userName = station.applicationName;
    p.requestor = requestor;
    p.accessPoint = station.hostName;
    p.accessPointType = isIpAddress(station.hostName) ? 2 : 1;
    return p;
}

// The person at the station, as the operating system knows her: login@machine.
AuditEvent::Participant AuditEvent::user(const AuditStation &station, bool requestor)
{
    Participant p;
    p.userId = station.userName + QLatin1Char('@') + station.hostName;
    p.userName = station.userName;
    p.requestor = requestor;
    p.accessPoint = station.hostName;
    p.accessPointType = isIpAddress(station.hostName) ? 2 : 1;
    return p;
}

AuditEvent::Participant AuditEvent::peer(const AuditPeer &peer, bool requestor)
{
    Participant p;
    p.userId = peer.aeTitle.isEmpty() ? peer.address : peer.aeTitle;
    if (!peer.aeTitle.isEmpty())
        p.alternativeUserId = QStringLiteral("AETITLES=") + peer.aeTitle;
    p.requestor = requestor;
    if (!peer.address.isEmpty()) {
        p.accessPoint = peer.address;
        p.accessPointType = isIpAddress(peer.address) ? 2 : 1;
    }
    return p;
}

// The studies (system objects in the role of a report) and their patient (a person in
// the role of the patient, by her patient number).
void AuditEvent::addSubject(const AuditSubject &subject)
{
    for (const AuditStudy &study : subject.studies) {
        Object o;
        o.id = study.instanceUid;
        o.typeCode = 2;
        o.role = 3;
        o.idType = StudyInstanceUid;
        o.name = study.description.isEmpty() ? study.instanceUid : study.description;
        if (!study.accessionNumber.isEmpty())
            o.accessions << study.accessionNumber;
        o.sopClasses = study.sopClasses;
        m_objects << o;
    }
    Object p;
    p.id = subject.patient.id;
    p.typeCode = 1;
    p.role = 1;
    p.idType = PatientNumber;
    p.name = subject.patient.name;
    m_objects << p;
}

AuditEvent AuditEvent::applicationStart(const AuditStation &station)
{
    AuditEvent e(station, ApplicationActivity, AuditAction::Execute);
    e.m_typeCodes << ApplicationStart;
    Participant app = process(station, false);
    app.roles << ApplicationRole;
    Participant launcher = user(station, true);
    launcher.roles << ApplicationLauncher;
    e.m_participants << app << launcher;
    return e;
}

AuditEvent AuditEvent::applicationStop(const AuditStation &station)
{
    AuditEvent e = applicationStart(station);
    e.m_typeCodes = {ApplicationStop};
    return e;
}

// Sending: the receiver may or may not have held the images before; this side cannot
// know, so the action is Read.
AuditEvent AuditEvent::instancesSent(const AuditStation &station, const AuditPeer &destination,
                                     const AuditSubject &subject)
{
    AuditEvent e(station, InstancesTransferred, AuditAction::Read);
    Participant self = process(station, false);
    self.roles << SourceRole;
    Participant to = peer(destination, false);
    to.roles << DestinationRole;
    e.m_participants << self << to << user(station, true);
    e.addSubject(subject);
    return e;
}

// Receiving: the images are new here (Create); the source opened the association.
AuditEvent AuditEvent::instancesReceived(const AuditStation &station, const AuditPeer &source,
                                         const AuditSubject &subject)
{
    AuditEvent e(station, InstancesTransferred, AuditAction::Create);
    Participant from = peer(source, true);
    from.roles << SourceRole;
    Participant self = process(station, false);
    self.roles << DestinationRole;
    e.m_participants << from << self << user(station, false);
    e.addSubject(subject);
    return e;
}

AuditEvent AuditEvent::instancesAccessed(const AuditStation &station, AuditAction action, const AuditSubject &subject)
{
    AuditEvent e(station, InstancesAccessed, action);
    e.m_participants << user(station, true) << process(station, false);
    e.addSubject(subject);
    return e;
}

AuditEvent AuditEvent::patientRecord(const AuditStation &station, AuditAction action, const AuditPatient &patient)
{
    AuditEvent e(station, PatientRecord, action);
    e.m_participants << user(station, true) << process(station, false);
    e.addSubject({patient, {}});
    return e;
}

AuditEvent AuditEvent::query(const AuditStation &station, const AuditPeer &provider, const QByteArray &dataset,
                             const QString &transferSyntaxUid, const QString &sopClassUid)
{
    AuditEvent e(station, Query, AuditAction::Execute);
    Participant self = process(station, false);
    self.roles << SourceRole;
    Participant to = peer(provider, false);
    to.roles << DestinationRole;
    e.m_participants << self << to << user(station, true);
    Object o;
    o.id = sopClassUid;
    o.typeCode = 2;
    o.role = 3;
    o.idType = SopClassUid;
    o.isQuery = true;
    o.query = dataset;
    o.details << qMakePair(QStringLiteral("TransferSyntax"), transferSyntaxUid.toLatin1());
    e.m_objects << o;
    return e;
}

AuditEvent AuditEvent::mediaEvent(const AuditStation &station, const AuditCode &id, AuditAction action,
                                  const AuditMedia &media, bool toMedia, const QList<AuditSubject> &subjects)
{
    // The station's side is the destination of an import and the source of an export;
    // the medium is the other end.
    AuditEvent e(station, id, action);
    const AuditCode &own = toMedia ? SourceRole : DestinationRole;
    Participant person = user(station, true);
    person.roles << own;
    Participant self = process(station, false);
    self.roles << own;
    Participant medium;
    medium.userId = media.id;
    medium.alternativeUserId = media.machineReadId;
    medium.roles << (toMedia ? DestinationMedia : SourceMedia);
    medium.mediaType = media.type;
    e.m_participants << person << self << medium;
    for (const AuditSubject &s : subjects)
        e.addSubject(s);
    return e;
}

AuditEvent AuditEvent::dataImport(const AuditStation &station, const AuditMedia &source,
                                  const QList<AuditSubject> &subjects)
{
    return mediaEvent(station, Import, AuditAction::Create, source, false, subjects);
}

AuditEvent AuditEvent::dataExport(const AuditStation &station, const AuditMedia &destination,
                                  const QList<AuditSubject> &subjects)
{
    return mediaEvent(station, Export, AuditAction::Read, destination, true, subjects);
}

AuditEvent AuditEvent::studyDeleted(const AuditStation &station, const AuditSubject &subject)
{
    AuditEvent e(station, StudyDeleted, AuditAction::Delete);
    e.m_participants << user(station, true) << process(station, false);
    e.addSubject(subject);
    return e;
}

// The program reports; the operator is the requestor only when she did it; a peer the
// alert is about took part but asked for nothing.
AuditEvent AuditEvent::securityAlert(const AuditStation &station, const AuditAlert &alert)
{
    AuditEvent e(station, SecurityAlert, AuditAction::Execute);
    e.m_typeCodes << alert.type;
    e.setOutcome(alert.outcome, alert.description);
    e.m_participants << process(station, false) << user(station, alert.byOperator);
    if (!alert.peer.isNull())
        e.m_participants << peer(alert.peer, false);
    const QByteArray what = alert.description.toUtf8();
    if (!alert.peer.address.isEmpty()) {
        Object node;
        node.id = alert.peer.address;
        node.typeCode = 2;
        node.idType = NodeId;
        node.name = alert.peer.aeTitle.isEmpty() ? alert.peer.address : alert.peer.aeTitle;
        node.details << qMakePair(QStringLiteral("Alert Description"), what);
        e.m_objects << node;
    }
    if (!alert.subjectUri.isEmpty()) {
        Object resource;
        resource.id = alert.subjectUri;
        resource.typeCode = 2;
        resource.role = 13; // security resource
        resource.idType = UriId;
        resource.name = alert.subjectUri.section(QLatin1Char('/'), -1);
        if (resource.name.isEmpty())
            resource.name = alert.subjectUri;
        resource.details << qMakePair(QStringLiteral("Alert Description"), what);
        e.m_objects << resource;
    }
    return e;
}

AuditEvent &AuditEvent::setOutcome(AuditOutcome outcome, const QString &description)
{
    m_outcome = outcome;
    m_outcomeDescription = description;
    return *this;
}

AuditEvent &AuditEvent::setTime(const QDateTime &time)
{
    m_time = time.toUTC();
    return *this;
}

QByteArray AuditEvent::toXml() const
{
    QByteArray body;
    QXmlStreamWriter w(&body);
    w.setAutoFormatting(false);
    w.writeStartElement(QStringLiteral("AuditMessage"));

    w.writeStartElement(QStringLiteral("EventIdentification"));
    w.writeAttribute(QStringLiteral("EventActionCode"), actionCode(m_action));
    w.writeAttribute(QStringLiteral("EventDateTime"), m_time.toUTC().toString(Qt::ISODateWithMs));
    w.writeAttribute(QStringLiteral("EventOutcomeIndicator"), QString::number(int(m_outcome)));
    writeCode(w, QStringLiteral("EventID"), m_eventId);
    for (const AuditCode &c : m_typeCodes)
        writeCode(w, QStringLiteral("EventTypeCode"), c);
    if (!m_outcomeDescription.isEmpty())
        w.writeTextElement(QStringLiteral("EventOutcomeDescription"), xmlSafe(m_outcomeDescription));
    w.writeEndElement();

    for (const Participant &p : m_participants) {
        w.writeStartElement(QStringLiteral("ActiveParticipant"));
        w.writeAttribute(QStringLiteral("UserID"), xmlSafe(p.userId));
        if (!p.alternativeUserId.isEmpty())
            w.writeAttribute(QStringLiteral("AlternativeUserID"), xmlSafe(p.alternativeUserId));
        if (!p.userName.isEmpty())
            w.writeAttribute(QStringLiteral("UserName"), xmlSafe(p.userName));
        w.writeAttribute(QStringLiteral("UserIsRequestor"),
                         p.requestor ? QStringLiteral("true") : QStringLiteral("false"));
        if (!p.accessPoint.isEmpty()) {
            w.writeAttribute(QStringLiteral("NetworkAccessPointID"), xmlSafe(p.accessPoint));
            w.writeAttribute(QStringLiteral("NetworkAccessPointTypeCode"), QString::number(p.accessPointType));
        }
        for (const AuditCode &r : p.roles)
            writeCode(w, QStringLiteral("RoleIDCode"), r);
        if (!p.mediaType.isNull()) {
            w.writeStartElement(QStringLiteral("MediaIdentifier"));
            writeCode(w, QStringLiteral("MediaType"), p.mediaType);
            w.writeEndElement();
        }
        w.writeEndElement();
    }

    w.writeStartElement(QStringLiteral("AuditSourceIdentification"));
    if (!m_station.siteId.isEmpty())
        w.writeAttribute(QStringLiteral("AuditEnterpriseSiteID"), xmlSafe(m_station.siteId));
    w.writeAttribute(QStringLiteral("AuditSourceID"), xmlSafe(m_station.hostName));
    w.writeEmptyElement(QStringLiteral("AuditSourceTypeCode"));
    w.writeAttribute(QStringLiteral("csd-code"), QString::fromLatin1(AcquisitionDevice));
    w.writeEndElement();

    for (const Object &o : m_objects) {
        w.writeStartElement(QStringLiteral("ParticipantObjectIdentification"));
        w.writeAttribute(QStringLiteral("ParticipantObjectID"), xmlSafe(o.id));
        w.writeAttribute(QStringLiteral("ParticipantObjectTypeCode"), QString::number(o.typeCode));
        if (o.role)
            w.writeAttribute(QStringLiteral("ParticipantObjectTypeCodeRole"), QString::number(o.role));
        writeCode(w, QStringLiteral("ParticipantObjectIDTypeCode"), o.idType);
        if (o.isQuery)
            w.writeTextElement(QStringLiteral("ParticipantObjectQuery"), QString::fromLatin1(o.query.toBase64()));
        else
            w.writeTextElement(QStringLiteral("ParticipantObjectName"), xmlSafe(o.name));
        for (const auto &[type, value] : o.details) {
            w.writeEmptyElement(QStringLiteral("ParticipantObjectDetail"));
            w.writeAttribute(QStringLiteral("type"), type);
            w.writeAttribute(QStringLiteral("value"), QString::fromLatin1(value.toBase64()));
        }
        if (!o.accessions.isEmpty() || !o.sopClasses.isEmpty()) {
            w.writeStartElement(QStringLiteral("ParticipantObjectDescription"));
            for (const QString &a : o.accessions) {
                w.writeEmptyElement(QStringLiteral("Accession"));
                w.writeAttribute(QStringLiteral("Number"), xmlSafe(a));
            }
            for (const auto &[uid, count] : o.sopClasses) {
                w.writeEmptyElement(QStringLiteral("SOPClass"));
                w.writeAttribute(QStringLiteral("UID"), xmlSafe(uid));
                w.writeAttribute(QStringLiteral("NumberOfInstances"), QString::number(count));
            }
            w.writeEndElement();
        }
        w.writeEndElement();
    }
    w.writeEndElement();

    // One message, one line: the writer leaves line breaks of texts as they are; as
    // character references they mean the same and the line stays whole.
    body.replace('\n', "&#10;").replace('\r', "&#13;");
    return QByteArrayLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>") + body;
}

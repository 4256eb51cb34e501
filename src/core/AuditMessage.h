#pragma once
#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// The DICOM audit messages (PS3.15 A.5) the station and its companions write: who did
// what to which patient's data, when, from where. Each message is one XML AuditMessage;
// AuditTrail keeps it in the local log and hands it on to the site's audit repository.

// A coded value as the messages carry it: csd-code, codeSystemName, originalText.
struct AuditCode {
    QString code;
    QString system;
    QString meaning;
    bool isNull() const { return code.isEmpty(); }
};

namespace AuditCodes {
// What a security alert is about (EventTypeCode of a Security Alert).
inline const AuditCode NodeAuthentication{QStringLiteral("110126"), QStringLiteral("DCM"),
                                          QStringLiteral("Node Authentication")};
inline const AuditCode EmergencyOverride{QStringLiteral("110127"), QStringLiteral("DCM"),
                                         QStringLiteral("Emergency Override")};
inline const AuditCode NetworkConfiguration{QStringLiteral("110128"), QStringLiteral("DCM"),
                                            QStringLiteral("Network Configuration")};
inline const AuditCode SecurityConfiguration{QStringLiteral("110129"), QStringLiteral("DCM"),
                                             QStringLiteral("Security Configuration")};
inline const AuditCode SoftwareConfiguration{QStringLiteral("110131"), QStringLiteral("DCM"),
                                             QStringLiteral("Software Configuration")};
inline const AuditCode UseOfRestrictedFunction{QStringLiteral("110132"), QStringLiteral("DCM"),
                                               QStringLiteral("Use of Restricted Function")};
// Media of an import or an export.
inline const AuditCode Film{QStringLiteral("110010"), QStringLiteral("DCM"), QStringLiteral("Film")};
inline const AuditCode UsbDisk{QStringLiteral("110030"), QStringLiteral("DCM"), QStringLiteral("USB Disk Emulation")};
inline const AuditCode Email{QStringLiteral("110031"), QStringLiteral("DCM"), QStringLiteral("Email")};
inline const AuditCode Cd{QStringLiteral("110032"), QStringLiteral("DCM"), QStringLiteral("CD")};
inline const AuditCode Dvd{QStringLiteral("110033"), QStringLiteral("DCM"), QStringLiteral("DVD")};
inline const AuditCode Uri{QStringLiteral("110037"), QStringLiteral("DCM"), QStringLiteral("URI")};
inline const AuditCode Paper{QStringLiteral("110038"), QStringLiteral("DCM"), QStringLiteral("Paper Document")};
} // namespace AuditCodes

// EventOutcomeIndicator.
enum class AuditOutcome { Success = 0, MinorFailure = 4, SeriousFailure = 8, MajorFailure = 12 };

// EventActionCode: C, R, U, D, E.
enum class AuditAction { Create, Read, Update, Delete, Execute };

// The program that writes the message: its name, AE title, machine, process and the
// operating system user it runs as.
struct AuditStation {
    QString applicationName; // "calvarex", "TqReceiver", "TqDataMgr"
    QString aeTitle;         // empty: the program has none
    QString hostName;
    qint64 processId = 0;
    QString userName;
    QString siteId; // AuditEnterpriseSiteID; empty: left out

    // This process, on this machine, as this user.
    static AuditStation current(const QString &applicationName, const QString &aeTitle);
};

// The other end of a network exchange: a PACS, the modality, the worklist provider.
struct AuditPeer {
    QString aeTitle;
    QString address; // IP address or host name
    bool isNull() const { return aeTitle.isEmpty() && address.isEmpty(); }
};

struct AuditPatient {
    QString id;
    QString name; // as the data holds it ("DOE^JANE")
};

struct AuditStudy {
    QString instanceUid;
    QString accessionNumber;               // empty: not known
    QString description;                   // the study's name in the message; its UID when empty
    QList<QPair<QString, int>> sopClasses; // SOP Class UID, number of instances of it
};

// One patient and those of her studies an event touched.
struct AuditSubject {
    AuditPatient patient;
    QList<AuditStudy> studies;
};

// The medium of an import or an export.
struct AuditMedia {
    AuditCode type;        // AuditCodes::UsbDisk, Cd, Uri, ...
    QString id;            // a URI ("file:///media/usb/export.zip") or the medium and its label
    QString machineReadId; // volume label, DICOMDIR UID, serial number; empty: none
};

// A security alert: what happened, how bad, and to what.
struct AuditAlert {
    AuditCode type = AuditCodes::NodeAuthentication;
    AuditOutcome outcome = AuditOutcome::MinorFailure;
    QString description;     // "TLS caller 10.0.0.5 refused: certificate has expired (CN=...)"
    AuditPeer peer;          // the node the alert is about, when there is one
    QString subjectUri;      // the file or resource the alert is about, when there is one
    bool byOperator = false; // the operator did it (an override, a changed setting)
};

// One audit message, made by one of the named constructors.
class AuditEvent {
public:
    static AuditEvent applicationStart(const AuditStation &station);
    static AuditEvent applicationStop(const AuditStation &station);
    // DICOM Instances Transferred: this program sent them to the destination (the operator
    // asked for it), or received them from the source (the source asked).
    static AuditEvent instancesSent(const AuditStation &station, const AuditPeer &destination,
                                    const AuditSubject &subject);
    static AuditEvent instancesReceived(const AuditStation &station, const AuditPeer &source,
                                        const AuditSubject &subject);
    // DICOM Instances Accessed: images opened (Read), edited or stamped with their dose
    // (Update), made here (Create), some of them deleted (Delete).
    static AuditEvent instancesAccessed(const AuditStation &station, AuditAction action, const AuditSubject &subject);
    // Patient Record: a worklist patient taken (Create), a dose record stored (Update), ...
    static AuditEvent patientRecord(const AuditStation &station, AuditAction action, const AuditPatient &patient);
    // Query: the query data set as it went to the provider, with its transfer syntax.
    static AuditEvent query(const AuditStation &station, const AuditPeer &provider, const QByteArray &dataset,
                            const QString &transferSyntaxUid = QStringLiteral("1.2.840.10008.1.2"),
                            const QString &sopClassUid = QStringLiteral("1.2.840.10008.5.1.4.31"));
    static AuditEvent dataImport(const AuditStation &station, const AuditMedia &source,
                                 const QList<AuditSubject> &subjects);
    static AuditEvent dataExport(const AuditStation &station, const AuditMedia &destination,
                                 const QList<AuditSubject> &subjects);
    // DICOM Study Deleted: whole studies with all their instances.
    static AuditEvent studyDeleted(const AuditStation &station, const AuditSubject &subject);
    static AuditEvent securityAlert(const AuditStation &station, const AuditAlert &alert);

    // A failed event: one message for what failed, one for what succeeded.
    AuditEvent &setOutcome(AuditOutcome outcome, const QString &description = {});
    // When it happened (a transfer: when it ended); the moment of construction otherwise.
    AuditEvent &setTime(const QDateTime &time);

    AuditOutcome outcome() const { return m_outcome; }
    const AuditCode &eventId() const { return m_eventId; }
    QDateTime time() const { return m_time; }

    // The AuditMessage, UTF-8, on one line: texts with line breaks keep them as character
    // references, characters XML cannot carry become U+FFFD.
    QByteArray toXml() const;

private:
    struct Participant {
        QString userId;
        QString alternativeUserId;
        QString userName;
        bool requestor = false;
        QList<AuditCode> roles;
        AuditCode mediaType;
        QString accessPoint;
        int accessPointType = 0; // 1 machine name, 2 IP address
    };
    struct Object {
        QString id;
        int typeCode = 0;
        int role = 0;
        AuditCode idType;
        QString name;
        QByteArray query;
        bool isQuery = false;
        QList<QPair<QString, QByteArray>> details;
        QStringList accessions;
        QList<QPair<QString, int>> sopClasses;
    };

    AuditEvent(const AuditStation &station, const AuditCode &id, AuditAction action);
    static Participant process(const AuditStation &station, bool requestor);
    static Participant user(const AuditStation &station, bool requestor);
    static Participant peer(const AuditPeer &peer, bool requestor);
    void addSubject(const AuditSubject &subject);
    // An import (from the medium) or an export (toMedia).
    static AuditEvent mediaEvent(const AuditStation &station, const AuditCode &id, AuditAction action,
                                 const AuditMedia &media, bool toMedia, const QList<AuditSubject> &subjects);

    AuditStation m_station;
    AuditCode m_eventId;
    AuditAction m_action = AuditAction::Execute;
    QDateTime m_time;
    AuditOutcome m_outcome = AuditOutcome::Success;
    QString m_outcomeDescription;
    QList<AuditCode> m_typeCodes;
    QList<Participant> m_participants;
    QList<Object> m_objects;
};

#pragma once
#include "core/SecuritySettings.h"

#include <QDate>
#include <QList>
#include <QString>
#include <vector>

// Modality Worklist C-FIND client. The station asks its worklist provider for the
// procedure steps scheduled today for its own AE title. Plain values in and out: no
// toolkit types leave src/dicom.
namespace dicom {

struct WorklistQueryParams {
    QString localAet;  // calling AE title and Scheduled Station AE Title
    QString remoteAet; // called AE title
    QString remoteIp;
    QString remotePort; // text as the settings hold it
    QDate date;         // the day asked for; today when invalid
    // A provider that is down, or accepts and then stays silent, must not freeze the
    // station: each network step gives up after these many seconds.
    int connectTimeoutSec = 3;
    int responseTimeoutSec = 5;
    TlsConfig tls; // plain unless enabled
};

// One answer data set, reduced to what the worklist list shows. Values are the raw
// element texts (DICOM dates and times not yet formatted); a missing element is empty.
struct WorklistAnswer {
    QString patientName;        // (0010,0010), "^"-separated parts
    QString patientId;          // (0010,0020)
    QString birthDate;          // (0010,0030), DICOM DA
    QString sex;                // (0010,0040)
    QString accessionNumber;    // (0008,0050)
    QString referringPhysician; // (0008,0090)
    QString institutionName;    // (0008,0080)
    QString bodyPart;           // (0018,0015), top level or in the scheduled step
    QString stepStartTime;      // (0040,0003) of the first scheduled step item, DICOM TM
    QString stepStartDate;      // (0040,0002) of the first scheduled step item, DICOM DA
    QString stationAet;         // (0040,0001) of the first scheduled step item
    bool hasProcedureCodeSequence = false;
    QString procedureCodeValue; // (0008,0100) of the first item of (0032,1064), trimmed

    // What the performed procedure step repeats of the scheduled one.
    struct Code {
        QString value, scheme, meaning; // (0008,0100), (0008,0102), (0008,0104)
        bool operator==(const Code &) const = default;
    };
    QString studyUid;                      // (0020,000D)
    QString requestedProcedureId;          // (0040,1001)
    QString requestedProcedureDescription; // (0032,1060)
    QString stepId;                        // (0040,0009) of the first scheduled step item
    QString stepDescription;               // (0040,0007) of the first scheduled step item
    QString issuerOfPatientId;             // (0010,0021)
    QString characterSet;                  // (0008,0005) as answered (the values here are UTF-8)
    QList<Code> procedureCodes;            // (0032,1064) items
    QList<Code> protocolCodes;             // (0040,0008) items of the first scheduled step item
    bool operator==(const WorklistAnswer &) const = default;
};

// The query identifier as the toolkit's dump text (one element a line, sequences
// indented), for checking and for the debug log.
QString worklistIdentifierDump(const WorklistQueryParams &p);

// Runs the query and returns the answers in the order received. Throws AppError
// (ErrorNo::Network) with the toolkit's text when the provider cannot be reached,
// rejects the association, fails the query or does not answer in time.
std::vector<WorklistAnswer> queryWorklist(const WorklistQueryParams &p);

} // namespace dicom

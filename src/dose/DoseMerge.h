#pragma once
#include "dose/DoseList.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <vector>

class Station;

// "Merge Images": the dose of each exposure written into its image, in copies staged for
// sending; the store's own files are not touched.
//
// A record belongs to the image whose Instance Number equals its ImgNo, compared as
// integers. Each image needs exactly one record and each record serves one image, and
// the value must be a decimal string of at most 16 characters; otherwise nothing is
// staged and the operator is told which images lack a dose or have more than one.
//
// What is written depends on the unit that captured the record (its XrayComm column,
// written when the record was stored; older records without it are taken as captured
// by the unit configured now): the HFE 501 gives a dose-area product in cGy*cm2, which
// goes into Image and Fluoroscopy Area Dose Product (0018,115E) in dGy*cm2 (value / 10);
// the other units give an entrance dose in mGy, which goes into Entrance Dose in mGy
// (0040,8302).
class DoseMerge {
public:
    static inline const QString Procedure = QStringLiteral("MainForm cmdAll_Click");

    struct Record {
        qint64 id = 0;
        QString imgNo; // as stored
        QString value; // mGy1
        qint16 unit = 0;
        // Whose exposure it was: the worklist patient's ID (empty in older records), name
        // and birth date.
        QString patientId, firstName, lastName, birthDate;
    };
    struct Planned {
        QString sourceFile;
        QString sopUid;
        Record record;
        quint16 group = 0, element = 0; // where the value goes
        QString text;                   // what is written there
        // The exposure's Irradiation Event UID (0008,3010), as its dose report names it;
        // empty: none written.
        QString eventUid;
    };

    explicit DoseMerge(Station &station);

    // The records with these IDs, in that order. Throws AppError.
    QList<Record> records(const std::vector<qint64> &ids);

    // What the merge knows before it stages anything.
    struct Situation {
        DoseOwner studyPatient;     // the patient whose study is open
        QString studyPatientName;   // "Last, First" as the patient list shows it
        QList<Record> records;      // the listed records
        int images = 0;             // the images of the viewer
        QList<int> unstoredNumbers; // exposure numbers of this patient not yet stored
        QString unstoredReason;
        int pendingExposures = 0; // exposures waiting for a patient
        int arriving = 0;         // files the data manager has not filed yet
    };
    // Empty when the merge may go on; otherwise what the operator reads: records of
    // another patient, no records, exposures still waiting to be stored, or records and
    // images that do not pair up (with the exposure numbers that are missing or doubled
    // when the viewer's files are given).
    static QString refusal(const Situation &s, const QStringList &viewerFiles = {});
    // Only the first of those: records of another patient ("Manually").
    static QString foreignRefusal(const Situation &s);
    // The text for records and images that do not pair up, by exposure number.
    static QStringList numberProblems(const QList<Record> &records, const QStringList &viewerFiles);
    // The files in the data manager's input folder that are not yet filed.
    static int arrivingFiles(const Station &station);

    // Matches records to the viewer's files. Throws AppError (BadInput) with the text for
    // the operator when they do not match one to one or a value is not fit; nothing is
    // written then.
    QList<Planned> plan(const QList<Record> &records, const QStringList &viewerFiles);
    // Writes each planned image with its dose (and its event UID) into folder as
    // <SOP Instance UID>.dcm.
    // Returns the files written. Throws AppError.
    QStringList stage(const QList<Planned> &planned, const QString &folder);

    // A DICOM decimal string: at most 16 characters, digits with an optional sign,
    // point and exponent ("12,5" is not one).
    static bool isDecimalString(const QString &text);

private:
    static QString studyPatientText(const Situation &s);

    Station &m_station;
};

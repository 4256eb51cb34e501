#pragma once
#include "dose/DoseReport.h"

#include <QHash>
#include <QString>
#include <QStringList>
#include <vector>

class Station;

// The dose reports the station makes from its dose records, and keeps: one file per
// study in the station's DoseReports folder, named after the Study Instance UID.
//
// Each record gets its Irradiation Event UID once, stored with it (EventUID), together with
// the study it was reported in (StudyUID); every later report of those records uses them
// again. A report's SOP Instance UID follows from what it says: made again with the same
// content it is the same object (the same UID, the kept file unchanged), so a second merge
// or send never yields a second report. When the content changed (a record added, an image
// arrived), the new report gets a new UID and names the kept one as its predecessor
// (Predecessor Documents Sequence), and replaces it in the folder.
class DoseReports {
public:
    explicit DoseReports(Station &station);

    struct Made {
        QString file;           // the kept report
        QString sopUid;         // its SOP Instance UID
        bool unchanged = false; // the kept report already said this
        QString replaced;       // the SOP Instance UID of the report it replaced; empty: none
        DoseReportFacts facts;
        // The event of each record, by record ID.
        QHash<qint64, QString> eventOf;
    };

    // Gives each of these records an Irradiation Event UID where it has none, and the study
    // it is reported in (studyUid, else the one it was reported in before, else a new
    // one); both are stored with the record. Throws AppError (database).
    struct Events {
        QString studyUid;
        QHash<qint64, QString> eventOf; // by record ID
    };
    Events assignEvents(const std::vector<qint64> &recordIds, const QString &studyUid);

    // Makes and keeps the report of these dose records for the study. imageFiles are the
    // images the exposures made, matched to the records by Instance Number = exposure
    // number; they give each event its view and laterality and the report its patient and
    // study. Without images (rejected, never arrived) the report names the records'
    // patient; the study is studyUid, else the one the records were reported in before,
    // else a new one. Throws AppError (no records, database, file).
    Made make(const std::vector<qint64> &recordIds, const QString &studyUid, const QStringList &imageFiles = {});

    // The kept report of a study; empty when there is none.
    QString keptFile(const QString &studyUid) const;
    // Removes the kept report of a study (the study was deleted); false when it stays.
    bool removeKept(const QString &studyUid) const;
    // What a report file says. Throws AppError.
    static DoseReportFacts read(const QString &file);

    // The X-ray unit's device UID: kept in the settings (DoseReport\DeviceUID), made once.
    QString deviceUid();

    // The text of the station's device serial number (DoseReport\SerialNumber, else the
    // host's name).
    QString serialNumber() const;

    // The values of a record (its columns mGy1..3 and expTime as the unit filled them) under
    // their quantities: the HFE 501's dose-area product, kV, mAs and time (and the tube
    // current from them), the other units' entrance dose.
    static void setValues(DoseEvent &e, qint16 unit, const QString &mGy1, const QString &mGy2, const QString &mGy3,
                          const QString &expTime);

    // A UID of the 2.25 form that follows from the text: the same text, the same UID.
    static QString uidFor(const QString &text);

private:
    Station &m_station;
};

#pragma once
#include "dicom/SrDocument.h"

#include <QList>
#include <QString>
#include <optional>

// One exposure of a dose report: what the unit sent for it, and the image it made.
struct DoseEvent {
    QString eventUid;                   // Irradiation Event UID, also in the image's (0008,3010)
    int imageNo = 0;                    // the exposure's number in the study
    qint16 unit = 0;                    // the unit type that sent it (XrayUnit)
    QString dateTime;                   // start, DICOM DT "YYYYMMDDHHMMSS"
    QString laterality;                 // "R" or "L" from the image; empty when not known
    QString view;                       // "CC", "MLO", "ML", "LM", ... from the image; empty when not known
    QString imageUid;                   // SOP Instance UID of the image; empty when not linked
    std::optional<double> dap;          // dose-area product, Gy.m2 (HFE 501)
    std::optional<double> entranceDose; // entrance dose, mGy (the other units)
    std::optional<double> kvp;          // kV
    std::optional<double> mas;          // mAs
    std::optional<double> exposureTime; // ms
    std::optional<double> tubeCurrent;  // mA, from mAs and time

    bool operator==(const DoseEvent &) const = default;
};

// What a dose report says, before it is encoded and after it is read back.
struct DoseReportFacts {
    // Patient and study, as the images (or the dose records) name them.
    QString patientName, patientId, birthDate, sex; // birth date DICOM DA
    QString studyUid, studyDate, studyTime, accessionNumber, studyId, referringPhysician, studyDescription;
    // The unit that made the exposures, as the report's observer.
    qint16 unit = 0;
    QString deviceUid;
    QString stationAet;
    bool screening = false; // procedure intent: screening, else diagnostic
    // The station that writes the report (equipment module).
    QString manufacturer, modelName, serialNumber, softwareVersions, stationName;
    // The report itself.
    QString seriesUid, sopUid;
    QString contentDate, contentTime; // DA, TM
    QString predecessorUid;           // the report this one replaces; empty: none
    QList<DoseEvent> events;          // in exposure order
};

// The X-Ray Radiation Dose report of a mammography examination, as the template for
// projection X-ray dose (10001, DCMR) lays it out: the procedure reported is mammography,
// the X-ray unit is the observer (a device), the scope is the study, the accumulated dose
// per breast, and one irradiation event per exposure with the unit's values under the
// concepts that name the same quantity.
//
// The average glandular dose, which the template requires per event and per breast, is
// never measured by these units: it is written without a number, qualified "Value
// unknown". The HFE 501's dose-area product goes under "Dose Area Product" although the
// template reserves that concept for projection X-ray reports: the unit measures nothing
// else, and registries read it by its concept.
namespace DoseReport {
// The unit type's name ("HFE 501"); empty for an unknown type.
QString unitName(qint16 unit);
// The mammography view codes: "CC" -> (399162004, SCT, "cranio-caudal"), ...
std::optional<dicom::SrCode> viewCode(const QString &view);
QString viewOfCode(const dicom::SrCode &code);

// The report as content tree and attributes. Throws AppError when the facts lack what
// the report cannot go without (study, events, device).
dicom::SrDocument document(const DoseReportFacts &facts);
// The facts a report holds (for showing it). Throws AppError when it is no dose report.
DoseReportFacts facts(const dicom::SrDocument &doc);

// A number as the report writes it: a decimal string of at most 16 characters.
QString numberText(double value);
// The events' identity: equal texts mean the same report content.
QString contentKey(const DoseReportFacts &facts);
} // namespace DoseReport

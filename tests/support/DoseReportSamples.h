#pragma once
#include "dose/DoseReport.h"

#include <QString>

class Station;

// Dose reports as the station makes them, for the tests that show or remove one.
namespace DoseReportSamples {

// A study on the HFE 501: four exposures (R CC, L CC, R MLO, and one whose image never
// arrived), dose-area product on three of them, kV, mAs and time on all.
DoseReportFacts hfe501(const QString &studyUid);
// A study on the Giotto: two exposures with the entrance dose only.
DoseReportFacts giotto(const QString &studyUid);

// Writes the report as the study's kept report and returns the file.
QString keep(Station &station, const DoseReportFacts &facts);

} // namespace DoseReportSamples

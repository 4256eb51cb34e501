#pragma once
#include "dicom/WorklistQuery.h"

#include <QDate>
#include <QString>
#include <QStringList>

class DoseState;
struct Settings;

// One row of the worklist list: eleven column texts, as shown. Columns of width 0 in
// the dialog are still filled; the hand-over to the current-patient panel reads them.
struct WorklistEntry {
    enum Column {
        Time = 0,
        FamilyName,
        GivenName,
        MiddleName,
        BirthDate,
        PatientId,
        Sex,
        AccessionOrCode,
        BodyPart,
        ReferringPhysician,
        InstitutionName,
        ColumnCount
    };
    QStringList columns = QStringList(ColumnCount, QString()); // never shorter
    QString at(Column c) const { return columns.value(c); }

    // Column headings of the worklist list, in order.
    static QStringList headings();
};

namespace Worklist {

// Names go into the dose records with "'" turned into "´", so that they never clash
// with SQL quoting elsewhere; the same rule is applied whenever names are compared.
QString replaceApostrophes(const QString &name);

// The query parameters from the station's settings, for the given day.
dicom::WorklistQueryParams queryParams(const Settings &s, const QDate &day = QDate::currentDate());

// Builds the list row of one answer.
WorklistEntry buildEntry(const dicom::WorklistAnswer &a);

// Writes the chosen entry into the current-patient panel (rows 1 to 8) and sets the
// assignment mode to 1. The caller enables/disables the main window's buttons.
void applyToPanel(const WorklistEntry &e, DoseState &state);

} // namespace Worklist

#pragma once
#include "dicom/WorklistQuery.h"

#include <QDate>
#include <QString>
#include <QStringList>

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
    // The answer the row was built from (the performed procedure step repeats it).
    dicom::WorklistAnswer answer;

    // Column headings of the worklist list, in order.
    static QStringList headings();
};

namespace Worklist {

// The query parameters from the station's settings, for the given day.
dicom::WorklistQueryParams queryParams(const Settings &s, const QDate &day = QDate::currentDate());

// Builds the list row of one answer.
WorklistEntry buildEntry(const dicom::WorklistAnswer &a);

} // namespace Worklist

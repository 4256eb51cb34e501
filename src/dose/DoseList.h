#pragma once
#include "store/StoreSelection.h"

#include <QString>
#include <QStringList>
#include <QVariantList>
#include <optional>
#include <vector>

class Database;
class DoseState;
class Station;

// Whose dose records: a patient's ID with the name and birth date. A record captured for
// a worklist patient carries that patient's ID and belongs to the patient of that ID;
// older records without one belong to the patient of the same name and birth date.
struct DoseOwner {
    QString patientId;
    QString firstName, lastName, birthDate;
    static DoseOwner ofStorePatient(const StorePatient &p);
};

// One row of the dose list: the record's ID and the thirteen column texts.
struct DoseListRow {
    qint64 id = 0;
    QStringList cells; // "ID", first name, last name, birth date, mGy1..3, expTime, Date, Time, Status, Bodypart, ImgNo
};

// The dose list's logic: which records it shows for each assignment mode and the status
// changes of RefreshDosisList, "New Study" and "Delete Dosislist". No widgets here.
class DoseList {
public:
    enum Column {
        ColId = 0,
        ColFirstName,
        ColLastName,
        ColBirthdate,
        ColDap,
        ColKv,
        ColMas,
        ColExpTime,
        ColDate,
        ColTime,
        ColStatus,
        ColBodypart,
        ColImageNo,
        ColumnCount
    };

    DoseList(Station &station, DoseState &state);

    // The column headings; the first value's heading names its quantity and unit for the
    // unit type (the HFE 501's dose-area product in cGy*cm2, the other units' dose in mGy).
    static QStringList headings(int unitType);
    // The columns in the order the list shows them: the exposure's number and values
    // first, so they are seen without scrolling; the patient's columns after them.
    static QList<int> shownOrder();
    // Names are compared with "'" turned into "´" on both sides: the worklist stores the
    // one, the image store may hold the other for the same patient.
    static QString nameKey(const QString &name);
    // "LAST, FIRST" -> {last, first}; a name without comma is all last name.
    static std::pair<QString, QString> splitDisplayName(const QString &displayName);

    // The records of one owner: an SQL condition on tblDosis and its values.
    static QString ownerCondition();
    static QVariantList ownerBinds(const DoseOwner &owner);
    // The same rule on a record read already.
    static bool belongsTo(const QString &recordPatientId, const QString &first, const QString &last,
                          const QString &birth, const DoseOwner &owner);

    // lvDosis_Fill: the rows for the current assignment mode. Mode 5 lists the closed
    // ("2") records of the store patient; every other mode the open ("0") records of the
    // worklist patient. Throws AppError (mode 5 without a store patient, database).
    std::vector<DoseListRow> rows(const std::optional<StorePatient> &storePatient);

    // Whose records a list shows: the worklist patient's open ("0") ones or the store
    // patient's closed ("2") ones.
    enum class Shown { WorklistOpen, StoreClosed };
    std::vector<DoseListRow> rows(Shown shown, const std::optional<StorePatient> &storePatient);
    // The line above the list that says so; empty when there is no such patient.
    QString caption(Shown shown, const std::optional<StorePatient> &storePatient) const;

    // RefreshDosisList: changes record status by the assignment mode.
    // listed: the IDs in the list; selected: the selected row's ID. Throws AppError.
    void refresh(const std::vector<qint64> &listed, std::optional<qint64> selected,
                 const std::optional<StorePatient> &storePatient);

    // "New Study": closes the worklist patient's open records, clears the panel and
    // restarts the exposure counter. Returns the number of records closed.
    int newStudy();

    // Number of records and of those not yet assigned ("0" or "2").
    std::pair<int, int> counts();
    // Deletes every dose record after asking the operator; false when nothing was deleted
    // because the answer was No.
    bool deleteAll();

    // Sets a record's status back to "0" (the dose browser's "Set Free").
    static void setFree(Station &station, qint64 id);

private:
    std::vector<DoseListRow> query(Database &db, const QString &status, const DoseOwner &owner);
    DoseOwner worklistOwner() const;
    int closeOpenRecords(Database &db);

    Station &m_station;
    DoseState &m_state;
};

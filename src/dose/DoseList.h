#pragma once
#include "store/StoreSelection.h"

#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

class Database;
class DoseState;
class Station;

// One row of the dose list: the record's ID and the thirteen column texts.
struct DoseListRow {
    qint64 id = 0;
    QStringList cells; // "ID", first name, last name, birth date, mGy1..3, expTime, Date, Time, Status, Bodypart, ImgNo
};

// The dose list's logic: which records it shows for each assignment mode and the status
// changes of RefreshDosisList, "New Study" and "Delete Dosislist". No widgets here.
class DoseList {
public:
    enum Column { ColId = 0, ColFirstName, ColLastName, ColBirthdate, ColDap, ColKv, ColMas, ColExpTime,
                  ColDate, ColTime, ColStatus, ColBodypart, ColImageNo, ColumnCount };

    DoseList(Station &station, DoseState &state);

    static QStringList headings();
    // Names are compared with "'" turned into "´" on both sides: the worklist stores the
    // one, the image store may hold the other for the same patient.
    static QString nameKey(const QString &name);
    // "LAST, FIRST" -> {last, first}; a name without comma is all last name.
    static std::pair<QString, QString> splitDisplayName(const QString &displayName);

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
    std::vector<DoseListRow> query(Database &db, const QString &status, const QString &first,
                                   const QString &last, const QString &birth);
    int closeOpenRecords(Database &db);

    Station &m_station;
    DoseState &m_state;
};

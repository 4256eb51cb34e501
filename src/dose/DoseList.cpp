#include "dose/DoseList.h"

#include "core/AppError.h"
#include "core/Database.h"
#include "core/PatientName.h"
#include "core/Station.h"
#include "dose/DoseState.h"

#include <QSqlQuery>

namespace {
const QString Apostrophe = QStringLiteral("'");
const QString Acute = QString(QChar(0x00B4));

// Never bind a null text: it would compare as SQL NULL, not as the empty name.
QString nn(const QString &s) { return s.isNull() ? QStringLiteral("") : s; }

// The name condition with the apostrophe rule applied on the stored side too.
QString nameMatch(const char *column)
{
    return QStringLiteral("REPLACE(COALESCE(%1, ''), ?, ?) = ?").arg(QLatin1String(column));
}
} // namespace

DoseList::DoseList(Station &station, DoseState &state) : m_station(station), m_state(state) {}

QStringList DoseList::headings()
{
    return {QStringLiteral("ID"),      QStringLiteral("First Name"), QStringLiteral("Last Name"),
            QStringLiteral("Birthdate"), QString::fromUtf8("cGyCm\u00B2"), QStringLiteral("kv"),
            QStringLiteral("mAs"),     QStringLiteral("expTime"),    QStringLiteral("Date"),
            QStringLiteral("Time"),    QStringLiteral("Status"),     QStringLiteral("Bodypart"),
            QStringLiteral("Image No")};
}

QString DoseList::nameKey(const QString &name) { return PatientName::replaceApostrophes(name.trimmed()); }

std::pair<QString, QString> DoseList::splitDisplayName(const QString &displayName)
{
    const int comma = displayName.indexOf(QLatin1Char(','));
    if (comma < 0)
        return {displayName.trimmed(), QString()};
    return {displayName.left(comma).trimmed(), displayName.mid(comma + 1).trimmed()};
}

std::vector<DoseListRow> DoseList::query(Database &db, const QString &status, const QString &first,
                                         const QString &last, const QString &birth)
{
    QSqlQuery q = db.exec(QStringLiteral("SELECT * FROM tblDosis WHERE Status = ? AND ") + nameMatch("PatFirstname") +
                              QStringLiteral(" AND ") + nameMatch("PatLastname") +
                              QStringLiteral(" AND COALESCE(PatBirthdate, '') = ? ORDER BY ID"),
                          {status, Apostrophe, Acute, nn(nameKey(first)), Apostrophe, Acute, nn(nameKey(last)),
                           nn(birth.trimmed())});
    std::vector<DoseListRow> out;
    while (q.next()) {
        DoseListRow r;
        r.id = q.value(QStringLiteral("ID")).toLongLong();
        r.cells = QStringList{QString::number(r.id),     textOf(q, "PatFirstname"), textOf(q, "PatLastname"),
                              textOf(q, "PatBirthdate"), textOf(q, "mGy1"),         textOf(q, "mGy2"),
                              textOf(q, "mGy3"),         textOf(q, "expTime"),      textOf(q, "Date"),
                              textOf(q, "Time"),         textOf(q, "Status"),       textOf(q, "Bodypart"),
                              textOf(q, "ImgNo")};
        out.push_back(std::move(r));
    }
    return out;
}

std::vector<DoseListRow> DoseList::rows(const std::optional<StorePatient> &storePatient)
{
    return rows(m_state.assignmentMode == AssignmentMode::StorePatient ? Shown::StoreClosed : Shown::WorklistOpen,
                storePatient);
}

QString DoseList::caption(Shown shown, const std::optional<StorePatient> &storePatient) const
{
    if (shown == Shown::StoreClosed)
        return storePatient && !storePatient->patientId.isEmpty()
                   ? QStringLiteral("Closed dose records of %1 (image store, ID %2)")
                         .arg(storePatient->displayName, storePatient->patientId)
                   : QString();
    if (!m_state.hasPatient())
        return {};
    return QStringLiteral("Open dose records of %1, %2 (worklist, ID %3)").arg(m_state.row(3), m_state.row(2), m_state.row(1));
}

std::vector<DoseListRow> DoseList::rows(Shown shown, const std::optional<StorePatient> &storePatient)
{
    if (shown == Shown::StoreClosed) {
        if (!storePatient || storePatient->patientId.isEmpty())
            throw AppError(ErrorNo::BadInput, QStringLiteral("No patient selected in the patient list"));
        const auto [last, first] = splitDisplayName(storePatient->displayName);
        Database db = Database::openData(m_station.paths());
        return query(db, QStringLiteral("2"), first, last, storePatient->birthDate);
    }
    Database db = Database::openData(m_station.paths());
    return query(db, QStringLiteral("0"), m_state.row(2), m_state.row(3), m_state.row(5));
}

int DoseList::closeOpenRecords(Database &db)
{
    // Only the open records: those already assigned stay assigned.
    QSqlQuery q = db.exec(QStringLiteral("UPDATE tblDosis SET Status = '2' WHERE Status = '0' AND ") +
                              nameMatch("PatLastname") + QStringLiteral(" AND ") + nameMatch("PatFirstname") +
                              QStringLiteral(" AND COALESCE(PatBirthdate, '') = ?"),
                          {Apostrophe, Acute, nn(nameKey(m_state.row(3))), Apostrophe, Acute,
                           nn(nameKey(m_state.row(2))), nn(m_state.row(5).trimmed())});
    return q.numRowsAffected();
}

void DoseList::refresh(const std::vector<qint64> &listed, std::optional<qint64> selected,
                       const std::optional<StorePatient> &storePatient)
{
    const AssignmentMode mode = m_state.assignmentMode;
    auto needPatient = [&storePatient] {
        // Records handed to nobody would vanish from every list: refuse instead.
        if (!storePatient || storePatient->patientId.isEmpty())
            throw AppError(ErrorNo::BadInput,
                           QStringLiteral("No patient selected in the patient list; the dose records stay unassigned"));
    };
    switch (mode) {
    case AssignmentMode::WorklistPatient:
    case AssignmentMode::SelectedRow: {
        std::vector<qint64> ids = listed;
        if (mode == AssignmentMode::SelectedRow)
            ids = selected ? std::vector<qint64>{*selected} : std::vector<qint64>{};
        if (ids.empty())
            break;
        needPatient();
        Database db = Database::openData(m_station.paths());
        Transaction t(db);
        for (qint64 id : ids)
            db.exec(QStringLiteral("UPDATE tblDosis SET Status = '1', FKeyPatID = ?, Patname = ? WHERE ID = ?"),
                    {nn(storePatient->patientId), nn(storePatient->displayName), id});
        t.commit();
        break;
    }
    case AssignmentMode::RemoveRow:
        if (selected) {
            Database db = Database::openData(m_station.paths());
            db.exec(QStringLiteral("UPDATE tblDosis SET Status = '1' WHERE ID = ?"), {*selected});
        }
        break;
    case AssignmentMode::CloseStudy: {
        if (!m_state.hasPatient())
            break;
        Database db = Database::openData(m_station.paths());
        closeOpenRecords(db);
        break;
    }
    default:
        break;
    }
}

int DoseList::newStudy()
{
    m_state.assignmentMode = AssignmentMode::CloseStudy;
    int closed = 0;
    if (m_state.hasPatient()) {
        Database db = Database::openData(m_station.paths());
        closed = closeOpenRecords(db);
    }
    m_state.clearPanel();
    m_state.notify();
    return closed;
}

std::pair<int, int> DoseList::counts()
{
    Database db = Database::openData(m_station.paths());
    const int total = db.scalar(QStringLiteral("SELECT COUNT(*) FROM tblDosis"), {}, 0).toInt();
    const int open = db.scalar(QStringLiteral("SELECT COUNT(*) FROM tblDosis WHERE Status <> '1'"), {}, 0).toInt();
    return {total, open};
}

bool DoseList::deleteAll()
{
    const auto [total, open] = counts();
    if (total > 0) {
        const QString text =
            QStringLiteral("Delete all %1 dose records of all patients?\r\n"
                           "%2 of them are not yet assigned to any image. This cannot be undone.")
                .arg(total)
                .arg(open);
        if (!m_station.prompter().askYesNo(text, MsgIcon::Warning, QStringLiteral("Delete Dosislist")))
            return false;
    }
    Database db = Database::openData(m_station.paths());
    db.exec(QStringLiteral("DELETE FROM tblDosis"));
    return true;
}

void DoseList::setFree(Station &station, qint64 id)
{
    Database db = Database::openData(station.paths());
    db.exec(QStringLiteral("UPDATE tblDosis SET Status = '0' WHERE ID = ?"), {id});
}

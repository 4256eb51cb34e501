#include "dose/DoseList.h"

#include "core/AppError.h"
#include "core/Database.h"
#include "core/PatientName.h"
#include "core/Settings.h"
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

QStringList DoseList::headings(int unitType)
{
    const QString firstValue =
        unitType == XrayUnit::Hfe501 ? QString::fromUtf8("DAP cGyCm\u00B2") : QStringLiteral("Dose mGy");
    return {QStringLiteral("ID"),
            QStringLiteral("First Name"),
            QStringLiteral("Last Name"),
            QStringLiteral("Birthdate"),
            firstValue,
            QStringLiteral("kv"),
            QStringLiteral("mAs"),
            QStringLiteral("expTime"),
            QStringLiteral("Date"),
            QStringLiteral("Time"),
            QStringLiteral("Status"),
            QStringLiteral("Bodypart"),
            QStringLiteral("Image No")};
}

QList<int> DoseList::shownOrder()
{
    return {ColId,   ColImageNo, ColDap,       ColKv,       ColMas,       ColExpTime, ColDate,
            ColTime, ColStatus,  ColFirstName, ColLastName, ColBirthdate, ColBodypart};
}

QString DoseList::nameKey(const QString &name) { return PatientName::replaceApostrophes(name.trimmed()); }

std::pair<QString, QString> DoseList::splitDisplayName(const QString &displayName)
{
    const int comma = displayName.indexOf(QLatin1Char(','));
    if (comma < 0)
        return {displayName.trimmed(), QString()};
    return {displayName.left(comma).trimmed(), displayName.mid(comma + 1).trimmed()};
}

DoseOwner DoseOwner::ofStorePatient(const StorePatient &p)
{
    const auto [last, first] = DoseList::splitDisplayName(p.displayName);
    return {p.patientId, first, last, p.birthDate};
}

QString DoseList::ownerCondition()
{
    return QStringLiteral("((? <> '' AND COALESCE(WorklistPatID, '') = ?) OR (COALESCE(WorklistPatID, '') = '' AND ")
           + nameMatch("PatFirstname") + QStringLiteral(" AND ") + nameMatch("PatLastname")
           + QStringLiteral(" AND COALESCE(PatBirthdate, '') = ?))");
}

QVariantList DoseList::ownerBinds(const DoseOwner &owner)
{
    const QString id = nn(owner.patientId.trimmed());
    return {id,
            id,
            Apostrophe,
            Acute,
            nn(nameKey(owner.firstName)),
            Apostrophe,
            Acute,
            nn(nameKey(owner.lastName)),
            nn(owner.birthDate.trimmed())};
}

bool DoseList::belongsTo(const QString &recordPatientId, const QString &first, const QString &last,
                         const QString &birth, const DoseOwner &owner)
{
    if (!recordPatientId.trimmed().isEmpty())
        return !owner.patientId.trimmed().isEmpty() && recordPatientId.trimmed() == owner.patientId.trimmed();
    return nameKey(first) == nameKey(owner.firstName) && nameKey(last) == nameKey(owner.lastName)
           && birth.trimmed() == owner.birthDate.trimmed();
}

DoseOwner DoseList::worklistOwner() const { return {m_state.row(1), m_state.row(2), m_state.row(3), m_state.row(5)}; }

std::vector<DoseListRow> DoseList::query(Database &db, const QString &status, const DoseOwner &owner)
{
    QVariantList binds{status};
    binds += ownerBinds(owner);
    QSqlQuery q = db.exec(QStringLiteral("SELECT * FROM tblDosis WHERE Status = ? AND ") + ownerCondition()
                              + QStringLiteral(" ORDER BY ID"),
                          binds);
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
    return QStringLiteral("Open dose records of %1, %2 (worklist, ID %3)")
        .arg(m_state.row(3), m_state.row(2), m_state.row(1));
}

std::vector<DoseListRow> DoseList::rows(Shown shown, const std::optional<StorePatient> &storePatient)
{
    if (shown == Shown::StoreClosed) {
        if (!storePatient || storePatient->patientId.isEmpty())
            throw AppError(ErrorNo::BadInput, QStringLiteral("No patient selected in the patient list"));
        Database db = Database::openData(m_station.paths());
        return query(db, QStringLiteral("2"), DoseOwner::ofStorePatient(*storePatient));
    }
    Database db = Database::openData(m_station.paths());
    return query(db, QStringLiteral("0"), worklistOwner());
}

int DoseList::closeOpenRecords(Database &db)
{
    // Only the open records: those already assigned stay assigned.
    QSqlQuery q = db.exec(QStringLiteral("UPDATE tblDosis SET Status = '2' WHERE Status = '0' AND ") + ownerCondition(),
                          ownerBinds(worklistOwner()));
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
        const DoseOwner owner = DoseOwner::ofStorePatient(*storePatient);
        Database db = Database::openData(m_station.paths());
        Transaction t(db);
        for (qint64 id : ids) {
            // A record captured for another patient is never given to this one.
            QSqlQuery q =
                db.exec(QStringLiteral("SELECT WorklistPatID, PatFirstname, PatLastname, PatBirthdate FROM tblDosis"
                                       " WHERE ID = ?"),
                        {id});
            if (!q.next())
                continue;
            if (!belongsTo(q.value(0).toString(), q.value(1).toString(), q.value(2).toString(), q.value(3).toString(),
                           owner)) {
                m_station.log().writeError(
                    ErrorNo::BadInput,
                    QStringLiteral("Dose record %1 (%2, %3) belongs to another patient; not assigned to %4 (ID %5)")
                        .arg(id)
                        .arg(q.value(2).toString(), q.value(1).toString(), storePatient->displayName,
                             storePatient->patientId),
                    QStringLiteral("MainForm_RefreshDosisList"));
                continue;
            }
            db.exec(QStringLiteral("UPDATE tblDosis SET Status = '1', FKeyPatID = ?, Patname = ? WHERE ID = ?"),
                    {nn(storePatient->patientId), nn(storePatient->displayName), id});
        }
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
        m_state.announceExaminationClosing(m_state.row(1));
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
        const QString text = QStringLiteral("Delete all %1 dose records of all patients?\r\n"
                                            "%2 of them are not yet assigned to any image. This cannot be undone.")
                                 .arg(total)
                                 .arg(open);
        if (!m_station.prompter().askYesNo(text, MsgIcon::Warning, QStringLiteral("Delete Dosislist")))
            return false;
    }
    m_state.announceDoseListDeleting();
    Database db = Database::openData(m_station.paths());
    db.exec(QStringLiteral("DELETE FROM tblDosis"));
    return true;
}

void DoseList::setFree(Station &station, qint64 id)
{
    Database db = Database::openData(station.paths());
    db.exec(QStringLiteral("UPDATE tblDosis SET Status = '0' WHERE ID = ?"), {id});
}

#include "store/Commitments.h"
#include "core/AppError.h"
#include "core/Database.h"
#include "core/DateText.h"
#include "core/StationLog.h"
#include "core/StationPaths.h"
#include "dicom/Uid.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

const QString Procedure = QStringLiteral("Commitments");
const QString SetAsideFolder = QStringLiteral("unknown");

const char *const Statements[] = {
    "CREATE TABLE IF NOT EXISTS tblCommitRequests ("
    " TransactionUID TEXT PRIMARY KEY,"
    " AET TEXT NOT NULL, IP TEXT NOT NULL, Port TEXT NOT NULL,"
    " Created TEXT NOT NULL, State TEXT NOT NULL, Problem TEXT, Reported TEXT)",
    "CREATE TABLE IF NOT EXISTS tblCommitItems ("
    " ID INTEGER PRIMARY KEY AUTOINCREMENT,"
    " TransactionUID TEXT NOT NULL, SOPClassUID TEXT NOT NULL, SOPInstanceUID TEXT NOT NULL,"
    " ImageUID TEXT NOT NULL DEFAULT '', StudyUID TEXT NOT NULL DEFAULT '',"
    // sent, committed or failed; the destination's failure reason
    " Status TEXT NOT NULL, Reason INTEGER,"
    " RemoveWhenCommitted INTEGER NOT NULL DEFAULT 0, Removed INTEGER NOT NULL DEFAULT 0)",
    "CREATE INDEX IF NOT EXISTS ixCommitItemsTransaction ON tblCommitItems (TransactionUID)",
    "CREATE INDEX IF NOT EXISTS ixCommitItemsInstance ON tblCommitItems (SOPInstanceUID)",
    "CREATE INDEX IF NOT EXISTS ixCommitItemsStudy ON tblCommitItems (StudyUID)",
};

// An empty text, never NULL: the columns hold '' for "none".
QString text(const QString &s) { return s.isNull() ? QString::fromLatin1("") : s; }

void createTables(Database &db)
{
    for (const char *s : Statements)
        db.exec(QString::fromLatin1(s));
}

} // namespace

QString Commitments::Summary::text() const
{
    if (sent == 0)
        return {};
    QString t = QStringLiteral("%1 sent: %2 committed").arg(sent).arg(committed);
    if (failed > 0)
        t += QStringLiteral(", %1 failed").arg(failed);
    if (const int waiting = sent - committed - failed; waiting > 0)
        t += QStringLiteral(", %1 waiting").arg(waiting);
    return t;
}

Commitments::Commitments(const StationPaths &paths, const StationLog &log) : m_paths(paths), m_log(log) {}

void Commitments::ensureTables()
{
    Database db = Database::openData(m_paths);
    createTables(db);
}

QString Commitments::record(const PeerAddress &destination, const QList<Item> &items)
{
    const QString uid = dicom::newUid();
    Database db = Database::openData(m_paths);
    createTables(db);
    Transaction t(db, Transaction::Write);
    db.exec(QStringLiteral("INSERT INTO tblCommitRequests (TransactionUID, AET, IP, Port, Created, State)"
                           " VALUES (?, ?, ?, ?, ?, 'requested')"),
            {uid, destination.aet.trimmed(), destination.ip.trimmed(), destination.port.trimmed(), DateText::now()});
    for (const Item &i : items) {
        // A new request for an object replaces what an earlier one to this destination
        // said of it (a failed object sent again).
        db.exec(QStringLiteral("DELETE FROM tblCommitItems WHERE SOPInstanceUID = ? AND TransactionUID IN"
                               " (SELECT TransactionUID FROM tblCommitRequests WHERE AET = ? AND IP = ? AND Port = ?"
                               " AND TransactionUID <> ?)"),
                {i.sopInstance, destination.aet.trimmed(), destination.ip.trimmed(), destination.port.trimmed(), uid});
        QString study = i.studyUid;
        if (study.isEmpty() && !i.imageUid.isEmpty())
            study = db.scalar(QStringLiteral("SELECT st.StudyUID FROM tblImages i"
                                             " INNER JOIN tblSeries se ON i.FKeySeriesID = se.SeriesID"
                                             " INNER JOIN tblStudies st ON se.FKeyStudyID = st.StudyID"
                                             " WHERE i.ImageUID = ?"),
                              {i.imageUid}, QString())
                        .toString();
        db.exec(
            QStringLiteral("INSERT INTO tblCommitItems (TransactionUID, SOPClassUID, SOPInstanceUID, ImageUID,"
                           " StudyUID, Status, RemoveWhenCommitted) VALUES (?, ?, ?, ?, ?, 'sent', ?)"),
            {uid, text(i.sopClass), text(i.sopInstance), text(i.imageUid), text(study), i.removeWhenCommitted ? 1 : 0});
    }
    t.commit();
    return uid;
}

Commitments::Outcome Commitments::request(const PeerAddress &destination, const QString &ownAet,
                                          dicom::StoreSender::Timeouts timeouts, const QList<Item> &items,
                                          int reportWaitMs, const TlsConfig &tls)
{
    Outcome o;
    o.transactionUid = record(destination, items);
    QList<dicom::CommittedObject> objects;
    for (const Item &i : items)
        objects << dicom::CommittedObject{i.sopClass, i.sopInstance, 0};
    dicom::CommitmentRequester requester({destination.ip, destination.port, ownAet, destination.aet, tls}, timeouts,
                                         reportWaitMs);
    const dicom::CommitmentRequester::Result r = requester.request(o.transactionUid, objects);
    o.accepted = r.ok();
    if (!o.accepted) {
        o.problem = r.problem;
        m_log.writeError(ErrorNo::Network,
                         QStringLiteral("Storage commitment of %1 object(s) not requested from %2: %3")
                             .arg(items.size())
                             .arg(destination.aet, r.problem),
                         Procedure);
        refused(o.transactionUid, r.answered ? r.status : 0, r.problem);
        return o;
    }
    if (r.report) {
        o.reported = apply(*r.report);
        if (!o.reported)
            m_log.writeError(ErrorNo::Network,
                             QStringLiteral("%1 reported the unknown storage commitment transaction %2")
                                 .arg(destination.aet, r.report->transactionUid),
                             Procedure);
    }
    return o;
}

void Commitments::refused(const QString &transactionUid, quint16 status, const QString &problem)
{
    Database db = Database::openData(m_paths);
    Transaction t(db, Transaction::Write);
    db.exec(QStringLiteral("UPDATE tblCommitRequests SET State = 'refused', Problem = ? WHERE TransactionUID = ?"),
            {problem, transactionUid});
    db.exec(QStringLiteral("UPDATE tblCommitItems SET Status = 'failed', Reason = ? WHERE TransactionUID = ?"),
            {status == 0 ? QVariant() : QVariant(int(status)), transactionUid});
    t.commit();
}

bool Commitments::apply(const dicom::CommitmentReport &report, Applied *changes)
{
    Database db = Database::openData(m_paths);
    createTables(db);
    Transaction t(db, Transaction::Write);
    if (db.scalar(QStringLiteral("SELECT COUNT(*) FROM tblCommitRequests WHERE TransactionUID = ?"),
                  {report.transactionUid})
            .toLongLong()
        == 0)
        return false;
    QStringList committed, failed;
    for (const dicom::CommittedObject &o : report.committed) {
        QSqlQuery q =
            db.exec(QStringLiteral("UPDATE tblCommitItems SET Status = 'committed', Reason = NULL"
                                   " WHERE TransactionUID = ? AND SOPInstanceUID = ? AND Status <> 'committed'"),
                    {report.transactionUid, o.sopInstance});
        if (q.numRowsAffected() > 0)
            committed << o.sopInstance;
    }
    for (const dicom::CommittedObject &o : report.failed) {
        QSqlQuery q = db.exec(QStringLiteral("UPDATE tblCommitItems SET Status = 'failed', Reason = ?"
                                             " WHERE TransactionUID = ? AND SOPInstanceUID = ?"
                                             " AND (Status <> 'failed' OR Reason IS NULL OR Reason <> ?)"),
                              {int(o.reason), report.transactionUid, o.sopInstance, int(o.reason)});
        if (q.numRowsAffected() > 0)
            failed << o.sopInstance;
    }
    db.exec(QStringLiteral("UPDATE tblCommitRequests SET State = 'reported', Reported = ?, Problem = NULL"
                           " WHERE TransactionUID = ?"),
            {DateText::now(), report.transactionUid});
    t.commit();
    if (!failed.isEmpty())
        m_log.writeError(ErrorNo::Network,
                         QStringLiteral("%1 did not commit %2 object(s) of transaction %3: %4")
                             .arg(report.reportedBy)
                             .arg(failed.size())
                             .arg(report.transactionUid, failed.join(QStringLiteral(", "))),
                         Procedure);
    if (changes) {
        ++changes->reports;
        changes->committed += committed;
        changes->failed += failed;
    }
    return true;
}

void Commitments::setAside(const QString &file, const QString &why)
{
    const QString dir = m_paths.commitReportsDir() + QLatin1Char('/') + SetAsideFolder;
    QDir().mkpath(dir);
    const QString target = dir + QLatin1Char('/') + QFileInfo(file).fileName();
    QFile::remove(target);
    m_log.writeError(ErrorNo::Network,
                     QStringLiteral("Storage commitment report %1 set aside: %2").arg(QFileInfo(file).fileName(), why),
                     Procedure);
    if (!QFile::rename(file, target))
        QFile::remove(file);
}

Commitments::Applied Commitments::applyReports()
{
    Applied out;
    const QDir dir(m_paths.commitReportsDir());
    if (!dir.exists())
        return out;
    // The names begin with the time of arrival: oldest first.
    for (const QString &name : dir.entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name)) {
        const QString file = dir.filePath(name);
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const std::optional<dicom::CommitmentReport> report = dicom::CommitmentReport::fromJson(f.readAll());
        f.close();
        if (!report) {
            setAside(file, QStringLiteral("not a storage commitment report"));
            ++out.setAside;
            continue;
        }
        // Removed only once the database has it: a failure here leaves it for the next time.
        if (!apply(*report, &out)) {
            setAside(file, QStringLiteral("%1 reported the unknown transaction %2")
                               .arg(report->reportedBy, report->transactionUid));
            ++out.setAside;
            continue;
        }
        QFile::remove(file);
    }
    return out;
}

int Commitments::removeCommitted(const std::function<QStringList(const QStringList &)> &remove)
{
    QStringList uids;
    {
        Database db = Database::openData(m_paths);
        createTables(db);
        QSqlQuery q = db.exec(QStringLiteral("SELECT DISTINCT ImageUID FROM tblCommitItems WHERE Status = 'committed'"
                                             " AND RemoveWhenCommitted = 1 AND Removed = 0 AND ImageUID <> ''"));
        while (q.next())
            uids << q.value(0).toString();
    }
    if (uids.isEmpty())
        return 0;
    const QStringList gone = remove(uids);
    // Those that are no longer stored (removed by hand meanwhile) are done as well.
    Database db = Database::openData(m_paths);
    Transaction t(db, Transaction::Write);
    for (const QString &uid : uids) {
        const bool stored =
            db.scalar(QStringLiteral("SELECT COUNT(*) FROM tblImages WHERE ImageUID = ?"), {uid}).toLongLong() > 0;
        if (gone.contains(uid) || !stored)
            db.exec(QStringLiteral("UPDATE tblCommitItems SET Removed = 1 WHERE ImageUID = ? AND Status = 'committed'"),
                    {uid});
    }
    t.commit();
    return int(gone.size());
}

Commitments::Summary Commitments::summary(const QString &studyUid)
{
    Summary s;
    Database db = Database::openData(m_paths);
    createTables(db);
    QSqlQuery q = db.exec(
        QStringLiteral("SELECT Status, COUNT(*) FROM tblCommitItems WHERE StudyUID = ? GROUP BY Status"), {studyUid});
    while (q.next()) {
        const QString status = q.value(0).toString();
        const int n = q.value(1).toInt();
        s.sent += n;
        if (status == QLatin1String("committed"))
            s.committed += n;
        else if (status == QLatin1String("failed"))
            s.failed += n;
    }
    return s;
}

QHash<QString, Commitments::Summary> Commitments::summaries()
{
    QHash<QString, Summary> out;
    Database db = Database::openData(m_paths);
    createTables(db);
    QSqlQuery q =
        db.exec(QStringLiteral("SELECT StudyUID, Status, COUNT(*) FROM tblCommitItems GROUP BY StudyUID, Status"));
    while (q.next()) {
        Summary &s = out[q.value(0).toString()];
        const QString status = q.value(1).toString();
        const int n = q.value(2).toInt();
        s.sent += n;
        if (status == QLatin1String("committed"))
            s.committed += n;
        else if (status == QLatin1String("failed"))
            s.failed += n;
    }
    return out;
}

QList<Commitments::Failure> Commitments::failures(const QString &studyUid)
{
    QList<Failure> out;
    Database db = Database::openData(m_paths);
    createTables(db);
    QSqlQuery q = db.exec(QStringLiteral("SELECT i.SOPInstanceUID, i.SOPClassUID, r.AET, i.Reason, r.Problem"
                                         " FROM tblCommitItems i INNER JOIN tblCommitRequests r"
                                         " ON i.TransactionUID = r.TransactionUID"
                                         " WHERE i.StudyUID = ? AND i.Status = 'failed' ORDER BY i.ID"),
                          {studyUid});
    while (q.next()) {
        Failure f;
        f.sopInstance = q.value(0).toString();
        f.sopClass = q.value(1).toString();
        f.destination = q.value(2).toString();
        const QString problem = q.value(4).toString();
        if (!problem.isEmpty())
            f.reason = QStringLiteral("not requested: ") + problem;
        else
            f.reason = dicom::CommitmentReport::reasonText(quint16(q.value(3).toInt()));
        out << f;
    }
    return out;
}

QString Commitments::transactionOf(const QString &sopInstance)
{
    Database db = Database::openData(m_paths);
    createTables(db);
    return db
        .scalar(QStringLiteral("SELECT TransactionUID FROM tblCommitItems WHERE SOPInstanceUID = ?"
                               " ORDER BY ID DESC LIMIT 1"),
                {sopInstance}, QString())
        .toString();
}

QString Commitments::state(const QString &transactionUid)
{
    Database db = Database::openData(m_paths);
    createTables(db);
    return db
        .scalar(QStringLiteral("SELECT State FROM tblCommitRequests WHERE TransactionUID = ?"), {transactionUid},
                QString())
        .toString();
}

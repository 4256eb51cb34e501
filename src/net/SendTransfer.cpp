#include "net/SendTransfer.h"
#include "core/AppError.h"
#include "core/Database.h"
#include "core/Progress.h"
#include "core/Station.h"
#include "dicom/StoreSender.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

SendTransfer::SendTransfer(Station &station, Progress &progress, dicom::StoreSender &sender)
    : m_station(station), m_progress(progress), m_sender(sender)
{
}

QString SendTransfer::countLine(int sent, int total)
{
    return QStringLiteral("%1 of %2 images successfully sent.").arg(sent).arg(total);
}

SendTransfer::StudyPlan SendTransfer::studyPlan(Station &station, qint64 studyId, const QString &stagingDir)
{
    StudyPlan plan;
    plan.studyId = studyId;
    {
        Database db = Database::openData(station.paths());
        plan.studyUid =
            db.scalar(QStringLiteral("SELECT StudyUID FROM tblStudies WHERE StudyID = ?"), {studyId}).toString();
        QSqlQuery q = db.exec(QStringLiteral("SELECT i.ImageUID FROM tblImages i INNER JOIN tblSeries s"
                                             " ON i.FKeySeriesID = s.SeriesID WHERE s.FKeyStudyID = ?"
                                             " ORDER BY s.SeriesNr, i.ImageNr, i.ImageID"),
                              {studyId});
        while (q.next())
            plan.imageUids << q.value(0).toString();
    }
    if (isValidUid(plan.studyUid)) {
        const QString report = station.paths().doseReportFile(plan.studyUid);
        if (QFileInfo::exists(report))
            plan.report = report;
    }
    if (stagingDir.isEmpty())
        return plan;
    const QSet<QString> own(plan.imageUids.begin(), plan.imageUids.end());
    const QDir dir(stagingDir);
    for (const QString &name : dir.entryList({QStringLiteral("*.dcm")}, QDir::Files, QDir::Name)) {
        const QString uid = name.chopped(4);
        if (isValidUid(uid) && own.contains(uid))
            plan.files << dir.filePath(name);
    }
    return plan;
}

QList<SendTransfer::StudyPlan> SendTransfer::patientPlan(Station &station, qint64 patId, const QString &stagingDir)
{
    QList<qint64> studies;
    {
        Database db = Database::openData(station.paths());
        QSqlQuery q =
            db.exec(QStringLiteral("SELECT StudyID FROM tblStudies WHERE FKeyPATID = ? ORDER BY StudyID"), {patId});
        while (q.next())
            studies << q.value(0).toLongLong();
    }
    QList<StudyPlan> plans;
    for (qint64 id : studies)
        plans << studyPlan(station, id, stagingDir);
    return plans;
}

QStringList SendTransfer::seriesFiles(Station &station, qint64 seriesId)
{
    QStringList files;
    Database db = Database::openData(station.paths());
    QSqlQuery q = db.exec(QStringLiteral("SELECT i.ImageUID, st.StudyUID FROM tblImages i"
                                         " INNER JOIN tblSeries se ON i.FKeySeriesID = se.SeriesID"
                                         " INNER JOIN tblStudies st ON se.FKeyStudyID = st.StudyID"
                                         " WHERE i.FKeySeriesID = ? ORDER BY i.ImageNr, i.ImageID"),
                          {seriesId});
    while (q.next())
        files << station.paths().imageFile(q.value(1).toString(), q.value(0).toString());
    return files;
}

QStringList SendTransfer::filesOf(const QList<StudyPlan> &plans)
{
    QStringList out;
    for (const StudyPlan &p : plans) {
        out += p.files;
        if (!p.report.isEmpty() && !p.files.isEmpty())
            out << p.report;
    }
    return out;
}

bool SendTransfer::removes() const
{
    return m_station.settings().sentAndKeep == 0 && (commitment || removeFromStore != nullptr);
}

bool SendTransfer::sendFile(const QString &file, const QString &logName)
{
    m_progress.yield();
    if (!m_sender.isOpen() && !m_breakLogName.isEmpty()) {
        // The association broke on an earlier file (logged then): counted, not logged again.
        ++m_unsentAfterBreak;
        return false;
    }
    const dicom::StoreSender::FileResult r = m_sender.send(file);
    if (!r.sent) {
        m_station.logError(ErrorNo::Network,
                           QStringLiteral("%1 not sent: %2").arg(QFileInfo(file).fileName(), r.problem), logName);
        if (!m_sender.isOpen())
            m_breakLogName = logName;
    } else if (!r.problem.isEmpty()) {
        m_station.log().writeDebug(QStringLiteral("%1 stored with a warning").arg(QFileInfo(file).fileName()),
                                   r.problem);
    }
    if (r.sent) {
        m_sentUids << QFileInfo(file).completeBaseName();
        m_accepted << Accepted{r.sopClass, r.sopInstance, QFileInfo(file).completeBaseName(), m_studyUid, false};
    }
    return r.sent;
}

void SendTransfer::sendReport(const StudyPlan &plan, const QString &logName)
{
    if (plan.report.isEmpty() || !m_sender.isOpen())
        return;
    m_progress.append(QStringLiteral("Sending dose report ... "));
    const dicom::StoreSender::FileResult r = m_sender.send(plan.report);
    if (r.sent) {
        ++m_reportsSent;
        m_accepted << Accepted{r.sopClass, r.sopInstance, QString(), plan.studyUid, false};
        m_progress.appendLine(QStringLiteral("OK"));
    } else {
        m_progress.appendLine(QStringLiteral("failed"));
        m_station.logError(ErrorNo::Network,
                           QStringLiteral("The dose report of study %1 was not sent: %2").arg(plan.studyUid, r.problem),
                           logName);
    }
}

void SendTransfer::finish()
{
    if (m_unsentAfterBreak == 0)
        return;
    m_station.logError(
        ErrorNo::Network,
        QStringLiteral("The association was broken: %1 more file(s) left unsent").arg(m_unsentAfterBreak),
        m_breakLogName);
    m_unsentAfterBreak = 0;
}

bool SendTransfer::removeSent(Level level, qint64 key, const QStringList &imageUids, bool say)
{
    if (commitment) {
        // Kept until the destination has committed them.
        const QSet<QString> marked(imageUids.begin(), imageUids.end());
        for (Accepted &a : m_accepted)
            if (!a.imageUid.isEmpty() && marked.contains(a.imageUid))
                a.removeWhenCommitted = true;
        if (say)
            m_progress.appendLine(QStringLiteral("The images are removed once the destination has committed them."));
        return false;
    }
    const Removed r = removeFromStore(level, key, imageUids);
    m_patientRemoved = m_patientRemoved || r.patientGone;
    if (say && r.stayed > 0)
        m_progress.appendLine(
            QStringLiteral("%1 image(s) filed while the send ran stay in the store (not sent).").arg(r.stayed));
    return r.ok;
}

void SendTransfer::sendSeries(qint64 seriesId)
{
    const QStringList files = seriesFiles(m_station, seriesId);
    m_progress.setValue(0);
    bool anyThere = false;
    for (const QString &f : files)
        anyThere = anyThere || QFileInfo::exists(f);
    if (!anyThere) {
        m_progress.appendLine(QStringLiteral("The images from the selected series could not be found!"));
        if (tellOperator)
            tellOperator(QStringLiteral("The images from the selected series could not be found!"));
        return;
    }
    m_progress.setMaximum(files.size());
    m_total = files.size();
    m_progress.append(QStringLiteral("Sending Series ... "));
    int value = 0;
    for (const QString &f : files) {
        if (sendFile(f, QStringLiteral("EditForm SerieSenden (TRANSMIT_ERRROR)")))
            ++m_sent;
        m_progress.setValue(++value);
    }
    m_progress.appendLine(QStringLiteral("OK"));
    m_progress.appendLine(countLine(m_sent, m_total));
    if (removes() && m_sent == m_total)
        m_success = removeSent(Level::Series, seriesId, m_sentUids, true);
    m_progress.scrollToEnd();
}

void SendTransfer::sendStudy(const StudyPlan &plan, bool partOfPatient)
{
    m_progress.setValue(0);
    m_total += plan.imageUids.size();
    if (plan.files.isEmpty()) {
        const QString text = QStringLiteral("The images from the selected study could not be found!");
        m_progress.appendLine(QStringLiteral("Sending study ... ") + text);
        if (!partOfPatient && tellOperator)
            tellOperator(text);
        if (!partOfPatient)
            m_progress.appendLine(countLine(m_sent, m_total));
        return;
    }
    m_progress.setMaximum(plan.files.size());
    m_progress.append(QStringLiteral("Sending study ... "));
    m_studyUid = plan.studyUid;
    int studySent = 0;
    int value = 0;
    const qsizetype before = m_sentUids.size();
    for (const QString &f : plan.files) {
        if (sendFile(f, QStringLiteral("EditForm StudieSenden (TRANSMIT_ERROR)"))) {
            ++m_sent;
            ++studySent;
        }
        m_progress.setValue(++value);
    }
    m_progress.appendLine(QStringLiteral("OK"));
    sendReport(plan, QStringLiteral("EditForm StudieSenden (TRANSMIT_ERROR)"));
    if (!partOfPatient)
        m_progress.appendLine(countLine(m_sent, m_total));
    // Removed only when every image row of the study went, not just the staged files.
    if (removes() && studySent == plan.imageUids.size() && studySent > 0)
        // Of a patient, what stays is said once for the patient.
        m_success = removeSent(Level::Study, plan.studyId, m_sentUids.mid(before), !partOfPatient);
    m_progress.scrollToEnd();
}

void SendTransfer::sendPatient(const QString &displayName, qint64 patId, const QList<StudyPlan> &plans)
{
    m_progress.appendLine(QStringLiteral("Send studies of patient: ") + displayName);
    for (const StudyPlan &p : plans) {
        m_progress.appendLine(QStringLiteral("Study: ") + p.studyUid);
        sendStudy(p, true);
    }
    m_progress.appendLine(countLine(m_sent, m_total));
    if (m_station.settings().sentAndKeep == 0) {
        m_progress.append(QStringLiteral("Removing database entries ... "));
        if (m_sent != m_total || m_total == 0 || !removes()) {
            m_progress.appendLine(QStringLiteral("skipped (not all files send)"));
        } else if (commitment) {
            removeSent(Level::Patient, patId, m_sentUids, false);
            m_progress.appendLine(QStringLiteral("once committed"));
        } else {
            const bool ok = removeSent(Level::Patient, patId, m_sentUids, true);
            m_progress.appendLine(ok ? QStringLiteral("OK") : QStringLiteral("failed"));
        }
    }
    m_progress.scrollToEnd();
}

#include "dose/DoseRecords.h"
#include "core/AppError.h"
#include "core/CrashPoint.h"
#include "core/Database.h"
#include "core/DateText.h"
#include "core/Station.h"
#include "dose/DoseList.h"
#include "dose/DoseState.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace {

const QString HandOverName = QStringLiteral("cInput.txt");
const QString DoneName = QStringLiteral("done.txt");
// Where an earlier version kept the exposures that wait for a patient.
const QString OldPendingName = QStringLiteral("PendingExposures.json");
const QString JournalName = QStringLiteral("Exposures.journal");
const QString LineBreak = QStringLiteral("\r\n");
const QString Procedure = QStringLiteral("MainForm dbFill");

QString readLatin1(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot read %1: %2").arg(path, f.errorString()));
    // The units send ANSI text; one character per byte.
    return QString::fromLatin1(f.readAll());
}

// Missing values are stored as empty text, never as null.
QString nn(const QString &v) { return v.isNull() ? QStringLiteral("") : v; }

const char *const InsertRecord =
    "INSERT INTO tblDosis (PatFirstname, PatLastname, PatBirthdate, mGy1, mGy2, mGy3, expTime,"
    " \"Date\", \"Time\", Status, Bodypart, ImgNo, XrayComm, WorklistPatID, RecordUID, Room)"
    " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";

} // namespace

DoseRecords::DoseRecords(Station &station, DoseState &state)
    : m_station(station), m_state(state), m_journal(station.paths().dataDir() + QLatin1Char('/') + JournalName)
{
    QStringList problems;
    m_journal.load(&problems);
    for (const QString &p : problems)
        m_station.log().writeError(ErrorNo::FileIo, QStringLiteral("Exposure journal %1: %2").arg(m_journal.path(), p),
                                   Procedure);
    takeOverOldPending();
    publishWaiting();
}

QString DoseRecords::unstoredFile() const { return m_station.paths().logsDir() + QStringLiteral("/unstored.txt"); }

void DoseRecords::takeOverOldPending()
{
    const QString path = m_station.paths().file(OldPendingName);
    QFile f(path);
    if (!f.exists() || !f.open(QIODevice::ReadOnly))
        return;
    QList<ExposureJournal::Cut> cuts;
    for (const QJsonValue &v : QJsonDocument::fromJson(f.readAll()).array()) {
        const QJsonObject o = v.toObject();
        ExposureJournal::Cut c;
        c.date = o.value("date").toString();
        c.time = o.value("time").toString();
        c.values = {o.value("mGy1").toString(), o.value("mGy2").toString(), o.value("mGy3").toString(),
                    o.value("expTime").toString()};
        c.unit = m_station.settings().xrayComm;
        cuts << c;
    }
    f.close();
    m_journal.capture(cuts, {}, std::nullopt, false);
    if (m_journal.backlog() == 0)
        QFile::remove(path);
}

bool DoseRecords::handOver(const QString &message)
{
    const QString path = m_station.paths().file(HandOverName);
    try {
        QSaveFile f(path);
        const QByteArray bytes = (message + LineBreak).toLatin1();
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size() || !f.commit())
            throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot write %1: %2").arg(path, f.errorString()));
        return true;
    } catch (const AppError &e) {
        // An older message left in the file must never be taken for this one.
        QFile::remove(path);
        m_station.logError(e, QStringLiteral("MainForm SerTimer_Timer"));
        return false;
    }
}

bool DoseRecords::takeOverHandOver(QString &input)
{
    const QString handOver = m_station.paths().file(HandOverName);
    if (!QFile::exists(handOver))
        return false;
    const QString text = readLatin1(handOver);
    if (text.trimmed().isEmpty()) {
        // A write that failed (a full disk) leaves an empty file: it is no message.
        QFile::remove(handOver);
        m_station.log().writeError(
            ErrorNo::FileIo, QStringLiteral("The hand-over file %1 held no message; removed").arg(handOver), Procedure);
        return false;
    }
    input = text;
    const QString done = m_station.paths().file(DoneName);
    QFile::remove(done);
    if (!QFile::rename(handOver, done)) {
        // The message is taken all the same; the file goes, or the next hand-over
        // replaces it: it is never served a second time.
        QFile::remove(handOver);
        m_station.log().writeError(ErrorNo::FileIo, QStringLiteral("Cannot rename %1 to %2").arg(handOver, done),
                                   Procedure);
    }
    return true;
}

void DoseRecords::handOverAndTakeOver(const QString &message)
{
    // The hand-over files stay as they always were, for whatever reads them; the
    // exposure itself is already in the journal.
    if (!handOver(message))
        return;
    CrashPoint::reached("dose-handover");
    try {
        QString ignored;
        takeOverHandOver(ignored);
    } catch (const AppError &e) {
        m_station.logError(e, Procedure);
    }
}

DoseRecords::Result DoseRecords::fill(QString &input)
{
    takeOverHandOver(input);

    const DoseMessage::Format format = DoseMessage::formatFor(m_station.settings().xrayComm);
    if (format == DoseMessage::Format::None) {
        Result r;
        r.outcome = Outcome::NoFormat;
        return r;
    }
    if (input.isEmpty())
        return {}; // Outcome::NoTokens
    QStringList messages, cutShort;
    if (format == DoseMessage::Format::Channel) {
        QString front;
        messages = DoseMessage::channelMessages(input, &front);
        if (messages.isEmpty())
            DoseMessage::channelTokens(input); // throws: no message start
        if (!front.trimmed().isEmpty())
            cutShort << front;
    } else {
        const DoseMessage::SemicolonSplit split = DoseMessage::splitSemicolon(input, true);
        if (split.complete.isEmpty())
            DoseMessage::semicolonTokens(input); // no dose field at all: throws
        messages = split.complete;
        cutShort = split.incomplete;
    }
    // "Fill" uses up what was gathered.
    const Result r = capture(messages, cutShort, format, QString(), false);
    input.clear();
    return r;
}

DoseRecords::Result DoseRecords::captureFromLine(const QStringList &messages, const QStringList &cutShort,
                                                 const QString &gatheredAfter)
{
    return capture(messages, cutShort, DoseMessage::formatFor(m_station.settings().xrayComm), gatheredAfter, true);
}

DoseRecords::Result DoseRecords::capture(const QStringList &messages, const QStringList &cutShort,
                                         DoseMessage::Format format, const QString &gatheredAfter, bool handOverFiles)
{
    syncExamination();
    Result r;
    const QString date = DateText::today();
    const QString time = DateText::now();
    QList<ExposureJournal::Cut> cuts;
    QList<ExposureJournal::Aside> aside;
    for (const QString &m : messages) {
        try {
            const QStringList tokens = DoseMessage::tokens(format, m);
            if (tokens.isEmpty())
                continue;
            QStringList dropped;
            const DoseMessage::Values v = format == DoseMessage::Format::Semicolon
                                              ? DoseMessage::semicolonValues(DoseMessage::semicolonFields(m), &dropped)
                                              : DoseMessage::channelValues(tokens);
            if (!dropped.isEmpty())
                m_station.log().writeError(ErrorNo::BadInput,
                                           QStringLiteral("Characters in front of a value dropped: ")
                                               + dropped.join(QStringLiteral(", ")),
                                           Procedure);
            cuts << ExposureJournal::Cut{m, v, date, time, m_station.settings().xrayComm};
            r.tokens = tokens;
            r.values = v;
        } catch (const std::exception &e) {
            aside << ExposureJournal::Aside{m, errorReason(e)};
        }
    }
    for (const QString &c : cutShort)
        aside << ExposureJournal::Aside{c, QStringLiteral("message incomplete")};

    // Before anything else: the exposures and what stays gathered, in one line.
    const QList<JournalExposure> got = m_journal.capture(cuts, aside, gatheredAfter);
    r.durable = m_journal.backlog() == 0;
    if (!r.durable)
        m_station.log().writeError(
            ErrorNo::FileIo,
            QStringLiteral("The exposure journal %1 cannot be written (%2): %3 exposure(s) held in memory only")
                .arg(m_journal.path(), m_journal.lastError())
                .arg(got.size()),
            Procedure);
    for (const ExposureJournal::Aside &a : std::as_const(aside)) {
        // A message cut short never lends its values to the next one.
        keepUnstored(a.text, a.reason);
        m_station.log().writeError(
            ErrorNo::BadInput, QStringLiteral("Incomplete dose message kept in %1 (%2)").arg(unstoredFile(), a.reason),
            Procedure);
        ++r.unstored;
    }
    if (handOverFiles)
        for (const JournalExposure &e : got)
            handOverAndTakeOver(e.message);

    storeUnstored();
    for (const JournalExposure &e : got) {
        if (!e.hasPatient()) {
            ++r.pending;
            r.outcome = Outcome::Pending;
            continue;
        }
        r.imageNo = e.imageNo;
        const auto it = std::find_if(m_journal.exposures().cbegin(), m_journal.exposures().cend(),
                                     [&](const JournalExposure &j) { return j.seq == e.seq; });
        if (it != m_journal.exposures().cend() && it->state == JournalExposure::State::Stored) {
            ++r.stored;
            r.id = it->recordId;
            r.outcome = Outcome::Stored;
        } else {
            ++r.waiting;
            r.outcome = Outcome::Unstored;
        }
    }
    return r;
}

int DoseRecords::storeUnstored(QString *failure)
{
    const QList<JournalExposure> list = m_journal.unstored();
    int left = int(list.size());
    if (left > 0) {
        try {
            Database db = Database::openData(m_station.paths(), BusyTimeoutMs);
            for (const JournalExposure &e : list) {
                Transaction t(db, Transaction::Write);
                // Stored already when the station ended between the commit and the
                // journal's note of it.
                const QVariant existing =
                    db.scalar(QStringLiteral("SELECT ID FROM tblDosis WHERE RecordUID = ?"), {e.uid});
                qint64 id = existing.toLongLong();
                if (existing.isNull()) {
                    const ExamPatient &p = e.patient;
                    QSqlQuery q =
                        db.exec(QString::fromLatin1(InsertRecord),
                                {nn(p.firstName()), nn(p.lastName()), nn(p.birthDate()), nn(e.values.mGy1),
                                 nn(e.values.mGy2), nn(e.values.mGy3), nn(e.values.expTime), nn(e.date), nn(e.time),
                                 e.closed ? QStringLiteral("2") : QStringLiteral("0"), nn(p.bodypart()), e.imageNo,
                                 // which unit captured it: its values mean different things
                                 e.unit, nn(p.id()), e.uid, stationAet(m_station.settings())});
                    id = db.lastInsertId(q);
                }
                CrashPoint::reached("dose-db-write");
                t.commit();
                CrashPoint::reached("dose-db-committed");
                m_journal.markStored(e.seq, id);
                --left;
            }
            m_state.unstoredReason.clear();
        } catch (const std::exception &e) {
            m_state.unstoredReason = errorReason(e);
            if (failure)
                *failure = m_state.unstoredReason;
        }
    }
    publishWaiting();
    return left;
}

void DoseRecords::publishWaiting()
{
    m_state.unstoredExposures.clear();
    for (const JournalExposure &e : m_journal.unstored())
        m_state.unstoredExposures.append(
            {e.patient.id(), e.patient.firstName(), e.patient.lastName(), e.patient.birthDate(), e.imageNo});
    if (m_state.unstoredExposures.isEmpty())
        m_state.unstoredReason.clear();
    m_state.pendingExposures = pendingCount();
}

int DoseRecords::lastImageNoOf(const ExamPatient &p)
{
    int last = 0;
    for (const JournalExposure &e : m_journal.unstored())
        if (!e.closed && e.patient.id() == p.id())
            last = std::max(last, e.imageNo);
    // From the database too: a restart in the middle of a study, or another worklist
    // patient chosen meanwhile, must not start the patient's numbers again.
    try {
        Database db = Database::openData(m_station.paths(), BusyTimeoutMs);
        QVariantList binds{QStringLiteral("0")};
        binds += DoseList::ownerBinds({p.id(), p.firstName(), p.lastName(), p.birthDate()});
        last = std::max(last, db.scalar(QStringLiteral("SELECT MAX(ImgNo) FROM tblDosis WHERE Status = ? AND ")
                                            + DoseList::ownerCondition(),
                                        binds, 0)
                                  .toInt());
    } catch (const std::exception &e) {
        m_station.logError(e, Procedure);
    }
    return last;
}

void DoseRecords::syncExamination()
{
    if (!m_state.hasPatient()) {
        m_journal.closeExamination();
        return;
    }
    ExamPatient p;
    p.rows = m_state.panel;
    if (m_journal.examination() && *m_journal.examination() == p)
        return;
    m_journal.openExamination(p, lastImageNoOf(p));
}

int DoseRecords::nextImageNo()
{
    syncExamination();
    return m_journal.examination() ? m_journal.lastImageNo() + 1 : 1;
}

DoseRecords::Recovery DoseRecords::recover()
{
    Recovery rec;
    rec.exposures = int(m_journal.unstored().size());
    // The examination that was open when the station ended is open again.
    if (m_journal.examination() && !m_state.hasPatient()) {
        m_state.takePatientRows(m_journal.examination()->rows);
        m_state.setStudyOpen(true);
        rec.examination = true;
    }
    // A hand-over file left by a kill: taken up unless its exposure is in the journal.
    const QString handOverFile = m_station.paths().file(HandOverName);
    if (QFile::exists(handOverFile)) {
        try {
            const QString text = readLatin1(handOverFile);
            if (!text.trimmed().isEmpty() && m_journal.containsMessage(text)) {
                QString ignored;
                takeOverHandOver(ignored);
            } else {
                QString input;
                const Result r = fill(input);
                rec.handOver = r.stored + r.waiting + r.pending;
            }
        } catch (const std::exception &e) {
            m_station.logError(e, Procedure);
        }
    }
    rec.stillWaiting = storeUnstored();
    if (!m_journal.compact())
        m_station.log().writeError(
            ErrorNo::FileIo,
            QStringLiteral("Cannot rewrite the exposure journal %1: %2").arg(m_journal.path(), m_journal.lastError()),
            Procedure);
    return rec;
}

QList<PendingExposure> DoseRecords::pending() const
{
    QList<PendingExposure> out;
    for (const JournalExposure &e : m_journal.unassigned())
        out.append({e.date, e.time, e.values});
    return out;
}

int DoseRecords::storePending()
{
    if (!m_state.hasPatient())
        throw AppError(ErrorNo::BadInput, noPatientText());
    syncExamination();
    const QList<JournalExposure> list = m_journal.unassigned();
    for (const JournalExposure &e : list)
        m_journal.assignToExamination(e.seq);
    storeUnstored();
    return int(list.size());
}

QString DoseRecords::pendingQuestion() const
{
    const QList<PendingExposure> list = pending();
    if (list.isEmpty())
        return {};
    const PendingExposure &first = list.first();
    const QString what =
        list.size() == 1
            ? QStringLiteral("1 exposure was captured while no patient was chosen (%1 %2).").arg(first.date, first.time)
            : QStringLiteral("%1 exposures were captured while no patient was chosen (the first %2 %3).")
                  .arg(list.size())
                  .arg(first.date, first.time);
    return what + QStringLiteral("\r\n\r\nStore them for this patient?\r\n\r\n") + m_state.row(3) + QStringLiteral(", ")
           + m_state.row(2) + QStringLiteral("\r\nBirthdate: ") + m_state.row(5) + QStringLiteral("\r\nID: ")
           + m_state.row(1);
}

QString DoseRecords::pendingLabel(int count)
{
    if (count <= 0)
        return {};
    if (count == 1)
        return QStringLiteral("1 exposure is waiting for a patient");
    return QStringLiteral("%1 exposures are waiting for a patient").arg(count);
}

QString DoseRecords::unstoredLabel(int count)
{
    if (count <= 0)
        return {};
    if (count == 1)
        return QStringLiteral("1 exposure waiting to be stored");
    return QStringLiteral("%1 exposures waiting to be stored").arg(count);
}

bool DoseRecords::keepUnstored(const QString &text, const QString &reason) const
{
    QDir().mkpath(m_station.paths().logsDir());
    QFile f(unstoredFile());
    const QString head = QStringLiteral("--- ") + DateText::logStamp() + QStringLiteral(" ") + reason + LineBreak;
    QString body = text;
    if (!body.endsWith(QLatin1Char('\n')))
        body += LineBreak;
    const QByteArray bytes = head.toUtf8() + body.toLatin1();
    if (f.open(QIODevice::WriteOnly | QIODevice::Append) && f.write(bytes) == bytes.size() && f.flush())
        return true;
    // The error log is the last place the text can go.
    m_station.log().writeError(ErrorNo::FileIo,
                               QStringLiteral("Cannot keep a dose message in %1 (%2): %3")
                                   .arg(unstoredFile(), f.errorString(), text.trimmed()),
                               Procedure);
    return false;
}

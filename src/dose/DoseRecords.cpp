#include "dose/DoseRecords.h"
#include "core/AppError.h"
#include "core/DateText.h"
#include "core/Station.h"
#include "dose/DoseState.h"
#include "core/Database.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace {

const QString HandOverName = QStringLiteral("cInput.txt");
const QString DoneName = QStringLiteral("done.txt");
const QString PendingName = QStringLiteral("PendingExposures.json");
const QString LineBreak = QStringLiteral("\r\n");

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

QJsonObject toJson(const PendingExposure &p)
{
    return QJsonObject{{"date", p.date},       {"time", p.time},       {"mGy1", p.values.mGy1},
                       {"mGy2", p.values.mGy2}, {"mGy3", p.values.mGy3}, {"expTime", p.values.expTime}};
}

PendingExposure fromJson(const QJsonObject &o)
{
    PendingExposure p;
    p.date = o.value("date").toString();
    p.time = o.value("time").toString();
    p.values.mGy1 = o.value("mGy1").toString();
    p.values.mGy2 = o.value("mGy2").toString();
    p.values.mGy3 = o.value("mGy3").toString();
    p.values.expTime = o.value("expTime").toString();
    return p;
}

const char *const InsertRecord =
    "INSERT INTO tblDosis (PatFirstname, PatLastname, PatBirthdate, mGy1, mGy2, mGy3, expTime,"
    " \"Date\", \"Time\", Status, Bodypart, ImgNo, XrayComm) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, '0', ?, ?, ?)";

} // namespace

DoseRecords::DoseRecords(Station &station, DoseState &state) : m_station(station), m_state(state)
{
    syncPendingCount();
}

QString DoseRecords::pendingFile() const { return m_station.paths().file(PendingName); }
QString DoseRecords::unstoredFile() const { return m_station.paths().logsDir() + QStringLiteral("/unstored.txt"); }

bool DoseRecords::handOver(const QString &message)
{
    const QString path = m_station.paths().file(HandOverName);
    try {
        QSaveFile f(path);
        if (!f.open(QIODevice::WriteOnly))
            throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot write %1: %2").arg(path, f.errorString()));
        f.write((message + LineBreak).toLatin1());
        if (!f.commit())
            throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot write %1: %2").arg(path, f.errorString()));
        return true;
    } catch (const AppError &e) {
        // An older message left in the file must never be taken for this one.
        QFile::remove(path);
        m_station.logError(e, QStringLiteral("MainForm SerTimer_Timer"));
        keepUnstored(message, QStringLiteral("hand-over failed: ") + e.description());
        return false;
    }
}

bool DoseRecords::takeOverHandOver(QString &input)
{
    const QString handOver = m_station.paths().file(HandOverName);
    if (!QFile::exists(handOver))
        return false;
    input = readLatin1(handOver);
    const QString done = m_station.paths().file(DoneName);
    QFile::remove(done);
    if (!QFile::rename(handOver, done)) {
        // The message is taken all the same; the file goes, or the next hand-over
        // replaces it: it is never served a second time.
        QFile::remove(handOver);
        m_station.log().writeError(ErrorNo::FileIo, QStringLiteral("Cannot rename %1 to %2").arg(handOver, done),
                                   QStringLiteral("MainForm dbFill"));
    }
    return true;
}

DoseRecords::Result DoseRecords::fill(QString &input)
{
    Result r;
    takeOverHandOver(input);

    const DoseMessage::Format format = DoseMessage::formatFor(m_station.settings().xrayComm);
    if (format == DoseMessage::Format::None) {
        r.outcome = Outcome::NoFormat;
        return r;
    }
    if (input.isEmpty())
        return r; // Outcome::NoTokens
    QStringList messages;
    if (format == DoseMessage::Format::Channel) {
        QString front;
        messages = DoseMessage::channelMessages(input, &front);
        if (messages.isEmpty())
            DoseMessage::channelTokens(input); // throws: no message start
    } else {
        const DoseMessage::SemicolonSplit split = DoseMessage::splitSemicolon(input, true);
        if (split.complete.isEmpty())
            DoseMessage::semicolonTokens(input); // no dose field at all: throws
        messages = split.complete;
        for (const QString &cut : split.incomplete) {
            // A message cut short never lends its values to the next one.
            keepUnstored(cut, QStringLiteral("message incomplete"));
            m_station.log().writeError(ErrorNo::BadInput, QStringLiteral("Incomplete dose message kept in %1").arg(unstoredFile()),
                                       QStringLiteral("MainForm dbFill"));
            ++r.unstored;
        }
    }
    for (const QString &m : messages)
        storeOne(m, format, r);
    input.clear();
    return r;
}

void DoseRecords::storeOne(const QString &message, DoseMessage::Format format, Result &r)
{
    r.tokens = DoseMessage::tokens(format, message);
    if (r.tokens.isEmpty())
        return;
    QStringList dropped;
    r.values = format == DoseMessage::Format::Semicolon
                   ? DoseMessage::semicolonValues(DoseMessage::semicolonFields(message), &dropped)
                   : DoseMessage::channelValues(r.tokens);
    if (!dropped.isEmpty())
        m_station.log().writeError(ErrorNo::BadInput,
                                   QStringLiteral("Characters in front of a value dropped: ") + dropped.join(QStringLiteral(", ")),
                                   QStringLiteral("MainForm dbFill"));
    const QString date = DateText::today();
    const QString time = DateText::now();
    if (!m_state.hasPatient()) {
        addPending({date, time, r.values});
        r.outcome = Outcome::Pending;
        ++r.pending;
        return;
    }
    r.id = store(r.values, date, time, &r.imageNo);
    r.outcome = Outcome::Stored;
    ++r.stored;
}

int DoseRecords::nextImageNo(Database &db)
{
    // From the database, not from memory: a restart in the middle of a study, or another
    // worklist patient chosen meanwhile, must not shift the numbers that the merge puts
    // the doses into the images by.
    return db.scalar(QStringLiteral("SELECT MAX(ImgNo) FROM tblDosis WHERE Status = '0' AND COALESCE(PatFirstname, '') = ?"
                                    " AND COALESCE(PatLastname, '') = ? AND COALESCE(PatBirthdate, '') = ?"),
                     {nn(m_state.row(2)), nn(m_state.row(3)), nn(m_state.row(5))}, 0)
               .toInt()
           + 1;
}

int DoseRecords::nextImageNo()
{
    Database db = Database::openData(m_station.paths());
    return nextImageNo(db);
}

qint64 DoseRecords::store(const DoseMessage::Values &v, const QString &date, const QString &time, int *imageNo)
{
    Database db = Database::openData(m_station.paths());
    Transaction t(db, Transaction::Write);
    const int next = nextImageNo(db);
    QSqlQuery q = db.exec(QString::fromLatin1(InsertRecord),
                          {nn(m_state.row(2)), nn(m_state.row(3)), nn(m_state.row(5)), nn(v.mGy1), nn(v.mGy2), nn(v.mGy3),
                           nn(v.expTime), nn(date), nn(time), nn(m_state.row(8)), next,
                           // which unit captured it: its values mean different things
                           m_station.settings().xrayComm});
    const qint64 id = db.lastInsertId(q);
    t.commit();
    if (imageNo)
        *imageNo = next;
    return id;
}

QList<PendingExposure> DoseRecords::pending() const
{
    QList<PendingExposure> out;
    QFile f(pendingFile());
    if (!f.exists() || !f.open(QIODevice::ReadOnly))
        return out;
    const QJsonDocument doc = QJsonDocument::fromJson(f.readAll());
    const QJsonArray arr = doc.array();
    for (const auto &v : arr)
        out.append(fromJson(v.toObject()));
    return out;
}

void DoseRecords::savePending(const QList<PendingExposure> &list) const
{
    const QString path = pendingFile();
    if (list.isEmpty()) {
        if (QFile::exists(path) && !QFile::remove(path))
            throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot delete %1").arg(path));
    } else {
        QJsonArray arr;
        for (const auto &p : list)
            arr.append(toJson(p));
        QSaveFile f(path);
        if (!f.open(QIODevice::WriteOnly))
            throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot write %1: %2").arg(path, f.errorString()));
        f.write(QJsonDocument(arr).toJson());
        if (!f.commit())
            throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot write %1: %2").arg(path, f.errorString()));
    }
    m_state.pendingExposures = list.size();
}

void DoseRecords::syncPendingCount() const { m_state.pendingExposures = pending().size(); }

void DoseRecords::addPending(const PendingExposure &p)
{
    QList<PendingExposure> list = pending();
    list.append(p);
    savePending(list);
}

int DoseRecords::storePending()
{
    if (!m_state.hasPatient())
        throw AppError(ErrorNo::BadInput, noPatientText());
    const QList<PendingExposure> list = pending();
    if (list.isEmpty())
        return 0;
    {
        Database db = Database::openData(m_station.paths());
        Transaction tx(db, Transaction::Write);
        int next = nextImageNo(db);
        for (const auto &p : list) {
            db.exec(QString::fromLatin1(InsertRecord),
                    {nn(m_state.row(2)), nn(m_state.row(3)), nn(m_state.row(5)), nn(p.values.mGy1), nn(p.values.mGy2),
                     nn(p.values.mGy3), nn(p.values.expTime), nn(p.date), nn(p.time), nn(m_state.row(8)), next++,
                     m_station.settings().xrayComm});
        }
        tx.commit();
    }
    savePending({});
    return list.size();
}

QString DoseRecords::pendingQuestion() const
{
    const QList<PendingExposure> list = pending();
    if (list.isEmpty())
        return {};
    const PendingExposure &first = list.first();
    const QString what = list.size() == 1
                             ? QStringLiteral("1 exposure was captured while no patient was chosen (%1 %2).")
                                   .arg(first.date, first.time)
                             : QStringLiteral("%1 exposures were captured while no patient was chosen (the first %2 %3).")
                                   .arg(list.size())
                                   .arg(first.date, first.time);
    return what + QStringLiteral("\r\n\r\nStore them for this patient?\r\n\r\n") + m_state.row(3) +
           QStringLiteral(", ") + m_state.row(2) + QStringLiteral("\r\nBirthdate: ") + m_state.row(5) +
           QStringLiteral("\r\nID: ") + m_state.row(1);
}

QString DoseRecords::pendingLabel(int count)
{
    if (count <= 0)
        return {};
    if (count == 1)
        return QStringLiteral("1 exposure is waiting for a patient");
    return QStringLiteral("%1 exposures are waiting for a patient").arg(count);
}

void DoseRecords::keepUnstored(const QString &text, const QString &reason) const
{
    QDir().mkpath(m_station.paths().logsDir());
    QFile f(unstoredFile());
    if (!f.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    const QString head = QStringLiteral("--- ") + DateText::logStamp() + QStringLiteral(" ") + reason + LineBreak;
    QString body = text;
    if (!body.endsWith(QLatin1Char('\n')))
        body += LineBreak;
    f.write(head.toUtf8());
    f.write(body.toLatin1());
}

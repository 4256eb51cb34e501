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
    " \"Date\", \"Time\", Status, Bodypart, ImgNo) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, '0', ?, ?)";

} // namespace

DoseRecords::DoseRecords(Station &station, DoseState &state) : m_station(station), m_state(state)
{
    syncPendingCount();
}

QString DoseRecords::pendingFile() const { return m_station.paths().file(PendingName); }
QString DoseRecords::unstoredFile() const { return m_station.paths().logsDir() + QStringLiteral("/unstored.txt"); }

void DoseRecords::appendHandOver(const Station &station, const QString &text)
{
    const QString path = station.paths().file(HandOverName);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Append))
        throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot write %1: %2").arg(path, f.errorString()));
    const QByteArray bytes = (text + LineBreak).toLatin1();
    if (f.write(bytes) != bytes.size())
        throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot write %1: %2").arg(path, f.errorString()));
}

bool DoseRecords::takeOverHandOver(QString &input)
{
    const QString handOver = m_station.paths().file(HandOverName);
    if (!QFile::exists(handOver))
        return false;
    input = readLatin1(handOver);
    const QString done = m_station.paths().file(DoneName);
    if (QFile::exists(done) && !QFile::remove(done))
        throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot delete %1").arg(done));
    if (!QFile::rename(handOver, done))
        throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot rename %1 to %2").arg(handOver, done));
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
    r.tokens = DoseMessage::tokens(format, input);
    if (r.tokens.isEmpty()) {
        input.clear();
        return r; // Outcome::NoTokens
    }
    r.values = DoseMessage::values(format, r.tokens);

    const QString date = DateText::today();
    const QString time = DateText::now();
    if (!m_state.hasPatient()) {
        addPending({date, time, r.values});
        r.outcome = Outcome::Pending;
        input.clear();
        return r;
    }
    r.id = store(r.values, date, time, &r.imageNo);
    r.outcome = Outcome::Stored;
    input.clear();
    return r;
}

qint64 DoseRecords::store(const DoseMessage::Values &v, const QString &date, const QString &time, int *imageNo)
{
    const qint16 next = static_cast<qint16>(m_state.exposureCounter + 1);
    Database db = Database::openData(m_station.paths());
    QSqlQuery q = db.exec(QString::fromLatin1(InsertRecord),
                          {m_state.row(2), m_state.row(3), m_state.row(5), v.mGy1, v.mGy2, v.mGy3, v.expTime, date,
                           time, m_state.row(8), static_cast<int>(next)});
    const qint64 id = db.lastInsertId(q);
    m_state.exposureCounter = next;
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
    qint16 counter = m_state.exposureCounter;
    {
        Database db = Database::openData(m_station.paths());
        Transaction tx(db);
        for (const auto &p : list) {
            ++counter;
            db.exec(QString::fromLatin1(InsertRecord),
                    {m_state.row(2), m_state.row(3), m_state.row(5), p.values.mGy1, p.values.mGy2, p.values.mGy3,
                     p.values.expTime, p.date, p.time, m_state.row(8), static_cast<int>(counter)});
        }
        tx.commit();
    }
    m_state.exposureCounter = counter;
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

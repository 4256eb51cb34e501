#include "net/MppsOutbox.h"
#include "core/AppError.h"
#include "core/Database.h"
#include "core/DateText.h"
#include "core/StationPaths.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {

const char *const CreateTable = "CREATE TABLE IF NOT EXISTS tblMppsOutbox ("
                                " ID INTEGER PRIMARY KEY AUTOINCREMENT,"
                                " StepUID TEXT NOT NULL, Kind TEXT NOT NULL, Attributes TEXT NOT NULL,"
                                " Written TEXT, Sent TEXT, Status INTEGER, Problem TEXT)";

QString tagKey(quint16 g, quint16 e)
{
    return QStringLiteral("%1%2").arg(g, 4, 16, QLatin1Char('0')).arg(e, 4, 16, QLatin1Char('0')).toUpper();
}

// A provider that answers a message a second time (the first answer was lost with the
// association) says it has it already: a step created, or one no longer in progress.
bool alreadyDone(MppsOutbox::Kind kind, const dicom::MppsSender::Result &r)
{
    return r.answered && ((kind == MppsOutbox::Kind::Create && r.status == 0x0111));
}

} // namespace

MppsOutbox::MppsOutbox(const StationPaths &paths) : m_paths(paths) {}

void MppsOutbox::ensureTable()
{
    Database db = Database::openData(m_paths);
    db.exec(QString::fromLatin1(CreateTable));
}

QJsonObject MppsOutbox::toJson(const dicom::DataSet &ds)
{
    QJsonObject o;
    for (const dicom::DataSet::Element &e : ds.elements()) {
        if (e.isSequence) {
            QJsonArray items;
            for (const dicom::DataSet &item : e.items)
                items.append(toJson(item));
            o.insert(tagKey(e.group, e.element), items);
        } else {
            o.insert(tagKey(e.group, e.element), e.text);
        }
    }
    return o;
}

dicom::DataSet MppsOutbox::fromJson(const QJsonObject &o)
{
    dicom::DataSet ds;
    for (auto it = o.begin(); it != o.end(); ++it) {
        bool ok = false;
        const uint tag = it.key().toUInt(&ok, 16);
        if (!ok || it.key().size() != 8)
            continue;
        const quint16 g = quint16(tag >> 16), e = quint16(tag & 0xFFFF);
        if (it.value().isArray()) {
            std::vector<dicom::DataSet> items;
            for (const QJsonValue &v : it.value().toArray())
                items.push_back(fromJson(v.toObject()));
            ds.setSequence(g, e, std::move(items));
        } else {
            ds.set(g, e, it.value().toString());
        }
    }
    return ds;
}

qint64 MppsOutbox::add(const QString &stepUid, Kind kind, const dicom::DataSet &attributes)
{
    Database db = Database::openData(m_paths);
    db.exec(QString::fromLatin1(CreateTable));
    QSqlQuery q =
        db.exec(QStringLiteral("INSERT INTO tblMppsOutbox (StepUID, Kind, Attributes, Written) VALUES (?, ?, ?, ?)"),
                {stepUid, kind == Kind::Create ? QStringLiteral("create") : QStringLiteral("set"),
                 QString::fromUtf8(QJsonDocument(toJson(attributes)).toJson(QJsonDocument::Compact)), DateText::now()});
    return db.lastInsertId(q);
}

QList<MppsOutbox::Waiting> MppsOutbox::waiting()
{
    QList<Waiting> out;
    Database db = Database::openData(m_paths);
    db.exec(QString::fromLatin1(CreateTable));
    QSqlQuery q = db.exec(QStringLiteral("SELECT ID, StepUID, Kind, Attributes FROM tblMppsOutbox"
                                         " WHERE Sent IS NULL AND Problem IS NULL ORDER BY ID"));
    while (q.next()) {
        Waiting w;
        w.id = q.value(0).toLongLong();
        w.stepUid = q.value(1).toString();
        w.kind = q.value(2).toString() == QLatin1String("create") ? Kind::Create : Kind::Set;
        w.attributes = fromJson(QJsonDocument::fromJson(q.value(3).toString().toUtf8()).object());
        out << w;
    }
    return out;
}

int MppsOutbox::waitingCount() { return int(waiting().size()); }

QStringList MppsOutbox::failures()
{
    QStringList out;
    Database db = Database::openData(m_paths);
    db.exec(QString::fromLatin1(CreateTable));
    QSqlQuery q = db.exec(QStringLiteral("SELECT Kind, StepUID, Problem FROM tblMppsOutbox"
                                         " WHERE Problem IS NOT NULL ORDER BY ID"));
    while (q.next())
        out << QStringLiteral("%1 %2: %3")
                   .arg(q.value(0).toString() == QLatin1String("create") ? QStringLiteral("N-CREATE")
                                                                         : QStringLiteral("N-SET"),
                        q.value(1).toString(), q.value(2).toString());
    return out;
}

int MppsOutbox::deliver(const Send &send)
{
    int sent = 0;
    for (const Waiting &w : waiting()) {
        const dicom::MppsSender::Result r = send(w);
        if (!r.answered)
            break; // the provider is away: this one and the rest wait, in order
        Database db = Database::openData(m_paths);
        if (r.ok() || alreadyDone(w.kind, r)) {
            db.exec(QStringLiteral("UPDATE tblMppsOutbox SET Sent = ?, Status = ? WHERE ID = ?"),
                    {DateText::now(), r.status, w.id});
            ++sent;
        } else {
            db.exec(QStringLiteral("UPDATE tblMppsOutbox SET Status = ?, Problem = ? WHERE ID = ?"),
                    {r.status, r.problem, w.id});
        }
    }
    return sent;
}

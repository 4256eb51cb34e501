#include "net/Destinations.h"
#include "core/AppError.h"
#include "core/Database.h"
#include "core/Station.h"

namespace {

// By alias as a person reads it: "archive" next to "Archive", not after every capital.
const char *const SelectAll = "SELECT ID, Alias, AET, IP, Port, \"Default\", DoseReports, StorageCommitment FROM "
                              "tblSCP ORDER BY LOWER(Alias), Alias, ID";

bool hasControl(const QString &s)
{
    for (QChar c : s)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    return false;
}

} // namespace

Destinations::Destinations(Station &station) : m_station(station) {}

std::vector<Destination> Destinations::list()
{
    std::vector<Destination> out;
    Database db = Database::openUser(m_station.paths());
    QSqlQuery q = db.exec(QString::fromLatin1(SelectAll));
    while (q.next()) {
        Destination d;
        d.id = q.value(0).toLongLong();
        d.alias = q.value(1).toString();
        d.aet = q.value(2).toString();
        d.ip = q.value(3).toString();
        d.port = q.value(4).toString();
        d.isDefault = std::abs(q.value(5).toLongLong()) == 1;
        d.doseReports = q.value(6).toLongLong() != 0;
        d.storageCommitment = q.value(7).toLongLong() != 0;
        out.push_back(d);
    }
    return out;
}

std::optional<Destination> Destinations::defaultDestination()
{
    std::optional<Destination> found;
    for (const Destination &d : list())
        if (d.isDefault)
            found = d;
    return found;
}

void Destinations::setDoseReports(qint64 id, bool on)
{
    Database db = Database::openUser(m_station.paths());
    db.exec(QStringLiteral("UPDATE tblSCP SET DoseReports = ? WHERE ID = ?"), {on ? 1 : 0, id});
}

void Destinations::setStorageCommitment(qint64 id, bool on)
{
    Database db = Database::openUser(m_station.paths());
    db.exec(QStringLiteral("UPDATE tblSCP SET StorageCommitment = ? WHERE ID = ?"), {on ? 1 : 0, id});
}

std::optional<Destination> Destinations::find(const PeerAddress &address)
{
    for (const Destination &d : list())
        if (d.aet == address.aet.trimmed() && d.ip == address.ip.trimmed() && d.port == address.port)
            return d;
    return std::nullopt;
}

std::vector<Destination> Destinations::doseRegistries()
{
    std::vector<Destination> out;
    for (const Destination &d : list())
        if (d.doseReports)
            out.push_back(d);
    return out;
}

QString Destinations::validate(const QString &alias, const QString &aet, const QString &ip, const QString &port)
{
    for (const QString &field : {alias, aet, ip, port})
        if (field.trimmed().isEmpty())
            return QStringLiteral("Please fill all text fields.");
    bool digits = port.size() <= 5;
    for (QChar c : port)
        digits = digits && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    if (!digits || port.toInt() < 1 || port.toInt() > 65535)
        return QStringLiteral("Not a valid port.");
    for (const QString &field : {alias, aet, ip, port})
        if (field.contains(Separator))
            return QStringLiteral("\"%1\" may not be part of a field.").arg(Separator);
    const QString a = aet.trimmed();
    if (a.size() > 16 || a.contains(QLatin1Char('\\')) || hasControl(a))
        return QStringLiteral("Not a valid AE title (at most 16 characters, no backslash).");
    if (ip.size() > 15 || hasControl(ip) || ip.trimmed().contains(QLatin1Char(' ')))
        return QStringLiteral("Not a valid IP address or host name.");
    if (hasControl(alias))
        return QStringLiteral("Not a valid alias.");
    return {};
}

qint64 Destinations::add(const QString &alias, const QString &aet, const QString &ip, const QString &port)
{
    const QString problem = validate(alias, aet, ip, port);
    if (!problem.isEmpty())
        throw AppError(ErrorNo::BadInput, problem);
    Database db = Database::openUser(m_station.paths());
    QSqlQuery q = db.exec(QStringLiteral("INSERT INTO tblSCP (Alias, AET, IP, Port) VALUES (?, ?, ?, ?)"),
                          {alias, aet.trimmed(), ip.trimmed(), port});
    return db.lastInsertId(q);
}

void Destinations::update(qint64 id, const QString &alias, const QString &aet, const QString &ip, const QString &port)
{
    const QString problem = validate(alias, aet, ip, port);
    if (!problem.isEmpty())
        throw AppError(ErrorNo::BadInput, problem);
    Database db = Database::openUser(m_station.paths());
    db.exec(QStringLiteral("UPDATE tblSCP SET Alias = ?, AET = ?, IP = ?, Port = ? WHERE ID = ?"),
            {alias, aet.trimmed(), ip.trimmed(), port, id});
}

void Destinations::remove(qint64 id)
{
    Database db = Database::openUser(m_station.paths());
    db.exec(QStringLiteral("DELETE FROM tblSCP WHERE ID = ?"), {id});
}

void Destinations::makeDefault(qint64 id)
{
    Database db = Database::openUser(m_station.paths());
    Transaction t(db, Transaction::Write);
    db.exec(QStringLiteral("UPDATE tblSCP SET \"Default\" = 0"));
    db.exec(QStringLiteral("UPDATE tblSCP SET \"Default\" = 1 WHERE ID = ?"), {id});
    t.commit();
}

QString Destinations::tag(const QString &aet, const QString &ip, const QString &port)
{
    return aet + Separator + ip + Separator + port;
}

PeerAddress Destinations::splitTag(const QString &tag)
{
    const QStringList parts = tag.split(Separator);
    PeerAddress p;
    p.aet = parts.value(0);
    p.ip = parts.value(1);
    p.port = parts.value(2);
    return p;
}

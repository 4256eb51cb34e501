#pragma once
#include "core/Settings.h"

#include <QString>
#include <optional>
#include <vector>

class Station;

// One storage destination, a row of tblSCP.
struct Destination {
    qint64 id = 0;
    QString alias;
    QString aet;
    QString ip;
    QString port;
    bool isDefault = false; // Default is 1 or -1
    // A dose registry: every dose report the station makes goes here as well.
    bool doseReports = false;
    // After a transfer the station asks it for storage commitment of what it accepted.
    bool storageCommitment = false;
    PeerAddress peer() const { return {ip, aet, port}; }
};

// The storage destinations in tblSCP of the user database: the list, adding, editing,
// deleting, the one default, and the tag a "Send to" entry carries.
class Destinations {
public:
    static inline const QString Separator = QStringLiteral("!++!");

    explicit Destinations(Station &station);

    // Every row, ordered by Alias. Throws AppError.
    std::vector<Destination> list();
    // The row marked default (the last in Alias order when several are), if any.
    std::optional<Destination> defaultDestination();

    // Add and Apply: the four texts as typed, checked first (AppError BadInput with the
    // validation text). Default is not touched. add returns the new row's ID.
    qint64 add(const QString &alias, const QString &aet, const QString &ip, const QString &port);
    void update(qint64 id, const QString &alias, const QString &aet, const QString &ip, const QString &port);
    void remove(qint64 id);
    // Marks a destination as a dose registry (or not).
    void setDoseReports(qint64 id, bool on);
    // The destinations marked so, in alias order.
    std::vector<Destination> doseRegistries();
    // Asks this destination for storage commitment after each transfer (or not).
    void setStorageCommitment(qint64 id, bool on);
    // The destination at this address, if one is listed.
    std::optional<Destination> find(const PeerAddress &address);
    // Makes exactly this row the default one.
    void makeDefault(qint64 id);

    // Why the four texts (Alias, AET, IP, Port) cannot be stored; empty when they can.
    // A field of blanks counts as empty; the separator of the menu tag is refused in
    // every field, since a reader of the tag would split there.
    static QString validate(const QString &alias, const QString &aet, const QString &ip, const QString &port);

    // AET + "!++!" + IP + "!++!" + Port.
    static QString tag(const QString &aet, const QString &ip, const QString &port);
    // Part 0 AE title, part 1 IP, part 2 port; missing parts are empty.
    static PeerAddress splitTag(const QString &tag);

private:
    Station &m_station;
};

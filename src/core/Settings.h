#pragma once
#include "core/SecuritySettings.h"

#include <QString>
#include <QtGlobal>

// A network peer as the settings hold it: IP, AE title, port.
struct PeerAddress {
    QString ip;
    QString aet;
    QString port;
};

// The site's shared database (PostgreSQL): the configuration of every room and the dose
// registry. No host: this station keeps everything in its own files. The password is never
// a setting: libpq takes it from the pass file (passFile, else ~/.pgpass) or PGPASSWORD.
struct SharedDbSettings {
    QString host;
    QString port;
    QString database;
    QString user;
    QString passFile;
    bool configured() const { return !host.trimmed().isEmpty(); }
    // "user@host:port/database", for messages.
    QString describe() const
    {
        return QStringLiteral("%1@%2:%3/%4")
            .arg(user.trimmed(), host.trimmed(), port.trimmed().isEmpty() ? QStringLiteral("5432") : port.trimmed(),
                 database.trimmed());
    }
    bool operator==(const SharedDbSettings &) const = default;
};

// The settings held in memory. A fresh start has every number 0 and every text empty;
// SettingsStore::load fills in the stored values or their defaults.
struct Settings {
    qint16 viewerRows = 0;
    qint16 viewerColumns = 0;
    qint16 imagesPerPage = 0; // rows x columns
    qint32 viewerBgColor = 0; // 0x00BBGGRR
    qint32 viewerFgColor = 0;
    // Mammograms hang 2 x 2 (R CC, L CC / R MLO, L MLO) whatever the grid says; View menu.
    qint16 mammoLayout = 0;
    // While an examination is open, the images that arrive for its patient are shown at
    // once (View menu "Live examination view").
    qint16 liveView = 0;
    qint16 editAndSend = 0;
    qint16 sentAndKeep = 0;
    qint16 autoWindow = 0;
    qint16 computeWindow = 0;
    QString customWidth;
    QString customCenter;
    qint32 stopService = 0;
    QString irAet;
    QString irPort;
    PeerAddress scp; // the current storage destination
    QString worklistLocalAet;
    PeerAddress worklist; // the worklist provider
    PeerAddress mpps;     // the MPPS provider (the RIS); empty AE title: no performed steps are sent
    qint16 comSpeed = 0;
    qint16 comParity = 0;
    qint16 comBitGet = 0;
    qint16 comBitPut = 0;
    qint16 comFlux = 0;
    qint16 comPort = 0;
    qint16 timeOutStart = 0;
    qint16 timeOutEnd = 0;
    QString comDevice; // a device path that takes precedence over the port number
    QString filterActive;
    qint16 debug = 0;
    qint16 xrayComm = 0; // 1 Sophie, 2 Giotto, 3 Lorad M4, 5 HFE 501
    // Written by the site's administrator into the settings file; the options never change it.
    SharedDbSettings registry;
    // Written by the site's administrator as well: TLS and the audit trail.
    SecuritySettings security;

    // Written by every export as the export dialog ended; the dialog does not read them
    // back, it starts from its own design values.
    struct Export {
        QString quality;   // the quality slider, "1" to "10"
        QString directory; // the export folder
        QString dicomDir;  // "0" or "1"
        QString compress;  // "0" or "1"
    } exportValues;
};

// The station's AE title as it names itself to peers and in its records (its room): the
// worklist's local AE title, else the receiver's.
inline QString stationAet(const Settings &s)
{
    const QString own = s.worklistLocalAet.trimmed();
    return own.isEmpty() ? s.irAet.trimmed() : own;
}

namespace XrayUnit {
constexpr qint16 Sophie = 1;
constexpr qint16 Giotto = 2;
constexpr qint16 LoradM4 = 3;
constexpr qint16 Hfe501 = 5;
} // namespace XrayUnit

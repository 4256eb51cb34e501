#pragma once
// A real worklist provider for tests on a free loopback port, serving worklist files
// written from dump text with dump2dcm: DCMTK's wlmscpfs (files in <folder>/<AE title>/),
// or Orthanc with its worklist plugin and a private configuration (files in <folder>/).
#include "TestStation.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

struct WorklistItem {
    QString name{};              // PN, "^"-separated
    QString patientId{};
    QString birthDate{};         // DA
    QString sex{};
    QString accession{};
    QString referring{};
    QString institution{};
    QString stationAet{};        // Scheduled Station AE Title
    QDate date = QDate::currentDate();
    QString time = QStringLiteral("090000");
    QString procedureCode{};     // empty: no Requested Procedure Code Sequence
};

class WorklistProvider {
public:
    enum Kind { Wlmscpfs, Orthanc };
    // The calling AE title the tests' stations use (Orthanc answers known callers only).
    static inline const QString Caller = QStringLiteral("MAMMO1");
    static QString kindName(Kind k) { return k == Orthanc ? QStringLiteral("Orthanc") : QStringLiteral("wlmscpfs"); }

    explicit WorklistProvider(Kind kind = Wlmscpfs, const QString &aet = QStringLiteral("WLPROVIDER"))
        : m_kind(kind), m_aet(aet)
    {
        QDir(m_dir.path()).mkpath(m_aet);
        QFile lock(folder() + QStringLiteral("/lockfile"));
        lock.open(QIODevice::WriteOnly);
    }
    ~WorklistProvider() { stop(); }

    QString aet() const { return m_aet; }
    quint16 port() const { return m_port; }
    QString folder() const { return m_dir.path() + QLatin1Char('/') + m_aet; }
    // What the provider printed (for failure messages).
    QString output() { return QString::fromLocal8Bit(m_proc.readAll()); }

    // Writes one worklist file; returns false when dump2dcm failed.
    bool add(const WorklistItem &w)
    {
        QString d;
        auto line = [&d](const QString &s) { d += s + QLatin1Char('\n'); };
        line(QStringLiteral("(0008,0005) CS [ISO_IR 100]"));
        line(QStringLiteral("(0008,0050) SH [%1]").arg(w.accession));
        line(QStringLiteral("(0008,0080) LO [%1]").arg(w.institution));
        line(QStringLiteral("(0008,0090) PN [%1]").arg(w.referring));
        line(QStringLiteral("(0010,0010) PN [%1]").arg(w.name));
        line(QStringLiteral("(0010,0020) LO [%1]").arg(w.patientId));
        line(QStringLiteral("(0010,0030) DA [%1]").arg(w.birthDate));
        line(QStringLiteral("(0010,0040) CS [%1]").arg(w.sex));
        line(QStringLiteral("(0020,000d) UI [1.2.826.0.1.3680043.2.1143.%1]").arg(++m_count));
        if (!w.procedureCode.isNull()) {
            line(QStringLiteral("(0032,1064) SQ (Sequence with undefined length #=1)"));
            line(QStringLiteral("(fffe,e000) na (Item with undefined length #=3)"));
            line(QStringLiteral("(0008,0100) SH [%1]").arg(w.procedureCode));
            line(QStringLiteral("(0008,0102) SH [LOCAL]"));
            line(QStringLiteral("(0008,0104) LO [Mammography]"));
            line(QStringLiteral("(fffe,e00d) na (ItemDelimitationItem)"));
            line(QStringLiteral("(fffe,e0dd) na (SequenceDelimitationItem)"));
        }
        line(QStringLiteral("(0040,0100) SQ (Sequence with undefined length #=1)"));
        line(QStringLiteral("(fffe,e000) na (Item with undefined length #=5)"));
        line(QStringLiteral("(0008,0060) CS [MG]"));
        line(QStringLiteral("(0040,0001) AE [%1]").arg(w.stationAet));
        line(QStringLiteral("(0040,0002) DA [%1]").arg(w.date.toString(QStringLiteral("yyyyMMdd"))));
        line(QStringLiteral("(0040,0003) TM [%1]").arg(w.time));
        line(QStringLiteral("(0040,0009) SH [SPS%1]").arg(m_count));
        line(QStringLiteral("(fffe,e00d) na (ItemDelimitationItem)"));
        line(QStringLiteral("(fffe,e0dd) na (SequenceDelimitationItem)"));
        line(QStringLiteral("(0040,1001) SH [RP%1]").arg(m_count));

        const QString dump = m_dir.path() + QStringLiteral("/item%1.dump").arg(m_count);
        QFile f(dump);
        if (!f.open(QIODevice::WriteOnly))
            return false;
        f.write(d.toLatin1());
        f.close();
        return QProcess::execute(QStringLiteral("dump2dcm"),
                                 {QStringLiteral("+te"), dump, folder() + QStringLiteral("/item%1.wl").arg(m_count)}) == 0;
    }

    // Starts the provider and waits until it accepts connections.
    bool start()
    {
        m_port = freeTcpPort();
        m_proc.setProcessChannelMode(QProcess::MergedChannels);
        if (m_kind == Orthanc) {
            // Its own storage, its own ports, loopback only, every caller allowed to ask.
            const QString config = m_dir.path() + QStringLiteral("/orthanc.json");
            QFile f(config);
            if (!f.open(QIODevice::WriteOnly))
                return false;
            const QString db = m_dir.path() + QStringLiteral("/orthanc-db");
            f.write(QStringLiteral(R"({ "Name": "test worklist provider", "StorageDirectory": "%1", "IndexDirectory": "%1",
  "DicomAet": "%2", "DicomPort": %3, "HttpPort": %4, "HttpServerEnabled": false,
  "RemoteAccessAllowed": false, "AuthenticationEnabled": false, "DicomCheckCalledAet": false,
  "DicomAlwaysAllowFind": true, "DicomCheckModalityHost": false,
  "DicomModalities": { "station": ["%6", "127.0.0.1", 104] },
  "Plugins": ["/usr/share/orthanc/plugins/libModalityWorklists.so"],
  "Worklists": { "Enable": true, "Database": "%5" } })")
                        .arg(db, m_aet)
                        .arg(m_port)
                        .arg(freeTcpPort())
                        .arg(folder(), Caller)
                        .toUtf8());
            f.close();
            m_proc.start(QStringLiteral("Orthanc"), {config});
        } else {
            m_proc.start(QStringLiteral("wlmscpfs"),
                         {QStringLiteral("-dfp"), m_dir.path(), QStringLiteral("-dfr"), QString::number(m_port)});
        }
        if (!m_proc.waitForStarted(5000))
            return false;
        for (int i = 0; i < 200; ++i) {
            QTcpSocket s;
            s.connectToHost(QStringLiteral("127.0.0.1"), m_port);
            if (s.waitForConnected(100))
                return true;
            QTest::qWait(50);
        }
        return false;
    }

    void stop()
    {
        if (m_proc.state() != QProcess::NotRunning) {
            m_proc.kill();
            m_proc.waitForFinished(3000);
        }
    }

    // Points the station's worklist settings at this provider.
    void configure(Settings &s, const QString &localAet) const
    {
        s.worklistLocalAet = localAet;
        s.worklist.aet = m_aet;
        s.worklist.ip = QStringLiteral("127.0.0.1");
        s.worklist.port = QString::number(m_port);
    }

private:
    Kind m_kind;
    QString m_aet;
    QTemporaryDir m_dir;
    QProcess m_proc;
    quint16 m_port = 0;
    int m_count = 0;
};

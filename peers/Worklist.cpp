#include "Worklist.h"
#include "Ports.h"

#include "core/Settings.h"
#include "dicom/Uid.h"

#include <QDir>
#include <QFile>

namespace peers {

namespace {

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size() && f.flush();
}

} // namespace

QString worklistDump(const WorklistItem &w, int n)
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
    line(QStringLiteral("(0020,000d) UI [%1]").arg(w.studyUid));
    if (!w.procedureDescription.isEmpty())
        line(QStringLiteral("(0032,1060) LO [%1]").arg(w.procedureDescription));
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
    const int stepAttributes = 5 + int(!w.stepDescription.isEmpty()) + int(!w.stationName.isEmpty());
    line(QStringLiteral("(fffe,e000) na (Item with undefined length #=%1)").arg(stepAttributes));
    line(QStringLiteral("(0008,0060) CS [MG]"));
    line(QStringLiteral("(0040,0001) AE [%1]").arg(w.stationAet));
    line(QStringLiteral("(0040,0002) DA [%1]").arg(w.date.toString(QStringLiteral("yyyyMMdd"))));
    line(QStringLiteral("(0040,0003) TM [%1]").arg(w.time));
    if (!w.stepDescription.isEmpty())
        line(QStringLiteral("(0040,0007) LO [%1]").arg(w.stepDescription));
    line(QStringLiteral("(0040,0009) SH [SPS%1]").arg(n));
    if (!w.stationName.isEmpty())
        line(QStringLiteral("(0040,0010) SH [%1]").arg(w.stationName));
    line(QStringLiteral("(fffe,e00d) na (ItemDelimitationItem)"));
    line(QStringLiteral("(fffe,e0dd) na (SequenceDelimitationItem)"));
    line(QStringLiteral("(0040,1001) SH [RP%1]").arg(n));
    return d;
}

WorklistProvider::WorklistProvider(Kind kind, const QString &aet, const QString &base)
    : m_kind(kind), m_aet(aet), m_base(base)
{
    if (m_base.isEmpty()) {
        m_own = std::make_unique<QTemporaryDir>();
        m_base = m_own->path();
    }
    QDir().mkpath(folder());
    // wlmscpfs serves a folder only when it holds a lock file.
    writeFile(folder() + QStringLiteral("/lockfile"), {});
}

WorklistProvider::~WorklistProvider() { stop(); }

bool WorklistProvider::add(WorklistItem &w, const QString &name)
{
    ++m_count;
    if (w.studyUid.isEmpty())
        w.studyUid = dicom::newUid();
    const QString base = folder() + QLatin1Char('/') + (name.isEmpty() ? QStringLiteral("item%1").arg(m_count) : name);
    return writeFile(base + QStringLiteral(".dump"), worklistDump(w, m_count).toLatin1())
           && QProcess::execute(QStringLiteral("dump2dcm"),
                                {QStringLiteral("+te"), base + QStringLiteral(".dump"), base + QStringLiteral(".wl")})
                  == 0;
}

bool WorklistProvider::add(const WorklistItem &item, const QString &name)
{
    WorklistItem copy = item;
    return add(copy, name);
}

void WorklistProvider::clear()
{
    QDir dir(folder());
    for (const QString &old : dir.entryList({QStringLiteral("*.wl"), QStringLiteral("*.dump")}, QDir::Files))
        dir.remove(old);
}

bool WorklistProvider::start()
{
    m_port = freePort();
    if (m_kind == Orthanc) {
        // Its own storage, its own ports, loopback only, the station allowed to ask.
        const QString config = m_base + QStringLiteral("/orthanc.json");
        const QString db = m_base + QStringLiteral("/orthanc-db");
        const QByteArray text =
            QStringLiteral(R"({ "Name": "worklist provider", "StorageDirectory": "%1", "IndexDirectory": "%1",
  "DicomAet": "%2", "DicomPort": %3, "HttpPort": %4, "HttpServerEnabled": false,
  "RemoteAccessAllowed": false, "AuthenticationEnabled": false, "DicomCheckCalledAet": false,
  "DicomAlwaysAllowFind": true, "DicomCheckModalityHost": false,
  "DicomModalities": { "station": ["%6", "127.0.0.1", 104] },
  "Plugins": ["/usr/share/orthanc/plugins/libModalityWorklists.so"],
  "Worklists": { "Enable": true, "Database": "%5" }%7 })")
                .arg(db, m_aet)
                .arg(m_port)
                .arg(freePort())
                .arg(folder(), m_caller)
                .arg(m_tls.isEmpty() ? QString()
                                     : QStringLiteral(R"(, "DicomTlsEnabled": true, "DicomTlsCertificate": "%1",
  "DicomTlsPrivateKey": "%2", "DicomTlsTrustedCertificates": "%3", "DicomTlsRemoteCertificateRequired": true)")
                                           .arg(m_tls.value(0), m_tls.value(1), m_tls.value(2)))
                .toUtf8();
        if (!writeFile(config, text) || !m_proc.start(QStringLiteral("Orthanc"), {config}))
            return false;
    } else if (!m_proc.start(QStringLiteral("wlmscpfs"),
                             {QStringLiteral("-dfp"), m_base, QStringLiteral("-dfr"), QString::number(m_port)})) {
        return false;
    }
    return waitForPort(m_port, 30000);
}

void WorklistProvider::configure(Settings &s, const QString &localAet) const
{
    s.worklistLocalAet = localAet;
    s.worklist.aet = m_aet;
    s.worklist.ip = QStringLiteral("127.0.0.1");
    s.worklist.port = QString::number(m_port);
}

} // namespace peers

#include "core/SettingsStore.h"

#include <QSettings>
#include <cmath>

namespace {
// The user's own settings, or the INI file named by CALVAREX_SETTINGS: a demo room or a
// second station on one account keeps its settings apart that way, and the companions,
// which inherit the environment, read the same ones.
std::unique_ptr<QSettings> userScope()
{
    const QString file = qEnvironmentVariable("CALVAREX_SETTINGS");
    if (!file.isEmpty())
        return std::make_unique<QSettings>(file, QSettings::IniFormat);
    return std::make_unique<QSettings>(QStringLiteral("Lumetra"), QStringLiteral("TqStation"));
}
} // namespace

SettingsStore::SettingsStore() : m_settings(userScope()) {}

SettingsStore::SettingsStore(const QString &iniFile)
    : m_settings(std::make_unique<QSettings>(iniFile, QSettings::IniFormat))
{
}

SettingsStore::~SettingsStore() = default;

QString SettingsStore::readValue(const QString &name, const QString &def) const
{
    const QVariant v = m_settings->value(name);
    const QString text = v.isValid() ? v.toString() : QString();
    return text.isEmpty() ? def : text;
}

bool SettingsStore::writeValue(const QString &name, const QString &value)
{
    m_settings->setValue(name, value);
    m_settings->sync();
    return m_settings->status() == QSettings::NoError;
}

namespace {

// Hex (&H..) and octal (&O..) literals, with an optional closing "&" or "&" type mark.
std::optional<qint64> parseBasedLiteral(QString t, bool *wasHex)
{
    *wasHex = false;
    if (!t.startsWith(QLatin1Char('&')) || t.size() < 3)
        return std::nullopt;
    const QChar kind = t.at(1).toUpper();
    int base = 0;
    if (kind == QLatin1Char('H'))
        base = 16;
    else if (kind == QLatin1Char('O'))
        base = 8;
    else
        return std::nullopt;
    t = t.mid(2);
    if (t.endsWith(QLatin1Char('&')))
        t.chop(1);
    if (t.isEmpty() || t.size() > (base == 16 ? 8 : 11))
        return std::nullopt;
    bool ok = false;
    const quint64 v = t.toULongLong(&ok, base);
    if (!ok || v > 0xFFFFFFFFull)
        return std::nullopt;
    *wasHex = true;
    return static_cast<qint64>(v);
}

// A decimal number rounded to the nearest whole number, halves to even.
std::optional<qint64> parseDecimal(const QString &t)
{
    bool ok = false;
    const double d = t.toDouble(&ok);
    if (!ok || !std::isfinite(d) || std::fabs(d) > 9.2e18)
        return std::nullopt;
    return static_cast<qint64>(std::nearbyint(d));
}

template <typename T> std::optional<T> toInt(const QString &text)
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        return std::nullopt;
    bool hex = false;
    if (auto v = parseBasedLiteral(t, &hex)) {
        // Hex literals wrap to the signed type of their width (&HFFFF& is -1 for 16 bits).
        if constexpr (sizeof(T) == 2) {
            if (*v > 0xFFFF)
                return std::nullopt;
            return static_cast<T>(static_cast<quint16>(*v));
        } else {
            return static_cast<T>(static_cast<quint32>(*v));
        }
    }
    const auto d = parseDecimal(t);
    if (!d || *d < std::numeric_limits<T>::min() || *d > std::numeric_limits<T>::max())
        return std::nullopt;
    return static_cast<T>(*d);
}

template <typename T> void readInto(const SettingsStore &st, const QString &name, const QString &def, T &var,
                                    std::optional<T> (*conv)(const QString &))
{
    if (auto v = conv(st.readValue(name, def)))
        var = *v;
}

} // namespace

std::optional<qint16> SettingsStore::toInt16(const QString &text) { return toInt<qint16>(text); }
std::optional<qint32> SettingsStore::toInt32(const QString &text) { return toInt<qint32>(text); }
std::optional<qint32> SettingsStore::toColour(const QString &text) { return toInt<qint32>(text); }

void SettingsStore::load(Settings &s) const
{
    readInto(*this, QStringLiteral("General/Viewer_Rows"), QStringLiteral("7"), s.viewerRows, &toInt16);
    readInto(*this, QStringLiteral("General/Viewer_Columns"), QStringLiteral("3"), s.viewerColumns, &toInt16);
    s.imagesPerPage = static_cast<qint16>(s.viewerRows * s.viewerColumns);
    readInto(*this, QStringLiteral("General/Viewer_bgColor"), QStringLiteral("&H00000000&"), s.viewerBgColor,
             &toColour);
    readInto(*this, QStringLiteral("General/Viewer_fgColor"), QStringLiteral("&H00C0FFFF&"), s.viewerFgColor,
             &toColour);
    readInto(*this, QStringLiteral("General/MammoLayout"), QStringLiteral("1"), s.mammoLayout, &toInt16);
    readInto(*this, QStringLiteral("General/LiveView"), QStringLiteral("1"), s.liveView, &toInt16);
    readInto(*this, QStringLiteral("General/EditAndSend"), QStringLiteral("0"), s.editAndSend, &toInt16);
    readInto(*this, QStringLiteral("General/SentAndKeep"), QStringLiteral("1"), s.sentAndKeep, &toInt16);
    readInto(*this, QStringLiteral("General/AutoWindow"), QStringLiteral("0"), s.autoWindow, &toInt16);
    readInto(*this, QStringLiteral("General/ComputeWindow"), QStringLiteral("0"), s.computeWindow, &toInt16);
    s.customWidth = readValue(QStringLiteral("General/CustomWidth"), QStringLiteral("0"));
    s.customCenter = readValue(QStringLiteral("General/CustomCenter"), QStringLiteral("0"));
    readInto(*this, QStringLiteral("General/StopService"), QStringLiteral("0"), s.stopService, &toInt32);
    s.irAet = readValue(QStringLiteral("Com/IR_AET"), QStringLiteral("TqStation"));
    s.irPort = readValue(QStringLiteral("Com/IR_Port"), QStringLiteral("105"));
    s.scp.aet = readValue(QStringLiteral("Com/SCP_AET"), {});
    s.scp.ip = readValue(QStringLiteral("Com/SCP_IP"), {});
    s.scp.port = readValue(QStringLiteral("Com/SCP_Port"), {});
    s.worklistLocalAet = readValue(QStringLiteral("Worklist/LocalAET"), {});
    s.worklist.aet = readValue(QStringLiteral("Worklist/RemoteAET"), {});
    s.worklist.ip = readValue(QStringLiteral("Worklist/RemoteIP"), {});
    s.worklist.port = readValue(QStringLiteral("Worklist/RemotePort"), {});
    s.mpps.aet = readValue(QStringLiteral("Mpps/RemoteAET"), {});
    s.mpps.ip = readValue(QStringLiteral("Mpps/RemoteIP"), {});
    s.mpps.port = readValue(QStringLiteral("Mpps/RemotePort"), {});
    readInto(*this, QStringLiteral("ComPort/Speed"), QStringLiteral("5"), s.comSpeed, &toInt16);
    readInto(*this, QStringLiteral("ComPort/Parity"), QStringLiteral("2"), s.comParity, &toInt16);
    readInto(*this, QStringLiteral("ComPort/Bit_Get"), QStringLiteral("4"), s.comBitGet, &toInt16);
    readInto(*this, QStringLiteral("ComPort/Bit_Put"), QStringLiteral("0"), s.comBitPut, &toInt16);
    readInto(*this, QStringLiteral("ComPort/Flux"), QStringLiteral("0"), s.comFlux, &toInt16);
    readInto(*this, QStringLiteral("ComPort/Port"), QStringLiteral("1"), s.comPort, &toInt16);
    readInto(*this, QStringLiteral("ComPort/Time_Out_Start"), QStringLiteral("5"), s.timeOutStart, &toInt16);
    readInto(*this, QStringLiteral("ComPort/Time_Out_End"), QStringLiteral("5"), s.timeOutEnd, &toInt16);
    s.comDevice = readValue(QStringLiteral("ComPort/Device"), {});
    s.filterActive = readValue(QStringLiteral("Filter/Active"), {});
    readInto(*this, QStringLiteral("General/Debug"), QString(), s.debug, &toInt16);
    readInto(*this, QStringLiteral("General/XrayComm"), QStringLiteral("1"), s.xrayComm, &toInt16);
    s.registry.host = readValue(QStringLiteral("Registry/Host"), {}).trimmed();
    s.registry.port = readValue(QStringLiteral("Registry/Port"), {}).trimmed();
    s.registry.database = readValue(QStringLiteral("Registry/Database"), QStringLiteral("calvarex")).trimmed();
    s.registry.user = readValue(QStringLiteral("Registry/User"), QStringLiteral("calvarex")).trimmed();
    s.registry.passFile = readValue(QStringLiteral("Registry/PassFile"), {}).trimmed();
    s.security = SecuritySettings::read(*this);
}

QStringList SettingsStore::saveOrder()
{
    return {QStringLiteral("General/Debug"),
            QStringLiteral("General/Viewer_Rows"),
            QStringLiteral("General/Viewer_Columns"),
            QStringLiteral("General/Viewer_bgColor"),
            QStringLiteral("General/Viewer_fgColor"),
            QStringLiteral("General/EditAndSend"),
            QStringLiteral("General/SentAndKeep"),
            QStringLiteral("General/AutoWindow"),
            QStringLiteral("General/ComputeWindow"),
            QStringLiteral("General/CustomWidth"),
            QStringLiteral("General/CustomCenter"),
            QStringLiteral("General/StopService"),
            QStringLiteral("General/XrayComm"),
            QStringLiteral("Com/IR_AET"),
            QStringLiteral("Com/IR_Port"),
            QStringLiteral("Com/SCP_AET"),
            QStringLiteral("Com/SCP_IP"),
            QStringLiteral("Com/SCP_Port"),
            QStringLiteral("Worklist/LocalAET"),
            QStringLiteral("Worklist/RemoteAET"),
            QStringLiteral("Worklist/RemoteIP"),
            QStringLiteral("Worklist/RemotePort"),
            QStringLiteral("Mpps/RemoteAET"),
            QStringLiteral("Mpps/RemoteIP"),
            QStringLiteral("Mpps/RemotePort"),
            QStringLiteral("ComPort/Speed"),
            QStringLiteral("ComPort/Parity"),
            QStringLiteral("ComPort/Bit_Get"),
            QStringLiteral("ComPort/Bit_Put"),
            QStringLiteral("ComPort/Flux"),
            QStringLiteral("ComPort/Port"),
            QStringLiteral("ComPort/Time_Out_Start"),
            QStringLiteral("ComPort/Time_Out_End"),
            QStringLiteral("ComPort/Device"),
            QStringLiteral("Filter/Active")};
}

void SettingsStore::save(const Settings &s)
{
    const auto n = [](qint64 v) { return QString::number(v); };
    const QStringList values = {n(s.debug),         n(s.viewerRows),  n(s.viewerColumns), n(s.viewerBgColor),
                                n(s.viewerFgColor), n(s.editAndSend), n(s.sentAndKeep),   n(s.autoWindow),
                                n(s.computeWindow), s.customWidth,    s.customCenter,     n(s.stopService),
                                n(s.xrayComm),      s.irAet,          s.irPort,           s.scp.aet,
                                s.scp.ip,           s.scp.port,       s.worklistLocalAet, s.worklist.aet,
                                s.worklist.ip,      s.worklist.port,  s.mpps.aet,         s.mpps.ip,
                                s.mpps.port,        n(s.comSpeed),    n(s.comParity),     n(s.comBitGet),
                                n(s.comBitPut),     n(s.comFlux),     n(s.comPort),       n(s.timeOutStart),
                                n(s.timeOutEnd),    s.comDevice,      s.filterActive};
    const QStringList names = saveOrder();
    for (int i = 0; i < names.size(); ++i)
        m_settings->setValue(names[i], values[i]);
    m_settings->sync();
}

bool SettingsStore::saveExport(const Settings::Export &e)
{
    m_settings->setValue(QStringLiteral("Export/Quality"), e.quality);
    m_settings->setValue(QStringLiteral("Export/Directory"), e.directory);
    m_settings->setValue(QStringLiteral("Export/DicomDir"), e.dicomDir);
    m_settings->setValue(QStringLiteral("Export/Compress"), e.compress);
    m_settings->sync();
    return m_settings->status() == QSettings::NoError;
}

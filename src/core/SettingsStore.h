#pragma once
#include "core/Settings.h"

#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

class QSettings;

// The persistent settings: string values under "Lumetra/TqStation" (on Windows the
// registry key HKCU\Software\Lumetra\TqStation, on Linux an INI file in the user's
// config folder). Value names are "Group/Name". Every value is stored as text.
class SettingsStore {
public:
    // The user's own store (or the INI file named by CALVAREX_SETTINGS).
    SettingsStore();
    // A store in the given INI file (tests, and a station that keeps its own file).
    explicit SettingsStore(const QString &iniFile);
    ~SettingsStore();

    // The stored text, or def when the value is missing or empty. Never throws.
    QString readValue(const QString &name, const QString &def) const;
    // Writes text; false when the store could not be written.
    bool writeValue(const QString &name, const QString &value);

    // The read pass: every value in its order; a value whose text does not convert
    // leaves the variable as it was.
    void load(Settings &s) const;
    // The save pass, in its fixed order.
    void save(const Settings &s);

    // Writes the four "Export" values; false when the store could not be written.
    bool saveExport(const Settings::Export &e);

    // The names written by save(), in order.
    static QStringList saveOrder();

    // Text-to-number conversions as the stored texts need them.
    static std::optional<qint16> toInt16(const QString &text);
    static std::optional<qint32> toInt32(const QString &text);
    // Accepts decimal and the "&H00C0FFFF&" form.
    static std::optional<qint32> toColour(const QString &text);

private:
    std::unique_ptr<QSettings> m_settings;
};

#include "core/Station.h"
#include "core/AppError.h"
#include "core/Database.h"

Station::Station(const QString &appPath, std::unique_ptr<SettingsStore> store, Prompter &prompter)
    : m_paths(appPath), m_log(m_paths.logsDir()), m_store(std::move(store)), m_prompter(&prompter)
{
    if (!m_store)
        m_store = std::make_unique<SettingsStore>();
}

void Station::loadSettings()
{
    m_store->load(m_settings);
    const SharedDbSettings &want = m_settings.registry;
    const SharedDatabase *have = m_paths.shared();
    if (!want.configured())
        m_paths.setShared(nullptr);
    else if (!have || !(have->settings() == want))
        m_paths.setShared(std::make_shared<SharedDatabase>(want));
}

void Station::logError(const AppError &e, const QString &procedure) const
{
    m_log.writeError(e.number(), e.description(), procedure);
}

void Station::logError(const std::exception &e, const QString &procedure) const
{
    const ErrorParts p = errorParts(e);
    m_log.writeError(p.number, p.text, procedure);
}

void Station::logError(long number, const QString &description, const QString &procedure) const
{
    m_log.writeError(number, description, procedure);
}

void Station::showError(const std::exception &e, const QString &procedure)
{
    logError(e, procedure);
    m_prompter->message(errorMessage(e), MsgIcon::Critical);
}

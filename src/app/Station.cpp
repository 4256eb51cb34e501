#include "app/Station.h"
#include "app/AppError.h"

Station::Station(const QString &appPath, std::unique_ptr<SettingsStore> store, Prompter &prompter)
    : m_paths(appPath), m_log(m_paths.logsDir()), m_store(std::move(store)), m_prompter(&prompter)
{
    if (!m_store)
        m_store = std::make_unique<SettingsStore>();
}

void Station::logError(const AppError &e, const QString &procedure) const
{
    m_log.writeError(e.number(), e.description(), procedure);
}

void Station::logError(const std::exception &e, const QString &procedure) const
{
    if (auto *ae = dynamic_cast<const AppError *>(&e))
        logError(*ae, procedure);
    else
        m_log.writeError(ErrorNo::General, QString::fromLocal8Bit(e.what()), procedure);
}

void Station::logError(long number, const QString &description, const QString &procedure) const
{
    m_log.writeError(number, description, procedure);
}

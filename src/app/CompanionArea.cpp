#include "app/CompanionArea.h"
#include "core/Companions.h"
#include "core/Station.h"
#include "ui/MainHooks.h"

CompanionArea::CompanionArea(Station &station, MainHooks &hooks, QObject *parent) : QObject(parent), m_station(station)
{
    hooks.startCompanions.push_back([this] { startCompanions(); });
    hooks.stopCompanions.push_back([this] { stopCompanions(); });
}

void CompanionArea::startCompanions()
{
    try {
        Companions::startAtStartup(m_station);
    } catch (const std::exception &e) {
        m_station.logError(e, QStringLiteral("Mainform Form_Load"));
    }
}

void CompanionArea::stopCompanions()
{
    try {
        Companions::StopReceiver(m_station);
        Companions::StopDataManager(m_station);
    } catch (const std::exception &e) {
        m_station.logError(e, QStringLiteral("MainForm mnuDateiBeenden_Click"));
    }
}

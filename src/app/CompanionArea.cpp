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
    m_station.trap(QStringLiteral("Mainform Form_Load"), [&] { Companions::startAtStartup(m_station); });
}

void CompanionArea::stopCompanions()
{
    m_station.trap(QStringLiteral("MainForm mnuDateiBeenden_Click"), [&] {
        Companions::StopReceiver(m_station);
        Companions::StopDataManager(m_station);
    });
}

#pragma once
#include <QObject>

class Station;
struct MainHooks;

// Starts the companion programs when the main window loads and stops them at the end of
// the program (the main window calls that step only when General\StopService is 1).
class CompanionArea : public QObject {
    Q_OBJECT
public:
    CompanionArea(Station &station, MainHooks &hooks, QObject *parent = nullptr);

    void startCompanions();
    void stopCompanions();

private:
    Station &m_station;
};

#pragma once
#include "core/StartupChecks.h"

#include <QObject>
#include <QPointer>
#include <memory>

class Station;
class SplashForm;
class MainForm;
class OptionForm;

// The start of the program: splash, screen check, one instance, hidden load of the main
// window, the Options dialog, then the main window.
class Startup : public QObject {
    Q_OBJECT
public:
    explicit Startup(Station &station, QObject *parent = nullptr);
    ~Startup() override;

    // Shows the splash and checks the screen; false when the program must end.
    bool begin();

    MainForm *mainForm() const { return m_main; }

private:
    void splashTimer();
    void openOptions(bool atStart);

    Station &m_station;
    SplashForm *m_splash = nullptr;
    MainForm *m_main = nullptr;
    std::unique_ptr<StartupChecks::InstanceLock> m_lock;
};

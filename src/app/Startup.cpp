#include "app/Startup.h"
#include "app/MainForm.h"
#include "app/OptionsPages.h"
#include "app/SplashForm.h"
#include "core/Station.h"
#include "core/StationPaths.h"
#include "core/Version.h"
#include "dialogs/OptionForm.h"

#include <QApplication>
#include <QScreen>
#include <QTimer>

Startup::Startup(Station &station, QObject *parent) : QObject(parent), m_station(station) {}

Startup::~Startup()
{
    delete m_main;
    delete m_splash;
}

bool Startup::begin()
{
    m_splash = new SplashForm(StationPaths::resourceDir() + QStringLiteral("/Viewer.bmp"));
    m_splash->show();
    m_splash->adjustSize();
    if (QScreen *screen = QGuiApplication::primaryScreen()) {
        m_splash->move(screen->geometry().center() - m_splash->rect().center());
        if (!StartupChecks::screenLargeEnough(screen->size())) {
            m_station.prompter().message(StartupChecks::screenTooSmallText(), MsgIcon::None, Version::ProductName);
            return false;
        }
    }
    // A click on the frame before the first tick ends the program.
    connect(m_splash, &SplashForm::frameClicked, this, [this] {
        m_splash->timer()->stop();
        m_splash->close();
        QCoreApplication::quit();
    });
    connect(m_splash->timer(), &QTimer::timeout, this, &Startup::splashTimer);
    m_splash->timer()->start();
    return true;
}

void Startup::splashTimer()
{
    try {
        if (const QString problem = StartupChecks::stationFolderProblem(m_station.paths().appPath());
            !problem.isEmpty()) {
            m_station.prompter().message(problem, MsgIcon::Critical, Version::ProductName);
            m_splash->close();
            QCoreApplication::exit(1);
            return;
        }
        m_lock = std::make_unique<StartupChecks::InstanceLock>(m_station.paths().appPath());
        if (!m_lock->acquired()) {
            m_station.prompter().message(StartupChecks::secondInstanceText(), MsgIcon::Information,
                                         Version::ProductName);
            m_splash->close();
            QCoreApplication::quit();
            return;
        }
        QApplication::setOverrideCursor(Qt::WaitCursor);
        m_splash->hide();
        m_main = new MainForm(m_station);
        connect(m_main, &MainForm::optionsRequested, this, [this] { openOptions(false); });
        m_main->formLoad();
        QApplication::restoreOverrideCursor();
        openOptions(true);
        m_splash->close();
    } catch (const std::exception &e) {
        QApplication::restoreOverrideCursor();
        m_station.logError(e, QStringLiteral("Splash_Timer"));
        if (m_main)
            m_main->show();
    }
}

void Startup::openOptions(bool atStart)
{
    auto *dlg = new OptionForm(m_station, stationOptionsPages(), atStart ? nullptr : m_main);
    dlg->setAttribute(Qt::WA_DeleteOnClose);
    // A unit option takes effect at once: "Get Dose Product" follows it.
    connect(dlg, &OptionForm::unitTypeChanged, m_main, &MainForm::applyUnitType);
    connect(dlg, &OptionForm::saved, m_main, [this] {
        m_main->applyUnitType();
        m_main->applyDebugMode();
        m_main->settingsSaved();
    });
    // OK and Cancel both show the main window: Cancel at start-up used to leave the
    // program running without any window.
    connect(dlg, &QDialog::finished, m_main, [this] {
        if (!m_main->hasExited()) {
            // Filters are activated and deleted at once, also before Cancel.
            MainHooks::run(m_main->hooks().optionsClosed);
            if (!m_main->isVisible()) {
                // Fill the screen also where no window manager maximises windows.
                if (QScreen *screen = m_main->screen())
                    m_main->setGeometry(screen->availableGeometry());
                m_main->showMaximized();
            }
            m_main->raise();
            m_main->activateWindow();
        }
    });
    if (atStart) {
        dlg->show();
    } else {
        dlg->setModal(true);
        dlg->open();
    }
}

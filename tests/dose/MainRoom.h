#pragma once
// The real main window of a station whose serial line is a pseudo-terminal, for the
// capture tests that go through the whole window.
#include "CaptureTestKit.h"

#include "app/MainForm.h"

#include <QApplication>
#include <QLabel>
#include <QTest>

#include <memory>

// The station's settings for an HFE 501 on the pseudo-terminal.
inline void useHfeOn(Station &s, const PtyPair &pty)
{
    s.settings().comDevice = pty.slavePath();
    s.settings().xrayComm = XrayUnit::Hfe501;
    s.settings().debug = 0;
    s.saveSettings();
}

// The main window, loaded without companion processes, active, with patient 4711
// (SMITH, ANN) taken from the worklist.
struct MainRoom {
    Station &station;
    std::unique_ptr<MainForm> form;
    explicit MainRoom(Station &s) : station(s) { open(); }
    ~MainRoom()
    {
        if (form && !form->hasExited())
            form->exitProgram();
    }
    void open()
    {
        form = std::make_unique<MainForm>(station);
        form->hooks().startCompanions.clear();
        form->formLoad();
        form->show();
        form->activateWindow();
        QApplication::setActiveWindow(form.get());
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        applyWorklistPatient(form->doseState(), "4711", "ANN", "SMITH", "1960-12-31");
    }
    void restart()
    {
        form->exitProgram();
        form.reset();
        open();
    }
    QLabel *label(const char *name) const { return form->findChild<QLabel *>(QString::fromLatin1(name)); }
};

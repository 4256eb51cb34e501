// The subsystem areas of the main window. Each area is a QObject child of the window,
// built on the shared widgets and hooks; MainForm itself only lays out and runs the
// lifecycle.
#include "app/MainForm.h"
#include "app/CompanionArea.h"
#include "dose/DoseCaptureArea.h"
#include "dose/DoseListArea.h"
#include "store/BrowserArea.h"

void MainForm::buildAreas()
{
    new BrowserArea(m_station, m_widgets, m_hooks, this);
    new CompanionArea(m_station, m_widgets, m_hooks, this);
    new DoseCaptureArea(m_station, m_widgets, m_hooks, m_dose, this);
    new DoseListArea(m_station, m_widgets, m_hooks, m_dose, this);
}

// Panels of the Options dialog that belong to other subsystems (companion control,
// storage destinations, filters) are built here on the dialog's named controls.
#include "dialogs/OptionForm.h"
#include "dialogs/CompanionPanel.h"
#include "dialogs/FilterPanel.h"
#include "dialogs/ScpPanel.h"

void OptionForm::buildPanels()
{
    new CompanionPanel(m_station, this);
    new FilterPanel(m_station, m_filterPage);
    new ScpPanel(m_station, m_scpFrame);
}

#include "app/OptionsPages.h"
#include "dialogs/GeneralPage.h"
#include "dose/CommPortPage.h"
#include "edit/FilterPage.h"
#include "net/CommunicationPage.h"
#include "net/WorklistPage.h"

std::vector<OptionsPageFactory> stationOptionsPages()
{
    return {
        [](Station &s) -> OptionsPage * { return new GeneralPage(s); },
        [](Station &s) -> OptionsPage * { return new CommunicationPage(s); },
        [](Station &s) -> OptionsPage * { return new FilterPage(s); },
        [](Station &s) -> OptionsPage * { return new CommPortPage(s); },
        [](Station &) -> OptionsPage * { return new WorklistPage; },
    };
}

#pragma once
#include "ui/OptionsPage.h"

#include <vector>

// The Options dialog's pages, in tab order, as the subsystems contribute them.
std::vector<OptionsPageFactory> stationOptionsPages();

#pragma once
// A real worklist provider for tests on a free loopback port (wlmscpfs or Orthanc with
// its worklist plugin), from peers/.
#include "TestStation.h"
#include "core/Settings.h"
#include "peers/Worklist.h"

using peers::WorklistItem;
using peers::WorklistProvider;

#pragma once
// The X-ray unit simulator (tools/xray-sim) as a process the tests drive.
#include "TestStation.h"
#include "Wait.h"
#include "peers/XraySim.h"

// The simulator from the tests' executable folder.
class XraySim : public peers::XraySim {
public:
    XraySim() : peers::XraySim(binDir()) {}
};

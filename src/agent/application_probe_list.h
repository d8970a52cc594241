// The applications being brought online, one probe each. One per process (startedProbes()).
#pragma once

#include "interfaces/sync.h"

class applicationProbeList {
public:
    applicationProbeList() = default;

private:
    vorpane::Mutex _lock;
};

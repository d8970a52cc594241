// The framework table managers of every attribute group's table. One per process (tableManagers()).
#pragma once

#include "interfaces/sync.h"

class tableManagerList {
public:
    tableManagerList() = default;

private:
    vorpane::Mutex _lock;
};

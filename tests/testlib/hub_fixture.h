// A real hub (DCHserver) in the test process on a port of its own, with its ready handshake done.
#pragma once

#include <memory>
#include <string>

#include "agent/va_limits.h"
#include "hub/dch_server.h"
#include "interfaces/support.h"
#include "testlib/hub_test_client.h"
#include "testlib/scoped_env.h"

namespace vorpane::testing {

class TestHub {
public:
    explicit TestHub(double speedup = 100);
    ~TestHub();

    int port() const { return _port; }
    DCHserver& server() { return *_hub; }
    bool ready() const { return _ready; }

private:
    int _port;
    ScopedSpeedup _speedup;
    ScopedEnv _portKey;
    std::unique_ptr<DCHserver> _hub;
    bool _ready = false;
};

}  // namespace vorpane::testing

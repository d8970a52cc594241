#include "testlib/hub_fixture.h"

namespace vorpane::testing {

TestHub::TestHub(double speedup)
    : _port(freeHubPort()), _speedup(speedup), _portKey("ZOTA_DCH_PORT", std::to_string(_port)) {
    ZOTA_SetInstanceName(nullptr);
    ipcSock::resetEnvForTest();
    setVaLimits(VA_LIMITS{});
    _hub = std::make_unique<DCHserver>();
    Mutex& lock = *_hub->readyLock();
    ScopedLock g(lock);
    _ready = _hub->readyCond()->waitUntil(lock, 60, [&]() VA_NO_THREAD_SAFETY_ANALYSIS { return _hub->readyState() != 0; });
}

TestHub::~TestHub() { _hub.reset(); }

}  // namespace vorpane::testing

// The results of the actions the agent forwards to providers, through one hub connection for the
// whole process.
//
// The hub sends every action result to every collector waiting for results. The agent parks one
// such waiter on a connection of its own and hands each result to the caller waiting for that
// action ID, so an action waiting for its provider holds no connection of its own: the hub's 64
// connections belong to providers, and a provider that never answers would otherwise keep one busy
// for the whole wait.
//
// Threads: any number of callers (the framework's threads running VA_Action); one reader thread
// per connection, which ends when its connection does. The connection is made at the first expect
// and again after it was lost or the hub moved (another ZOTA_DCH_PORT).
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>

#include "interfaces/dch_client.h"
#include "interfaces/sync.h"

namespace vorpane::action {

class ActionResults {
  public:
    static ActionResults& instance();

    // Announces the wait for actionID; call before the action is handed to the hub, so that no
    // result can come first. 0, or the client's failure (the hub cannot be reached).
    int expect(int32_t actionID);
    // Waits at most `seconds` (clock time) for the result of an expected action and forgets it.
    // status 1 (not known) when none came in time or the connection was lost meanwhile.
    DCactionResults wait(int32_t actionID, double seconds);
    // Forgets an expected action that was not handed over after all.
    void forget(int32_t actionID);

  private:
    struct Pending {
        DCactionResults results;
        uint64_t generation = 0;  // of the connection that waits for it
    };

    int connectLocked() VA_REQUIRES(_lock);
    void read(std::shared_ptr<HubConnection> connection, uint64_t generation);

    Mutex _lock;
    CondVar _changed;
    std::unordered_map<int32_t, Pending> _pending VA_GUARDED_BY(_lock);
    std::shared_ptr<HubConnection> _connection VA_GUARDED_BY(_lock);
    HubOptions _options VA_GUARDED_BY(_lock);
    uint64_t _generation VA_GUARDED_BY(_lock) = 0;
    uint64_t _lostGeneration VA_GUARDED_BY(_lock) = 0;  // the last connection whose reader ended
};

}  // namespace vorpane::action

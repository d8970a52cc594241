#include "agent/action_results.h"

#include <algorithm>

#include "interfaces/support.h"
#include "interfaces/trace.h"

namespace vorpane::action {

namespace {

constexpr int32_t kNoAction = 0;  // the ID the results waiter is parked with: never an action's

// A result message: the text field, then the action's ID and status. False for anything else (the
// status reply that parks the waiter, or a text without ID from an older hub).
bool readResult(const HubMessage& message, int32_t* actionID, DCactionResults* results) {
    dch::FieldReader reader = message.fields();
    const dch::FieldReader::Field text = reader.next();
    if (text.type != DCH_status || text.length == 4) {
        return false;
    }
    const dch::FieldReader::Field id = reader.next();
    const dch::FieldReader::Field status = reader.next();
    if (id.type != DCH_actionID || !id.int32(actionID) || status.type != DCH_status ||
        !status.int32(&results->status)) {
        return false;
    }
    results->resultText.assign(text.cText());
    results->resultArrived = true;
    return true;
}

}  // namespace

ActionResults& ActionResults::instance() {
    static ActionResults* results = new ActionResults();  // its reader threads may outlive main
    return *results;
}

int ActionResults::connectLocked() {
    const HubOptions options = HubOptions::fromEnvironment();
    if (_connection && _lostGeneration != _generation && options.address == _options.address &&
        options.port == _options.port) {
        return DCH_CLIENT_OK;
    }
    if (_connection) {
        _connection->close();  // a hub that moved: its reader ends
    }
    auto connection = std::make_shared<HubConnection>();
    int rc = connection->connect(options);
    if (rc == DCH_CLIENT_OK) {
        // Parked for good: the hub sends this waiter every result from now on.
        dch::MessageBuilder m;
        m.request(DCH_dc_waitForActionResults).int32(DCH_actionID, kNoAction);
        std::vector<HubMessage> replies;
        rc = connection->request(m, &replies);
    }
    if (rc != DCH_CLIENT_OK) {
        VA_ERROR("Error: the action results connection to the hub failed: %s\n", DCH_clientResultText(rc));
        _connection.reset();
        return rc;
    }
    _connection = connection;
    _options = options;
    const uint64_t generation = ++_generation;
    rc = ZOT0_CreateThread([this, connection, generation] { read(connection, generation); }, 1, nullptr,
                           "action-results");
    if (rc != 0) {
        VA_ERROR("Error: action results thread failed creation: errno=%d\n", rc);
        connection->close();
        _connection.reset();
        return DCH_CLIENT_IO;
    }
    VA_STATE("Waiting for action results on one hub connection\n");
    return DCH_CLIENT_OK;
}

void ActionResults::read(std::shared_ptr<HubConnection> connection, uint64_t generation) {
    for (;;) {
        HubMessage message;
        const int rc = connection->receive(HubConnection::Expect::any, &message, -1);
        if (rc == DCH_CLIENT_TIMEOUT || rc == DCH_CLIENT_PROTOCOL) {
            continue;
        }
        if (rc != DCH_CLIENT_OK) {
            break;
        }
        int32_t actionID = 0;
        DCactionResults results;
        if (!readResult(message, &actionID, &results)) {
            continue;
        }
        ScopedLock guard(_lock);
        if (auto it = _pending.find(actionID); it != _pending.end()) {
            it->second.results = std::move(results);
            _changed.broadcast();
        }
    }
    // The results of the actions this connection waited for cannot come any more.
    ScopedLock guard(_lock);
    _lostGeneration = std::max(_lostGeneration, generation);
    _changed.broadcast();
    VA_STATE("The action results connection ended\n");
}

int ActionResults::expect(int32_t actionID) {
    ScopedLock guard(_lock);
    if (const int rc = connectLocked(); rc != DCH_CLIENT_OK) {
        return rc;
    }
    _pending[actionID] = Pending{DCactionResults(), _generation};
    return DCH_CLIENT_OK;
}

DCactionResults ActionResults::wait(int32_t actionID, double seconds) {
    ScopedLock guard(_lock);
    auto it = _pending.find(actionID);
    if (it == _pending.end()) {
        return DCactionResults();
    }
    const uint64_t generation = it->second.generation;
    _changed.waitUntil(_lock, seconds, [&]() VA_REQUIRES(_lock) {
        const Pending& p = _pending.at(actionID);
        return p.results.resultArrived || _lostGeneration >= generation;
    });
    DCactionResults results = std::move(_pending.at(actionID).results);
    _pending.erase(actionID);
    return results;
}

void ActionResults::forget(int32_t actionID) {
    ScopedLock guard(_lock);
    _pending.erase(actionID);
}

}  // namespace vorpane::action

// A collector of the test: subscribes to one group at the hub and hands out the rows it receives,
// each value as text (numbers in decimal), in the group's column order.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "interfaces/dch_client.h"

namespace vorpane::testing {

struct ReceivedRow {
    std::string source;
    int control = 0;
    std::vector<std::string> values;
};

class RowCollector {
  public:
    RowCollector(const char* applName, const char* attrGroup);
    ~RowCollector();
    bool subscribed() const { return _waiter != nullptr; }
    // The subscription reaches the hub on its own connection: rows sent before the hub served it
    // are not delivered. Calls poke (which makes the provider send) until a row arrives; that row
    // is kept for next().
    bool waitUntilDelivering(const std::function<void()>& poke);
    // The next row, or nothing after `seconds` of waiting.
    std::optional<ReceivedRow> next(double seconds = 10);

  private:
    std::unique_ptr<DCdataWaiter> _waiter;
    std::vector<char> _buffer;
    std::optional<ReceivedRow> _held;
};

}  // namespace vorpane::testing

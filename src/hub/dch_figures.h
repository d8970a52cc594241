// What the hub's request thread counts as it serves, for the agent's metrics: requests by code, rows
// taken, malformed requests, connections closed (the transport counts those it accepted). Read by any
// thread; each figure stands alone, so relaxed atomics suffice.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <utility>
#include <vector>

class DCHfigures {
public:
    // A request of this code was taken from the queue.
    void request(int16_t code);
    void rowTaken() { _rows.fetch_add(1, std::memory_order_relaxed); }
    // A request without a readable request code, or with an unknown one.
    void malformed() { _malformed.fetch_add(1, std::memory_order_relaxed); }
    void connectionClosed() { _closed.fetch_add(1, std::memory_order_relaxed); }

    // Requests by name ("dp_data", ...), every known code, in code order.
    std::vector<std::pair<const char*, uint64_t>> requests() const;
    uint64_t rows() const { return _rows.load(std::memory_order_relaxed); }
    uint64_t malformedRequests() const { return _malformed.load(std::memory_order_relaxed); }
    uint64_t connectionsClosed() const { return _closed.load(std::memory_order_relaxed); }

    static constexpr size_t kCodes = 18;

private:
    std::array<std::atomic<uint64_t>, kCodes> _requests{};
    std::atomic<uint64_t> _rows{0}, _malformed{0}, _closed{0};
};

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
    // The hub waited for a collector to take what it had been sent (flow control), and how long.
    void collectorWait(double seconds) {
        _collectorWaits.fetch_add(1, std::memory_order_relaxed);
        _collectorWaitMicros.fetch_add(static_cast<uint64_t>(seconds * 1e6), std::memory_order_relaxed);
    }
    // The charge outstanding at a collector by datagram once a datagram left for it.
    void collectorCharge(uint64_t outstanding) {
        uint64_t peak = _collectorPeak.load(std::memory_order_relaxed);
        while (outstanding > peak && !_collectorPeak.compare_exchange_weak(peak, outstanding, std::memory_order_relaxed)) {
        }
    }
    // A collector took nothing for the stall time-out: the hub stopped waiting for it.
    void collectorStalled() { _collectorStalls.fetch_add(1, std::memory_order_relaxed); }

    // Requests by name ("dp_data", ...), every known code, in code order.
    std::vector<std::pair<const char*, uint64_t>> requests() const;
    uint64_t rows() const { return _rows.load(std::memory_order_relaxed); }
    uint64_t malformedRequests() const { return _malformed.load(std::memory_order_relaxed); }
    uint64_t connectionsClosed() const { return _closed.load(std::memory_order_relaxed); }
    uint64_t collectorWaits() const { return _collectorWaits.load(std::memory_order_relaxed); }
    double collectorWaitSeconds() const { return 1e-6 * static_cast<double>(_collectorWaitMicros.load(std::memory_order_relaxed)); }
    uint64_t collectorPeakCharge() const { return _collectorPeak.load(std::memory_order_relaxed); }
    uint64_t collectorStalls() const { return _collectorStalls.load(std::memory_order_relaxed); }

    static constexpr size_t kCodes = 18;

private:
    std::array<std::atomic<uint64_t>, kCodes> _requests{};
    std::atomic<uint64_t> _rows{0}, _malformed{0}, _closed{0};
    std::atomic<uint64_t> _collectorWaits{0}, _collectorWaitMicros{0}, _collectorStalls{0}, _collectorPeak{0};
};

// The window between the hub and a collector of the same process that subscribed by datagram.
//
// A datagram socket has no flow control: what the hub sends while the socket's receive buffer is
// full is dropped by the kernel. So each subscription by datagram keeps a window the collector and
// the hub share: the hub charges every datagram it sends to the collector's address, the collector
// gives the charge back once it has handed out (and its caller has dealt with) every message of that
// datagram, and the hub sends nothing that would take the charge past the window's bound. It waits
// instead, and while it waits it reads no further requests, so providers' TCP connections fill and
// providers are slowed rather than rows lost.
//
// A charge is an upper estimate of what a datagram costs the receiving socket (its bytes twice plus a
// fixed overhead), so a window no larger than the socket's receive buffer cannot overflow it.
//
// Threads: the collector's thread calls taken() and close(); the hub's request thread calls sent()
// and waitForRoom(); interrupt() may come from any thread. Everything is under one lock.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "interfaces/sync.h"

namespace vorpane {

class DCHflowWindow {
  public:
    // capacity: the receive buffer the collector's socket was granted, in the kernel's accounting.
    explicit DCHflowWindow(uint64_t capacity) : _capacity(capacity) {}
    DCHflowWindow(const DCHflowWindow&) = delete;
    DCHflowWindow& operator=(const DCHflowWindow&) = delete;

    static constexpr uint64_t kDatagramOverhead = 1024;
    static constexpr uint64_t charge(uint64_t bytes, uint64_t datagrams) {
        return 2 * bytes + kDatagramOverhead * datagrams;
    }

    uint64_t capacity() const { return _capacity; }

    // Collector: the datagrams of this charge are dealt with.
    void taken(uint64_t charge);
    // Collector: the socket is closed; the hub no longer waits for it.
    void close();
    // Hub: a datagram of this charge left for the collector.
    void sent(uint64_t charge);

    enum class Room { kRoom, kClosed, kStalled, kInterrupted };
    // Hub: waits until charge more fits under bound (a window with nothing outstanding always takes
    // one more datagram), the collector closed, interrupt() was called, or the collector took
    // nothing for stallSeconds of clock time. Never waits after an interrupt().
    Room waitForRoom(uint64_t charge, uint64_t bound, double stallSeconds);
    // Whether charge more fits under bound now.
    bool fits(uint64_t charge, uint64_t bound) const;
    // Ends a wait now and every later one (the hub is stopping).
    void interrupt();

    uint64_t outstanding() const;
    uint64_t takenSoFar() const;
    uint64_t peakOutstanding() const;  // the largest charge outstanding since the window was made
    uint64_t waits() const;            // waits that found the window full

  private:
    const uint64_t _capacity;
    mutable Mutex _lock;
    CondVar _cond;
    uint64_t _sent VA_GUARDED_BY(_lock) = 0;
    uint64_t _taken VA_GUARDED_BY(_lock) = 0;
    uint64_t _peak VA_GUARDED_BY(_lock) = 0;
    uint64_t _waits VA_GUARDED_BY(_lock) = 0;
    bool _closed VA_GUARDED_BY(_lock) = false;
    bool _interrupted VA_GUARDED_BY(_lock) = false;
    bool _hubWaits VA_GUARDED_BY(_lock) = false;
};

// The window of the subscription by datagram whose socket has this (IPv4) address in this process,
// or null (a collector in another process, or one whose socket is closed).
std::shared_ptr<DCHflowWindow> DCH_flowWindow(const sockaddr_in& collector);

// Tests: while held, every subscription by datagram of this process takes nothing: its receive
// waits (until released or cancelled) before it gives back what its caller dealt with.
void DCH_holdCollectors(bool hold);

}  // namespace vorpane

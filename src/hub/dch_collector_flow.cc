// Flow control towards collectors: the hub sends a collector no more than it can hold, and waits for
// it instead of letting its socket drop rows. While the request thread waits it takes no further
// requests, so the transport's queue fills, the server thread stops reading, and providers' TCP
// connections push back: a provider's rows are slowed, not lost.
#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "hub/dch_server.h"
#include "interfaces/support.h"
#include "interfaces/trace.h"

namespace {

sockaddr_in toSockaddr(const DCHclientAddr& address) {
    sockaddr_in a{};
    std::memcpy(&a, address.bytes.data(),
                std::min(sizeof a, static_cast<size_t>(std::clamp(address.length, 0, static_cast<int>(sizeof a)))));
    return a;
}

unsigned portOf(const DCHclientAddr& address) { return ntohs(toSockaddr(address).sin_port); }

}  // namespace

uint64_t DCHserver::collectorWindowFromEnvironment() {
    const char* value = BSS1_GetEnv("VORPANE_DCH_COLLECTOR_WINDOW", 0);
    if (value == nullptr || *value == '\0') {
        return kDefaultCollectorWindow;
    }
    char* end = nullptr;
    const long long n = std::strtoll(value, &end, 10);
    if (end == value || *end != '\0' || (n != 0 && n < static_cast<long long>(kLeastCollectorWindow))) {
        VA_ERROR("Warning: VORPANE_DCH_COLLECTOR_WINDOW=<%s> is neither 0 nor a byte count of at least %llu; using "
                 "%llu.\n",
                 value,
                 static_cast<unsigned long long>(kLeastCollectorWindow),
                 static_cast<unsigned long long>(kDefaultCollectorWindow));
        return kDefaultCollectorWindow;
    }
    return static_cast<uint64_t>(n);
}

double DCHserver::collectorStallFromEnvironment() {
    const char* value = BSS1_GetEnv("VORPANE_DCH_COLLECTOR_STALL", 0);
    if (value == nullptr || *value == '\0') {
        return kDefaultCollectorStall;
    }
    char* end = nullptr;
    const double n = std::strtod(value, &end);
    if (end == value || *end != '\0' || !(n >= 0.1 && n <= 3600)) {
        VA_ERROR("Warning: VORPANE_DCH_COLLECTOR_STALL=<%s> is not 0.1 to 3600 seconds; using %g.\n", value,
                 kDefaultCollectorStall);
        return kDefaultCollectorStall;
    }
    return n;
}

void DCHserver::noteCollectorFlow(const DCHclientAddr& address, bool subscribed) {
    const uint64_t key = addressKey(address);
    if (!subscribed || _collectorWindow == 0) {
        _collectorFlow.erase(key);  // a window of 0: no flow control, rows go as they come
        return;
    }
    // A collector in another process has no window here: its datagrams go as before.
    std::shared_ptr<vorpane::DCHflowWindow> window = vorpane::DCH_flowWindow(toSockaddr(address));
    if (!window) {
        _collectorFlow.erase(key);
        return;
    }
    CollectorFlow& flow = _collectorFlow[key];
    if (flow.window != window) {
        flow = CollectorFlow{};
        flow.window = std::move(window);
    }
}

uint64_t DCHserver::collectorBound(const vorpane::DCHflowWindow& window) const {
    // Half the socket's buffer: the kernel gives back what a UDP reader took only in steps of up to a
    // quarter of the buffer, so that much may still be charged there after the collector took it.
    return std::min(_collectorWindow, window.capacity() / 2);
}

vorpane::DCHflowWindow::Room DCHserver::waitForWindow(vorpane::DCHflowWindow& window, uint64_t charge) {
    return window.waitForRoom(charge, collectorBound(window), _collectorStall);
}

void DCHserver::admitDatagram(const DCHclientAddr& address, uint32_t length) {
    auto found = _collectorFlow.find(addressKey(address));
    if (found == _collectorFlow.end()) {
        return;
    }
    CollectorFlow& flow = found->second;
    const uint64_t pieces = (length + DCHsender::kDatagram - 1) / DCHsender::kDatagram;
    const uint64_t charge = vorpane::DCHflowWindow::charge(length, std::max<uint64_t>(pieces, 1));
    if (flow.released) {
        if (flow.window->takenSoFar() == flow.takenAtRelease) {
            flow.window->sent(charge);
            return;
        }
        flow.released = false;
        VA_ERROR("Note: the collector by datagram at port %u takes rows again: the hub waits for it again.\n",
                 portOf(address));
    }
    const double began = vorpane::clock::now();
    {
        vorpane::ScopedLock g(_runLock);
        if (_stopping) {
            flow.window->sent(charge);
            return;
        }
        _waitingOnWindow = flow.window;
    }
    const uint64_t waitsBefore = flow.window->waits();
    if (waitsBefore == 0 && !flow.window->fits(charge, collectorBound(*flow.window))) {
        VA_STATE("The hub waits for the collector by datagram at port %u: its window is full.\n", portOf(address));
    }
    const vorpane::DCHflowWindow::Room room = waitForWindow(*flow.window, charge);
    {
        vorpane::ScopedLock g(_runLock);
        _waitingOnWindow.reset();
    }
    if (flow.window->waits() != waitsBefore) {
        _figures.collectorWait(vorpane::clock::now() - began);
    }
    switch (room) {
        case vorpane::DCHflowWindow::Room::kClosed:
            // The collector is gone: nothing waits for this address any more.
            _collectorFlow.erase(found);
            return;
        case vorpane::DCHflowWindow::Room::kStalled:
            VA_ERROR("Warning: the collector by datagram at port %u took nothing for %g seconds: the hub no longer "
                     "waits for it, and rows it cannot hold are lost, until it takes again.\n",
                     portOf(address), _collectorStall);
            _figures.collectorStalled();
            flow.released = true;
            flow.takenAtRelease = flow.window->takenSoFar();
            break;
        case vorpane::DCHflowWindow::Room::kRoom:
        case vorpane::DCHflowWindow::Room::kInterrupted:
            break;
    }
    flow.window->sent(charge);
    _figures.collectorCharge(flow.window->outstanding());
}

void DCHserver::admitConnectionData(unsigned int connectedSockFD) {
    if (!_sender || _collectorWindow == 0) {
        return;
    }
    {
        vorpane::ScopedLock g(_runLock);
        if (_stopping) {
            return;
        }
        _waitingOnConnection = true;
    }
    const double began = vorpane::clock::now();
    const DCHsender::Room room =
        _sender->waitForRoom(static_cast<int>(connectedSockFD), _sender->queueBound() / 2, _collectorStall);
    {
        vorpane::ScopedLock g(_runLock);
        _waitingOnConnection = false;
    }
    if (room == DCHsender::Room::kWaited || room == DCHsender::Room::kStalled) {
        _figures.collectorWait(vorpane::clock::now() - began);
    }
    if (room == DCHsender::Room::kStalled) {
        // The sender cuts a connection that takes nothing for its own time-out; until then its queue
        // takes what fits.
        VA_ERROR("Warning: the collector on connection %u took nothing for %g seconds: the hub no longer waits for "
                 "it.\n",
                 connectedSockFD, _collectorStall);
        _figures.collectorStalled();
    }
}

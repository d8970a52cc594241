// A bare TCP peer of the hub for tests: sends raw bytes or built messages and reads whole frames with
// a deadline. It knows nothing of the client library, so hub tests do not depend on it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "interfaces/dch_protocol.h"

namespace vorpane::testing {

// A port that was free a moment ago on 127.0.0.1 for both TCP and UDP, below the range the kernel
// gives to outgoing connections where it can be.
int freeHubPort();

class HubTestClient {
public:
    // receiveBuffer > 0: the socket's receive buffer, set before it connects (a peer that reads
    // slowly fills it sooner).
    explicit HubTestClient(int port, int receiveBuffer = 0);
    ~HubTestClient();
    HubTestClient(const HubTestClient&) = delete;
    HubTestClient& operator=(const HubTestClient&) = delete;

    bool connected() const { return _fd >= 0; }
    int fd() const { return _fd; }

    bool sendRaw(std::string_view bytes);
    bool send(const dch::MessageBuilder& message) { return sendRaw(std::string_view(message.data(), message.size())); }

    // The next whole frame, or nothing when the deadline passes or the connection ends.
    std::optional<std::vector<char>> receive(std::chrono::milliseconds deadline = std::chrono::seconds(10));
    // The DCH_status of the next frame (a status reply), or nothing.
    std::optional<int32_t> receiveStatus(std::chrono::milliseconds deadline = std::chrono::seconds(10));
    // True when the hub closed the connection (read returns 0) within the deadline.
    bool waitClosed(std::chrono::milliseconds deadline = std::chrono::seconds(10));
    void close();

private:
    bool readExactly(char* out, size_t n, std::chrono::steady_clock::time_point until);
    int _fd = -1;
    std::vector<char> _in;  // bytes read but not yet taken
    size_t _inPos = 0;
};

}  // namespace vorpane::testing

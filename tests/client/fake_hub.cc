#include "client/fake_hub.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace vorpane::testing {

namespace {

// Reads exactly n bytes unless the peer closes or the hub stops (stopFd readable).
bool readExactly(int fd, int stopFd, char* out, size_t n) {
    size_t have = 0;
    while (have < n) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            return false;
        }
        ssize_t r = ::recv(fd, out + have, n - have, 0);
        if (r <= 0) {
            if (r < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        have += static_cast<size_t>(r);
    }
    return true;
}

}  // namespace

int16_t FakeHub::Field::int16() const {
    int16_t v = 0;
    std::memcpy(&v, value.data(), std::min<size_t>(2, value.size()));
    return v;
}

int32_t FakeHub::Field::int32() const {
    int32_t v = 0;
    std::memcpy(&v, value.data(), std::min<size_t>(4, value.size()));
    return v;
}

std::vector<uint16_t> FakeHub::Request::types() const {
    std::vector<uint16_t> t;
    for (const Field& f : fields) {
        t.push_back(f.type);
    }
    return t;
}

FakeHub::FakeHub() {
    _listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    ::bind(_listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(_listenFd, 16);
    socklen_t len = sizeof addr;
    ::getsockname(_listenFd, reinterpret_cast<sockaddr*>(&addr), &len);
    _port = ntohs(addr.sin_port);
    _stopFd = ::eventfd(0, EFD_CLOEXEC);
    _handler = [](FakeHub& hub, const Request& r) { hub.answerLikeTheHub(r); };
    _acceptThread = std::thread([this] { acceptLoop(); });
}

FakeHub::~FakeHub() {
    {
        std::lock_guard<std::mutex> g(_lock);
        _stopping = true;
    }
    uint64_t one = 1;
    if (::write(_stopFd, &one, sizeof one) < 0) {
    }
    _acceptThread.join();
    std::vector<std::thread> readers;
    {
        std::lock_guard<std::mutex> g(_lock);
        readers.swap(_readers);
    }
    for (std::thread& t : readers) {
        t.join();
    }
    for (auto& [connection, fd] : _fds) {
        ::close(fd);
    }
    ::close(_listenFd);
    ::close(_stopFd);
}

HubOptions FakeHub::options(double replyTimeout) const {
    HubOptions o;
    o.address = "127.0.0.1";
    o.port = _port;
    o.replyTimeout = replyTimeout;
    return o;
}

void FakeHub::setHandler(Handler handler) {
    std::lock_guard<std::mutex> g(_lock);
    _handler = std::move(handler);
}

void FakeHub::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{_listenFd, POLLIN, 0}, {_stopFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            return;
        }
        if ((fds[0].revents & POLLIN) == 0) {
            continue;
        }
        int fd = ::accept4(_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        std::lock_guard<std::mutex> g(_lock);
        int connection = static_cast<int>(_fds.size()) + 1;
        _fds[connection] = fd;
        _readers.emplace_back([this, connection, fd] { readLoop(connection, fd); });
        _changed.notify_all();
    }
}

void FakeHub::readLoop(int connection, int fd) {
    for (;;) {
        char header[4];
        if (!readExactly(fd, _stopFd, header, 4)) {
            break;
        }
        uint32_t total = dch::totalLength(header);
        if (total < 4 || total > DCH_MAX_MESSAGE) {
            break;
        }
        std::vector<char> message(total);
        std::memcpy(message.data(), header, 4);
        if (!readExactly(fd, _stopFd, message.data() + 4, total - 4)) {
            break;
        }
        Request r;
        r.connection = connection;
        r.size = total;
        dch::FieldReader reader(message.data(), message.size());
        dch::FieldReader::Field first = reader.next();
        if (first.type != DCH_requestType || !first.int16(&r.code)) {
            continue;  // the hub answers nothing to such a message
        }
        for (dch::FieldReader::Field f = reader.next(); f; f = reader.next()) {
            r.fields.push_back(Field{f.type, std::string(f.value, f.length), f.extra});
        }
        Handler handler;
        {
            std::lock_guard<std::mutex> g(_lock);
            _requests.push_back(r);
            handler = _handler;
            _changed.notify_all();
        }
        handler(*this, r);
    }
    std::lock_guard<std::mutex> g(_lock);
    _closedByClient.push_back(connection);
    _changed.notify_all();
}

int FakeHub::fdOf(int connection) const {
    std::lock_guard<std::mutex> g(_lock);
    auto it = _fds.find(connection);
    return it == _fds.end() ? -1 : it->second;
}

void FakeHub::sendRaw(int connection, const std::string& bytes) {
    int fd = fdOf(connection);
    size_t sent = 0;
    while (fd >= 0 && sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        sent += static_cast<size_t>(n);
    }
}

void FakeHub::send(int connection, const dch::MessageBuilder& message) {
    sendRaw(connection, std::string(message.data(), message.size()));
}

void FakeHub::sendStatus(int connection, int32_t status) {
    dch::MessageBuilder m;
    m.int32(DCH_status, status);
    send(connection, m);
}

void FakeHub::close(int connection) {
    int fd = fdOf(connection);
    if (fd >= 0) {
        ::shutdown(fd, SHUT_RDWR);
    }
}

void FakeHub::answerLikeTheHub(const Request& r) {
    switch (r.code) {
        case DCH_dp_online: {
            int32_t handle;
            {
                std::lock_guard<std::mutex> g(_lock);
                handle = _nextHandle++;
            }
            dch::MessageBuilder m;
            m.int32(DCH_status, 0).int32(DCH_handle, handle);
            send(r.connection, m);
            return;
        }
        case DCH_dp_setDemandReportOption: {
            dch::MessageBuilder results;
            results.request(DCH_dp_demandReportResults).int32(DCH_time, 600).int32(DCH_status, 0);
            for (size_t i = 1; i < r.fields.size(); ++i) {
                results.text(r.fields[i].type, r.fields[i].value);
            }
            send(r.connection, results);
            sendStatus(r.connection, 0);
            return;
        }
        case DCH_dc_getApplications:
        case DCH_dc_getApplAttributes:
        case DCH_dc_getApplHelp: {
            dch::MessageBuilder m;
            m.text(DCH_infoText, "INFO:" + (r.fields.empty() ? std::string("ALL") : r.fields[0].value));
            send(r.connection, m);
            return;
        }
        case DCH_dc_waitOnData:
        case DCH_dc_waitForDPStatus:
        case DCH_dc_provideAction:
        case DCH_dc_deferReportRequest:
        case DCH_dp_cancel:
            return;
        default:
            sendStatus(r.connection, 0);
    }
}

std::vector<FakeHub::Request> FakeHub::requests() const {
    std::lock_guard<std::mutex> g(_lock);
    return _requests;
}

bool FakeHub::waitForRequests(size_t count, std::chrono::milliseconds deadline) const {
    std::unique_lock<std::mutex> g(_lock);
    return _changed.wait_for(g, deadline, [&] { return _requests.size() >= count; });
}

bool FakeHub::waitForDisconnect(int connection, std::chrono::milliseconds deadline) const {
    std::unique_lock<std::mutex> g(_lock);
    return _changed.wait_for(g, deadline, [&] {
        return std::find(_closedByClient.begin(), _closedByClient.end(), connection) != _closedByClient.end();
    });
}

int FakeHub::connections() const {
    std::lock_guard<std::mutex> g(_lock);
    return static_cast<int>(_fds.size());
}

}  // namespace vorpane::testing

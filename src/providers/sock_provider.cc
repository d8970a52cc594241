#include "providers/sock_provider.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "interfaces/trace.h"

namespace vorpane::providers {

struct SockProvider::Connection {
    int fd = -1;
    std::string peer;
    std::string pending;  // bytes of an unfinished line
    ~Connection() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

namespace {

constexpr int kReadsPerRound = 16;  // of 16 KiB each, per connection
constexpr size_t kFirstConnection = 4;  // poll entries: stop, TCP, UDP, actions, then the connections

std::string peerText(const sockaddr_in& a) {
    char ip[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

int openSocket(int kind, const sockaddr_in& address, std::string* reason) {
    int fd = socket(AF_INET, kind | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *reason = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        (kind == SOCK_STREAM && listen(fd, 128) != 0)) {
        *reason = std::string(kind == SOCK_STREAM ? "TCP" : "UDP") + " bind/listen: " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

SockProvider::SockProvider(std::string name, HubOptions hub, dp::AppDescription app, Options options)
    : Provider(std::move(name)),
      _app(app),
      _options(std::move(options)),
      _session(std::move(hub), std::move(app), status()),
      _datagram(65536) {
    _session.answerActions(this);
}

SockProvider::~SockProvider() {
    _connections.clear();
    if (_tcp >= 0) {
        ::close(_tcp);
    }
    if (_udp >= 0) {
        ::close(_udp);
    }
}

bool SockProvider::open() {
    if (_tcp >= 0 || _udp >= 0) {
        return true;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(_options.port));
    if (inet_pton(AF_INET, _options.address.c_str(), &a.sin_addr) != 1) {
        status().error("address <" + _options.address + "> is not an IPv4 address");
        return false;
    }
    std::string reason;
    if (_options.tcp) {
        _tcp = openSocket(SOCK_STREAM, a, &reason);
        if (_tcp < 0) {
            status().error(reason);
            return false;
        }
        sockaddr_in bound{};
        socklen_t len = sizeof bound;
        getsockname(_tcp, reinterpret_cast<sockaddr*>(&bound), &len);
        a.sin_port = bound.sin_port;  // UDP takes the same port, also when it was ephemeral
    }
    if (_options.udp) {
        _udp = openSocket(SOCK_DGRAM, a, &reason);
        if (_udp < 0) {
            status().error(reason);
            return false;
        }
        sockaddr_in bound{};
        socklen_t len = sizeof bound;
        getsockname(_udp, reinterpret_cast<sockaddr*>(&bound), &len);
        a.sin_port = bound.sin_port;
    }
    _port = ntohs(a.sin_port);
    VA_STATE("SOCK %s listening on %s port %d\n", status().name().c_str(), _options.address.c_str(), _port);
    return true;
}

bool SockProvider::parseLine(std::string_view text, const dp::AppDescription& app, Line* line, std::string* reason) {
    if (!dp::noNulByte(text, reason)) {
        return false;
    }
    std::vector<std::string> words;
    if (!dp::splitWords(text, &words, reason)) {
        return false;
    }
    if (words.size() < 3) {
        *reason = "a line is GROUP SOURCE name=value ...";
        return false;
    }
    dp::RowSpec rowSpec;
    for (char& c : words[0]) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    rowSpec.group = words[0];
    line->group = app.group(rowSpec.group);
    if (line->group == nullptr) {
        *reason = "no group " + rowSpec.group + " in application " + app.name;
        return false;
    }
    if (words[1].find('=') != std::string::npos || words[1].size() > 32) {
        *reason = "source \"" + words[1] + "\" is not a name of at most 32 characters";
        return false;
    }
    line->source = words[1];
    for (size_t i = 2; i < words.size(); ++i) {
        size_t eq = words[i].find('=');
        if (eq == std::string::npos || eq == 0) {
            *reason = "\"" + words[i] + "\" is not name=value";
            return false;
        }
        rowSpec.values.emplace_back(words[i].substr(0, eq), words[i].substr(eq + 1));
    }
    return dp::formatRow(rowSpec, *line->group, &line->row, reason);
}

void SockProvider::handleLine(std::string_view text, const char* peer) {
    if (!text.empty() && text.back() == '\r') {
        text.remove_suffix(1);
    }
    if (text.find_first_not_of(" \t") == std::string_view::npos) {
        return;
    }
    Line line;
    std::string reason;
    if (!parseLine(text, _app, &line, &reason)) {
        status().malformed.fetch_add(1, std::memory_order_relaxed);
        VA_ERROR("Error: SOCK %s: malformed line from %s: %s\n", status().name().c_str(), peer, reason.c_str());
        return;
    }
    if (_sources.count(line.source) == 0) {
        if (_sources.size() >= _options.maxSources) {
            // One trace line for the definition's life: a sender cycling through names would
            // otherwise write one per line.
            if (!_sourceCapTraced) {
                _sourceCapTraced = true;
                status().error("source " + line.source + " from " + peer + " refused: the definition has its " +
                               std::to_string(_options.maxSources) +
                               " sources (sources=); lines of further sources are refused and counted");
            } else {
                status().errors.fetch_add(1, std::memory_order_relaxed);
            }
            return;
        }
        _sources.insert(line.source);
    }
    int h = _session.handle(line.group->name, line.source);
    if (h >= 0) {
        // Sent with the other lines that are ready when this round of reading ends.
        _session.queue(h, DCH_NO_CONTROL_FIELD, line.row);
    }
}

bool SockProvider::readConnection(Connection& c) {
    char buffer[16384];
    // A bounded share per round, so that one busy sender does not hold up the others (poll reports
    // the rest again).
    for (int reads = 0; reads < kReadsPerRound; ++reads) {
        ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
        if (n == 0) {
            if (!c.pending.empty()) {
                handleLine(c.pending, c.peer.c_str());  // a last line without its end
            }
            return false;
        }
        if (n < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        }
        std::string_view data(buffer, static_cast<size_t>(n));
        size_t at = 0;
        while (at < data.size()) {
            size_t end = data.find('\n', at);
            if (end == std::string_view::npos) {
                c.pending.append(data.substr(at));
                break;
            }
            if (c.pending.empty()) {
                if (end - at > kMaxLine) {
                    c.pending.assign(kMaxLine + 1, 'x');  // reported below
                } else {
                    handleLine(data.substr(at, end - at), c.peer.c_str());
                }
            } else {
                c.pending.append(data.substr(at, end - at));
                if (c.pending.size() <= kMaxLine) {
                    handleLine(c.pending, c.peer.c_str());
                    c.pending.clear();
                }
            }
            at = end + 1;
            if (c.pending.size() > kMaxLine) {
                break;
            }
        }
        if (c.pending.size() > kMaxLine) {
            status().malformed.fetch_add(1, std::memory_order_relaxed);
            VA_ERROR("Error: SOCK %s: line from %s longer than %zu bytes; connection closed\n",
                     status().name().c_str(), c.peer.c_str(), kMaxLine);
            return false;
        }
    }
    return true;
}

void SockProvider::readDatagrams() {
    for (;;) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = ::recvfrom(_udp, _datagram.data(), _datagram.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) {
            return;
        }
        const std::string peer = peerText(from);
        std::string_view data(_datagram.data(), static_cast<size_t>(n));
        size_t at = 0;
        while (at < data.size()) {
            size_t end = data.find('\n', at);
            std::string_view text = data.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
            if (text.size() > kMaxLine) {
                status().malformed.fetch_add(1, std::memory_order_relaxed);
                VA_ERROR("Error: SOCK %s: line from %s longer than %zu bytes\n", status().name().c_str(),
                         peer.c_str(), kMaxLine);
            } else {
                handleLine(text, peer.c_str());
            }
            at = end == std::string_view::npos ? data.size() : end + 1;
        }
    }
}

void SockProvider::run(StopSignal& stop) {
    if (!open()) {
        return;
    }
    std::vector<pollfd> fds;
    while (!stop.requested()) {
        fds.clear();
        fds.push_back({stop.fd(), POLLIN, 0});
        fds.push_back({_tcp, POLLIN, 0});  // -1 entries are ignored by poll
        fds.push_back({_udp, POLLIN, 0});
        fds.push_back({actions().fd(), POLLIN, 0});
        for (const auto& c : _connections) {
            fds.push_back({c->fd, POLLIN, 0});
        }
        int n = ::poll(fds.data(), fds.size(), -1);  // the stop's descriptor ends the wait
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            status().error(std::string("poll: ") + std::strerror(errno));
            break;
        }
        if (fds[0].revents != 0) {
            break;
        }
        // Connections first, by their index in fds, before the list changes.
        for (size_t i = _connections.size(); i-- > 0;) {
            if (fds[kFirstConnection + i].revents != 0 && !readConnection(*_connections[i])) {
                _connections.erase(_connections.begin() + static_cast<long>(i));
            }
        }
        if (fds[2].revents != 0) {
            readDatagrams();
        }
        // Every line read in this round goes to the hub in one write, in the order read.
        _session.flush();
        if (fds[3].revents != 0) {
            serveActions();
        }
        if (fds[1].revents != 0) {
            for (;;) {
                sockaddr_in from{};
                socklen_t len = sizeof from;
                int fd = accept4(_tcp, reinterpret_cast<sockaddr*>(&from), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (fd < 0) {
                    break;
                }
                auto c = std::make_unique<Connection>();
                c->fd = fd;
                c->peer = peerText(from);
                if (_connections.size() >= kMaxConnections) {
                    status().error("more than " + std::to_string(kMaxConnections) + " connections; " + c->peer +
                                   " closed");
                    continue;
                }
                _connections.push_back(std::move(c));
            }
        }
    }
    _connections.clear();
    _session.close();
}

std::unique_ptr<Provider> SockProvider::make(const Definition& d, const ProviderContext& context,
                                             dp::ParseError* error) {
    SourceOptions options;
    Options o;
    long port = 0;
    long sources = kDefaultMaxSources;
    if (!options.parse(d.source[0].words, 0, {"port", "protocol", "address", "sources"}, &error->reason) ||
        !options.number("port", 0, 65535, -1, &port, &error->reason) ||
        !options.number("sources", 1, kMostMaxSources, kDefaultMaxSources, &sources, &error->reason)) {
        error->line = d.typeLine;
        return nullptr;
    }
    if (port < 0) {
        *error = {d.typeLine, "SOCK needs port=N"};
        return nullptr;
    }
    o.port = static_cast<int>(port);
    o.maxSources = static_cast<size_t>(sources);
    o.address = options.get("address", o.address);
    const std::string protocol = options.get("protocol", "both");
    if (protocol != "tcp" && protocol != "udp" && protocol != "both") {
        *error = {d.typeLine, "protocol=" + protocol + " is not tcp, udp or both"};
        return nullptr;
    }
    o.tcp = protocol != "udp";
    o.udp = protocol != "tcp";
    if (d.source.size() > 1) {
        *error = {d.source[1].line, "a SOCK source section has only its source line"};
        return nullptr;
    }
    std::string name = "SOCK:" + d.file.substr(d.file.rfind('/') + 1);
    return std::make_unique<SockProvider>(std::move(name), context.hub, d.app, std::move(o));
}

}  // namespace vorpane::providers

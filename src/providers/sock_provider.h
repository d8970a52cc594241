// SOCK: a line listener on TCP and UDP. Each line "GROUP SOURCE name=value ..." becomes a row of the
// definition's application for that source. A malformed line is counted and traced and the listener
// goes on; a TCP line longer than kMaxLine bytes closes that connection (counted as malformed).
// Every source a line names becomes a source at the hub and a subnode of the agent, so a definition
// takes at most maxSources of them: a line of a further source is refused (counted as an error,
// traced once).
//
// Threads: one thread (run) accepts, reads and sends; parseLine is pure and used by the tests.
#pragma once

#include <netinet/in.h>

#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "providers/provider.h"

namespace vorpane::providers {

class SockProvider : public Provider {
  public:
    static constexpr size_t kMaxLine = 4096;        // bytes of one line, without its end
    static constexpr size_t kMaxConnections = 256;  // more are accepted and closed at once
    static constexpr long kDefaultMaxSources = 256;
    static constexpr long kMostMaxSources = 65536;  // the most sources= may allow

    struct Options {
        std::string address = "127.0.0.1";
        int port = 0;  // 0: an ephemeral port (tests)
        bool tcp = true;
        bool udp = true;
        size_t maxSources = kDefaultMaxSources;  // distinct source names the lines may use
    };

    SockProvider(std::string name, HubOptions hub, dp::AppDescription app, Options options);
    ~SockProvider() override;

    // Binds the sockets (run does it when not done yet). False with a traced error.
    bool open();
    // The port both sockets listen on, once open.
    int port() const { return _port; }
    void run(StopSignal& stop) override;

    // One line into a row: the group, source and values checked against the application.
    struct Line {
        const dp::GroupDesc* group = nullptr;
        std::string source;
        DProw row;
    };
    static bool parseLine(std::string_view text, const dp::AppDescription& app, Line* line, std::string* reason);

    // Reads the source section ("source SOCK port=N [protocol=tcp|udp|both] [address=A] [sources=N]").
    static std::unique_ptr<Provider> make(const Definition& d, const ProviderContext& context, dp::ParseError* error);

  private:
    struct Connection;
    void handleLine(std::string_view text, const char* peer);
    // Reads what a connection holds; false when it is to be closed.
    bool readConnection(Connection& c);
    void readDatagrams();

    const dp::AppDescription _app;
    const Options _options;
    HubSession _session;
    int _tcp = -1;
    int _udp = -1;
    int _port = 0;
    std::vector<std::unique_ptr<Connection>> _connections;
    std::vector<char> _datagram;
    std::unordered_set<std::string> _sources;  // the source names taken so far
    bool _sourceCapTraced = false;
};

}  // namespace vorpane::providers

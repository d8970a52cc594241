// HTTP: probes the URLs of a definition on an interval with libcurl and sends one keyed row per URL:
// status code, response time, bytes, whether the content pattern matched, days left on the TLS
// certificate (https), and the error of a failed probe. The group's attributes say which of these
// figures are sent (by name: Name, URL, Status_Code, Response_Ms, Bytes, Matched, Cert_Days_Left,
// Error); a figure without an attribute is left out.
//
// Threads: run() on the provider's own thread; probeAll() is one round, called by tests directly.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "providers/pattern_matcher.h"
#include "providers/provider.h"

namespace vorpane::providers {

class HttpProvider : public Provider {
  public:
    static constexpr size_t kMaxBody = 1 << 20;  // bytes of a response searched for the pattern

    struct Target {
        std::string name;
        std::string url;
        std::string match;  // a regular expression; empty: none
        std::shared_ptr<const PatternMatcher> pattern;
        std::string caFile;  // certificates to trust besides the system's (a private CA); empty: none
    };
    struct Options {
        std::string group;
        std::vector<Target> targets;
        double interval = 60;  // seconds between rounds
        double timeout = 10;   // seconds for one probe
        std::string sourceName;
    };
    struct Result {
        long statusCode = 0;  // 0: no response
        int32_t responseMs = 0;
        int64_t bytes = 0;
        int matched = -1;         // -1: no pattern; 0 or 1
        int32_t certDaysLeft = -1;  // -1: not https, or unknown
        std::string error;
    };

    HttpProvider(std::string name, HubOptions hub, dp::AppDescription app, Options options);

    void run(StopSignal& stop) override;
    // One round: every URL probed in turn, the rows sent as one set. The results, in target order.
    std::vector<Result> probeAll();
    Result probe(const Target& target) const;
    bool sendFreshRows(std::string_view group) override;

    static std::unique_ptr<Provider> make(const Definition& d, const ProviderContext& context, dp::ParseError* error);

  private:
    const Options _options;
    HubSession _session;
    const dp::GroupDesc* _group;
};

}  // namespace vorpane::providers

// The agent's own application, VAGENT: the one description of its attribute groups, and the action
// log source that the process entry brings online at start.
//
// Every registration of VAGENT in the process (the providers' status publishers and the action log
// source) sends this same description, so the hub and the generated files see one application
// whatever registers first; the hub answers the later registrations with status 1.
//
// Groups:
//   DPSTATUS  one row per built-in provider (figures of providers.md), keyed by the provider; each
//             provider entry publishes its rows as one set, which replaces the set before;
//   DPLOG     the action log source: while one of its sources is online the hub logs every
//             automation action as rows of ACTION;
//   ACTION    the action log, filled by the hub's action threads (one row when an action is handed
//             to a provider, one when its result arrives).
#pragma once

#include <memory>
#include <string>

#include "interfaces/dch_client.h"
#include "providers/app_description.h"

namespace vorpane::providers {

inline constexpr const char* kAgentApplication = "VAGENT";
inline constexpr const char* kStatusGroup = "DPSTATUS";
inline constexpr const char* kLogGroup = "DPLOG";
inline constexpr const char* kActionGroup = "ACTION";
inline constexpr double kStatusInterval = 30;

// The description of VAGENT with all its groups (parsed once; never changes).
const dp::AppDescription& agentApplication();

// The source name of the DPLOG group: the host name up to its first "." followed by "_LOGdp". Its
// subnode, "<host>_LOGdp:VAGENT<RR>", is the name a request on the action table
// (ZOTA_ACTION_TABLE_NAME) gives to reach the action source "<host>ACT".
std::string actionLogSourceName();

// The DPLOG source on one hub connection of its own: registered and online from start() until
// stop() or the object's end. Used by the process entry's thread only.
class ActionLogSource {
  public:
    explicit ActionLogSource(HubOptions options);
    ~ActionLogSource();
    ActionLogSource(const ActionLogSource&) = delete;
    ActionLogSource& operator=(const ActionLogSource&) = delete;

    // Registers VAGENT and brings the DPLOG source online; false (traced) when the hub refuses.
    bool start();
    // Takes the source offline and closes the connection.
    void stop();

  private:
    struct Session;
    std::unique_ptr<Session> _session;
};

}  // namespace vorpane::providers

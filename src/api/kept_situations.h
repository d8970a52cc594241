// The situations defined through the API, kept across restarts. A kept situation names its table
// without the release of its application, so that it follows the application from release to
// release: at start, and whenever the framework's tables or subnodes change, every kept situation the
// framework does not have is defined on the table of its application's current release, once that
// table has its columns (a table the agent registered at start before its application came online has
// none). Until then it is pending, with the reason. A kept situation leaves the file only when the
// user deletes it; entries that cannot be used stay in it as they are.
//
// Threads: every call may come from any API worker; the keeper thread runs from defineAll() to
// stop() and sleeps until a change of tables or subnodes wakes it (or, while something is pending, a
// fallback retry). _defineLock serializes every definition and removal of a kept situation in the
// framework (API workers and the keeper alike) and is taken before _lock; _lock guards the kept
// state and is never held while the framework is called.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "api/api_json.h"
#include "api/situation_store.h"
#include "interfaces/axf_facade.h"
#include "interfaces/sync.h"

namespace vorpane::api {

// While a kept situation is pending, the keeper also tries again this often (clock seconds), besides
// each change of tables or subnodes.
inline constexpr double kKeepRetrySeconds = 60;

class KeptSituations {
  public:
    explicit KeptSituations(std::string path);
    ~KeptSituations();
    KeptSituations(const KeptSituations&) = delete;
    KeptSituations& operator=(const KeptSituations&) = delete;

    // Reads the kept definitions, defines those whose table has its columns, and starts the keeper.
    void defineAll();
    // A situation posted to the API: defined on its table (as named, else the current release of
    // the same application and table) and kept. A table registered without its columns yet keeps the
    // situation pending; *answer is the definition (with "state": "pending" and "reason" then).
    // kExists for a name in use, kNotFound for no such table, else what the framework refused.
    axf::Status add(axf::SituationDef def, const std::string& where, Json* answer);
    // Ends a situation and forgets it; kNotFound when it was neither defined nor kept.
    axf::Status remove(const std::string& name);
    // The kept situations not defined in the framework, skipping the names in defined: as kept, with
    // "state": "pending" and "reason".
    std::vector<Json> pending(const std::set<std::string>& defined);
    // One kept situation as pending() shows it; false when name is not kept.
    bool pendingOne(const std::string& name, Json* out);
    void stop();

  private:
    struct Attempt {
        std::string reason;    // why it is not defined; "" when it is now
        bool refused = false;  // the definition itself was refused (not a wait for its table)
        std::string table;     // "<appl/table>" it was defined on
    };

    void keeperLoop();
    // Defines the kept situations the framework does not have, where their tables allow.
    void defineWaiting() VA_REQUIRES(_defineLock);
    Attempt define(const Json& body, const std::vector<axf::TableDesc>& tables) VA_REQUIRES(_defineLock);
    // Writes the kept list; false with *error when it cannot (or must not: an unreadable file).
    bool save(std::string* error) VA_REQUIRES(_lock);
    Json pendingJson(const std::string& name) VA_REQUIRES(_lock);

    SituationStore _store;
    Mutex _defineLock;
    Mutex _lock;
    CondVar _changed;
    std::map<std::string, Json> _kept VA_GUARDED_BY(_lock);  // by name, as kept
    std::vector<Json> _unusable VA_GUARDED_BY(_lock);  // entries without a usable name, written back as read
    std::map<std::string, std::string> _reasons VA_GUARDED_BY(_lock);  // why a kept situation is not defined
    bool _readOnly VA_GUARDED_BY(_lock) = false;  // the file could neither be read nor set aside
    bool _dirty VA_GUARDED_BY(_lock) = false;     // tables or subnodes changed since the keeper last looked
    bool _stopping VA_GUARDED_BY(_lock) = false;
    bool _keeperRunning VA_GUARDED_BY(_lock) = false;
    uint64_t _watch VA_GUARDED_BY(_lock) = 0;
    pthread_t _keeper{};
};

}  // namespace vorpane::api

// The situations defined through the API, kept across restarts: defined again at start, and those whose
// table is not registered yet retried on a keeper thread until it is.
//
// Threads: every call may come from any API worker; _lock guards the kept and pending sets and is never
// held while the framework is called. The keeper thread runs only while something is pending; stop()
// (and the destructor) end it.
#pragma once

#include <pthread.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "api/api_json.h"
#include "api/situation_store.h"
#include "interfaces/axf_facade.h"
#include "interfaces/sync.h"

namespace vorpane::api {

class KeptSituations {
public:
    explicit KeptSituations(std::string path);
    ~KeptSituations();
    KeptSituations(const KeptSituations&) = delete;
    KeptSituations& operator=(const KeptSituations&) = delete;

    // Reads the kept definitions and defines each in the framework.
    void defineAll();
    // A situation the API has just defined: kept from now on (an "Error: " line when the file cannot be
    // written; the situation stays defined).
    void keep(const axf::SituationDef& def, Json body);
    // Forgets a kept situation; false when it was not kept.
    bool forget(const std::string& name);
    // The kept situations not defined in the framework yet, as posted, skipping the names in defined.
    std::vector<Json> pending(const std::set<std::string>& defined);
    void stop();

private:
    void keeperLoop();
    // Defines one kept situation. False with *tableMissing when its table is not registered yet.
    bool define(const Json& body, bool* tableMissing);

    SituationStore _store;
    Mutex _lock;
    CondVar _changed;
    std::map<std::string, Json> _kept VA_GUARDED_BY(_lock);  // by name, as posted
    std::set<std::string> _pending VA_GUARDED_BY(_lock);  // kept, not yet defined in the framework
    bool _stopping VA_GUARDED_BY(_lock) = false;
    bool _keeperRunning VA_GUARDED_BY(_lock) = false;
    pthread_t _keeper{};
};

}  // namespace vorpane::api

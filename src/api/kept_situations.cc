#include "api/kept_situations.h"

#include <utility>

#include "interfaces/support.h"

namespace vorpane::api {

namespace {
constexpr double kKeepRetrySeconds = 5;
}  // namespace

KeptSituations::KeptSituations(std::string path) : _store(std::move(path)) {}

KeptSituations::~KeptSituations() { stop(); }

void KeptSituations::defineAll() {
    std::vector<Json> kept;
    std::string loadError;
    if (!_store.load(&kept, &loadError)) {
        VA_ERROR("Error: kept situations not loaded: %s\n", loadError.c_str());
    }
    bool anyPending = false;
    for (const Json& body : kept) {
        bool tableMissing = false;
        if (!define(body, &tableMissing) && !tableMissing) {
            continue;
        }
        ScopedLock guard(_lock);
        const std::string situation = body.value("name", "");
        _kept[situation] = body;
        if (tableMissing) {
            _pending.insert(situation);
            anyPending = true;
        }
    }
    if (anyPending) {
        ScopedLock guard(_lock);
        _keeperRunning = ZOT0_CreateThread([this] { keeperLoop(); }, 0, &_keeper, "api-keep") == 0;
    }
}

bool KeptSituations::define(const Json& body, bool* tableMissing) {
    *tableMissing = false;
    axf::SituationDef def;
    std::string where, error;
    size_t position = 0;
    if (!situationDefFromJson(body, &def, &where, &error, &position)) {
        VA_ERROR("Error: kept situation %s not defined: %s\n", body.value("name", "?").c_str(), error.c_str());
        return false;
    }
    axf::Status st = axf::addSituation(def);
    if (st.ok() || st.code == axf::kExists) {
        VA_STATE("Kept situation %s defined\n", def.name.c_str());
        return true;
    }
    *tableMissing = st.code == axf::kNotFound;
    if (!*tableMissing) {
        VA_ERROR("Error: kept situation %s not defined: %s\n", def.name.c_str(), st.message.c_str());
    }
    return false;
}

void KeptSituations::keep(const axf::SituationDef& def, Json body) {
    std::string error;
    bool saved = true;
    {
        ScopedLock guard(_lock);
        _kept[def.name] = std::move(body);
        saved = _store.save(_kept, &error);
    }
    if (!saved) {
        VA_ERROR("Error: the situation %s is defined but could not be kept: %s\n", def.name.c_str(), error.c_str());
    }
}

bool KeptSituations::forget(const std::string& name) {
    std::string error;
    bool saved = true;
    bool wasKept = false;
    {
        ScopedLock guard(_lock);
        wasKept = _kept.erase(name) > 0;
        _pending.erase(name);
        saved = !wasKept || _store.save(_kept, &error);
    }
    if (!saved) {
        VA_ERROR("Error: the situation %s is removed but the kept list could not be written: %s\n", name.c_str(),
                 error.c_str());
    }
    return wasKept;
}

std::vector<Json> KeptSituations::pending(const std::set<std::string>& defined) {
    std::vector<Json> out;
    ScopedLock guard(_lock);
    for (const std::string& name : _pending) {
        if (defined.count(name) == 0) {
            out.push_back(_kept[name]);
        }
    }
    return out;
}

void KeptSituations::keeperLoop() {
    for (;;) {
        std::vector<Json> bodies;
        {
            ScopedLock guard(_lock);
            _changed.waitUntil(_lock, kKeepRetrySeconds, [this]() VA_REQUIRES(_lock) { return _stopping; });
            if (_stopping) {
                return;
            }
            for (const std::string& name : _pending) {
                bodies.push_back(_kept[name]);
            }
        }
        if (bodies.empty()) {
            return;
        }
        std::vector<std::string> settled;
        for (const Json& body : bodies) {
            bool tableMissing = false;
            if (define(body, &tableMissing) || !tableMissing) {
                settled.push_back(body.value("name", ""));
            }
        }
        ScopedLock guard(_lock);
        for (const std::string& n : settled) {
            _pending.erase(n);
        }
    }
}

void KeptSituations::stop() {
    bool join = false;
    {
        ScopedLock guard(_lock);
        _stopping = true;
        join = _keeperRunning;
        _keeperRunning = false;
        _changed.broadcast();
    }
    if (join) {
        pthread_join(_keeper, nullptr);
    }
}

}  // namespace vorpane::api

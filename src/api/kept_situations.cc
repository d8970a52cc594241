#include "api/kept_situations.h"

#include <utility>

#include "api/api_http.h"
#include "api/api_names.h"
#include "interfaces/support.h"

namespace vorpane::api {

namespace {

std::string tableText(std::string_view appl, std::string_view table) {
    return "<" + std::string(appl) + "/" + std::string(table) + ">";
}

// The table a situation names as it is registered now: with exactly these names, else the current
// release of the same application and table (by its code or its group's name); null when there is
// none or the names fit several.
const axf::TableDesc* registeredTable(const std::string& appl, const std::string& table,
                                      const std::vector<axf::TableDesc>& tables) {
    for (const axf::TableDesc& t : tables) {
        if (t.applName == appl && t.tableName == table) {
            return &t;
        }
    }
    return findTable(appl, table, tables).table;
}

std::string noColumnsYet(const axf::TableDesc& t) {
    return "its table " + tableText(t.applName, t.tableName) +
           " has no columns yet (its application is not online)";
}

}  // namespace

KeptSituations::KeptSituations(std::string path) : _store(std::move(path)) {
    std::vector<Json> entries;
    std::string error;
    const bool loaded = _store.load(&entries, &error);
    ScopedLock guard(_lock);
    if (!loaded) {
        std::string asideError;
        std::string aside = _store.setAside(&asideError);
        if (aside.empty()) {
            _readOnly = true;  // what it holds is not overwritten
            VA_ERROR("Error: kept situations not loaded: %s; %s, so situations defined now are not kept\n",
                     error.c_str(), asideError.c_str());
        } else {
            VA_ERROR("Error: kept situations not loaded: %s; the file is kept as %s\n", error.c_str(),
                     aside.c_str());
        }
    }
    for (Json& e : entries) {
        auto name = e.is_object() ? e.find("name") : e.end();
        if (name == e.end() || !name->is_string() ||
            !validName(name->get<std::string>(), kMaxSituationName) ||
            _kept.count(name->get<std::string>()) != 0) {
            VA_ERROR(
                "Error: an entry of %s is not a situation with a name of its own; it stays in the file as "
                "it is\n",
                _store.path().c_str());
            _unusable.push_back(std::move(e));
            continue;
        }
        std::string key = name->get<std::string>();
        _kept.emplace(std::move(key), std::move(e));
    }
}

KeptSituations::~KeptSituations() {
    stop();
}

void KeptSituations::defineAll() {
    // Not under _lock: the framework calls the listener with a lock of its own held, and the listener
    // takes _lock.
    const uint64_t watch = axf::watchChanges([this] {
        ScopedLock wake(_lock);
        _dirty = true;
        _changed.broadcast();
    });
    {
        ScopedLock guard(_lock);
        _watch = watch;
    }
    {
        ScopedLock define(_defineLock);
        defineWaiting();
    }
    ScopedLock guard(_lock);
    _keeperRunning = ZOT0_CreateThread([this] { keeperLoop(); }, 0, &_keeper, "api-keep") == 0;
    if (!_keeperRunning) {
        VA_ERROR(
            "Error: the keeper of kept situations did not start; pending ones wait for the next start\n");
    }
}

KeptSituations::Attempt KeptSituations::define(const Json& body, const std::vector<axf::TableDesc>& tables) {
    Attempt a;
    axf::SituationDef def;
    std::string where, error;
    size_t position = 0;
    if (!situationDefFromJson(body, &def, &where, &error, &position)) {
        a.reason = "its definition is not usable: " +
                   (position > 0 ? "the where text at character " + std::to_string(position) + ": "
                                 : std::string()) +
                   error;
        a.refused = true;
        return a;
    }
    const axf::TableDesc* table = registeredTable(def.applName, def.tableName, tables);
    if (table == nullptr) {
        a.reason = "no release of its table " + tableText(def.applName, def.tableName) + " is registered yet";
        return a;
    }
    if (table->columns.empty()) {
        a.reason = noColumnsYet(*table);
        return a;
    }
    def.applName = table->applName;
    def.tableName = table->tableName;
    axf::Status st = axf::addSituation(def);
    if (!st.ok() && st.code != axf::kExists) {
        a.reason = st.message;
        a.refused = true;
        return a;
    }
    a.table = tableText(def.applName, def.tableName);
    return a;
}

void KeptSituations::defineWaiting() {
    std::map<std::string, Json> kept;
    {
        ScopedLock guard(_lock);
        kept = _kept;
    }
    std::set<std::string> defined;
    for (const axf::SituationDef& d : axf::listSituations()) {
        defined.insert(d.name);
    }
    std::vector<axf::TableDesc> tables;
    bool described = false;
    std::map<std::string, Attempt> attempts;
    for (const auto& [name, body] : kept) {
        if (defined.count(name) != 0) {
            continue;
        }
        if (!described) {
            tables = axf::listTables();
            described = true;
        }
        attempts.emplace(name, define(body, tables));
    }
    ScopedLock guard(_lock);
    std::map<std::string, std::string> reasons;
    for (const auto& [name, a] : attempts) {
        if (_kept.count(name) == 0) {
            continue;  // deleted meanwhile
        }
        if (a.reason.empty()) {
            VA_STATE("Kept situation %s defined on %s\n", name.c_str(), a.table.c_str());
            continue;
        }
        auto before = _reasons.find(name);
        if (before == _reasons.end() || before->second != a.reason) {
            if (a.refused) {
                VA_ERROR("Error: kept situation %s not defined: %s\n", name.c_str(), a.reason.c_str());
            } else {
                VA_STATE("Kept situation %s pending: %s\n", name.c_str(), a.reason.c_str());
            }
        }
        reasons[name] = a.reason;
    }
    _reasons = std::move(reasons);
}

axf::Status KeptSituations::add(axf::SituationDef def, const std::string& where, Json* answer) {
    ScopedLock define(_defineLock);
    {
        ScopedLock guard(_lock);
        if (_kept.count(def.name) != 0) {
            return axf::Status{axf::kExists, "a situation named " + def.name + " exists"};
        }
    }
    std::vector<axf::TableDesc> tables = axf::listTables();
    const axf::TableDesc* table = registeredTable(def.applName, def.tableName, tables);
    if (table == nullptr) {
        return axf::Status{axf::kNotFound, "no table " + tableText(def.applName, def.tableName)};
    }
    def.applName = table->applName;
    def.tableName = table->tableName;
    std::string pendingReason;
    if (table->columns.empty()) {
        for (const axf::SituationDef& d : axf::listSituations()) {
            if (d.name == def.name) {
                return axf::Status{axf::kExists, "a situation named " + def.name + " exists"};
            }
        }
        pendingReason = noColumnsYet(*table);
    } else if (axf::Status st = axf::addSituation(def); !st.ok()) {
        return st;
    }
    // Kept without the release, so that the next release of the application takes it too.
    const TableStem stem = tableStem(def.applName, def.tableName);
    Json body{{"name", def.name},     {"application", stem.applName},    {"table", stem.tableName},
              {"where", where},       {"interval", def.intervalSeconds}, {"event", def.event},
              {"action", def.action}, {"atomic", def.atomicColumn},      {"subnodes", def.subnodes}};
    std::string error;
    ScopedLock guard(_lock);
    _kept[def.name] = std::move(body);
    if (!pendingReason.empty()) {
        _reasons[def.name] = pendingReason;
        *answer = pendingJson(def.name);
        VA_STATE("Kept situation %s pending: %s\n", def.name.c_str(), pendingReason.c_str());
    } else {
        *answer = situationDefJson(def);
    }
    if (!save(&error)) {
        VA_ERROR("Error: the situation %s is defined but could not be kept: %s\n", def.name.c_str(),
                 error.c_str());
    }
    return axf::Status{};
}

axf::Status KeptSituations::remove(const std::string& name) {
    ScopedLock define(_defineLock);
    axf::Status st = axf::removeSituation(name);
    std::string error;
    bool wasKept = false;
    bool saved = true;
    {
        ScopedLock guard(_lock);
        wasKept = _kept.erase(name) > 0;
        _reasons.erase(name);
        saved = !wasKept || save(&error);
    }
    if (!saved) {
        VA_ERROR("Error: the situation %s is removed but the kept list could not be written: %s\n",
                 name.c_str(), error.c_str());
    }
    if (!st.ok() && !(st.code == axf::kNotFound && wasKept)) {
        return st;
    }
    return axf::Status{};
}

bool KeptSituations::save(std::string* error) {
    if (_readOnly) {
        *error = _store.path() + " could not be read and is left as it is";
        return false;
    }
    std::vector<Json> entries;
    entries.reserve(_kept.size() + _unusable.size());
    for (const auto& [name, body] : _kept) {
        entries.push_back(body);
    }
    entries.insert(entries.end(), _unusable.begin(), _unusable.end());
    return _store.save(entries, error);
}

Json KeptSituations::pendingJson(const std::string& name) {
    Json j = _kept[name];
    j["state"] = "pending";
    auto reason = _reasons.find(name);
    j["reason"] = reason != _reasons.end() ? reason->second : "waiting for its table";
    return j;
}

std::vector<Json> KeptSituations::pending(const std::set<std::string>& defined) {
    std::vector<Json> out;
    ScopedLock guard(_lock);
    for (const auto& [name, body] : _kept) {
        if (defined.count(name) == 0) {
            out.push_back(pendingJson(name));
        }
    }
    return out;
}

bool KeptSituations::pendingOne(const std::string& name, Json* out) {
    ScopedLock guard(_lock);
    if (_kept.count(name) == 0) {
        return false;
    }
    *out = pendingJson(name);
    return true;
}

void KeptSituations::keeperLoop() {
    for (;;) {
        {
            ScopedLock guard(_lock);
            _changed.waitUntil(_lock, _reasons.empty() ? -1 : kKeepRetrySeconds,
                               [this]() VA_REQUIRES(_lock) { return _stopping || _dirty; });
            if (_stopping) {
                return;
            }
            _dirty = false;
        }
        ScopedLock define(_defineLock);
        defineWaiting();
    }
}

void KeptSituations::stop() {
    uint64_t watch = 0;
    {
        ScopedLock guard(_lock);
        std::swap(watch, _watch);
    }
    if (watch != 0) {
        axf::unwatchChanges(watch);  // outside _lock: a call under way takes it
    }
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

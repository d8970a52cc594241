// The registry of table managers and the handles of open requests.
//
// Managers are not owned: a table class makes its managers and keeps them; a manager leaves the
// registry in Shutdown or its destructor. RemoteManager::GetManager holds the registry so that a
// manager found through it is not unregistered before Drop.
//
// Handles name open requests. They are 32-bit numbers (the hub carries request references in 4 bytes)
// and are never 0. Pins taken with UseHandle keep the request alive until Drop.
#include <strings.h>

#include <map>
#include <unordered_map>

#include "interfaces/support.h"
#include "platform/axf/engine.h"

namespace {

struct Registry {
    vorpane::Mutex lock;
    vorpane::CondVar cond;
    // Keyed by "appl/table", compared as given (names carry their release).
    std::map<std::string, TableManager*> managers VA_GUARDED_BY(lock);
    int holders VA_GUARDED_BY(lock) = 0;  // GetManager without Drop yet
};

Registry& registry() {
    static Registry* r = new Registry();  // framework threads may still call in during exit
    return *r;
}

std::string key(std::string_view appl, std::string_view table) {
    std::string k;
    k.reserve(appl.size() + table.size() + 1);
    k.append(appl).append(1, '/').append(table);
    return k;
}

struct HandleEntry {
    plaxf* request;
    int pins = 0;
    bool closing = false;
};

struct Handles {
    vorpane::Mutex lock;
    vorpane::CondVar cond;
    std::unordered_map<unsigned long, HandleEntry> entries VA_GUARDED_BY(lock);
    uint32_t next VA_GUARDED_BY(lock) = 0;
};

Handles& handles() {
    static Handles* h = new Handles();
    return *h;
}

RemoteManager g_remoteManager;

}  // namespace

namespace axf::detail {

unsigned long registerHandle(plaxf* request) {
    Handles& h = handles();
    vorpane::ScopedLock g(h.lock);
    for (;;) {
        uint32_t candidate = ++h.next;
        if (candidate != 0 && h.entries.find(candidate) == h.entries.end()) {
            h.entries.emplace(candidate, HandleEntry{request});
            return candidate;
        }
    }
}

void releaseHandle(unsigned long handle) {
    Handles& h = handles();
    vorpane::ScopedLock g(h.lock);
    auto it = h.entries.find(handle);
    if (it == h.entries.end()) {
        return;
    }
    it->second.closing = true;
    h.cond.waitUntil(h.lock, -1, [&]() VA_REQUIRES(h.lock) { return h.entries.at(handle).pins == 0; });
    h.entries.erase(handle);
}

int pinHandle(unsigned long handle, const plaxf* request) {
    Handles& h = handles();
    vorpane::ScopedLock g(h.lock);
    auto it = h.entries.find(handle);
    if (it == h.entries.end() || it->second.closing || it->second.request != request) {
        VA_ERROR("Error: handle %lu is not valid\n", handle);
        return AXF_RC_UNKNOWN;
    }
    ++it->second.pins;
    return 0;
}

plaxf* pinRequest(unsigned long handle) {
    Handles& h = handles();
    vorpane::ScopedLock g(h.lock);
    auto it = h.entries.find(handle);
    if (it == h.entries.end() || it->second.closing) {
        return nullptr;
    }
    ++it->second.pins;
    return it->second.request;
}

void unpinHandle(unsigned long handle) {
    Handles& h = handles();
    vorpane::ScopedLock g(h.lock);
    auto it = h.entries.find(handle);
    if (it == h.entries.end() || it->second.pins == 0) {
        VA_ERROR("Error: Drop of handle %lu that is not in use\n", handle);
        return;
    }
    if (--it->second.pins == 0) {
        h.cond.broadcast();
    }
}

std::vector<TableManager*> registeredManagers() {
    Registry& r = registry();
    vorpane::ScopedLock g(r.lock);
    std::vector<TableManager*> out;
    out.reserve(r.managers.size());
    for (const auto& [k, m] : r.managers) {
        out.push_back(m);
    }
    return out;
}

void unregisterManager(TableManager* manager) {
    Registry& r = registry();
    vorpane::ScopedLock g(r.lock);
    auto it = r.managers.find(key(manager->ApplicationName(), manager->TableName()));
    if (it == r.managers.end() || it->second != manager) {
        return;
    }
    // A manager found through GetManager stays until that holder drops the registry.
    r.cond.waitUntil(r.lock, -1, [&]() VA_REQUIRES(r.lock) { return r.holders == 0; });
    r.managers.erase(key(manager->ApplicationName(), manager->TableName()));
    VA_STATE("Table <%s/%s> unregistered\n", manager->ApplicationName(), manager->TableName());
}

}  // namespace axf::detail

RemoteManager* RemoteManager::GetManager() {
    Registry& r = registry();
    vorpane::ScopedLock g(r.lock);
    ++r.holders;
    return &g_remoteManager;
}

int RemoteManager::RegisterClass(TableManager* manager) {
    if (manager == nullptr || *manager->ApplicationName() == '\0' || *manager->TableName() == '\0') {
        VA_ERROR("Error: RegisterClass without a table manager or its names\n");
        return AXF_RC_UNKNOWN;
    }
    {
        Registry& r = registry();
        vorpane::ScopedLock g(r.lock);
        auto [it, added] = r.managers.emplace(key(manager->ApplicationName(), manager->TableName()), manager);
        if (!added) {
            if (it->second == manager) {
                return 0;  // registering the same manager again changes nothing
            }
            VA_ERROR("Error: table <%s/%s> is already registered\n", manager->ApplicationName(), manager->TableName());
            return AXF_RC_DUPLICATE;
        }
        VA_STATE("Table <%s/%s> registered @%p\n", manager->ApplicationName(), manager->TableName(),
                 static_cast<void*>(manager));
    }
    axf::detail::notifyChanges();
    return 0;
}

TableManager* RemoteManager::FindTableManager(const char* applName, const char* tableName) {
    if (applName == nullptr || tableName == nullptr) {
        return nullptr;
    }
    Registry& r = registry();
    vorpane::ScopedLock g(r.lock);
    auto it = r.managers.find(key(applName, tableName));
    return it != r.managers.end() ? it->second : nullptr;
}

unsigned long RemoteManager::Handle() const { return 1; }

void RemoteManager::Drop() {
    Registry& r = registry();
    vorpane::ScopedLock g(r.lock);
    if (r.holders > 0 && --r.holders == 0) {
        r.cond.broadcast();
    }
}

TableManager::TableManager(const char* applicationName, const char* tableName)
    : _applName(applicationName != nullptr ? applicationName : ""), _tableName(tableName != nullptr ? tableName : "") {}

TableManager::~TableManager() { TableManager::Shutdown(0); }

int TableManager::Shutdown(unsigned long code) {
    VA_STATE("Shutdown(0x%lx) of table <%s/%s>\n", code, ApplicationName(), TableName());
    axf::detail::unregisterManager(this);
    axf::detail::closeRequestsOf(this);
    axf::detail::notifyChanges();
    return 0;
}

TableFacts TableManager::Facts() const { return _facts; }

int TableManager::lock() { return _lock.lock(); }

int TableManager::unlock() { return _lock.unlock(); }

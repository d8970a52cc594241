#include "tables/zot_vorpane_manager.h"

#include <map>
#include <mutex>
#include <string_view>

#include "interfaces/support.h"
#include "metadata/user_data_info.h"
#include "tables/open_requests.h"
#include "tables/zot_vorpane_agent.h"

namespace {

// The agent's own application: its groups are the agent's bookkeeping, not a user's data.
constexpr const char* kAgentApplicationName = "VAGENT";

// The managers made by zot_vorpane_init, kept until released.
struct Keeper {
    vorpane::Mutex lock;
    std::map<zot_vorpane_manager*, std::unique_ptr<zot_vorpane_manager>> managers VA_GUARDED_BY(lock);
};

Keeper& keeper() {
    static Keeper* k = new Keeper();  // framework threads may still reach managers during exit
    return *k;
}

}  // namespace

zot_vorpane_manager::zot_vorpane_manager(const char* applName, const char* tableName)
    : TableManager(applName, tableName) {
    VA_STORAGE("New zot_vorpane_manager @%p <%s/%s>\n", static_cast<void*>(this), ApplicationName(),
               TableName());
}

zot_vorpane_manager::~zot_vorpane_manager() {
    VA_STORAGE("Deleting zot_vorpane_manager @%p\n", static_cast<void*>(this));
}

void zot_vorpane_manager::setUserDataPtr(vorpane::metadata::userDataInfo* udi) {
    // A layout not owned by a shared_ptr cannot be shared: the manager then holds none.
    std::shared_ptr<vorpane::metadata::userDataInfo> share = udi != nullptr ? udi->weak_from_this().lock() : nullptr;
    if (udi != nullptr && share == nullptr) {
        VA_ERROR("Error: the layout @%p of <%s/%s> has no owner to share it\n", static_cast<void*>(udi),
                 ApplicationName(), TableName());
    }
    vorpane::ScopedLock guard(_layoutLock);
    _udi = std::move(share);
}

std::shared_ptr<vorpane::metadata::userDataInfo> zot_vorpane_manager::layout() const {
    vorpane::ScopedLock guard(_layoutLock);
    return _udi;
}

bool zot_vorpane_manager::releaseLayout(const vorpane::metadata::userDataInfo* udi) {
    std::shared_ptr<vorpane::metadata::userDataInfo> released;
    {
        vorpane::ScopedLock guard(_layoutLock);
        if (udi == nullptr || _udi.get() != udi) {
            return false;
        }
        released = std::move(_udi);
    }
    // The manager's share goes outside its lock: it may be the last one.
    released.reset();
    return true;
}

TableFacts zot_vorpane_manager::Facts() const {
    TableFacts facts;
    // The application name carries the release: "VAGENT00".
    const std::string_view appl = ApplicationName();
    const std::string_view agent = kAgentApplicationName;
    facts.internal = appl.substr(0, agent.size()) == agent && appl.size() == agent.size() + 2;
    const std::shared_ptr<vorpane::metadata::userDataInfo> udi = layout();
    if (udi == nullptr) {
        return facts;  // registered before its application came online: the facade names it
    }
    facts.application = udi->applName();
    facts.release = udi->RR();
    facts.group = udi->attrGroup();
    facts.help = udi->groupHelp();
    facts.sampleType = udi->sampleType() == '?' ? 0 : udi->sampleType();
    facts.ttlSeconds = udi->TTL();
    return facts;
}

std::unique_ptr<plaxf> zot_vorpane_manager::CreatePlaxf(RequestDetail* request, ContextInfo* context) {
    return std::make_unique<zot_vorpane_agent>(request, context, this);
}

int zot_vorpane_manager::EventArrived(char* row, int length) {
    RemoteManager* remote = RemoteManager::GetManager();
    if (remote == nullptr) {
        VA_ERROR("Error: RemoteManager pointer was NULL.\n");
        return 1;
    }
    int rc = 0;
    if (layout() == nullptr) {
        VA_ERROR("Error: _coInfo was NULL.\n");
        rc = 1;
    } else if (auto* table = dynamic_cast<zot_vorpane_manager*>(
                   remote->FindTableManager(ApplicationName(), TableName()))) {
        rc = table->AddDataToEvent(row, length);
    }
    remote->Drop();
    return rc;
}

int zot_vorpane_manager::AddDataToEvent(char* row, int length) {
    return vorpane::tables::feedOpenRequests<zot_vorpane_agent>(
        *this, [&](zot_vorpane_agent& request) { request.AddData(row, length); });
}

zot_vorpane_manager* zot_vorpane_init(const char* applName, const char* tableName,
                                      vorpane::metadata::userDataInfo* udi, zot_vorpane_manager* mgr,
                                      short SNMPflag) {
    if ((applName == nullptr || tableName == nullptr) && mgr != nullptr) {
        if (udi == nullptr) {
            VA_ERROR("Error: userData was NULL.\n");
            return nullptr;
        }
        mgr->setUserDataPtr(udi);
        udi->setTableManager(mgr);
        return mgr;
    }
    if (applName == nullptr || tableName == nullptr) {
        VA_ERROR("Error: allocating zot_vorpane_manager\n");
        return nullptr;
    }
    auto made = std::make_unique<zot_vorpane_manager>(applName, tableName);
    zot_vorpane_manager* manager = made.get();
    const int rc = RemoteManager::RegisterClass(manager);
    VA_STATE("RegisterClass of <%s/%s> @%p returned %d\n", applName, tableName, static_cast<void*>(manager),
             rc);
    if (mgr == nullptr && udi != nullptr) {
        manager->setUserDataPtr(udi);
        udi->setTableManager(manager);
    }
    manager->SNMPflag(static_cast<uint16_t>(SNMPflag));
    Keeper& k = keeper();
    vorpane::ScopedLock guard(k.lock);
    k.managers.emplace(manager, std::move(made));
    return manager;
}

void zot_vorpane_release(zot_vorpane_manager* mgr) {
    if (mgr == nullptr) {
        return;
    }
    std::unique_ptr<zot_vorpane_manager> owned;
    {
        Keeper& k = keeper();
        vorpane::ScopedLock guard(k.lock);
        auto it = k.managers.find(mgr);
        if (it == k.managers.end()) {
            VA_ERROR("Error: zot_vorpane_manager @%p is not known\n", static_cast<void*>(mgr));
            return;
        }
        owned = std::move(it->second);
        k.managers.erase(it);
    }
    owned->Shutdown(0);
}

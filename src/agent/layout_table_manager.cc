#include "agent/layout_table_manager.h"

#include <map>
#include <memory>
#include <string>

#include "interfaces/trace.h"

namespace {

class emptyRequest : public plaxf {
public:
    using plaxf::plaxf;
    void TakeSample() override {}
};

struct keeper {
    vorpane::Mutex lock;
    std::map<std::string, std::unique_ptr<layoutTableManager>> managers VA_GUARDED_BY(lock);
};

keeper& managers() {
    static keeper* k = new keeper();  // reachable for the life of the process, like the framework's hold
    return *k;
}

}  // namespace

std::unique_ptr<plaxf> layoutTableManager::CreatePlaxf(RequestDetail* request, ContextInfo* context) {
    return std::make_unique<emptyRequest>(request, context, this);
}

TableManager* makeLayoutTableManager(const char* applName, const char* tableName,
                                     vorpane::metadata::userDataInfo* layout, short /*snmpFlag*/) {
    keeper& k = managers();
    vorpane::ScopedLock guard(k.lock);
    std::unique_ptr<layoutTableManager>& slot = k.managers[std::string(applName) + "/" + tableName];
    if (slot == nullptr) {
        auto made = std::make_unique<layoutTableManager>(applName, tableName);
        if (int rc = TableManager::RegisterWithManager(made.get()); rc != 0) {
            VA_ERROR("Error: RegisterClass of table <%s/%s> failed rc=0x%x\n", applName, tableName, rc);
            k.managers.erase(std::string(applName) + "/" + tableName);
            return nullptr;
        }
        slot = std::move(made);
    }
    if (layout != nullptr) {
        slot->setLayout(layout);
    }
    return slot.get();
}

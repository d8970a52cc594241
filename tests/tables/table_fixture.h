// Set-up of the table-class tests: a samples index held in memory (row stores per application key,
// table and source; subnodes known per table; deferred requests), and requests opened on a manager
// the way the framework opens them.
#pragma once

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "../datapath/datapath_test_support.h"
#include "datapath/samples_access.h"
#include "platform/axf/engine.h"
#include "tables/zot_vorpane_agent.h"
#include "tables/zot_vorpane_manager.h"

namespace vorpane::datapath::testing {

class MemorySamples : public samplesAccess {
public:
    struct Deferral {
        std::string applKey, subnode;
        plaxf* request;
        unsigned long handle;
        int eventRequest;
    };

    dataList* dataListPtr(const char* applKey, const char* tableName, const char* sourceName) override {
        auto it = stores.find(key(applKey, tableName, sourceName));
        return it != stores.end() ? it->second.get() : nullptr;
    }
    int updateDataList(const char* applKey, const char* attrGroup, const char* sourceName,
                       std::unique_ptr<dataList>* store) override {
        auto table = tablesOfGroup.find(attrGroup);
        if (table == tablesOfGroup.end() || !acceptStores) {
            return 1;
        }
        stores[key(applKey, table->second.c_str(), sourceName)] = std::move(*store);
        return 0;
    }
    int subnodeOnlineForTable(const char* subnodeName, const char* tableName) override {
        return online.count(std::string(subnodeName) + "/" + tableName) != 0 ? 1 : 0;
    }
    bool getOriginalSubnodeName(const char* subnodeName, const char* tableName, std::string* out) override {
        if (subnodeOnlineForTable(subnodeName, tableName) == 0) {
            return false;
        }
        *out = subnodeName;
        return true;
    }
    int16_t isDemandReportingEnabled(const char*, const char*, const char*) override { return 0; }
    int requestDefer(const char* applKey, const char* subnodeName, plaxf* request, unsigned long handle,
                     int eventRequest) override {
        deferred.push_back({applKey, subnodeName, request, handle, eventRequest});
        return 0;
    }
    void removeDeferRequest(const char* applKey, const char* tableName, const char* sourceName,
                            plaxf* request) override {
        removed.push_back(std::string(applKey) + "/" + tableName + "/" + sourceName);
        (void)request;
    }

    // A row store for a source, as the collection thread would attach it.
    dataList& store(const metadata::userDataInfo& udi, const std::string& source) {
        auto list = std::make_unique<dataList>(udi.applKey(), udi.tableNameRR(), source.c_str(), udi.rowSize(), udi.TTL());
        list->userData(&udi);
        if (udi.columnKeyed(1)) {
            list->addKey(1, udi.columnType(1), udi.columnOffset(1), udi.columnLength(1));
        }
        dataList& ref = *list;
        stores[key(udi.applKey(), udi.tableNameRR(), source.c_str())] = std::move(list);
        return ref;
    }
    void bringOnline(const std::string& subnode, const std::string& table) { online.insert(subnode + "/" + table); }

    static std::string key(const char* a, const char* t, const char* s) { return std::string(a) + "/" + t + "/" + s; }

    std::map<std::string, std::unique_ptr<dataList>> stores;
    std::map<std::string, std::string> tablesOfGroup;  // attribute group -> table name
    std::set<std::string> online;
    std::vector<Deferral> deferred;
    std::vector<std::string> removed;
    bool acceptStores = true;
};

// The framework's side of an open request: what it dispatched.
class OpenRequests : public axf::detail::RequestOwner {
public:
    ~OpenRequests() override { closeAll(); }

    zot_vorpane_agent& open(zot_vorpane_manager& manager, RequestDetail detail) {
        ContextInfo context{"tester"};
        std::unique_ptr<plaxf> request = manager.CreatePlaxf(&detail, &context);
        plaxf* raw = request.get();
        axf::detail::Access::attach(*raw, this, axf::detail::registerHandle(raw));
        {
            ScopedLock guard(manager.mutex());
            axf::detail::Access::open(manager).push_back(raw);
        }
        _open.push_back({&manager, std::move(request)});
        return *static_cast<zot_vorpane_agent*>(raw);
    }
    void closeAll() {
        for (auto& [manager, request] : _open) {
            {
                ScopedLock guard(manager->mutex());
                auto& open = axf::detail::Access::open(*manager);
                open.erase(std::remove(open.begin(), open.end(), request.get()), open.end());
            }
            axf::detail::releaseHandle(request->Handle());
        }
        _open.clear();
    }

    int dispatched(plaxf& request) override {
        for (int i = 0; i < request.NumDataItems(); ++i) {
            events.emplace_back(request.Data(i));
        }
        return 0;
    }
    void deferRequested(plaxf&) override {}
    void redriveRequested(plaxf&) override {}
    bool isDeferred(const plaxf&) const override { return false; }
    void commandCompleted(plaxf&, PlaxfAutomationCapsule*) override {}

    std::vector<RowView> events;

private:
    struct Open {
        zot_vorpane_manager* manager;
        std::unique_ptr<plaxf> request;
    };
    std::vector<Open> _open;
};

// The rows a request holds after a sample.
inline std::vector<RowView> rowsOf(const plaxf& request) {
    std::vector<RowView> rows;
    for (int i = 0; i < request.NumDataItems(); ++i) {
        rows.emplace_back(request.Data(i));
    }
    return rows;
}

inline std::vector<std::string> namesOf(const plaxf& request) {
    std::vector<std::string> names;
    for (const RowView& r : rowsOf(request)) {
        names.push_back(r.name);
    }
    return names;
}

}  // namespace vorpane::datapath::testing

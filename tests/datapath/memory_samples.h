// A samples index held in memory for the data-path and table tests: row stores per application key,
// table and source; subnodes known per table; deferred requests.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "datapath/samples_access.h"
#include "datapath_test_support.h"

namespace vorpane::datapath::testing {

class MemorySamples : public samplesAccess {
  public:
    struct Deferral {
        std::string applKey, subnode;
        plaxf* request;
        unsigned long handle;
        int eventRequest;
    };

    std::shared_ptr<dataList> dataListPtr(const char* applKey, const char* tableName,
                                          const char* sourceName) override {
        std::lock_guard<std::recursive_mutex> g(lock);
        auto it = stores.find(key(applKey, tableName, sourceName));
        return it != stores.end() ? it->second : nullptr;
    }
    int updateDataList(const char* applKey, const char* attrGroup, const char* sourceName,
                       const std::shared_ptr<dataList>& store) override {
        std::lock_guard<std::recursive_mutex> g(lock);
        auto table = tablesOfGroup.find(attrGroup);
        if (table == tablesOfGroup.end() || !acceptStores) {
            return 1;
        }
        stores[key(applKey, table->second.c_str(), sourceName)] = store;
        return 0;
    }
    int subnodeOnlineForTable(const char* subnodeName, const char* tableName) override {
        std::lock_guard<std::recursive_mutex> g(lock);
        return online.count(std::string(subnodeName) + "/" + tableName) != 0 ? 1 : 0;
    }
    bool getOriginalSubnodeName(const char* subnodeName, const char* tableName, std::string* out) override {
        std::lock_guard<std::recursive_mutex> g(lock);
        if (subnodeOnlineForTable(subnodeName, tableName) == 0) {
            return false;
        }
        *out = subnodeName;
        return true;
    }
    int16_t isDemandReportingEnabled(const char*, const char*, const char*) override { return 0; }
    int requestDefer(const char* applKey, const char* subnodeName, plaxf* request, unsigned long handle,
                     int eventRequest) override {
        std::lock_guard<std::recursive_mutex> g(lock);
        deferred.push_back({applKey, subnodeName, request, handle, eventRequest});
        return 0;
    }
    void removeDeferRequest(const char* applKey, const char* tableName, const char* sourceName,
                            plaxf* request) override {
        std::lock_guard<std::recursive_mutex> g(lock);
        removed.push_back(std::string(applKey) + "/" + tableName + "/" + sourceName);
        (void)request;
    }

    int redriveDeferredReportRequest(const char* applKey, const char* attrGroup, const char* sourceName,
                                     int32_t actionID) override {
        std::lock_guard<std::recursive_mutex> g(lock);
        answered.push_back(std::string(applKey) + "/" + attrGroup + "/" + sourceName + "/" + std::to_string(actionID));
        if (onAnswer) {
            onAnswer(actionID);
        }
        return 0;
    }

    // A row store for a source, as the collection thread would attach it.
    dataList& store(const metadata::userDataInfo& udi, const std::string& source) {
        std::lock_guard<std::recursive_mutex> g(lock);
        auto list = std::make_shared<dataList>(udi.applKey(), udi.tableNameRR(), source.c_str(),
                                               udi.rowSize(), udi.TTL());
        list->userData(&udi);
        if (udi.columnKeyed(1)) {
            list->addKey(1, udi.columnType(1), udi.columnOffset(1), udi.columnLength(1));
        }
        dataList& ref = *list;
        stores[key(udi.applKey(), udi.tableNameRR(), source.c_str())] = std::move(list);
        return ref;
    }
    void bringOnline(const std::string& subnode, const std::string& table) {
        std::lock_guard<std::recursive_mutex> g(lock);
        online.insert(subnode + "/" + table);
    }

    static std::string key(const char* a, const char* t, const char* s) {
        return std::string(a) + "/" + t + "/" + s;
    }

    std::map<std::string, std::shared_ptr<dataList>> stores;
    std::map<std::string, std::string> tablesOfGroup;  // attribute group -> table name
    std::set<std::string> online;
    std::vector<Deferral> deferred;
    std::vector<std::string> removed;
    std::vector<std::string> answered;          // "applKey/attrGroup/source/actionID" of each answer
    std::function<void(int32_t)> onAnswer;      // runs on the answering thread, under the lock

    std::atomic<bool> acceptStores{true};  // false: updateDataList refuses, as before the subnode is known
    std::recursive_mutex lock;             // the collection thread calls in too
};

}  // namespace vorpane::datapath::testing

// zot_vorpane_manager: the framework table manager of one attribute group's table.
//
// Made by the table layout (userDataInfo) through zot_vorpane_init, one per application table and
// release, registered with the framework, and kept for the life of the process (the table-manager
// list remembers it; a later release retires it with Shutdown). The framework calls CreatePlaxf on
// its own threads for each request on the table; the collection thread hands event rows to
// EventArrived, which feeds every open request under the manager's lock.
//
// The layout pointer is swapped by the online processing (a new layout of the same table, or null
// when the layout goes away) while framework threads read it: it is atomic.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "datapath/data_list.h"
#include "interfaces/axf.h"

namespace vorpane::metadata {
class userDataInfo;
}

class zot_vorpane_manager : public TableManager, public vorpane::datapath::eventReceiver {
  public:
    zot_vorpane_manager(const char* applName, const char* tableName);
    ~zot_vorpane_manager() override;

    std::unique_ptr<plaxf> CreatePlaxf(RequestDetail* request, ContextInfo* context) override;

    // An event row of the table: every open request of the registered manager of this table gets it.
    // 0, 1 when the framework or the layout is missing, else the last failed Dispatch result.
    int EventArrived(char* row, int length) override;
    // Feeds row to every open request of this manager (AddData, Dispatch), under the manager's lock.
    int AddDataToEvent(char* row, int length);

    void setUserDataPtr(vorpane::metadata::userDataInfo* udi) { _udi.store(udi, std::memory_order_release); }
    vorpane::metadata::userDataInfo* userDataInfoPtr() const { return _udi.load(std::memory_order_acquire); }
    void SNMPflag(uint16_t flag) { _SNMPflag = flag; }
    uint16_t SNMPflag() const { return _SNMPflag; }

  private:
    std::atomic<vorpane::metadata::userDataInfo*> _udi{nullptr};
    uint16_t _SNMPflag = 0;
};

// With applName or tableName null and mgr given: links mgr and udi both ways and returns mgr (null
// when udi is null). Otherwise makes, registers and returns a manager for the names (linked with udi
// when no mgr was given); the manager is kept until zot_vorpane_release.
zot_vorpane_manager* zot_vorpane_init(const char* applName, const char* tableName,
                                      vorpane::metadata::userDataInfo* udi, zot_vorpane_manager* mgr,
                                      short SNMPflag);

// Shuts the manager down (its requests end, it leaves the framework) and destroys it.
void zot_vorpane_release(zot_vorpane_manager* mgr);

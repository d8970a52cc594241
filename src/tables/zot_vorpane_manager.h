// zot_vorpane_manager: the framework table manager of one attribute group's table.
//
// Made by the table layout (userDataInfo) through zot_vorpane_init, one per application table and
// release, registered with the framework, and kept for the life of the process (the table-manager
// list remembers it; a later release retires it with Shutdown). The framework calls CreatePlaxf on
// its own threads for each request on the table; the collection thread hands event rows to
// EventArrived, which feeds every open request under the manager's lock.
//
// The layout is handed over by the online processing (a new layout of the same table) and taken away
// when its application goes offline, while framework and API threads read it: readers take a share
// of it (layout()) and keep it while they read, so it is never freed under them; a layout that goes
// away takes itself from the manager only if the manager still holds it (releaseLayout), never a
// newer one.
#pragma once

#include <cstdint>
#include <memory>

#include "datapath/data_list.h"
#include "interfaces/axf.h"
#include "interfaces/sync.h"

namespace vorpane::metadata {
class userDataInfo;
}

class zot_vorpane_manager : public TableManager, public vorpane::datapath::eventReceiver {
  public:
    zot_vorpane_manager(const char* applName, const char* tableName);
    ~zot_vorpane_manager() override;

    std::unique_ptr<plaxf> CreatePlaxf(RequestDetail* request, ContextInfo* context) override;
    // The group's names, help, sample type and TTL from the current layout; the agent's own
    // application's groups are internal.
    TableFacts Facts() const override;

    // An event row of the table: every open request of the registered manager of this table gets it.
    // 0, 1 when the framework or the layout is missing, else the last failed Dispatch result.
    int EventArrived(char* row, int length) override;
    // Feeds row to every open request of this manager (AddData, Dispatch), under the manager's lock.
    int AddDataToEvent(char* row, int length);

    // The table's layout from now on: a share of udi, which its owner holds in a shared_ptr (null
    // leaves the manager without a layout).
    void setUserDataPtr(vorpane::metadata::userDataInfo* udi);
    // The current layout, held for as long as the caller keeps it; null while there is none.
    std::shared_ptr<vorpane::metadata::userDataInfo> layout() const;
    // The layout udi is going away: the manager lets go of it if it still holds it. True when it did.
    bool releaseLayout(const vorpane::metadata::userDataInfo* udi);
    // Which layout the manager holds, for comparisons only: nothing keeps it alive (take layout()).
    const vorpane::metadata::userDataInfo* userDataInfoPtr() const { return layout().get(); }
    void SNMPflag(uint16_t flag) { _SNMPflag = flag; }
    uint16_t SNMPflag() const { return _SNMPflag; }

  private:
    mutable vorpane::Mutex _layoutLock;
    std::shared_ptr<vorpane::metadata::userDataInfo> _udi VA_GUARDED_BY(_layoutLock);
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

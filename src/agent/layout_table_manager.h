// The table manager the agent makes for a table when no table class is installed: it registers the
// table with the framework, so requests for the table are accepted, knows the table's layout once
// its application is online, and answers every sample with no rows. The table class replaces it
// through setTableManagerFactory.
//
// The managers live as long as the process (the framework may hold them until it stops); one table
// keeps one manager however often its list is built.
#pragma once

#include <atomic>

#include "interfaces/axf.h"

namespace vorpane::metadata {
class userDataInfo;
}

class layoutTableManager : public TableManager {
public:
    layoutTableManager(const char* applName, const char* tableName) : TableManager(applName, tableName) {}

    // The layout of the table while its application is online, else null.
    void setLayout(vorpane::metadata::userDataInfo* layout) { _layout.store(layout); }
    vorpane::metadata::userDataInfo* layout() const { return _layout.load(); }

    std::unique_ptr<plaxf> CreatePlaxf(RequestDetail* request, ContextInfo* context) override;

private:
    std::atomic<vorpane::metadata::userDataInfo*> _layout{nullptr};
};

// The default factory: the registered manager of the table, made on first use. Null when the
// framework refuses the table.
TableManager* makeLayoutTableManager(const char* applName, const char* tableName,
                                     vorpane::metadata::userDataInfo* layout, short snmpFlag);

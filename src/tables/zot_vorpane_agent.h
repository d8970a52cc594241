// zot_vorpane_agent: one framework request (situation, report, history collection, client query) on
// a user-data table.
//
// The constructor classifies the request and records its subnodes; each TakeSample finds, for every
// subnode that is online for the table, the row store of its source through the samples list and
// emits the stored rows into the request. Subnodes not yet online are deferred with the samples list,
// which redrives the request (redriveRequest) once the subnode comes online. Situations also start
// and stop the provider's rule, and demand reporting asks the provider for fresh rows
// (processRuleStart, processRuleStop, processDemandRequest).
//
// Made and destroyed by the framework on its threads; used by one thread at a time.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "common/fixed_text.h"
#include "common/result.h"
#include "datapath/samples_access.h"
#include "tables/zot_vorpane_base.h"

namespace vorpane::datapath {
class dataList;
}

class zot_vorpane_agent : public zot_vorpane_base, public vorpane::datapath::redrivableRequest {
  public:
    static constexpr int kMaxSubnodes = 128;

    // Request types.
    static constexpr int kPolledSituation = 1;
    static constexpr int kEventSituation = 2;
    static constexpr int kCurrentAttributes = 3;
    static constexpr int kReport = 4;
    static constexpr int kHistory = 5;
    static constexpr int kClientReport = 6;
    static constexpr int kUnsupported = 9;

    struct subnodeRecord {
        // A share of the subnode's row store, taken at each sample (and kept until the next, for a
        // demand that falls back to the stored rows): a store whose source went offline meanwhile
        // stays whole while it is emitted.
        std::shared_ptr<vorpane::datapath::dataList> dataList;
        vorpane::FixedText<3> applKey;
        vorpane::FixedText<32> subnodeName;  // possibly rewritten for the action table
        vorpane::FixedText<32> originNode;   // as the framework gave it
        vorpane::FixedText<32> sourceName;
        int state = 0;  // 0 offline, 2 online with this table
        int actionID = 0;
        int ruleStarted = 0;
    };

    zot_vorpane_agent(RequestDetail* request, ContextInfo* context, zot_vorpane_manager* manager);
    ~zot_vorpane_agent() override;

    void TakeSample() override;
    // Inserts the row (demand requests always, others when it passes the filter): the InsertRow
    // result, or 2 when the row was filtered out.
    int AddData(char* row, int rowSize) override;
    // Rows that every pass (a demand request, or a request without a filter) are copied in one pass,
    // stamped in the copy; the others go row by row through AddData.
    int AddRows(char* const* rows, int count, int rowSize, const char* origin, bool* stop) override;
    int redriveRequest(const char* node, const char* table, int eventRequest) override;

    // The provider's side of situations and demand reports.
    int processRuleStart(int subnode);
    int processRuleStop(int subnode);
    int processDemandRequest(int subnode, int requestType);
    int buildWhereClause(std::string* buffer);

    // Report requests waiting for their provider's answer are known to the hub by their framework
    // handle; the samples list hands the handle back when the answer comes or the wait expires.
    // Runs the request of a framework handle again (nothing when the framework has ended it).
    static void redriveDeferredReport(uint32_t handle);
    // Routes the samples list's report redrives to redriveDeferredReport. Called once at start-up.
    static void installDeferredReportRedrive();

    int requestType() const { return _requestType; }
    int sampleType() const { return _sampleType; }
    int numOfSubNodes() const { return static_cast<int>(_subnodes.size()); }
    const subnodeRecord& subnode(int i) const { return _subnodes[static_cast<std::size_t>(i)]; }
    bool hasErrors() const { return static_cast<bool>(_errors); }
    time_t emitTime() const { return _emitTime; }

  private:
    void TakeSampleConstructor();
    void TakeSampleDestructor();
    void classify();
    void addSubnode(const char* name);
    // The source name of subnode i from its original subnode name. 0, or 1 when it cannot be found.
    int setSrcNameFromSubnodeName(subnodeRecord& record);
    // Queues the request with the samples list for a subnode that is not online yet.
    void deferForSubnode(subnodeRecord& record, vorpane::datapath::samplesAccess& samples, int eventRequest);
    void startEventMonitoring();
    int emitRows(subnodeRecord& record, time_t since);
    bool recordError() { return _errors.set(1); }

    std::vector<subnodeRecord> _subnodes;
    vorpane::FixedText<3> _applKey;
    vorpane::FixedText<10> _tableName;
    std::string _situationName;
    time_t _emitTime = 0;
    int _requestType = 0;
    int _sampleType = 0;
    vorpane::StickyError _errors;
    unsigned long _handle = 0;
    int _deferInProgress = 0;
};

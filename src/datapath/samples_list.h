// The samples list: the agent's index of every table of every source that is or was online, with the
// deferred and demand report requests of each. One per process, reached through dataSamples().
//
// An entry per application key, table and source knows the subnode name the framework sees the
// source under, owns the source's row store, and holds two waiting rooms: requests for a subnode that
// is not online yet (redriven when it comes online) and, while demand reporting is in effect, report
// requests waiting for a provider's answer (redriven by the answer or when they expire).
//
// Bounds. A waiting room holds at most its configured number of requests (ZOTA_MAX_DEFERRED_REQUEST,
// ZOTA_MAX_DEFERRED_REPORT_REQUEST) and makes its slots as they are needed. Only situations wait for
// a subnode that is not online: a report is answered by the sample that asked, so it records nothing
// and makes no entry. A deferred request that ended without withdrawing (its handle is gone) frees
// its slot at the monitor's next round or when its room is full, and an entry made only for such
// requests goes with the last of them.
//
// Thread-safety: one mutex guards the ring and every entry's fields; each entry's report queue has
// its own mutex, taken inside the list's (list first, then the entry's). The online processing, the
// collection threads, framework threads, the hub's request thread and the deferred-request monitor
// all call in. Calls out into the framework are made with the list lock held.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/fixed_text.h"
#include "common/ring_list.h"
#include "datapath/samples_access.h"
#include "interfaces/sync.h"

class plaxf;

// Subnode states of an entry.
inline constexpr int16_t SUBNODE_DEFERRED_ONLY = 0;  // made for a deferred request before its source was known
inline constexpr int16_t SUBNODE_SOURCE_ONLINE = 1;
inline constexpr int16_t SUBNODE_REGISTERED = 3;

// How the samples list reaches the table class and the owners of report requests; tests fill it to
// watch. Without redriveRequest a deferred request is redriven through the table class
// (redrivableRequest), or through the framework for any other request. Without redriveSample a
// report reference is only traced: whoever maps the hub's 32-bit request references to framework
// requests fills it.
struct samplesListSeam {
    // Runs a deferred request again now that its subnode is online. 0, or non-zero on failure.
    std::function<int(plaxf* request, const char* subnodeName, const char* tableName, int16_t eventRequest)>
        redriveRequest;
    // Completes the report request that `request` refers to (RedriveSample).
    std::function<void(uint32_t request)> redriveSample;
};
void setSamplesListSeam(samplesListSeam seam);

class samplesListEntry : public vorpane::RingNode<samplesListEntry> {
public:
    // One slot of the deferred request queue; a null request is a free slot.
    struct deferQueue_t {
        plaxf* request = nullptr;
        unsigned long handle = 0;
        int16_t eventRequest = 0;
    };
    // One slot of the deferred report request queue; action ID 0 is a free slot.
    struct deferReportQueue_t {
        uint32_t request = 0;
        int32_t actionID = 0;
        int64_t time = 0;
    };

    samplesListEntry(const char* applKey, const char* tableName, const char* sourceName);
    ~samplesListEntry();

    const char* applKey() const { return _applKey.c_str(); }
    const char* attrGroup() const { return _attrGroup.c_str(); }
    const char* tableName() const { return _tableName.c_str(); }
    const char* sourceName() const { return _sourceName.c_str(); }
    const char* subnodeName() const { return _subnodeName.c_str(); }
    const char* subnodeNameUntouched() const { return _subnodeNameUntouched.c_str(); }
    int16_t subnodeStatus() const { return _subnodeStatus; }
    int16_t deferredCount() const { return _deferredCount; }
    int16_t deferredReportRequestCount();
    int16_t getDemandReporting() const { return _demandReporting; }
    void setDemandReporting(int16_t option) { _demandReporting = option; }
    bool hasReportQueue() const { return _reportQueueSetUp; }
    const std::shared_ptr<vorpane::datapath::dataList>& getDataList() const { return _dataList; }

    void setAttrGroup(const char* attrGroup) { _attrGroup.assign(attrGroup); }
    void setTableName(const char* tableName) { _tableName.assign(tableName); }
    // False (traced) when a name is longer than its field.
    bool setSubnodeName(const char* subnodeName, const char* untouched);
    void setSubnodeStatus(int16_t status) { _subnodeStatus = status; }
    void setDataList(std::shared_ptr<vorpane::datapath::dataList> rows);

    // Sets up the report queue when demand reporting is in effect and it is not set up yet.
    void initializeDemandReporting();

    // The deferred request queue. 0 recorded (or already recorded), 1 failed.
    int16_t AddDeferRequest(plaxf* request, unsigned long handle, int16_t eventRequest);
    void removeDeferRequest(plaxf* request);
    // Frees the slots of requests the framework has ended (their handles are gone): how many.
    int freeEndedRequests();
    // Redrives every deferred request whose framework request still exists and frees its slot.
    void redriveDeferredRequests();

    // The report queue. Each returns true when the request was kept; a request that is not kept is
    // the caller's to redrive.
    bool addDeferredReportRequest(uint32_t request, int32_t actionID, int64_t time);
    // An answer that finds no record is remembered for a while: the provider may answer before the
    // request's dc_deferReportRequest has been recorded, which then redrives the request at once
    // instead of leaving it to its expiry.
    void redriveDeferredReportRequest(int32_t actionID);
    // Redrives the report requests older than maxAge seconds (all of them when maxAge is negative).
    void redriveReportRequests(int64_t now, int64_t maxAge);

    void printSelf() const;

private:
    vorpane::FixedText<3> _applKey;
    vorpane::FixedText<32> _attrGroup;
    vorpane::FixedText<10> _tableName;
    vorpane::FixedText<32> _sourceName;
    vorpane::FixedText<32> _subnodeName;
    vorpane::FixedText<70> _subnodeNameUntouched;
    // The row store of this table and source. Shares go out under the list's lock to the collection
    // thread and to requests, so the store outlives the entry while one of them still uses it.
    std::shared_ptr<vorpane::datapath::dataList> _dataList;
    std::vector<deferQueue_t> _deferQueue;  // grows as requests come, up to Max_Deferred_Request()
    int16_t _deferredCount = 0;
    int16_t _subnodeStatus = SUBNODE_DEFERRED_ONLY;
    int16_t _demandReporting = 0;
    bool _reportQueueSetUp = false;
    vorpane::Mutex _reportQueueLock;
    // Grows as report requests come, up to Max_Deferred_Report_Request().
    std::vector<deferReportQueue_t> _reportQueue VA_GUARDED_BY(_reportQueueLock);
    int16_t _deferredReportRequestCount VA_GUARDED_BY(_reportQueueLock) = 0;
    int16_t _expiredCount VA_GUARDED_BY(_reportQueueLock) = 0;
    // Answers that came before their request was recorded: action ID and clock seconds.
    struct earlyAnswer {
        int32_t actionID = 0;
        int64_t time = 0;
    };
    static constexpr std::size_t kMaxEarlyAnswers = 16;
    std::vector<earlyAnswer> _earlyAnswers VA_GUARDED_BY(_reportQueueLock);
};

// Serves the collection threads and the table class through their samplesAccess interface.
class samplesList : public vorpane::datapath::samplesAccess {
public:
    samplesList() = default;
    ~samplesList() override;
    samplesList(const samplesList&) = delete;
    samplesList& operator=(const samplesList&) = delete;

    // Removes every entry (start of the shutdown of the lists).
    void clearList();
    int getNumberOfElements();

    // ---- Online processing
    // Creates or completes the entry of the table and source (redriving its deferred requests) and
    // returns its subnode name, or nothing.
    std::optional<std::string> onlineEntry(const char* applName, const char* tableName, const char* attrGroup, const char* RR,
                            const char* sourceName, const char* subnodeSuffix);
    // The previous status of the first entry of that subnode name (then registered), 0 when none.
    int16_t subnodeOnline(const char* subnodeName);
    // 0 and *subnodeName, or 1 and nothing when there is no such entry.
    int16_t getSubnodeName(const char* applKey, const char* sourceName, const char* attrGroup, const char* RR,
                           std::optional<std::string>* subnodeName);
    // The full subnode name of the online entry of that subnode and table: true and *out.
    bool getOriginalSubnodeName(const char* subnodeName, const char* tableName, std::string* out) override;
    int subnodeOnlineForTable(const char* subnodeName, const char* tableName) override;
    // 1 when other entries of the application key remain after the removal, else 0.
    int removeEntry(const char* applKey, const char* tableName, const char* sourceName);
    // Entries of that key and source that have a table.
    int countOfAttrGroups(const char* applKey, const char* sourceName);

    // ---- Row stores
    std::shared_ptr<vorpane::datapath::dataList> dataListPtr(const char* applKey, const char* tableName,
                                                             const char* sourceName) override;
    // 0 attached, 1 no such entry.
    int updateDataList(const char* applKey, const char* attrGroup, const char* sourceName,
                       const std::shared_ptr<vorpane::datapath::dataList>& store) override;

    // ---- Requests for subnodes that are not online
    // 0 recorded (or already recorded), 1 failed.
    int requestDefer(const char* applKey, const char* subnodeName, plaxf* request, unsigned long handle,
                     int eventRequest) override;
    void removeDeferRequest(const char* applKey, const char* tableName, const char* sourceName,
                            plaxf* request) override;

    // ---- Demand reporting, as the hub asks for it. `request` is the framework request's 32-bit
    // reference carried by the hub protocol.
    int addDeferredReportRequest(const char* applKey, const char* tableName, const char* sourceName, int32_t actionID,
                                 uint32_t request, int32_t time);
    int redriveDeferredReportRequest(const char* applKey, const char* attrGroup, const char* sourceName,
                                     int32_t actionID) override;
    void removeDeferredReportRequests(const char* applKey, const char* attrGroup, const char* sourceName);
    // Every 3 seconds from the deferred-request monitor; the same round frees what ended deferred
    // requests left behind (freeEndedDeferRequests).
    void cancelExpiredReportRequests();
    void initializeDemandReporting(const char* applKey, const char* attrGroup, const char* sourceName);
    void setDemandReportingOption(const char* applKey, const char* attrGroup, const char* sourceName, int16_t option);
    int16_t isDemandReportingEnabled(const char* applKey, const char* tableName, const char* sourceName) override;
    // The entry of that key, group and source, or null. It stays valid while its source is online.
    samplesListEntry* getSamplesListEntry(const char* applKey, const char* attrGroup, const char* sourceName);

    int16_t setHeadOfListThreshold();
    void printList();

private:
    samplesListEntry* findByGroup(const char* applKey, const char* attrGroup, const char* sourceName)
        VA_REQUIRES(_lock);
    // Finds by key, table and source; a match found deep in the ring moves to the head.
    samplesListEntry* findByTable(const char* applKey, const char* tableName, const char* sourceName)
        VA_REQUIRES(_lock);
    void moveToFrontIfDeep(samplesListEntry& entry, int position) VA_REQUIRES(_lock);
    // Frees the slots of deferred requests that ended, and the entries made only for them.
    void freeEndedDeferRequests() VA_REQUIRES(_lock);

    vorpane::Mutex _lock;
    vorpane::RingList<samplesListEntry> _ring VA_GUARDED_BY(_lock);
    int16_t _headMoves VA_GUARDED_BY(_lock) = 0;
    int16_t _setHeadOfListThreshold VA_GUARDED_BY(_lock) = 20;
};

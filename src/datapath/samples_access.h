// What the collection threads and the user-data table class ask of the samples list.
//
// The samples list (samplesList, reached through dataSamples()) is the index of every table of every
// source; these are the calls the data path and the table class make on it. They go through this
// small interface so that both can be driven by a fixture in tests; the process installs the
// adapter onto the real list at start-up (setSamplesIndex).
//
// Every call is thread-safe: the samples list does its own locking.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class plaxf;

namespace vorpane::datapath {

class dataList;

// A framework request that the samples list can let go on once its subnode is online.
class redrivableRequest {
  public:
    virtual ~redrivableRequest() = default;
    // 0 when the request names that subnode (it is online for table from now on), else 1.
    virtual int redriveRequest(const char* node, const char* table, int eventRequest) = 0;
};

class samplesAccess {
  public:
    virtual ~samplesAccess() = default;

    // The row store of (applKey, tableName, sourceName), or null. The entry owns the store and the
    // caller gets a share of it: a source that goes offline takes its entry away while the collection
    // thread may be storing a row and a request emitting, and the store goes when the last of them
    // lets go. The collection thread holds its share for one delivery, a request from one sample to
    // the next.
    virtual std::shared_ptr<dataList> dataListPtr(const char* applKey, const char* tableName,
                                                  const char* sourceName) = 0;
    // Gives the entry of (applKey, attrGroup, sourceName) its store: 0 attached, 1 when there is no
    // such entry yet (the caller still holds its share; the absence is traced at detail level only,
    // since the entry usually follows the source's first rows within moments).
    virtual int updateDataList(const char* applKey, const char* attrGroup, const char* sourceName,
                               const std::shared_ptr<dataList>& store) = 0;
    // 1 when the subnode is known for that table.
    virtual int subnodeOnlineForTable(const char* subnodeName, const char* tableName) = 0;
    // The subnode name as the online processing made it, for (subnodeName, tableName): true and *out.
    virtual bool getOriginalSubnodeName(const char* subnodeName, const char* tableName, std::string* out) = 0;
    virtual int16_t isDemandReportingEnabled(const char* applKey, const char* tableName,
                                             const char* sourceName) = 0;
    // 0 recorded (or already recorded), 1 failed.
    virtual int requestDefer(const char* applKey, const char* subnodeName, plaxf* request,
                             unsigned long handle, int eventRequest) = 0;
    virtual void removeDeferRequest(const char* applKey, const char* tableName, const char* sourceName,
                                    plaxf* request) = 0;
    // A provider answered the demand report request actionID of (applKey, attrGroup, sourceName): the
    // request waiting for it goes on. The collection thread calls it once the rows the provider sent
    // before its answer are stored. Action IDs below 1 are ignored. 0.
    virtual int redriveDeferredReportRequest(const char* applKey, const char* attrGroup, const char* sourceName,
                                             int32_t actionID) = 0;
};

// The process's samples index; null while there is none (requests then do nothing).
samplesAccess* samplesIndex();
void setSamplesIndex(samplesAccess* index);

}  // namespace vorpane::datapath

// The two monitor threads VA_Main starts and the online and offline processing they drive.
//
// monitorDPStatus waits on the hub's provider-status records (as a collector over the real
// transport, by datagram so it takes none of the providers' connection slots) and brings the table
// of each record online or offline, one record at a time. Bringing a table online makes sure its
// application has a probe thread (startNewProbe), which builds the application's metadata and lives
// until the application's last source goes offline; then the table's sample entry is made and the
// source's subnode registered with the framework. monitorDeferredRequests expires deferred report
// requests every 3 seconds.
//
// Thread use: processOnline and processOffline run only on the monitor thread (tests call them
// directly), which alone changes the number of applications; probe threads meet it through the
// probe list.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class TableManager;
namespace vorpane::metadata {
class applicationTextSource;
class userDataInfo;
}

void monitorDPStatus();
void monitorDeferredRequests();

// One provider-status record: "applName,attrGroup,sourceName,requestType".
struct dpStatusRecord {
    std::string applName, attrGroup, sourceName, requestType;
};
// False (with the "parsing status" trace) when one of the four fields is missing.
bool parseDPStatus(const std::string& text, dpStatusRecord* record);
// Parses one record ("applName,attrGroup,sourceName,requestType" and, from a subscription with runs,
// ",run") and processes it.
void handleDPStatus(const std::string& text, const char* affinity);
// The 43-character affinity of the subnodes: item 7's first 32 characters and 11 feature characters.
// Ends the process when the product specification lacks them.
std::string buildAffinity();

// 0 success, 1 error, -1 refused because the maximum number of applications is reached.
// applicationRun: the hub's run of the application the record belongs to (the status record's fifth
// field; 0 when not known). A probe started for it binds the application's collection threads to that
// run, so that rows of the next run never go to threads that end with this one.
int16_t processOnline(const char* applName, const char* attrGroup, const char* sourceName, const char* affinity,
                      int32_t applicationRun = 0);
// 0 success (also when the application has no metadata), non-zero error.
int16_t processOffline(const char* applName, const char* attrGroup, const char* sourceName, const char* affinity);
// The probe thread of one application, for the hub's run applicationRun of it (0: not known).
void startNewProbe(std::string applName, int32_t applicationRun = 0);
// Applications whose probe thread was started and not yet removed.
int16_t numApplications();

// The table side: where a table's layout meets its table manager and collection thread. Empty
// members use the table class (zot_vorpane_manager) and the collection threads (waitOnDP); tests
// install their own.
struct tableSideSeam {
    // A table's manager gets its complete layout (or, with null, lets go of it).
    std::function<void(TableManager* manager, vorpane::metadata::userDataInfo* layout)> attachLayout;
    // Starts the group's collection thread. 0, or 1 on failure.
    std::function<int(vorpane::metadata::userDataInfo& layout)> startCollection;
    // Stops it (the layout is about to be destroyed).
    std::function<void(vorpane::metadata::userDataInfo& layout)> stopCollection;
};
void setTableSideSeam(tableSideSeam seam);

// Where probe threads read the applications' texts; null restores the hub (tests hand in fixed texts).
void setApplicationTextSource(vorpane::metadata::applicationTextSource* source);

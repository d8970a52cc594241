// The collection thread of one attribute group (waitOnDP): the agent's consumer of the hub.
//
// Started by the group's table layout once its columns are known (startWaitOnDPthread), it
// subscribes to the hub's data messages of its application and group as a collector (by datagram,
// so that it takes none of the hub's connection slots), turns each delivery into a row image of the
// table, finds or creates the row store of the delivery's source through the samples list and
// stores the row with its control field. Event rows go on to the table manager at once; rows of the
// agent's own action log also go to the framework's log.
//
// Ownership and shutdown: the thread owns a collectionThread object (shared with whoever stops it);
// the layout's clientObject points at it from start until the thread has ended. stopWaitOnDPthread
// (called when the layout goes away) cancels the hub wait and waits on the layout's terminateCond
// until the thread has said, under the layout's lock, that it no longer touches the layout. A thread
// that ends on an error says the same, so a later stop never waits for a thread that is gone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/fixed_text.h"
#include "interfaces/sync.h"

namespace vorpane {
class DCdataWaiter;
}
namespace vorpane::metadata {
class userDataInfo;
}

namespace vorpane::datapath {

class dataList;
class eventReceiver;

// The source name of a delivery: a host name loses its domain, a dotted decimal address (also after
// the instance name and one separator) stays whole, and a name longer than 32 characters keeps its
// last 32.
FixedText<32> deliverySourceName(std::string_view value, const std::optional<std::string>& instanceName);

class collectionThread : public std::enable_shared_from_this<collectionThread> {
  public:
    // applicationRun: the hub's run of the application the thread collects for (0: any).
    explicit collectionThread(metadata::userDataInfo& udi, int32_t applicationRun = 0);
    ~collectionThread();
    collectionThread(const collectionThread&) = delete;
    collectionThread& operator=(const collectionThread&) = delete;

    // The thread body: subscribe, then wait and store until the wait is cancelled or an error.
    // Returns 0.
    int run();
    // Ends the thread's hub wait (and a retry wait) from any thread, now or when it starts.
    void cancel();
    // Under the layout's lock: the thread no longer touches the layout.
    bool ended() const { return _ended; }

    // One data message as the hub delivers it (frame included). False when the thread must end.
    bool processDelivery(const char* message, std::size_t length);

    // The store the last delivery went to while it still exists, or null (tests).
    std::shared_ptr<dataList> currentStore() const { return _lastStore.lock(); }

  private:
    bool findStore();
    // The hub's answer to the demand report request actionID of a source of this group: every row
    // sent before it is stored, so the report waiting for it may go on.
    void reportAnswered(std::string_view sourceField, int32_t actionID);
    // Tells the stopper, under the layout's lock, that the layout is no longer used.
    void signalEnd();
    void destroyClient();

    metadata::userDataInfo* _udi;
    int32_t _applicationRun;
    FixedText<3> _applKey;
    FixedText<10> _tableName;
    FixedText<32> _attrGroup;
    FixedText<20> _applName;
    uint16_t _rowSize;
    uint16_t _noOfColumns;
    int32_t _TTL;
    char _sampleType;
    char _writeOptLog;
    bool _actionLog;
    std::optional<std::string> _instanceName;

    Mutex _lock;  // guards the client hand-over with cancel()
    CondVar _cond;
    std::unique_ptr<DCdataWaiter> _client VA_GUARDED_BY(_lock);
    bool _cancelled VA_GUARDED_BY(_lock) = false;
    bool _ended = false;  // written and read under the layout's lock

    // Only the thread itself.
    FixedText<32> _sourceName;
    std::shared_ptr<dataList> _store;  // a share taken for one delivery
    std::weak_ptr<dataList> _lastStore;  // the store of the previous delivery, to know a new one
    bool _keysGiven = false;
    FixedText<32> _subnodeName;
};

// The thread body the layout starts: runs a collectionThread for udi. Returns 0.
int waitOnDP(metadata::userDataInfo* udi);
// Starts the detached collection thread of udi. 0, or 1 when the thread cannot be created. With an
// applicationRun (the hub's run of the application the layout was built for) the thread's
// subscription is bound to that run: it ends with the run, and is not taken once the run is over, so
// the rows of the application's next run wait for the next run's collection thread.
uint16_t startWaitOnDPthread(metadata::userDataInfo& udi, int32_t applicationRun = 0);
// Cancels the collection thread of udi and waits until it no longer touches udi.
void stopWaitOnDPthread(metadata::userDataInfo& udi);

// Writes one row of the agent's action log table to the framework's log.
void processOptLog(const char* row);

}  // namespace vorpane::datapath

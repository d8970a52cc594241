// actionTable: the automation actions handed to providers through the hub, and the agent's action
// log that turns each of them into ACTION rows of the agent's own application.
//
// Threads: the hub's request thread queues add and update records (addEntry, recordActionResults)
// and reads statuses (getActionStatus); one consumer thread (actionData) applies the records to the
// ring and sends the rows; short-lived threads bring the ACTION source online or offline. The queue
// has its own lock (_bufLock); the ring, latest and requestType are guarded by the table lock
// (_lock). The consumer is the only writer of entries. The rows go back into the hub through the
// support library's client calls, like any provider's.
#pragma once

#include <pthread.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/fixed_text.h"
#include "common/ring_list.h"
#include "interfaces/sync.h"

// One queued record: an action added (requestType 1) or its result (2).
struct ActionInfo_t {
    int32_t requestType = 0;
    int32_t actionID = 0;
    int16_t actionType = 0;
    vorpane::FixedText<64> actionOwner;
    vorpane::FixedText<32> actionNode;
    vorpane::FixedText<256> actionName;
    vorpane::FixedText<1024> actionParms;
    int32_t actionStatus = 0;
    vorpane::FixedText<256> actionResults;
};

class actionTableEntry : public vorpane::RingNode<actionTableEntry> {
public:
    explicit actionTableEntry(const ActionInfo_t& info);
    ~actionTableEntry() = default;

    int16_t actionType() const { return _actionType; }
    const char* actionOwner() const { return _actionOwner.c_str(); }
    const char* actionNode() const { return _actionNode.c_str(); }
    const char* actionName() const { return _actionName.c_str(); }
    int32_t actionID() const { return _actionID; }
    // Null when empty.
    const char* actionParms() const { return _actionParms.empty() ? nullptr : _actionParms.c_str(); }
    const char* actionResults() const { return _actionResults.empty() ? nullptr : _actionResults.c_str(); }
    int32_t actionStatus() const { return _actionStatus; }
    int16_t controlField() const { return _controlField; }
    int16_t actionLogging() const { return _actionLogging; }

    void setActionStatus(int32_t status) { _actionStatus = status; }
    void setActionResults(std::string_view results) { _actionResults.assign(results); }
    void setControlField(int16_t value) { _controlField = value; }
    void setActionLogging(int16_t value) { _actionLogging = value; }

private:
    int16_t _actionType;
    vorpane::FixedText<64> _actionOwner;
    vorpane::FixedText<32> _actionNode;
    vorpane::FixedText<256> _actionName;
    int32_t _actionID;
    vorpane::FixedText<1024> _actionParms;
    int32_t _actionStatus = 1;
    vorpane::FixedText<256> _actionResults;
    int16_t _controlField = 0;
    int16_t _actionLogging = 1;
};

class actionTable {
public:
    static constexpr int kQueueSlots = 10;
    // The request thread waits at most this long (clock seconds) for room in a full queue; then the
    // record is dropped with an error, so a stalled consumer never stops the hub.
    static constexpr double kPutWait = 30;

    actionTable();
    ~actionTable();
    actionTable(const actionTable&) = delete;
    actionTable& operator=(const actionTable&) = delete;

    // Type 1: queues an add record and returns the queue's result; other types are only traced (0).
    int addEntry(int16_t actionType, const char* owner, const char* node, const char* name, int32_t actionID,
                 const char* parms);
    // Queues an update record; the results are cut to 256 characters.
    int recordActionResults(int32_t actionID, int32_t status, const char* results);
    // The status of the entry with that id; 1 when none (or the lock failed).
    int32_t getActionStatus(int32_t actionID);
    // Unlinks and deletes the entry; 1 when it is not in the table.
    int removeEntry(actionTableEntry* entry);

    // The queue between the request thread and the consumer: 0 queued / taken; 1 lock failure or
    // no room in time; 2 the queue is closed.
    int cb_put_data(const ActionInfo_t& record);
    int cb_get_data(ActionInfo_t* record);
    // Ends the consumer's wait for good (the table is going away).
    void cb_close();

    // Takes the next record (blocking) and applies it under the table lock: 0 applied, 1 nothing to
    // log, 2 error or closed.
    int updateActionTable();

    // The ACTION source: brought online and offline by short-lived threads, rows sent by the consumer.
    // Each returns 1 when its thread cannot be started, else 0.
    int doActionOnline();
    int doActionData();
    int doActionOffline();
    // Waits until the online and offline threads started so far have ended (tests, shutdown).
    void waitForSourceThreads();
    // Closes the queue and waits for every thread of the table; callable more than once. The hub
    // calls it while its request thread still serves the rows and states those threads send.
    void shutdown();

    // The rows' application and source name.
    static std::string actionApplName();
    static std::string actionSourceName();

    // The parameters as the log shows them: cut before "PASSWORD=" when they hold
    // "MONITOR START AGENTINFO=", or before " LOGONID=", whichever comes first.
    static std::string alternateActionParms(std::string_view parms);
    static const char* actionTypeText(int16_t actionType);
    // Texts of the status codes; a negative code gives "EXECUTED - RETURN STATUS n" in a buffer of
    // the calling thread that its next call overwrites.
    static const char* actionStatusText(long status);

    actionTableEntry* list() VA_REQUIRES(_lock) { return _ring.head(); }
    actionTableEntry* latest() VA_REQUIRES(_lock) { return _latest; }
    int32_t requestType() VA_REQUIRES(_lock) { return _requestType; }
    int noOfElements();
    int32_t handle() const { return _handle.load(); }
    const char* sourceName() const { return _sourceName.c_str(); }
    vorpane::Mutex& lock() VA_RETURN_CAPABILITY(_lock) { return _lock; }
    int64_t getLastAddTime() const { return _lastAddTime; }
    void setLastAddTime(int64_t t) { _lastAddTime = t; }
    int64_t getLastCheckTime() const { return _lastCheckTime; }
    void setLastCheckTime(int64_t t) { _lastCheckTime = t; }
    int16_t getEnableActionLogging() const { return _enableActionLogging; }
    void setEnableActionLogging(int16_t v) { _enableActionLogging = v; }
    void printList();

    // The rate rule of the consumer for one applied add: after 60 quiet seconds logging comes back
    // on; an id that is a multiple of 10 within 100 seconds of the last such id turns it off.
    void rateControl(int32_t actionID, int64_t now);

private:
    void actionOnline();
    void actionData();
    void actionOffline();
    // Sends the row of the entry last applied (consumer only). false ends the consumer.
    bool logLatest();

    vorpane::Mutex _lock;
    vorpane::RingList<actionTableEntry> _ring VA_GUARDED_BY(_lock);
    actionTableEntry* _latest VA_GUARDED_BY(_lock) = nullptr;
    int32_t _requestType VA_GUARDED_BY(_lock) = 0;
    std::atomic<int32_t> _handle{0};
    std::string _sourceName;

    // The queue.
    vorpane::Mutex _bufLock;
    vorpane::CondVar _notFull;
    vorpane::CondVar _notEmpty;
    int _startIdx VA_GUARDED_BY(_bufLock) = 0;
    int _numFull VA_GUARDED_BY(_bufLock) = 0;
    bool _closed VA_GUARDED_BY(_bufLock) = false;
    std::array<std::unique_ptr<ActionInfo_t>, kQueueSlots> _slots VA_GUARDED_BY(_bufLock);

    // Consumer only.
    int64_t _lastAddTime;
    int64_t _lastCheckTime;
    int16_t _enableActionLogging = 1;

    // The consumer is joined by the destructor; the online and offline threads are counted so the
    // destructor waits for them too (they use the table).
    pthread_t _dataThread{};
    std::atomic<bool> _dataStarted{false};  // the hub's constructor, its request thread, shutdown()
    vorpane::Mutex _threadLock;
    vorpane::CondVar _threadsDone;
    int _sourceThreads VA_GUARDED_BY(_threadLock) = 0;
};

// The results the hub received lately, so that a collector that asks for an action's result after
// the result came (and the action left the table) still learns it. Used by the hub's request thread
// only. Holds the last kSize results.
class actionResultMemory {
public:
    static constexpr size_t kSize = 64;
    struct Result {
        bool used = false;
        int32_t actionID = 0;
        int32_t status = 0;
        vorpane::FixedText<256> results;
    };

    void remember(int32_t actionID, int32_t status, std::string_view results);
    // The newest result of that id, or null.
    const Result* find(int32_t actionID) const;

private:
    std::array<Result, kSize> _results{};
    size_t _next = 0;
};

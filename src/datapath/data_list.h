// dataList: the row store of one table (attribute group) and one source.
//
// The collection thread of the table adds every row the hub delivers, with its control field; the
// samples list keeps the store reachable by application key, table and source and destroys it with
// its entry; framework threads emit the stored rows into their requests. The store decides what a row
// is worth: how long it lives (TTL), how many event rows are kept, how keyed rows replace and merge
// into one another, and which rows of a multi-row set may be emitted (only complete sets).
//
// Thread-safety: _lock guards the rows (their list and slab), the ring of sets, _last, _lastBE and the
// counters. Each beginEndList has its own lock, always taken after the dataList's. Nothing calls out
// of the store with _lock held except the requests' AddData/AddRows during emission (which only copy);
// event rows are handed to the table manager after the lock is released, because the framework
// samples an event table with the manager's lock held and then takes this store's lock.
//
// Row buffers are rowSize bytes, allocated by the caller (allocateRow); the store copies an accepted
// row into its slab (its rows lie side by side, which a report of thousands of rows reads fast) and
// frees the caller's buffer. Rows of sets keep their buffers.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <limits>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/fixed_text.h"
#include "common/ring_list.h"
#include "common/slot_list.h"
#include "datapath/row_slab.h"
#include "datapath/source_activity.h"
#include "interfaces/sync.h"

namespace vorpane::metadata {
class userDataInfo;
}

namespace vorpane::datapath {

// Control fields of a delivered row.
inline constexpr uint16_t kSingleRow = 0x11;
inline constexpr uint16_t kSetBegin = 0x01;
inline constexpr uint16_t kSetMiddle = 0x00;
inline constexpr uint16_t kSetEnd = 0x10;
inline constexpr uint16_t kSetEndNoRow = 0xFF;
inline constexpr uint16_t DCH_DeleteKeyRecord = 0xDD;
inline constexpr uint16_t DCH_DeleteFirstKeyRecord = 0xDE;

inline constexpr int kMaxKeys = 5;
inline constexpr int kOriginNodeWidth = 32;

using rowBuffer = std::unique_ptr<char[]>;

// A row of size bytes filled with blanks.
rowBuffer allocateRow(std::size_t size);

// Writes the origin node into the ORIGINNODE column: 32 blanks, then the text (cut at 32).
void writeOriginNode(char* row, const char* originNode);

// What emission feeds: a framework request of the table. 0 added, 1 failed (stop), other: not counted.
class rowReceiver {
  public:
    virtual ~rowReceiver() = default;
    virtual int AddData(char* row, int rowSize) = 0;
    // Stored rows of one emission for one subnode, in order; origin is the ORIGINNODE image
    // (kOriginNodeWidth bytes). The rows added; *stop is set when the receiver refuses further rows.
    // This default writes origin into each stored row and hands it to AddData; a receiver that copies
    // every row can take them in one pass and stamp its copies instead.
    virtual int AddRows(char* const* rows, int count, int rowSize, const char* origin, bool* stop);
};

// What event rows are handed to: the table manager of the table.
class eventReceiver {
  public:
    virtual ~eventReceiver() = default;
    virtual int EventArrived(char* row, int length) = 0;
};

struct keyInfo {
    int32_t ColNo = 0;
    int32_t type = 0;  // 1 integer, 2 string
    int32_t offset = 0;
    int32_t length = 0;
};

// One stored row; its image lives in the store's slab.
class dataListEntry : public SlotMember {
  public:
    dataListEntry(char* row, RowSlab::Slot slot, uint16_t controlField, const metadata::userDataInfo* udi);
    ~dataListEntry();

    time_t timeStamp() const { return _timeStamp; }
    void newtime();
    char* row() const { return _row; }
    RowSlab::Slot slot() const { return _slot; }
    // Keeps newRow as the partial row and copies into the stored row every column from column 1 on
    // whose first byte in newRow is not "^".
    void rowMissingValue(rowBuffer newRow, uint16_t rowSize);
    void setOriginNode(const char* text) const;
    void freePartialRow() { _partialRow.reset(); }
    // The layout merges follow: the store's current one (an older layout may be gone).
    void userData(const metadata::userDataInfo* udi) { _udi = udi; }
    const char* partialRow() const { return _partialRow.get(); }
    uint16_t controlField() const { return _controlField; }
    void printSelf(int rowSize) const;

  private:
    time_t _timeStamp;
    char* _row;
    RowSlab::Slot _slot;
    rowBuffer _partialRow;
    const metadata::userDataInfo* _udi;
    uint16_t _controlField;
};

// One row of a sample set.
class beginEndListEntry : public RingNode<beginEndListEntry> {
  public:
    beginEndListEntry(uint16_t controlField, rowBuffer row)
        : _row(std::move(row)), _controlField(controlField), _emptyRow(_row ? 0 : 1) {}
    char* row() const { return _row.get(); }
    uint16_t emptyRow() const { return _emptyRow; }
    uint16_t controlField() const { return _controlField; }
    void printSelf(int rowSize) const;

  private:
    rowBuffer _row;
    uint16_t _controlField;
    uint16_t _emptyRow;
};

class dataList;

// One sample set: rows that arrive between a begin (0x01) and an end (0x10 or 0xFF) and are emitted
// only together, once complete.
class beginEndList : public RingNode<beginEndList> {
  public:
    beginEndList(dataList& owner, uint16_t rowSize);
    ~beginEndList();

    // 0 stored (the row belongs to the set), 1 failed (the row stays with the caller).
    int addEntry(uint16_t controlField, rowBuffer& row);
    // Rows handed to the receiver; 0 while the set is not complete.
    int emitToAXF(rowReceiver* agent, const char* originNode);
    time_t timeStamp() const { return _timeStamp; }
    void newtime();
    bool completeSet() {
        ScopedLock guard(_lock);
        return _completeSet != 0;
    }
    void emptyList();
    void printList();
    int getLock() VA_ACQUIRE(_lock) { return ZOTA_GetLock(_lock, this); }
    int releaseLock() VA_RELEASE(_lock) { return ZOTA_ReleaseLock(_lock, this); }

  private:
    dataList& _owner;
    Mutex _lock;
    RingList<beginEndListEntry> _ring VA_GUARDED_BY(_lock);
    int32_t _noOfElements VA_GUARDED_BY(_lock) = 0;
    time_t _timeStamp;
    uint16_t _rowSize;
    uint16_t _completeSet VA_GUARDED_BY(_lock) = 0;
};

class dataList {
  public:
    dataList(const char* applKey, const char* tableName, const char* sourceName, uint16_t rowSize,
             int32_t TTL);
    ~dataList();
    dataList(const dataList&) = delete;
    dataList& operator=(const dataList&) = delete;

    // The layout decides the sample type and the columns of merges. Set before rows are added.
    void userData(const metadata::userDataInfo* udi);
    void setTTL(int32_t TTL);
    // The counters of the source's rows, which every added row moves. Set before the store is
    // shared with other threads.
    void setActivity(std::shared_ptr<RowActivity> activity) { _activity = std::move(activity); }
    // Keys of a keyed table, at most five; a key that does not lie inside the row is refused, a column
    // that is a key already is not added again.
    void addKey(int32_t colNo, int32_t type, int32_t offset, int32_t length);

    // 0 stored: the row belongs to the store (a delete request's row is consumed too).
    // 1 failed: the row stays with the caller.
    int addEntry(uint16_t controlField, rowBuffer& row, int noValueFlag);
    // Rows handed to agent; lastSampleTime 0 runs the clean-up first and emits every live row,
    // otherwise only rows stored or replaced since then.
    int emitToAXF(rowReceiver* agent, const char* originNode, time_t lastSampleTime);
    // Hands the most recently added row to manager (with originNode written into it). 0, also when
    // there is no manager or no row (traced, nothing is handed on): the collection thread goes on
    // either way. 1 only when the store's lock cannot be taken.
    int emitEvent(eventReceiver* manager, const char* originNode);

    void cleanupEntries(char sampleType, int force);
    // 1 when a stored row matched and was removed (it consumed row), 0 when none matched.
    int cleanupKeyData(rowBuffer& row, int firstKeyOnly);
    void emptyList();
    void printList();

    const char* applKey() const { return _applKey.c_str(); }
    const char* tableName() const { return _tableName.c_str(); }
    const char* sourceName() const { return _sourceName.c_str(); }
    uint16_t rowSize() const { return _rowSize; }
    int32_t TTL() const { return _TTL.load(std::memory_order_relaxed); }
    // The layout's sample type: P, S, K or E (S until a layout is set).
    char sampleType() const;
    int keyCount() const { return _keyDataCount; }
    // Under the lock, for tests and dumps.
    int32_t noOfElements();
    std::size_t rowCount();
    std::size_t setCount();
    uint16_t sampleSetType();

    int getLock() VA_ACQUIRE(_lock) { return ZOTA_GetLock(_lock, this); }
    int releaseLock() VA_RELEASE(_lock) { return ZOTA_ReleaseLock(_lock, this); }

  private:
    friend class beginEndList;

    static constexpr time_t kNoTime = std::numeric_limits<time_t>::max();

    // The bytes of every key column of row, in the order the keys were added.
    std::string keyOf(const char* row) const;
    // Keyed rows: replaces or merges a stored row with equal keys (true), or stores the row as a new
    // entry (false). Under _lock.
    bool correlateEvents(uint16_t controlField, rowBuffer& row, int noValueFlag) VA_REQUIRES(_lock);
    // Copies row into a slot of the slab and links it as the newest entry (the caller's buffer is
    // freed). False when the slab is full.
    bool linkEntry(rowBuffer& row, uint16_t controlField) VA_REQUIRES(_lock);
    // Drops the entry from the key index and from _last and frees its slot before it leaves the list.
    void forgetEntry(dataListEntry& entry) VA_REQUIRES(_lock);
    void removeEntry(dataListEntry& entry) VA_REQUIRES(_lock);
    void removeSet(beginEndList& set) VA_REQUIRES(_lock);
    int addSingleRow(uint16_t controlField, rowBuffer& row, int noValueFlag);
    int addSetRow(uint16_t controlField, rowBuffer& row);
    void lockFailed() const;

    Mutex _lock;
    SlotList<dataListEntry> _rows VA_GUARDED_BY(_lock);
    RowSlab _slab VA_GUARDED_BY(_lock);
    RingList<beginEndList> _sets VA_GUARDED_BY(_lock);
    dataListEntry* _last VA_GUARDED_BY(_lock) = nullptr;
    beginEndList* _lastBE VA_GUARDED_BY(_lock) = nullptr;  // the open set, if any
    // Keyed tables: the stored row of each key combination, so that replacing a row among many does not
    // walk them all.
    std::unordered_map<std::string, dataListEntry*> _index VA_GUARDED_BY(_lock);
    // No stored row is older than this (a lower bound: replacing a row makes it younger), so that a
    // clean-up walks the rows only when one of them may have expired.
    time_t _oldest VA_GUARDED_BY(_lock) = kNoTime;
    // Set by the collection thread with every row, read by framework threads.
    std::atomic<const metadata::userDataInfo*> _udi{nullptr};
    // The layout's sample type, kept here because a framework thread may still emit from the store
    // after its layout has gone with the application.
    std::atomic<char> _sampleType{'S'};
    std::atomic<int32_t> _TTL;
    std::shared_ptr<RowActivity> _activity;
    FixedText<3> _applKey;
    FixedText<10> _tableName;
    FixedText<32> _sourceName;
    uint16_t _rowSize;
    int32_t _noOfElements VA_GUARDED_BY(_lock) = 0;
    keyInfo _keys[kMaxKeys];
    uint16_t _keyDataCount = 0;
    uint16_t _sampleSetType VA_GUARDED_BY(_lock) = 0;
    uint16_t _cleanupCounter VA_GUARDED_BY(_lock) = 0;
    std::vector<char> _eventCopy;  // the event row handed out after the lock is released
};

}  // namespace vorpane::datapath

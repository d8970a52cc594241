#include "datapath/data_list.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "agent/va_limits.h"
#include "interfaces/support.h"
#include "metadata/user_data_info.h"

namespace vorpane::datapath {
namespace {

time_t now() {
    return static_cast<time_t>(clock::nowSeconds());
}

int ageOf(time_t stamp, time_t at) {
    return static_cast<int>(at - stamp);
}

// The head of a store's ring of sets is its oldest member. The ring list hands the head to the newest
// member when the head leaves; the store gives it to the member that followed the removed head in a
// walk (the oldest remaining), so that walks stay oldest first.
template <typename T>
void keepOldestFirst(RingList<T>& ring, bool removedHead, T* following) {
    if (removedHead && !ring.empty() && following != nullptr && ring.contains(*following)) {
        ring.setHead(*following);
    }
}

template <typename T>
void eraseInOrder(RingList<T>& ring, T& member) {
    T* following = member.ringPrev();
    const bool head = &member == ring.head();
    ring.erase(member);
    keepOldestFirst(ring, head, following);
}

// The rows of one emission, handed to the request a batch at a time so that a request copying
// thousands of rows does so in one pass instead of a call per row.
class RowBatch {
  public:
    RowBatch(rowReceiver* agent, const char* originNode, int rowSize) : _agent(agent), _rowSize(rowSize) {
        writeOriginNode(_origin.data(), originNode);
    }
    RowBatch(const RowBatch&) = delete;
    RowBatch& operator=(const RowBatch&) = delete;

    // False once the request refused rows: the emission stops there.
    bool add(char* row) {
        _rows[_pending++] = row;
        return _pending < _rows.size() || flush();
    }
    bool flush() {
        bool stop = false;
        if (_pending > 0) {
            _added += _agent->AddRows(_rows.data(), static_cast<int>(_pending), _rowSize, _origin.data(), &stop);
            _pending = 0;
        }
        if (stop) {
            VA_ERROR("AddData failed.\n");
        }
        return !stop;
    }
    // Rows added so far (flush first).
    int added() const { return _added; }

  private:
    rowReceiver* _agent;
    int _rowSize;
    std::array<char, kOriginNodeWidth> _origin{};
    std::array<char*, 256> _rows{};
    std::size_t _pending = 0;
    int _added = 0;
};

}  // namespace

int rowReceiver::AddRows(char* const* rows, int count, int rowSize, const char* origin, bool* stop) {
    int added = 0;
    for (int i = 0; i < count; ++i) {
        std::memcpy(rows[i], origin, kOriginNodeWidth);
        const int rc = AddData(rows[i], rowSize);
        if (rc == 0) {
            ++added;
        } else if (rc == 1) {
            *stop = true;
            break;
        }
    }
    return added;
}

rowBuffer allocateRow(std::size_t size) {
    rowBuffer row(new char[size]);  // NOLINT: array rows are handed between threads as unique_ptr
    std::memset(row.get(), ' ', size);
    return row;
}

void writeOriginNode(char* row, const char* originNode) {
    std::memset(row, ' ', kOriginNodeWidth);
    if (originNode != nullptr) {
        const std::size_t n = strnlen(originNode, kOriginNodeWidth);
        std::memcpy(row, originNode, n);
    }
}

// ---------------------------------------------------------------------------------------------------
// dataListEntry

dataListEntry::dataListEntry(char* row, RowSlab::Slot slot, uint16_t controlField,
                             const metadata::userDataInfo* udi)
    : _timeStamp(now()), _row(row), _slot(slot), _udi(udi), _controlField(controlField) {}

dataListEntry::~dataListEntry() {
    VA_STORAGE("Deleting dataListEntry @%p\n", static_cast<void*>(this));
}

void dataListEntry::newtime() {
    _timeStamp = now();
}

void dataListEntry::rowMissingValue(rowBuffer newRow, uint16_t rowSize) {
    _partialRow = std::move(newRow);
    if (_udi == nullptr || _row == nullptr) {
        return;
    }
    const char* from = _partialRow.get();
    char* to = _row;
    for (std::size_t c = 1; c < _udi->noOfColumns(); ++c) {
        const std::size_t offset = _udi->columnOffset(c);
        const std::size_t length = _udi->columnLength(c);
        if (length == 0 || offset + length > rowSize) {
            continue;
        }
        if (from[offset] != '^') {
            std::memcpy(to + offset, from + offset, length);
        }
    }
}

void dataListEntry::setOriginNode(const char* text) const {
    if (_row != nullptr) {
        writeOriginNode(_row, text);
    }
}

void dataListEntry::printSelf(int rowSize) const {
    VA_TRACE(trace::kDump,
             "dataListEntry @%p timeStamp %ld controlField <%02x> row @%p partial @%p rowSize %d\n",
             static_cast<const void*>(this), static_cast<long>(_timeStamp), _controlField,
             static_cast<void*>(_row), static_cast<void*>(_partialRow.get()), rowSize);
}

// ---------------------------------------------------------------------------------------------------
// beginEndListEntry, beginEndList

void beginEndListEntry::printSelf(int rowSize) const {
    VA_TRACE(trace::kDump, "beginEndListEntry @%p controlField <%02x> row @%p emptyRow %d rowSize %d\n",
             static_cast<const void*>(this), _controlField, static_cast<void*>(_row.get()), _emptyRow,
             rowSize);
}

beginEndList::beginEndList(dataList& owner, uint16_t rowSize)
    : _owner(owner), _timeStamp(now()), _rowSize(rowSize) {}

beginEndList::~beginEndList() {
    VA_STORAGE("Deleting beginEndList @%p\n", static_cast<void*>(this));
}

void beginEndList::newtime() {
    _timeStamp = now();
}

int beginEndList::addEntry(uint16_t controlField, rowBuffer& row) {
    ScopedLock guard(_lock, [this] {
        VA_ERROR("Error: unable to acquire lock for beginEndList @%p\n", static_cast<void*>(this));
    });
    if (!guard.ok()) {
        return 1;
    }
    _ring.insert(std::make_unique<beginEndListEntry>(controlField, std::move(row)));
    ++_noOfElements;
    if (controlField == kSetEnd) {
        _completeSet = 1;
        _timeStamp = now();
    }
    return 0;
}

int beginEndList::emitToAXF(rowReceiver* agent, const char* originNode) {
    ScopedLock guard(_lock, [this] {
        VA_ERROR("Error: unable to acquire lock for beginEndList @%p\n", static_cast<void*>(this));
    });
    if (!guard.ok()) {
        return 0;
    }
    if (_completeSet == 0) {
        VA_DETAIL("beginEndList @%p sample set not yet complete.\n", static_cast<void*>(this));
        return 0;
    }
    if (originNode == nullptr) {
        VA_ERROR("Error: no originNode parameter provided for beginEndList @%p agent @%p\n",
                 static_cast<void*>(this), static_cast<void*>(agent));
    }
    RowBatch batch(agent, originNode, _rowSize);
    for (beginEndListEntry& e : _ring) {
        if (e.emptyRow() != 0) {
            VA_DETAIL("beginEndListEntry @%p had no data values.\n", static_cast<void*>(&e));
            continue;
        }
        if (!batch.add(e.row())) {
            break;
        }
    }
    batch.flush();
    return batch.added();
}

void beginEndList::emptyList() {
    ScopedLock guard(_lock);
    _ring.clear();
    _noOfElements = 0;
}

void beginEndList::printList() {
    ScopedLock guard(_lock);
    VA_TRACE(trace::kDump, "beginEndList @%p of dataList @%p complete %d rows %d\n", static_cast<void*>(this),
             static_cast<void*>(&_owner), _completeSet, _noOfElements);
}

// ---------------------------------------------------------------------------------------------------
// dataList

dataList::dataList(const char* applKey, const char* tableName, const char* sourceName, uint16_t rowSize,
                   int32_t TTL)
    : _slab(rowSize), _TTL(TTL), _applKey(applKey), _tableName(tableName), _sourceName(sourceName), _rowSize(rowSize) {
    VA_STORAGE("New dataList @%p <%s/%s/%s> rowSize %d TTL %d\n", static_cast<void*>(this), _applKey.c_str(),
               _tableName.c_str(), _sourceName.c_str(), rowSize, TTL);
}

dataList::~dataList() {
    ScopedLock guard(_lock);
    _lastBE = nullptr;
    _last = nullptr;
    _sets.clear();
    _rows.clear();
    _slab.clear();
    _index.clear();
    VA_STORAGE("Deleting dataList @%p\n", static_cast<void*>(this));
}

void dataList::lockFailed() const {
    VA_ERROR("Error: unable to acquire lock for dataList @%p\n", static_cast<const void*>(this));
}

void dataList::userData(const metadata::userDataInfo* udi) {
    _udi.store(udi, std::memory_order_release);
    if (udi != nullptr) {
        _sampleType.store(udi->sampleType(), std::memory_order_release);
    }
}

void dataList::setTTL(int32_t TTL) {
    _TTL.store(TTL, std::memory_order_relaxed);
}

char dataList::sampleType() const {
    return _sampleType.load(std::memory_order_acquire);
}

void dataList::addKey(int32_t colNo, int32_t type, int32_t offset, int32_t length) {
    // A store that outlives its collection thread is given its keys again by the next one.
    for (int k = 0; k < _keyDataCount; ++k) {
        if (_keys[k].ColNo == colNo) {
            return;
        }
    }
    if (_keyDataCount >= kMaxKeys) {
        VA_ERROR("Warning: Maximum number of attribute keys allowed is %d.\n", kMaxKeys);
        return;
    }
    if (offset < 0 || length <= 0 || offset + length > _rowSize) {
        VA_ERROR("Error: key column %d at offset %d length %d lies outside the row of %d bytes\n", colNo,
                 offset, length, _rowSize);
        return;
    }
    ScopedLock guard(_lock, [this] { lockFailed(); });
    if (!guard.ok()) {
        return;
    }
    _keys[_keyDataCount++] = keyInfo{colNo, type, offset, length};
    // Rows stored before this key are indexed again; the oldest of equal keys keeps the place.
    _index.clear();
    for (dataListEntry& e : _rows) {
        if (e.row() != nullptr) {
            _index.emplace(keyOf(e.row()), &e);
        }
    }
}

std::string dataList::keyOf(const char* row) const {
    std::string key;
    for (int k = 0; k < _keyDataCount; ++k) {
        key.append(row + _keys[k].offset, static_cast<std::size_t>(_keys[k].length));
    }
    return key;
}

int32_t dataList::noOfElements() {
    ScopedLock guard(_lock);
    return _noOfElements;
}

std::size_t dataList::rowCount() {
    ScopedLock guard(_lock);
    return _rows.size();
}

std::size_t dataList::setCount() {
    ScopedLock guard(_lock);
    return _sets.size();
}

uint16_t dataList::sampleSetType() {
    ScopedLock guard(_lock);
    return _sampleSetType;
}

bool dataList::linkEntry(rowBuffer& row, uint16_t controlField) {
    RowSlab::Slot slot = 0;
    if (!_slab.acquire(&slot)) {
        VA_ERROR("Error: the row store of <%s> source <%s> holds as many rows as it can; row refused\n",
                 _tableName.c_str(), _sourceName.c_str());
        return false;
    }
    char* image = _slab.row(slot);
    std::memcpy(image, row.get(), _rowSize);
    row.reset();
    dataListEntry& e = _rows.append(
        std::make_unique<dataListEntry>(image, slot, controlField, _udi.load(std::memory_order_relaxed)));
    _last = &e;
    ++_noOfElements;
    ++_cleanupCounter;
    if (e.timeStamp() < _oldest) {
        _oldest = e.timeStamp();
    }
    return true;
}

void dataList::forgetEntry(dataListEntry& entry) {
    if (_keyDataCount > 0 && entry.row() != nullptr) {
        auto it = _index.find(keyOf(entry.row()));
        if (it != _index.end() && it->second == &entry) {
            _index.erase(it);
        }
    }
    if (_last == &entry) {
        _last = nullptr;
    }
    _slab.release(entry.slot());
}

void dataList::removeEntry(dataListEntry& entry) {
    forgetEntry(entry);
    _rows.erase(entry);
    --_noOfElements;
}

void dataList::removeSet(beginEndList& set) {
    if (_lastBE == &set) {
        VA_DETAIL("Clearing _last_BE_Entry @%p\n", static_cast<void*>(&set));
        _lastBE = nullptr;
    }
    eraseInOrder(_sets, set);
    --_noOfElements;
}

int dataList::addEntry(uint16_t controlField, rowBuffer& row, int noValueFlag) {
    if (_activity) {
        _activity->noteRow(clock::nowSeconds());
    }
    const char type = sampleType();
    if (type == 'E') {
        ScopedLock guard(_lock, [this] { lockFailed(); });
        if (!guard.ok()) {
            return 1;
        }
        const int32_t max = Max_Event_Entries();
        if (_noOfElements >= max && _noOfElements > 0) {
            VA_DETAIL("Event data and noOfElements %d >= max %d\n", _noOfElements, max);
            if (dataListEntry* oldest = _rows.front()) {
                removeEntry(*oldest);
            } else if (beginEndList* set = _sets.head()) {
                removeSet(*set);
            }
        }
    }
    switch (controlField) {
        case kSingleRow:
            return addSingleRow(controlField, row, noValueFlag);
        case kSetBegin:
        case kSetMiddle:
        case kSetEnd:
            return addSetRow(controlField, row);
        case DCH_DeleteKeyRecord:
        case DCH_DeleteFirstKeyRecord:
            if (type != 'K') {
                if (controlField == DCH_DeleteKeyRecord) {
                    VA_ERROR("Error: control field DCH_DeleteKeyRecord only valid for key data.\n");
                } else {
                    VA_ERROR("Error: control field DCH_DeleteFirstKeyRecord only valid for key data.\n");
                }
                return 1;
            }
            return cleanupKeyData(row, controlField == DCH_DeleteFirstKeyRecord ? 1 : 0) == 1 ? 0 : 1;
        default:
            VA_ERROR("Error: unsupported control field <%d>\n", controlField);
            return 1;
    }
}

int dataList::addSingleRow(uint16_t controlField, rowBuffer& row, int noValueFlag) {
    const char type = sampleType();
    if (type == 'P') {
        cleanupEntries('P', 1);
    }
    bool cleanup = false;
    {
        ScopedLock guard(_lock, [this] { lockFailed(); });
        if (!guard.ok()) {
            return 1;
        }
        _sampleSetType = 0;
        if (type != 'K' || !correlateEvents(controlField, row, noValueFlag)) {
            if (!linkEntry(row, controlField)) {
                return 1;
            }
            if (type == 'K' && _keyDataCount > 0) {
                _index.emplace(keyOf(_last->row()), _last);
            }
        }
        if ((type == 'S' || type == 'K') && _cleanupCounter >= cleanUpTrigger()) {
            _cleanupCounter = 0;
            cleanup = true;
        }
    }
    if (cleanup) {
        cleanupEntries('S', 1);
    }
    return 0;
}

bool dataList::correlateEvents(uint16_t /*controlField*/, rowBuffer& row, int noValueFlag) {
    if (_keyDataCount == 0) {
        return false;
    }
    auto it = _index.find(keyOf(row.get()));
    if (it == _index.end()) {
        return false;
    }
    dataListEntry& match = *it->second;
    VA_DETAIL(
        "CorrelateResults: Replacing dataListEntry[%p] userData @%p with userData @%p, noValueFlag=%d\n",
        static_cast<void*>(&match), static_cast<void*>(match.row()), static_cast<void*>(row.get()),
        noValueFlag);
    if (noValueFlag == 0) {
        std::memcpy(match.row(), row.get(), _rowSize);
        row.reset();
    } else {
        match.freePartialRow();
        match.userData(_udi.load(std::memory_order_relaxed));
        match.rowMissingValue(std::move(row), _rowSize);
    }
    match.newtime();
    return true;
}

int dataList::addSetRow(uint16_t controlField, rowBuffer& row) {
    const char type = sampleType();
    if (controlField == kSetBegin) {
        VA_DETAIL("Starting new beginEndList sample set.\n");
        if (type == 'P') {
            cleanupEntries('P', 1);
        }
    }
    bool cleanup = false;
    int rc = 0;
    {
        // The open set is used under the store's lock so that a clean-up on a framework thread cannot
        // remove it between finding and filling it.
        ScopedLock guard(_lock, [this] { lockFailed(); });
        if (!guard.ok()) {
            return 1;
        }
        _sampleSetType = 1;
        if (controlField == kSetBegin) {
            if (type == 'P') {
                _lastBE = nullptr;
            }
            beginEndList& set = _sets.insert(std::make_unique<beginEndList>(*this, _rowSize));
            ++_noOfElements;
            ++_cleanupCounter;
            _lastBE = &set;
        }
        if (_lastBE == nullptr) {
            VA_ERROR("Warning: _last_BE_Entry not set for tableName <%s>\n", _tableName.c_str());
            return 1;
        }
        rc = _lastBE->addEntry(controlField, row);
        if (controlField == kSetEnd && rc == 0) {
            _lastBE = nullptr;  // the set is complete: later middle rows need a new begin
        }
        if (type == 'S' && _cleanupCounter >= cleanUpTrigger()) {
            _cleanupCounter = 0;
            cleanup = true;
        }
    }
    if (cleanup) {
        cleanupEntries('S', 1);
    }
    return rc;
}

int dataList::cleanupKeyData(rowBuffer& row, int firstKeyOnly) {
    ScopedLock guard(_lock, [this] { lockFailed(); });
    if (!guard.ok() || !row) {
        return 0;
    }
    dataListEntry* match = nullptr;
    if (_keyDataCount > 0 && firstKeyOnly == 0) {
        auto it = _index.find(keyOf(row.get()));
        if (it != _index.end()) {
            match = it->second;
        }
    } else if (_keyDataCount > 0) {
        const keyInfo& first = _keys[0];
        match = _rows.findFirst([&](const dataListEntry& e) {
            return e.row() != nullptr && std::memcmp(e.row() + first.offset, row.get() + first.offset,
                                                     static_cast<std::size_t>(first.length)) == 0;
        });
        if (match != nullptr) {
            VA_DETAIL("First key matched for dataListEntry @%p, skipping remaining comparisons\n",
                      static_cast<void*>(match));
        }
    }
    if (match == nullptr) {
        VA_DETAIL("Did not find a matching dataListEntry for userData @%p\n", static_cast<void*>(row.get()));
        return 0;
    }
    VA_DETAIL("dataListEntry @%p matched all keys - deleting it\n", static_cast<void*>(match));
    removeEntry(*match);
    row.reset();  // the request row goes with the row it deleted
    return 1;
}

void dataList::cleanupEntries(char type, int force) {
    if (type == 'E') {
        return;
    }
    ScopedLock guard(_lock, [this] { lockFailed(); });
    if (!guard.ok()) {
        return;
    }
    const time_t at = now();
    const int32_t TTL = _TTL.load(std::memory_order_relaxed);
    const bool all = type == 'P' && force == 1;
    if (_sampleSetType == 0) {
        // Nothing can have expired while the oldest time stamp is younger than TTL.
        if (!all && (_oldest == kNoTime || ageOf(_oldest, at) < TTL)) {
            return;
        }
        time_t oldest = kNoTime;
        // Runs inside removeIf, with _lock held here (the analysis cannot follow it through the template).
        _rows.removeIf([&](dataListEntry& e) VA_NO_THREAD_SAFETY_ANALYSIS {
            if (all || ageOf(e.timeStamp(), at) >= TTL) {
                forgetEntry(e);
                --_noOfElements;
                return true;
            }
            oldest = std::min(oldest, e.timeStamp());
            return false;
        });
        _oldest = oldest;
    } else {
        RingIterator<beginEndList> walk(_sets);
        while (beginEndList* s = walk.next()) {
            if (all || ageOf(s->timeStamp(), at) >= TTL) {
                if (_lastBE == s) {
                    VA_DETAIL("Clearing _last_BE_Entry @%p\n", static_cast<void*>(s));
                    _lastBE = nullptr;
                }
                beginEndList* following = s->ringPrev();
                const bool head = s == _sets.head();
                walk.removeCurrent();
                keepOldestFirst(_sets, head, following);
                --_noOfElements;
            }
        }
    }
}

int dataList::emitToAXF(rowReceiver* agent, const char* originNode, time_t lastSampleTime) {
    if (agent == nullptr) {
        VA_ERROR("Error: invalid pointer - <@%p> <@%p>\n", static_cast<void*>(agent),
                 static_cast<void*>(this));
        return 0;
    }
    const char type = sampleType();
    if (lastSampleTime == 0) {
        VA_DETAIL("Calling cleanupEntries for request @%p. originNode<%s>\n", static_cast<void*>(agent),
                  originNode != nullptr ? originNode : "");
        cleanupEntries(type, 2);
    }
    ScopedLock guard(_lock, [this] { lockFailed(); });
    if (!guard.ok()) {
        return 0;
    }
    const time_t at = now();
    const int32_t TTL = _TTL.load(std::memory_order_relaxed);
    int rows = 0;
    if (_sampleSetType == 0) {
        RowBatch batch(agent, originNode, _rowSize);
        for (dataListEntry& e : _rows) {
            if (lastSampleTime != 0 && e.timeStamp() < lastSampleTime) {
                continue;
            }
            if (type == 'S' && ageOf(e.timeStamp(), at) > TTL) {
                VA_DETAIL("Ignoring row @%p with age=%d\n", static_cast<void*>(e.row()),
                          ageOf(e.timeStamp(), at));
                continue;
            }
            if (e.row() == nullptr) {
                if (_applKey.empty() || _tableName.empty()) {
                    VA_ERROR("Error: no row data exists for originNode <%s>\n",
                             originNode != nullptr ? originNode : "");
                } else {
                    VA_ERROR("Error: no row data exists for originNode <%s> applKey <%s> table <%s>\n",
                             originNode != nullptr ? originNode : "", _applKey.c_str(), _tableName.c_str());
                }
                continue;
            }
            if (!batch.add(e.row())) {
                break;
            }
        }
        batch.flush();
        rows = batch.added();
    } else {
        for (beginEndList& s : _sets) {
            const int age = ageOf(s.timeStamp(), at);
            if (age > TTL) {
                VA_DETAIL("Ignoring sample set @%p with age=%d, TTL=%d\n", static_cast<void*>(&s), age, TTL);
                continue;
            }
            rows += s.emitToAXF(agent, originNode);
        }
    }
    return rows;
}

int dataList::emitEvent(eventReceiver* manager, const char* originNode) {
    {
        ScopedLock guard(_lock, [this] { lockFailed(); });
        if (!guard.ok()) {
            return 1;
        }
        if (manager == nullptr || _last == nullptr || _last->row() == nullptr) {
            VA_ERROR("Error: invalid pointer - <@%p> <@%p>\n", static_cast<void*>(manager),
                     static_cast<void*>(_last));
            return 0;
        }
        _last->setOriginNode(originNode);
        _eventCopy.assign(_last->row(), _last->row() + _rowSize);
    }
    manager->EventArrived(_eventCopy.data(), _rowSize);
    return 0;
}

void dataList::emptyList() {
    ScopedLock guard(_lock, [this] { lockFailed(); });
    if (!guard.ok()) {
        return;
    }
    _noOfElements -= static_cast<int32_t>(_rows.size());
    _rows.clear();
    _slab.clear();
    _index.clear();
    _last = nullptr;
    _oldest = kNoTime;
}

void dataList::printList() {
    ScopedLock guard(_lock);
    VA_TRACE(trace::kDump,
             "dataList @%p <%s/%s/%s> rows %zu sets %zu noOfElements %d sampleSetType %d keys %d\n",
             static_cast<void*>(this), _applKey.c_str(), _tableName.c_str(), _sourceName.c_str(),
             _rows.size(), _sets.size(), _noOfElements, _sampleSetType, _keyDataCount);
    for (const dataListEntry& e : _rows) {
        e.printSelf(_rowSize);
    }
    for (beginEndList& s : _sets) {
        s.printList();
    }
}

}  // namespace vorpane::datapath

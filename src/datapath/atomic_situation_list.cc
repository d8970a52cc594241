#include "datapath/atomic_situation_list.h"

#include <cstring>

#include "interfaces/support.h"

atomicSituationEntry::atomicSituationEntry(const char* situationName, int32_t columnNumber)
    : _situation(situationName), _creationTime(static_cast<time_t>(vorpane::clock::nowSeconds())),
      _columnNumber(columnNumber) {}

atomicSituationEntry::~atomicSituationEntry() { VA_STORAGE("Deleting atomicSituationEntry @%p\n", static_cast<void*>(this)); }

atomicSituationList::~atomicSituationList() { emptyList(); }

atomicSituationEntry* atomicSituationList::addEntry(const char* situationName, int32_t columnNumber) {
    if (situationName == nullptr || *situationName == '\0') {
        VA_ERROR("Error: No situation name was supplied. Unable to allocate atomicSituationEntry.\n");
        return nullptr;
    }
    vorpane::ScopedLock guard(_lock, [this] {
        VA_ERROR("Error: unable to acquire lock for atomicSituationList @%p\n", static_cast<void*>(this));
    });
    if (!guard.ok()) {
        return nullptr;
    }
    vorpane::FixedText<34> name(situationName);
    for (atomicSituationEntry& e : _ring) {
        if (name == e.getSituation()) {
            if (e.getColumnNumber() == columnNumber) {
                VA_ERROR("Error: unable to add duplicate atomicSituationEntry for situation <%s> columnNumber %d\n",
                         situationName, columnNumber);
                return nullptr;
            }
            VA_ERROR("Warning: an atomicSituationEntry object already exists for situation <%s>\n", situationName);
            break;
        }
    }
    atomicSituationEntry& added = _ring.insert(std::make_unique<atomicSituationEntry>(situationName, columnNumber));
    VA_STORAGE("Allocated atomicSituationEntry @%p noOfElements=%zu\n", static_cast<void*>(&added), _ring.size());
    return &added;
}

atomicSituationEntry* atomicSituationList::findEntry(const char* situationName) {
    if (situationName == nullptr) {
        return nullptr;
    }
    vorpane::ScopedLock guard(_lock, [this] {
        VA_ERROR("Error: unable to acquire lock for atomicSituationList @%p\n", static_cast<void*>(this));
    });
    if (!guard.ok()) {
        return nullptr;
    }
    return _ring.findFirst([&](const atomicSituationEntry& e) { return std::strcmp(e.getSituation(), situationName) == 0; });
}

void atomicSituationList::emptyList() {
    vorpane::ScopedLock guard(_lock, [this] {
        VA_ERROR("Error: unable to acquire lock for atomicSituationList @%p\n", static_cast<void*>(this));
    });
    if (guard.ok()) {
        _ring.clear();
    }
}

int atomicSituationList::getNumberOfElements() {
    vorpane::ScopedLock guard(_lock);
    return static_cast<int>(_ring.size());
}

// ---------------------------------------------------------------------------------------------------

std::shared_ptr<atomicEventList> atomicSituationEntry::getAtomicEventList() {
    vorpane::ScopedLock guard(_eventLock);
    return _events;
}

std::shared_ptr<atomicEventList> atomicSituationEntry::addAtomicEventList() {
    vorpane::ScopedLock guard(_eventLock);
    if (_events == nullptr) {
        _events = std::make_shared<atomicEventList>(this);
    }
    return _events;
}

bool atomicSituationEntry::removeAtomicEventList() {
    vorpane::ScopedLock guard(_eventLock);
    const bool had = _events != nullptr;
    _events.reset();
    return had;
}

atomicEventList::atomicEventList(const atomicSituationEntry* owner)
    : _lastTimeStamp(static_cast<time_t>(vorpane::clock::nowSeconds())), _owner(owner) {}

atomicEventList::~atomicEventList() { emptyList(); }

#define VA_EVENT_LOCK(guard)                                                                                  \
    vorpane::ScopedLock guard(_lock, [this] {                                                                 \
        VA_ERROR("Error: unable to acquire lock for atomicEventList @%p\n", static_cast<void*>(this));        \
    })

atomicEventEntry* atomicEventList::addEntry(std::string_view value) {
    if (value.empty()) {
        VA_ERROR("Error: No atomic value was supplied. Unable to allocate atomicEventEntry.\n");
        return nullptr;
    }
    VA_EVENT_LOCK(guard);
    if (!guard.ok()) {
        return nullptr;
    }
    atomicEventEntry& e =
        _ring.insert(std::make_unique<atomicEventEntry>(value, static_cast<time_t>(vorpane::clock::nowSeconds())));
    VA_STORAGE("Allocated atomicEventEntry @%p situation <%s> atomic value <%s> noOfElements=%zu\n",
               static_cast<void*>(&e), _owner != nullptr ? _owner->getSituation() : "", e.getAtomicValue(),
               _ring.size());
    return &e;
}

atomicEventEntry* atomicEventList::findEntry(std::string_view value) {
    const vorpane::FixedText<64> key(value);
    VA_EVENT_LOCK(guard);
    if (!guard.ok()) {
        return nullptr;
    }
    return _ring.findFirst([&](const atomicEventEntry& e) { return key == std::string_view(e.getAtomicValue()); });
}

void atomicEventList::cleanupEntries(int32_t interval) {
    const time_t expiration = 2 * static_cast<time_t>(interval) - 1;
    const time_t now = static_cast<time_t>(vorpane::clock::nowSeconds());
    VA_EVENT_LOCK(guard);
    if (!guard.ok()) {
        return;
    }
    VA_DETAIL("Last atomicEventList timestamp %ld currentTime %ld sitInterval %d expirationTime %ld\n",
              static_cast<long>(_lastTimeStamp), static_cast<long>(now), interval, static_cast<long>(expiration));
    vorpane::RingIterator<atomicEventEntry> walk(_ring);
    while (atomicEventEntry* e = walk.next()) {
        if (e->getTimeStamp() < _lastTimeStamp || now - e->getTimeStamp() > expiration) {
            VA_STORAGE("Removing node @%p with timestamp %ld\n", static_cast<void*>(e),
                       static_cast<long>(e->getTimeStamp()));
            walk.removeCurrent().reset();
        }
    }
    if (_ring.empty()) {
        VA_DETAIL("Number of elements equals 0, resetting list\n");
    }
}

int atomicEventList::removeEntry(atomicEventEntry* entry) {
    VA_EVENT_LOCK(guard);
    if (!guard.ok() || entry == nullptr || !_ring.contains(*entry)) {
        return 1;
    }
    removeLocked(*entry);
    return 0;
}

void atomicEventList::removeLocked(atomicEventEntry& entry) {
    _ring.erase(entry);
    if (_ring.empty()) {
        VA_DETAIL("Number of elements equals 0, resetting list\n");
    }
}

void atomicEventList::emptyList() {
    VA_EVENT_LOCK(guard);
    if (guard.ok()) {
        _ring.clear();
    }
}

int atomicEventList::getNumberOfElements() {
    vorpane::ScopedLock guard(_lock);
    return static_cast<int>(_ring.size());
}

time_t atomicEventList::getLastTimeStamp() {
    vorpane::ScopedLock guard(_lock);
    return _lastTimeStamp;
}

void atomicEventList::setLastTimeStamp(time_t t) {
    vorpane::ScopedLock guard(_lock);
    _lastTimeStamp = t;
}

bool atomicEventList::suppressRepeatedAction(std::string_view value, int32_t interval) {
    // An event situation (no interval) still reports a value again and again: without an interval of
    // its own a clean-up at every action would forget every value at once.
    if (interval <= 0) {
        interval = kEventSituationInterval;
    }
    // One clean-up per sample, so that the values of a sample's other rows are still known; below 10
    // seconds "interval - 10" would clean up at every action.
    const time_t cleanupAfter = interval >= 10 ? interval - 10 : interval / 2;
    const time_t now = static_cast<time_t>(vorpane::clock::nowSeconds());
    if (now - getLastTimeStamp() > cleanupAfter) {
        cleanupEntries(interval);
        setLastTimeStamp(now);
    }
    {
        // Found and refreshed under one hold of the lock: a clean-up on another thread may remove it.
        const vorpane::FixedText<64> key(value);
        VA_EVENT_LOCK(guard);
        if (guard.ok()) {
            atomicEventEntry* e =
                _ring.findFirst([&](const atomicEventEntry& x) { return key == std::string_view(x.getAtomicValue()); });
            if (e != nullptr) {
                e->setTimeStamp(_lastTimeStamp);
                return true;
            }
            // Added under the same hold: the commands of one sample run on several framework
            // threads, and two of them with the same new value must not both go through.
            if (!value.empty()) {
                atomicEventEntry& added = _ring.insert(std::make_unique<atomicEventEntry>(value, now));
                VA_STORAGE("Allocated atomicEventEntry @%p situation <%s> atomic value <%s> noOfElements=%zu\n",
                           static_cast<void*>(&added), _owner != nullptr ? _owner->getSituation() : "",
                           added.getAtomicValue(), _ring.size());
                return false;
            }
        }
    }
    addEntry(value);
    return false;
}

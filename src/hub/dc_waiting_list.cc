#include "hub/dc_waiting_list.h"

#include "interfaces/trace.h"

#include <algorithm>

namespace {
const char* orNull(const char* s) { return (s != nullptr && *s != '\0') ? s : "NULL"; }

bool sameSender(const DCwaitingListEntry& e, const DCHclientAddr& clientAddr, unsigned int connectedSockFD) {
    if (e.connectedSockFD() != connectedSockFD) {
        return false;
    }
    if (connectedSockFD != 0) {
        return true;
    }
    const DCHclientAddr& a = e.clientAddr();
    return a.length == clientAddr.length &&
           std::equal(a.bytes.begin(), a.bytes.begin() + a.length, clientAddr.bytes.begin());
}
}  // namespace

DCwaitingListEntry::DCwaitingListEntry(const char* applName, const char* attrGroup, short waiterType,
                                       const DCHclientAddr& clientAddr, unsigned int connectedSockFD,
                                       const char* sourceName, short actionType, int16_t subscriptionFlags)
    : _applName(orNull(applName)), _attrGroup(orNull(attrGroup)), _sourceName(orNull(sourceName)),
      _clientAddr(clientAddr), _connectedSockFD(connectedSockFD), _waiterType(waiterType), _actionType(actionType),
      _subscriptionFlags(subscriptionFlags) {}

DCwaitingList::~DCwaitingList() {
    _walk.reset();
    _ring.clear();
}

std::string DCwaitingList::senderKey(const DCHclientAddr& clientAddr, unsigned int connectedSockFD) {
    // Appended piece by piece: building it with operator+ makes g++ 12 see an overlapping copy.
    std::string key;
    if (connectedSockFD != 0) {
        key.push_back('c');
        key.append(std::to_string(connectedSockFD));
        return key;
    }
    const size_t length = static_cast<size_t>(std::clamp(clientAddr.length, 0, static_cast<int>(clientAddr.bytes.size())));
    key.push_back('a');
    key.append(reinterpret_cast<const char*>(clientAddr.bytes.data()), length);
    return key;
}

void DCwaitingList::forget(const DCwaitingListEntry& entry) {
    auto found = _bySender.find(senderKey(entry._clientAddr, entry._connectedSockFD));
    if (found != _bySender.end() && --found->second <= 0) {
        _bySender.erase(found);
    }
}

int DCwaitingList::addEntry(const char* applName, const char* attrGroup, short waiterType,
                            const DCHclientAddr& clientAddr, unsigned int connectedSockFD, const char* sourceName,
                            short actionType, int16_t subscriptionFlags) {
    std::string key = senderKey(clientAddr, connectedSockFD);
    auto counted = _bySender.find(key);
    const int parked = counted == _bySender.end() ? 0 : counted->second;
    if (parked >= kMaxPerSender || noOfElements() >= kMaxTotal) {
        VA_ERROR("Error: waiting list full: %d waiters, %d of this sender (limits %d, %d); type 0x%x appl <%s> not "
                 "parked\n",
                 noOfElements(), parked, kMaxTotal, kMaxPerSender, static_cast<unsigned>(waiterType) & 0xFFFF,
                 orNull(applName));
        return 1;
    }
    if (counted == _bySender.end()) {
        _bySender.emplace(std::move(key), 1);
    } else {
        ++counted->second;
    }
    DCwaitingListEntry& e = _ring.insert(std::make_unique<DCwaitingListEntry>(
        applName, attrGroup, waiterType, clientAddr, connectedSockFD, sourceName, actionType, subscriptionFlags));
    VA_STORAGE("Added DCwaitingListEntry @%p type 0x%x appl <%s> group <%s> fd %u noOfElements=%d\n",
               static_cast<void*>(&e), static_cast<unsigned>(waiterType) & 0xFFFF, e.applName(), e.attrGroup(),
               connectedSockFD, noOfElements());
    return 0;
}

DCwaitingListEntry* DCwaitingList::getEntry(short first) {
    if (first != 0) {
        _walk = std::make_unique<vorpane::RingIterator<DCwaitingListEntry>>(_ring);
    }
    if (!_walk) {
        return nullptr;
    }
    return _walk->next();
}

int DCwaitingList::removeEntry(DCwaitingListEntry* entry) {
    if (entry == nullptr || !_ring.contains(*entry)) {
        return 1;
    }
    if (entry->_markForDelete == 0) {
        entry->_markForDelete = 1;
        ++_markedCount;
    }
    return 0;
}

int DCwaitingList::deleteIterator() {
    if (!_walk) {
        return 1;
    }
    _walk.reset();
    if (_markedCount == 0) {
        return 0;
    }
    vorpane::RingIterator<DCwaitingListEntry> it(_ring);
    while (DCwaitingListEntry* e = it.next()) {
        if (e->_markForDelete != 0) {
            if (_removalObserver) {
                _removalObserver(e);
            }
            VA_STORAGE("Deleting DCwaitingListEntry @%p\n", static_cast<void*>(e));
            forget(*e);
            it.removeCurrent();
        }
    }
    _markedCount = 0;
    return 0;
}

void DCwaitingList::destroy(DCwaitingListEntry& entry) {
    if (_removalObserver) {
        _removalObserver(&entry);
    }
    if (entry._markForDelete != 0) {
        --_markedCount;
    }
    VA_STORAGE("Deleting DCwaitingListEntry @%p\n", static_cast<void*>(&entry));
    forget(entry);
    _ring.erase(entry);
}

int DCwaitingList::removeEntry(short waiterType, const char* applName, const char* attrGroup) {
    const std::string_view appl = orNull(applName);
    const std::string_view group = orNull(attrGroup);
    DCwaitingListEntry* found = _ring.findFirst([&](const DCwaitingListEntry& e) {
        return e._waiterType == waiterType && e._applName.view() == appl && e._attrGroup.view() == group;
    });
    if (found == nullptr) {
        return 1;
    }
    destroy(*found);
    return 0;
}

int DCwaitingList::removeEntry(short waiterType, const char* applName, const char* attrGroup,
                               const DCHclientAddr& clientAddr, unsigned int connectedSockFD) {
    const std::string_view appl = orNull(applName);
    const std::string_view group = orNull(attrGroup);
    DCwaitingListEntry* found = _ring.findFirst([&](const DCwaitingListEntry& e) {
        return e._waiterType == waiterType && e._applName.view() == appl && e._attrGroup.view() == group &&
               sameSender(e, clientAddr, connectedSockFD);
    });
    if (found == nullptr) {
        return 1;
    }
    destroy(*found);
    return 0;
}

int DCwaitingList::countEntries(const DCHclientAddr& clientAddr, unsigned int connectedSockFD) const {
    auto found = _bySender.find(senderKey(clientAddr, connectedSockFD));
    return found == _bySender.end() ? 0 : found->second;
}

int DCwaitingList::cleanupEntries(unsigned int connectedSockFD) {
    if (connectedSockFD == 0) {
        return 0;  // datagram senders have no connection whose loss could be observed
    }
    int removed = 0;
    vorpane::RingIterator<DCwaitingListEntry> it(_ring);
    while (DCwaitingListEntry* e = it.next()) {
        if (e->_connectedSockFD == connectedSockFD) {
            if (_removalObserver) {
                _removalObserver(e);
            }
            if (e->_markForDelete != 0) {
                --_markedCount;
            }
            VA_STORAGE("Deleting DCwaitingListEntry @%p of closed connection %u\n", static_cast<void*>(e),
                       connectedSockFD);
            forget(*e);
            it.removeCurrent();
            ++removed;
        }
    }
    return removed;
}

void DCwaitingList::setHeadOfList(DCwaitingListEntry* entry) {
    if (entry == nullptr || !_ring.contains(*entry)) {
        return;
    }
    _ring.moveToFront(*entry);
    if (++_moveCount > 100) {
        _headOfListThreshold = static_cast<short>(_headOfListThreshold + 20);
        _moveCount = 0;
    }
}

void DCwaitingList::resetList() {
    _walk.reset();
    while (DCwaitingListEntry* e = _ring.head()) {
        destroy(*e);
    }
    _markedCount = 0;
}

void DCwaitingList::resetHeadOfList(DCwaitingListEntry* entry) {
    if (entry != nullptr && _ring.contains(*entry)) {
        _ring.setHead(*entry);
    }
}

void DCwaitingList::printList() const {
    VA_DETAIL("DCwaitingList @%p noOfElements=%d headOfListThreshold=%d\n", static_cast<const void*>(this),
              noOfElements(), _headOfListThreshold);
    for (const DCwaitingListEntry& e : _ring) {
        VA_DETAIL("  entry @%p type 0x%x appl <%s> group <%s> source <%s> fd %u actionType %d marked %d\n",
                  static_cast<const void*>(&e), static_cast<unsigned>(e.waiterType()) & 0xFFFF, e.applName(),
                  e.attrGroup(), e.sourceName(), e.connectedSockFD(), e.actionType(), e.markedForDelete() ? 1 : 0);
    }
}

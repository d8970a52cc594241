// The hub's waiting list: collectors and providers parked until the hub has something to send them
// (data subscriptions, status subscriptions, information requests not yet answerable, action waiters).
//
// Owned by DCHserver and touched only by its request thread, so it has no lock. One walk at a time:
// getEntry(1) starts a walk, getEntry(0) continues it, deleteIterator() ends it and deletes the
// entries removeEntry(entry) marked during the walk.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "common/fixed_text.h"
#include "common/ring_list.h"
#include "hub/dch_ipc.h"

class DCwaitingListEntry : public vorpane::RingNode<DCwaitingListEntry> {
public:
    DCwaitingListEntry(const char* applName, const char* attrGroup, short waiterType, const DCHclientAddr& clientAddr,
                       unsigned int connectedSockFD, const char* sourceName, short actionType,
                       int16_t subscriptionFlags = 0);

    const char* applName() const { return _applName.c_str(); }
    const char* attrGroup() const { return _attrGroup.c_str(); }
    const char* sourceName() const { return _sourceName.c_str(); }
    const DCHclientAddr& clientAddr() const { return _clientAddr; }
    unsigned int connectedSockFD() const { return _connectedSockFD; }
    short waiterType() const { return _waiterType; }
    short actionType() const { return _actionType; }
    // A dc_waitOnData subscription's DCH_controlField bits (DCH_CLAIM_UNCLAIMED_DATA, ...); 0 otherwise.
    int16_t subscriptionFlags() const { return _subscriptionFlags; }
    bool markedForDelete() const { return _markForDelete != 0; }
    int sendFailedCount() const { return _sendFailedCount; }
    void setSendFailedCount(int count) { _sendFailedCount = count; }

private:
    friend class DCwaitingList;

    vorpane::FixedText<20> _applName;
    vorpane::FixedText<32> _attrGroup;
    vorpane::FixedText<32> _sourceName;
    DCHclientAddr _clientAddr;
    int _sendFailedCount = 0;
    unsigned int _connectedSockFD;
    short _waiterType;
    short _markForDelete = 0;
    short _actionType;
    int16_t _subscriptionFlags;
};

class DCwaitingList {
public:
    // Waiters one sender (a connection, or an address for datagrams) may have parked, and all
    // senders together: requests for applications that never come cannot grow the list without
    // bound. A request past either bound is refused (traced) and not parked.
    static constexpr int kMaxPerSender = 1024;
    static constexpr int kMaxTotal = 16384;

    DCwaitingList() = default;
    ~DCwaitingList();

    // 0, or 1 when the entry cannot be made (a bound above is reached). Absent names are stored as "NULL".
    int addEntry(const char* applName, const char* attrGroup, short waiterType, const DCHclientAddr& clientAddr,
                 unsigned int connectedSockFD, const char* sourceName, short actionType,
                 int16_t subscriptionFlags = 0);

    // first != 0: starts a new walk (replacing any earlier one) and returns the head; 0: the next entry
    // of the walk; null at the end.
    DCwaitingListEntry* getEntry(short first);

    // Marks the entry for deletion at the end of the current walk. 0, or 1 when it is not in the list.
    int removeEntry(DCwaitingListEntry* entry);
    // Ends the walk and deletes the marked entries. 1 when there was no walk, else 0.
    int deleteIterator();

    // Deletes at once the first entry of that type, application and group. 0, or 1 when none matched.
    int removeEntry(short waiterType, const char* applName, const char* attrGroup);
    // The same, limited to the entries of one sender: its connection, or for a datagram sender
    // (connection 0) its address. A collector that unsubscribes ends its own subscription only.
    int removeEntry(short waiterType, const char* applName, const char* attrGroup, const DCHclientAddr& clientAddr,
                    unsigned int connectedSockFD);
    // Entries parked by one sender (as above), of any type.
    int countEntries(const DCHclientAddr& clientAddr, unsigned int connectedSockFD) const;
    // Deletes at once every entry registered on the connection (it is closed: nothing can reach it,
    // and its descriptor may soon name another connection). Returns the number deleted.
    int cleanupEntries(unsigned int connectedSockFD);

    // Moves the entry to the head; every 100 moves the threshold for moving grows by 20.
    void setHeadOfList(DCwaitingListEntry* entry);
    int getHeadOfListThreshold() const { return _headOfListThreshold; }
    void resetList();
    void resetHeadOfList(DCwaitingListEntry* entry);

    DCwaitingListEntry* list() const { return _ring.head(); }
    int noOfElements() const { return static_cast<int>(_ring.size()); }
    void printList() const;

    // Called with every entry just before it is deleted (the hub forgets its cached waiter).
    void setRemovalObserver(std::function<void(const DCwaitingListEntry*)> observer) {
        _removalObserver = std::move(observer);
    }

private:
    void destroy(DCwaitingListEntry& entry);
    // Every entry leaves through here (before it is unlinked): the per-sender count follows it.
    void forget(const DCwaitingListEntry& entry);
    static std::string senderKey(const DCHclientAddr& clientAddr, unsigned int connectedSockFD);

    vorpane::RingList<DCwaitingListEntry> _ring;
    std::unique_ptr<vorpane::RingIterator<DCwaitingListEntry>> _walk;
    int _markedCount = 0;
    short _moveCount = 0;
    short _headOfListThreshold = 20;
    std::function<void(const DCwaitingListEntry*)> _removalObserver;
    std::unordered_map<std::string, int> _bySender;
};

#include "hub/dc_waiting_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "interfaces/dch_protocol.h"

namespace {

DCHclientAddr addr() { return DCHclientAddr{}; }

std::vector<std::string> walk(DCwaitingList& list) {
    std::vector<std::string> out;
    for (DCwaitingListEntry* e = list.getEntry(1); e != nullptr; e = list.getEntry(0)) {
        out.push_back(e->applName());
    }
    list.deleteIterator();
    return out;
}

using Names = std::vector<std::string>;

TEST(DCwaitingList, EntriesAreWalkedOldestFirstWithNULLForMissingNames) {
    DCwaitingList list;
    EXPECT_EQ(list.getEntry(1), nullptr);
    EXPECT_EQ(list.deleteIterator(), 0);
    EXPECT_EQ(list.deleteIterator(), 1);  // no walk any more
    ASSERT_EQ(list.addEntry("APP1", "G1", DCH_dc_waitOnData, addr(), 5, nullptr, 1), 0);
    ASSERT_EQ(list.addEntry("APP2", nullptr, DCH_dc_waitForDPStatus, addr(), 6, "", 1), 0);
    ASSERT_EQ(list.addEntry("APP3", "G3", DCH_dp_waitForAction, addr(), 7, "host", 5), 0);
    EXPECT_EQ(list.noOfElements(), 3);
    EXPECT_EQ(walk(list), (Names{"APP1", "APP2", "APP3"}));
    DCwaitingListEntry* second = list.getEntry(1);
    second = list.getEntry(0);
    list.deleteIterator();
    EXPECT_STREQ(second->attrGroup(), "NULL");
    EXPECT_STREQ(second->sourceName(), "NULL");
    EXPECT_EQ(second->connectedSockFD(), 6u);
}

TEST(DCwaitingList, RemovalDuringAWalkWaitsForItsEnd) {
    DCwaitingList list;
    std::vector<const DCwaitingListEntry*> deleted;
    list.setRemovalObserver([&](const DCwaitingListEntry* e) { deleted.push_back(e); });
    for (const char* n : {"A", "B", "C", "D"}) {
        list.addEntry(n, "G", DCH_dc_waitOnData, addr(), 1, nullptr, 1);
    }
    Names seen;
    DCwaitingListEntry* head = nullptr;
    for (DCwaitingListEntry* e = list.getEntry(1); e != nullptr; e = list.getEntry(0)) {
        seen.push_back(e->applName());
        if (seen.size() == 1) {
            head = e;
        }
        if (std::string(e->applName()) == "A" || std::string(e->applName()) == "C") {
            EXPECT_EQ(list.removeEntry(e), 0);
            EXPECT_TRUE(e->markedForDelete());
        }
    }
    EXPECT_EQ(seen, (Names{"A", "B", "C", "D"}));
    EXPECT_EQ(list.noOfElements(), 4);  // still there until the walk ends
    EXPECT_TRUE(deleted.empty());
    EXPECT_EQ(list.deleteIterator(), 0);
    EXPECT_EQ(deleted.size(), 2u);
    EXPECT_EQ(deleted[0], head);
    // The head was deleted: the newest entry became the head.
    EXPECT_EQ(walk(list), (Names{"D", "B"}));
    DCwaitingListEntry stranger("X", "G", DCH_dc_waitOnData, addr(), 1, nullptr, 1);
    EXPECT_EQ(list.removeEntry(&stranger), 1);
}

TEST(DCwaitingList, RemoveByTypeAndCleanupByConnection) {
    DCwaitingList list;
    int deleted = 0;
    list.setRemovalObserver([&](const DCwaitingListEntry*) { ++deleted; });
    list.addEntry("APP", "G", DCH_dc_waitOnData, addr(), 9, nullptr, 1);
    list.addEntry("APP", "G", DCH_dc_waitForDPStatus, addr(), 9, nullptr, 1);
    list.addEntry("APP", "G", DCH_dc_waitOnData, addr(), 10, nullptr, 1);
    list.addEntry("OTHER", "G", DCH_dc_waitOnData, addr(), 0, nullptr, 1);
    EXPECT_EQ(list.removeEntry(DCH_dc_waitOnData, "APP", "H"), 1);
    EXPECT_EQ(list.removeEntry(DCH_dc_waitOnData, "APP", "G"), 0);  // the first of the two
    EXPECT_EQ(list.noOfElements(), 3);
    EXPECT_EQ(list.cleanupEntries(9), 1);
    EXPECT_EQ(list.cleanupEntries(0), 0);  // datagram waiters have no connection to lose
    EXPECT_EQ(list.cleanupEntries(10), 1);
    EXPECT_EQ(walk(list), (Names{"OTHER"}));
    EXPECT_EQ(deleted, 3);
    EXPECT_EQ(list.removeEntry(DCH_dc_waitOnData, "OTHER", nullptr), 1);
    EXPECT_EQ(list.removeEntry(DCH_dc_waitOnData, "OTHER", "G"), 0);
    EXPECT_EQ(list.list(), nullptr);
}

TEST(DCwaitingList, MovingToTheHeadRaisesTheThresholdEveryHundredMoves) {
    DCwaitingList list;
    for (const char* n : {"A", "B", "C"}) {
        list.addEntry(n, "G", DCH_dc_waitOnData, addr(), 1, nullptr, 1);
    }
    DCwaitingListEntry* c = list.getEntry(1);
    c = list.getEntry(0);
    c = list.getEntry(0);
    list.deleteIterator();
    list.setHeadOfList(c);
    EXPECT_EQ(walk(list), (Names{"C", "A", "B"}));
    EXPECT_EQ(list.getHeadOfListThreshold(), 20);
    for (int i = 0; i < 100; ++i) {
        list.setHeadOfList(c);
    }
    EXPECT_EQ(list.getHeadOfListThreshold(), 40);
    list.resetList();
    EXPECT_EQ(list.noOfElements(), 0);
}

DCHclientAddr udpSender(unsigned char last) {
    DCHclientAddr a;
    a.length = 16;
    a.bytes[4] = 127;
    a.bytes[7] = last;
    return a;
}

// One sender's stop ends its own waiter only; datagram senders are told apart by their address.
TEST(DCwaitingList, RemovalBySenderLeavesOtherSendersWaiters) {
    DCwaitingList list;
    ASSERT_EQ(list.addEntry("APP", "G", DCH_dc_waitOnData, addr(), 5, nullptr, 1), 0);
    ASSERT_EQ(list.addEntry("APP", "G", DCH_dc_waitOnData, addr(), 6, nullptr, 1), 0);
    ASSERT_EQ(list.addEntry("APP", "G", DCH_dc_waitOnData, udpSender(1), 0, nullptr, 1), 0);
    ASSERT_EQ(list.addEntry("APP", "G", DCH_dc_waitOnData, udpSender(2), 0, nullptr, 1), 0);
    EXPECT_EQ(list.removeEntry(DCH_dc_waitOnData, "APP", "G", addr(), 6), 0);
    EXPECT_EQ(list.removeEntry(DCH_dc_waitOnData, "APP", "G", addr(), 6), 1);  // it had one
    EXPECT_EQ(list.removeEntry(DCH_dc_waitOnData, "APP", "G", udpSender(2), 0), 0);
    EXPECT_EQ(list.removeEntry(DCH_dc_waitOnData, "APP", "G", udpSender(3), 0), 1);
    std::vector<unsigned> left;
    for (DCwaitingListEntry* e = list.getEntry(1); e != nullptr; e = list.getEntry(0)) {
        left.push_back(e->connectedSockFD() != 0 ? e->connectedSockFD() : e->clientAddr().bytes[7]);
    }
    list.deleteIterator();
    EXPECT_EQ(left, (std::vector<unsigned>{5, 1}));
}

// Requests parked for applications that never come are bounded per sender and in total; every way
// out of the list gives the room back.
TEST(DCwaitingList, ParkedWaitersAreBoundedPerSenderAndInTotal) {
    DCwaitingList list;
    for (int i = 0; i < DCwaitingList::kMaxPerSender; ++i) {
        ASSERT_EQ(list.addEntry("NEVER", nullptr, DCH_dc_getApplAttributes, udpSender(1), 0, nullptr, 1), 0);
    }
    EXPECT_EQ(list.addEntry("NEVER", nullptr, DCH_dc_getApplAttributes, udpSender(1), 0, nullptr, 1), 1);
    EXPECT_EQ(list.countEntries(udpSender(1), 0), DCwaitingList::kMaxPerSender);
    EXPECT_EQ(list.addEntry("NEVER", nullptr, DCH_dc_getApplAttributes, udpSender(2), 0, nullptr, 1), 0);
    // A walk's removal gives room back once the walk ends.
    DCwaitingListEntry* first = list.getEntry(1);
    ASSERT_EQ(list.removeEntry(first), 0);
    list.deleteIterator();
    EXPECT_EQ(list.addEntry("NEVER", nullptr, DCH_dc_getApplAttributes, udpSender(1), 0, nullptr, 1), 0);

    for (unsigned fd = 10; list.noOfElements() < DCwaitingList::kMaxTotal; ++fd) {
        for (int i = 0; i < DCwaitingList::kMaxPerSender && list.noOfElements() < DCwaitingList::kMaxTotal; ++i) {
            ASSERT_EQ(list.addEntry("NEVER", nullptr, DCH_dc_getApplAttributes, addr(), fd, nullptr, 1), 0);
        }
    }
    EXPECT_EQ(list.addEntry("NEW", "G", DCH_dc_waitOnData, addr(), 9999, nullptr, 1), 1);
    const int ofTen = list.countEntries(addr(), 10);
    EXPECT_EQ(list.cleanupEntries(10), ofTen);
    EXPECT_EQ(list.countEntries(addr(), 10), 0);
    EXPECT_EQ(list.addEntry("NEW", "G", DCH_dc_waitOnData, addr(), 9999, nullptr, 1), 0);
    list.resetList();
    EXPECT_EQ(list.countEntries(udpSender(1), 0), 0);
}

}  // namespace

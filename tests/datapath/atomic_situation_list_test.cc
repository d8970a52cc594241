#include "datapath/atomic_situation_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "interfaces/sync.h"

#include "testlib/trace_capture.h"

namespace {

TEST(AtomicSituationList, AddsFindsAndRefusesDuplicates) {
    vorpane::testing::TraceCapture capture;
    atomicSituationList list;
    EXPECT_EQ(list.addEntry("", 3), nullptr);
    EXPECT_EQ(list.addEntry(nullptr, 3), nullptr);
    EXPECT_TRUE(capture.contains("Error: No situation name was supplied. Unable to allocate atomicSituationEntry."));

    atomicSituationEntry* first = list.addEntry("SitA", 3);
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first->getSituation(), "SitA");
    EXPECT_EQ(first->getColumnNumber(), 3);

    EXPECT_EQ(list.addEntry("SitA", 3), nullptr);
    EXPECT_TRUE(capture.contains(
        "Error: unable to add duplicate atomicSituationEntry for situation <SitA> columnNumber 3"));
    EXPECT_EQ(list.getNumberOfElements(), 1);

    atomicSituationEntry* second = list.addEntry("SitA", 5);
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(capture.contains("Warning: an atomicSituationEntry object already exists for situation <SitA>"));
    EXPECT_EQ(list.getNumberOfElements(), 2);
    EXPECT_EQ(list.findEntry("SitA"), first);  // the older entry serves lookups

    EXPECT_EQ(list.findEntry("SitB"), nullptr);
    EXPECT_EQ(list.findEntry("Sit"), nullptr);
    list.emptyList();
    EXPECT_EQ(list.getNumberOfElements(), 0);
    EXPECT_EQ(list.findEntry("SitA"), nullptr);
}

TEST(AtomicSituationList, NamesKeepTheirFirst34Characters) {
    atomicSituationList list;
    std::string longName(40, 'S');
    atomicSituationEntry* e = list.addEntry(longName.c_str(), 2);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(std::string(e->getSituation()), std::string(34, 'S'));
    e->setSituationInterval(60);
    EXPECT_EQ(e->getSituationInterval(), 60);
}

// The suppression sequence with interval 60 on a clock the test moves: a value suppresses its
// repeats, survives a clean-up only when seen since the one before, and runs again once forgotten.
TEST(AtomicEventList, SuppressesRepeatsAndForgetsValuesThatStopAppearing) {
    atomicSituationList list;
    atomicSituationEntry* sit = list.addEntry("SitA", 2);
    ASSERT_NE(sit, nullptr);
    EXPECT_EQ(sit->getAtomicEventList(), nullptr);
    std::shared_ptr<atomicEventList> events = sit->addAtomicEventList();
    ASSERT_NE(events, nullptr);
    EXPECT_EQ(sit->addAtomicEventList(), events);  // one list per situation

    EXPECT_FALSE(events->suppressRepeatedAction("v1", 60));  // new: the action runs
    vorpane::clock::advance(30);
    EXPECT_TRUE(events->suppressRepeatedAction("v1", 60));   // suppressed
    EXPECT_FALSE(events->suppressRepeatedAction("v1 ", 60));  // exact text: a trailing blank is another value
    vorpane::clock::advance(25);                    // 55 s after the list began: a clean-up
    EXPECT_FALSE(events->suppressRepeatedAction("v2", 60));
    EXPECT_EQ(events->getNumberOfElements(), 3);    // v1 was seen since the last clean-up
    vorpane::clock::advance(60);
    EXPECT_TRUE(events->suppressRepeatedAction("v2", 60));    // the clean-up keeps v2, forgets v1 and "v1 "
    EXPECT_EQ(events->getNumberOfElements(), 1);
    EXPECT_FALSE(events->suppressRepeatedAction("v1", 60));   // forgotten: the action runs again

    // Values longer than 64 characters are kept as their first 64.
    const std::string longValue(70, 'x');
    EXPECT_FALSE(events->suppressRepeatedAction(longValue, 60));
    EXPECT_TRUE(events->suppressRepeatedAction(std::string(64, 'x'), 60));
    EXPECT_EQ(events->addEntry(""), nullptr);

    // A stopped situation drops its list; whoever still holds it keeps a valid one.
    EXPECT_TRUE(sit->removeAtomicEventList());
    EXPECT_FALSE(sit->removeAtomicEventList());
    EXPECT_EQ(sit->getAtomicEventList(), nullptr);
    EXPECT_TRUE(events->suppressRepeatedAction("v2", 60));
}

// An event situation (no interval) reports the same value again and again: its action runs once, the
// repeats are skipped while events with the value keep coming, and a value quiet for two clean-ups
// (60 seconds apart) runs again. A short interval keeps every value of a sample until the next one.
TEST(AtomicEventList, EventSituationsAndShortIntervalsSuppressRepeatsToo) {
    atomicSituationList list;
    atomicSituationEntry* sit = list.addEntry("SitEvent", 2);
    ASSERT_NE(sit, nullptr);
    std::shared_ptr<atomicEventList> events = sit->addAtomicEventList();
    EXPECT_FALSE(events->suppressRepeatedAction("e1", 0));
    EXPECT_TRUE(events->suppressRepeatedAction("e1", 0));
    EXPECT_FALSE(events->suppressRepeatedAction("e2", 0));
    for (int i = 0; i < 10; ++i) {
        vorpane::clock::advance(20);
        EXPECT_TRUE(events->suppressRepeatedAction("e1", 0)) << i;  // it keeps coming: still skipped
    }
    EXPECT_FALSE(events->suppressRepeatedAction("e2", 0));  // quiet for 200 seconds: forgotten
    vorpane::clock::advance(130);
    EXPECT_FALSE(events->suppressRepeatedAction("e1", 0));

    // Interval 5: the rows of one sample carry two values; the next sample's clean-up keeps both.
    std::shared_ptr<atomicEventList> fast = list.addEntry("SitFast", 2)->addAtomicEventList();
    EXPECT_FALSE(fast->suppressRepeatedAction("a", 5));
    EXPECT_FALSE(fast->suppressRepeatedAction("b", 5));
    vorpane::clock::advance(5);
    EXPECT_TRUE(fast->suppressRepeatedAction("a", 5));
    EXPECT_TRUE(fast->suppressRepeatedAction("b", 5));
    vorpane::clock::advance(5);
    EXPECT_TRUE(fast->suppressRepeatedAction("a", 5));
    vorpane::clock::advance(5);
    EXPECT_FALSE(fast->suppressRepeatedAction("b", 5));  // missing from a whole sample: forgotten
}

// The commands of one sample run on several framework threads at once: of those with the same new
// value exactly one goes through.
TEST(AtomicEventList, OneOfManyConcurrentActionsForANewValueRuns) {
    atomicSituationList list;
    atomicSituationEntry* sit = list.addEntry("SitB", 1);
    ASSERT_NE(sit, nullptr);
    std::shared_ptr<atomicEventList> events = sit->addAtomicEventList();
    for (int round = 0; round < 50; ++round) {
        const std::string value = "value" + std::to_string(round);
        std::atomic<int> ran{0};
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&] {
                while (!go.load()) {
                    std::this_thread::yield();
                }
                if (!events->suppressRepeatedAction(value, 60)) {
                    ++ran;
                }
            });
        }
        go = true;
        for (std::thread& t : threads) {
            t.join();
        }
        ASSERT_EQ(ran.load(), 1) << value;
    }
    EXPECT_EQ(events->getNumberOfElements(), 50);
}

}  // namespace

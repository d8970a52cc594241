#include "datapath/atomic_situation_list.h"

#include <gtest/gtest.h>

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

}  // namespace

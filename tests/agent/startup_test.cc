#include "agent/startup.h"

#include <gtest/gtest.h>

#include "datapath/atomic_situation_list.h"
#include "testlib/trace_capture.h"

namespace {

using vorpane::testing::TraceCapture;

TEST(Heartbeat, SubsystemIdIsTheUpperCasedInstanceNameCutTo20) {
    EXPECT_EQ(subsystemIdFromInstance(nullptr), "");
    EXPECT_EQ(subsystemIdFromInstance("prod1"), "PROD1");
    EXPECT_EQ(subsystemIdFromInstance("abcdefghijklmnopqrstuv"), "ABCDEFGHIJKLMNOPQRST");
}

TEST(Heartbeat, ALongProbeNameShortensTheIdentifierAtItsLeft) {
    TraceCapture capture;
    std::string id = subsystemIdFromInstance("abcdefghijklmnopqrstuv");  // 22 characters, cut to 20
    shortenForHeartbeat(id, "host567890", "VA", nullptr);               // 20 + 10 + 2 + 2 = 34
    EXPECT_EQ(id, "CDEFGHIJKLMNOPQRST");
    EXPECT_TRUE(capture.contains("Warning: Heartbeat probe name <ABCDEFGHIJKLMNOPQRST:host567890:VA> too long, "
                                 "length 34 > max length 32 -> truncating instance name <ABCDEFGHIJKLMNOPQRST>"));
    EXPECT_TRUE(capture.contains("InstanceName now equals <CDEFGHIJKLMNOPQRST>"));
}

TEST(Heartbeat, PlaxfHostnameThatFitsLeavesTheIdentifier) {
    TraceCapture capture;
    std::string id = "ABCDEFGHIJKLMNOPQRST";
    shortenForHeartbeat(id, "host567890", "VA", "h1");
    EXPECT_EQ(id, "ABCDEFGHIJKLMNOPQRST");
    EXPECT_TRUE(capture.contains("Note: PLAXF_HOSTNAME value <h1> being used to prevent heartbeat probe truncation"));
    // A PLAXF_HOSTNAME too long to help is ignored: the identifier is shortened.
    shortenForHeartbeat(id, "host567890", "VA", "host5678901234");
    EXPECT_EQ(id, "CDEFGHIJKLMNOPQRST");
}

TEST(Heartbeat, AnExcessAsLongAsTheIdentifierOnlyWarns) {
    TraceCapture capture;
    std::string id = "AB";
    shortenForHeartbeat(id, std::string(40, 'h'), "VA", nullptr);
    EXPECT_EQ(id, "AB");
    EXPECT_TRUE(capture.contains("length 46 > max length 32"));
    EXPECT_FALSE(capture.contains("truncating"));
    std::string fits = "A";
    shortenForHeartbeat(fits, "host", "VA", nullptr);
    EXPECT_EQ(fits, "A");
}

TEST(AtomicSituations, OnlyWellFormedItemsAreAdded) {
    TraceCapture capture;
    atomicSituationList list;
    parseAtomicSituations("SitA:3, SitB:0,SitC", list, 64);
    EXPECT_EQ(list.getNumberOfElements(), 1);
    ASSERT_NE(list.findEntry("SitA"), nullptr);
    EXPECT_EQ(list.findEntry("SitA")->getColumnNumber(), 3);
    EXPECT_TRUE(capture.contains("Error: invalid column value <0> specified for atomic situation <SitB>"));
    EXPECT_TRUE(capture.contains("Error: column number not specified for atomic situation <SitC>"));
}

TEST(AtomicSituations, ColumnsMustBeBelowTheColumnLimit) {
    TraceCapture capture;
    atomicSituationList list;
    parseAtomicSituations("S1:64,S2:63,S3:-1,S4:x", list, 64);
    EXPECT_EQ(list.getNumberOfElements(), 1);
    EXPECT_NE(list.findEntry("S2"), nullptr);
    EXPECT_TRUE(capture.contains("Error: invalid column value <64> specified for atomic situation <S1>"));
    EXPECT_TRUE(capture.contains("Error: invalid column value <x> specified for atomic situation <S4>"));
}

TEST(AtomicSituations, ItemsAreCutTo34CharactersAndColonsAloneEndTheParse) {
    TraceCapture capture;
    atomicSituationList list;
    // 32-character name, a colon and "12": the item keeps its first 34 characters, so column "1".
    std::string name(32, 'N');
    parseAtomicSituations((name + ":12,:::,Late:2").c_str(), list, 64);
    ASSERT_NE(list.findEntry(name.c_str()), nullptr);
    EXPECT_EQ(list.findEntry(name.c_str())->getColumnNumber(), 1);
    EXPECT_TRUE(capture.contains("Error: invalid situation name:column number specification in <:::>"));
    EXPECT_EQ(list.findEntry("Late"), nullptr);
}

TEST(AtomicSituations, AnOverlongValueStopsWithTheLengthError) {
    TraceCapture capture;
    atomicSituationList list;
    std::string value;
    for (int i = 0; value.size() < 5000; ++i) {
        value += "Situation" + std::to_string(i) + ":2,";
    }
    parseAtomicSituations(value.c_str(), list, 64);
    EXPECT_TRUE(capture.contains("Error: ZOTA_ATOMIC_SITUATIONS length exceeds maximum allowed length of 4096, not "
                                 "all atomic situations will be processed"));
    EXPECT_GT(list.getNumberOfElements(), 250);
    EXPECT_NE(list.findEntry("Situation0"), nullptr);
}

}  // namespace

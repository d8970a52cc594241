// The metadata of an application registered with a real hub: the texts the hub hands to collectors
// produce the same files as the hand-written ones.
#include <gtest/gtest.h>

#include "interfaces/dch_client.h"
#include "metadata_test_support.h"
#include "providers/host_provider.h"
#include "testlib/hub_fixture.h"

namespace vorpane::metadata::testing {
namespace {

class MetadataFromHub : public WorkDirFixture {
protected:
    vorpane::testing::TestHub _hub;
};

TEST_F(MetadataFromHub, RegisteredApplicationGivesTheExpectedFiles) {
    ASSERT_TRUE(_hub.ready());
    HubProvider provider;
    ASSERT_EQ(provider.connect(), 0);
    DPapplication app{"NETMON", "Network monitor", {}};
    app.groups.push_back(
        {"IFTABLE", "Interface table", 'N', 60, "SNMP",
         "@ifIndex,C,4, , ,Interface index;ifDescr,D,16, ,CAPTION{Description},Interface description"});
    int status = -1;
    ASSERT_EQ(provider.dp_register(&status, app), 0);
    int handle = 0;
    ASSERT_EQ(provider.dp_online(&status, &handle, "NETMON", "IFTABLE", "router1"), 0);

    const metadataSettings settings = fixedSettings();
    auto list = std::make_unique<userDataList>("NETMON", settings, hubApplicationTexts());
    ASSERT_EQ(list->status(), 0);
    ASSERT_TRUE(list->filesGenerated());
    const std::string golden = std::string(VORPANE_METADATA_GOLDEN) + "/netmon/";
    for (const char* name : {"NETCAT00", "NETATR00", "NETODI00"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(readFile(work(name)), readFile(golden + name));
    }

    // The same registration again: the version stays and nothing is written.
    auto again = buildUserDataList("NETMON", settings, nullptr);
    EXPECT_EQ(again->status(), 0);
    EXPECT_FALSE(again->filesGenerated());
    EXPECT_STREQ(again->cvrm(), "04.00.00");
}

// The host application's percentages and load averages travel in hundredths: their columns carry
// scale 2 from the registration through the hub's help text into the table layout, which is what
// the framework and the API divide by.
TEST_F(MetadataFromHub, TheHostApplicationsHundredthsReachTheLayoutAsScale) {
    ASSERT_TRUE(_hub.ready());
    HubProvider provider;
    int status = -1;
    ASSERT_EQ(provider.dp_register(&status, providers::HostProvider::application().registration()), 0);
    int handle = 0;
    ASSERT_EQ(provider.dp_online(&status, &handle, "VPHOST", "CPU", "host1"), 0);

    auto list = std::make_unique<userDataList>("VPHOST", fixedSettings(), hubApplicationTexts());
    ASSERT_EQ(list->status(), 0);
    auto scaleOf = [&list](const char* group, const char* attribute) {
        userDataListEntry* e = list->getUserDataListEntry(group);
        if (e == nullptr || e->udi() == nullptr) {
            return -1;
        }
        for (const attrInfo_t& c : e->udi()->columns()) {
            if (c.attrName == attribute) {
                return static_cast<int>(c.scale);
            }
        }
        return -2;
    };
    EXPECT_EQ(scaleOf("CPU", "User_Pct"), 2);
    EXPECT_EQ(scaleOf("CPU", "Busy_Pct"), 2);
    EXPECT_EQ(scaleOf("MEMORY", "Used_Pct"), 2);
    EXPECT_EQ(scaleOf("LOAD", "Load_15"), 2);
    EXPECT_EQ(scaleOf("FILESYSTEM", "Used_Pct"), 2);
    EXPECT_EQ(scaleOf("PROCESS", "CPU_Pct"), 2);
    EXPECT_EQ(scaleOf("MEMORY", "Total_KB"), 0);
    EXPECT_EQ(scaleOf("LOAD", "Running"), 0);
}

}  // namespace
}  // namespace vorpane::metadata::testing

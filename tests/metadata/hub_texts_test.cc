// The metadata of an application registered with a real hub: the texts the hub hands to collectors
// produce the same files as the hand-written ones.
#include <gtest/gtest.h>

#include "interfaces/dch_client.h"
#include "metadata_test_support.h"
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

}  // namespace
}  // namespace vorpane::metadata::testing

#include "agent/dp_selection.h"

#include <gtest/gtest.h>

#include "testlib/trace_capture.h"

namespace {

using Args = std::vector<std::string>;
using vorpane::testing::TraceCapture;

std::vector<std::string> names(const DPSelection& s) {
    std::vector<std::string> out;
    for (const DPsToStartEntry& e : s.entries) {
        out.push_back(e.name.str());
        EXPECT_STREQ(DPtypeString[e.type], e.name.c_str());
    }
    return out;
}

TEST(DPSelection, NoArgumentsOrOnlyTestStartASFS) {
    TraceCapture capture;
    EXPECT_EQ(names(chooseDataProvidersFromArgs({}, nullptr)), Args{"ASFS"});
    EXPECT_TRUE(capture.contains("No command line arguments: Starting DP ASFS thread."));
    EXPECT_EQ(names(chooseDataProvidersFromArgs({"test"}, nullptr)), Args{"ASFS"});
    EXPECT_EQ(chooseDataProvidersFromArgs({}, nullptr).entries[0].type, 2);
}

TEST(DPSelection, ASFSRefusesFileSockAndApis) {
    TraceCapture capture;
    EXPECT_EQ(names(chooseDataProvidersFromArgs({"asfs,file"}, nullptr)), Args{"ASFS"});
    EXPECT_TRUE(capture.contains("Warning: Argument <FILE> is not valid combined with argument ASFS."));
    EXPECT_EQ(names(chooseDataProvidersFromArgs({"ASFS", "FILE"}, nullptr)), Args{"ASFS"});
    EXPECT_EQ(names(chooseDataProvidersFromArgs({"sock", "asfs", "snmp", "apis"}, nullptr)), (Args{"ASFS", "SNMP"}));
}

TEST(DPSelection, StartupKeyCountsOnlyWithoutArgumentsOrAfterTest) {
    EXPECT_EQ(names(chooseDataProvidersFromArgs({}, "snmp,http")), (Args{"SNMP", "HTTP"}));
    EXPECT_EQ(names(chooseDataProvidersFromArgs({"FILE"}, "SNMP")), Args{"FILE"});
    EXPECT_EQ(names(chooseDataProvidersFromArgs({"FILE", "TEST"}, "SNMP")), Args{"SNMP"});
    // The key set but empty: nothing to start, and ASFS is not the fallback.
    EXPECT_EQ(names(chooseDataProvidersFromArgs({}, "")), Args{});
}

TEST(DPSelection, NODPAnywhereStartsNothing) {
    EXPECT_TRUE(chooseDataProvidersFromArgs({"FILE", "NODP", "SNMP"}, nullptr).entries.empty());
    EXPECT_TRUE(chooseDataProvidersFromArgs({}, "nodp").entries.empty());
}

TEST(DPSelection, DuplicatesOdbcAndUnknownNamesAreRefused) {
    TraceCapture capture;
    EXPECT_EQ(names(chooseDataProvidersFromArgs({"FILE", "file"}, nullptr)), Args{"FILE"});
    EXPECT_TRUE(capture.contains("Warning: Argument <FILE> specified more than once."));
    EXPECT_EQ(names(chooseDataProvidersFromArgs({"http,http"}, nullptr)), Args{"HTTP"});
    EXPECT_TRUE(capture.contains("Warning: Argument <HTTP> has already been specified, duplicate ignored."));
    EXPECT_EQ(names(chooseDataProvidersFromArgs({"ODBC", "WBEM"}, nullptr)), Args{"WBEM"});
    EXPECT_TRUE(capture.contains("****Error: ODBC Data Provider is currently not supported on UNIX platforms"));
    capture.clear();
    EXPECT_EQ(names(chooseDataProvidersFromArgs({"BOGUS", "ZOTCMA_X", " POST"}, nullptr)), Args{"POST"});
    EXPECT_TRUE(capture.contains("Error: VA Argument 1 <BOGUS> of ZOTA_STARTUP_DP is invalid."));
    EXPECT_FALSE(capture.contains("ZOTCMA_X> of"));
}

TEST(DPSelection, ProductAgentsReadTheirTypeNumbers) {
    TraceCapture capture;
    DPSelection missing = chooseDataProvidersFromProductSpec(std::nullopt);
    EXPECT_TRUE(missing.fatal);
    EXPECT_TRUE(capture.contains("Error: ZOT0_QueryProductSpec(ZOT2_DP_TO_START) returned NULL.  Exiting..."));

    EXPECT_EQ(names(chooseDataProvidersFromProductSpec("2,8")), (Args{"ASFS", "SNMP"}));
    EXPECT_EQ(names(chooseDataProvidersFromProductSpec("3,3")), (Args{"FILE", "FILE"}));  // no duplicate test here
    DPSelection none = chooseDataProvidersFromProductSpec("11");
    EXPECT_FALSE(none.fatal);
    EXPECT_TRUE(none.entries.empty());
    EXPECT_FALSE(chooseDataProvidersFromProductSpec("").fatal);

    capture.clear();
    DPSelection odbcOnly = chooseDataProvidersFromProductSpec("6");
    EXPECT_TRUE(odbcOnly.fatal);
    EXPECT_TRUE(capture.contains("Error: Found no DPs to start from <6>.  Exiting..."));
    EXPECT_EQ(names(chooseDataProvidersFromProductSpec("12,-1,x,4")), Args{"HTTP"});
    EXPECT_TRUE(capture.contains("Error: DP type <12> of ZOT2_DP_TO_START is not a data provider type."));

    std::string many;
    for (int i = 0; i < 25; ++i) {
        many += "1,";
    }
    EXPECT_EQ(chooseDataProvidersFromProductSpec(many).entries.size(), kMaxDPsToStart);
}

}  // namespace

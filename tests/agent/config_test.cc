#include <gtest/gtest.h>

#include "agent/va_limits.h"
#include "testlib/trace_capture.h"

namespace {

TEST(Config, UnsetKeysGiveTheDefaults) {
    vorpane::testing::TraceCapture capture;
    VA_LIMITS l = parseConfigKeys(VA_ConfigKeys{}, false);
    EXPECT_EQ(l.maxEventEntries, 100);
    EXPECT_EQ(l.maxApplications, 64);
    EXPECT_EQ(l.maxAttrGroupsPerAppl, 64);
    EXPECT_EQ(l.maxWaitUDL, 5);
    EXPECT_EQ(l.maxValuesBufSize, 8192);
    EXPECT_EQ(l.maxDeferredRequest, 512);
    EXPECT_EQ(l.cleanUpTrigger, 10);
    EXPECT_EQ(l.maxIBColumns, 64);
    EXPECT_EQ(l.emitDupRec, 1);
    EXPECT_EQ(l.maxDeferredReportRequest, 256);
    EXPECT_EQ(l.reportRequestExpiration, 15);
    EXPECT_EQ(l.writeOptLog, 'Y');
    EXPECT_EQ(l.vmcCommand, 'N');
    EXPECT_EQ(l.localAction, 'N');
    EXPECT_EQ(l.usageNormal, 'N');
    EXPECT_EQ(l.timestampFormat, 'N');
    EXPECT_EQ(l.demandReport, 'N');
    EXPECT_EQ(l.actionTableName.view(), "VAG6034300");
    EXPECT_EQ(l.actionLogonId, 'N');
    // Every value is traced with its label, in the order of the keys.
    const char* labels[] = {"MAX_EVENT_ENTRIES=100", "MAX_APPLICATIONS=64", "MAX_ATTRGROUP_PER_APPL=64",
                            "VA_CLEANUP_TRIGGER=10", "WRITE_OPTLOG=Y", "ACTIONtableName <VAG6034300>",
                            "MAX_WAIT_UDL=5", "MAX_VALUES_BUF_SIZE=8192", "MAX_ATTRS_PER_TABLE=64",
                            "EMIT_DUP_REC=1", "MAX_DEFERRED_REQUEST=512", "VMC_COMMAND=N", "LOCAL_ACTION=N",
                            "USAGE_NORMAL=N", "TIMESTAMP_FORMAT=N", "DEMAND_REPORT=N",
                            "MAX_DEFERRED_REPORT_REQUEST=256", "REPORT_REQUEST_EXPIRATION=15", "ACTION_LOGONID=N"};
    std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(lines.size(), std::size(labels));
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i], labels[i]);
    }
}

TEST(Config, ProductAgentsAllow256GroupsByDefault) {
    EXPECT_EQ(parseConfigKeys(VA_ConfigKeys{}, true).maxAttrGroupsPerAppl, 256);
    VA_ConfigKeys k;
    k.maxAttrGroupsPerAppl = "80";
    EXPECT_EQ(parseConfigKeys(k, true).maxAttrGroupsPerAppl, 80);
}

TEST(Config, OddValuesAreTakenAsTheyParse) {
    VA_ConfigKeys k;
    k.maxEventEntries = "many";        // no leading digits: 0
    k.maxApplications = "12abc";       // leading digits count
    k.maxIBColumns = "-5";             // no bounds are applied
    k.valuesBufSize = "";              // empty: 0
    k.actionLogonId = "";              // an empty character key stores NUL, which is not "N"
    k.vmcCommand = "yes";              // the first character, as entered
    k.demandReport = "y";
    k.actionTableName = "ABCDEFGHIJKLMNOP";
    VA_LIMITS l = parseConfigKeys(k, false);
    EXPECT_EQ(l.maxEventEntries, 0);
    EXPECT_EQ(l.maxApplications, 12);
    EXPECT_EQ(l.maxIBColumns, -5);
    EXPECT_EQ(l.maxValuesBufSize, 0);
    EXPECT_EQ(l.actionLogonId, '\0');
    EXPECT_NE(l.actionLogonId, 'N');
    EXPECT_EQ(l.vmcCommand, 'y');
    EXPECT_EQ(l.demandReport, 'y');
    EXPECT_EQ(l.actionTableName.view(), "ABCDEFGHIJ");
}

TEST(Config, AccessorsReadTheRecordOfTheProcess) {
    VA_LIMITS l;
    l.maxIBColumns = 12;
    l.demandReport = 'N';
    l.actionTableName.assign("T1");
    setVaLimits(l);
    EXPECT_EQ(Max_IB_Columns(), 12);
    EXPECT_STREQ(ACTIONtableName(), "T1");
    EXPECT_EQ(DemandReport(), 'N');
    setDemandReport('Y');
    EXPECT_EQ(DemandReport(), 'Y');
    setVaLimits(VA_LIMITS{});
    EXPECT_EQ(DemandReport(), 'N');
}

TEST(Config, ActionIDStartsAtOneAndWrapsAfterTheLargestValue) {
    setActionIDForTest(0);
    EXPECT_EQ(ActionID(), 1);
    EXPECT_EQ(ActionID(), 2);
    setActionIDForTest(2147483646);
    EXPECT_EQ(ActionID(), 2147483647);
    EXPECT_EQ(ActionID(), 1);
    EXPECT_EQ(ActionID(), 2);
}

}  // namespace

// Application metadata and table layouts built from the hub's three texts.
#include <gtest/gtest.h>

#include "metadata_test_support.h"
#include "testlib/trace_capture.h"

namespace vorpane::metadata::testing {
namespace {

using vorpane::testing::TraceCapture;

class UserDataList : public WorkDirFixture {};

std::vector<std::string> groupsOf(const userDataList& list) {
    std::vector<std::string> groups;
    for (const userDataListEntry& e : list.entries()) {
        groups.emplace_back(e.attrGroup());
    }
    return groups;
}

TEST_F(UserDataList, GroupsComeInRegistrationOrderWithTheirRecords) {
    auto list =
        build("XAPP", {"XAPP,G1,S,60,FILE:G2,P,0,SNMP:G3,N,5,APIS:;", "G1,a,C,4:;G2,b,D,8:;G3,@c,C,4:;",
                       "App help,G1,h1,a,ah, , :G2,h2,b,bh, , :;"});
    ASSERT_EQ(list->status(), 0);
    EXPECT_EQ(groupsOf(*list), (std::vector<std::string>{"G1", "G2", "G3"}));
    const userDataListEntry* g1 = list->getUserDataListEntry("G1");
    ASSERT_NE(g1, nullptr);
    EXPECT_EQ(g1->sampleType(), 'S');
    EXPECT_EQ(g1->TTL(), 60);
    EXPECT_EQ(g1->SNMPflag(), 0);
    EXPECT_STREQ(g1->applName(), "XAPP00");
    EXPECT_STREQ(g1->cvrm(), "04.00.00");
    const userDataListEntry* g3 = list->getUserDataListEntry("G3");
    EXPECT_EQ(g3->sampleType(), 'K');
    EXPECT_EQ(g3->SNMPflag(), 1);
    EXPECT_EQ(list->getUserDataListEntry("G4"), nullptr);
    EXPECT_EQ(list->getUserDataListEntry(""), nullptr);
    EXPECT_EQ(list->getUserDataListEntry(nullptr), nullptr);
    // Missing help for the third group is not an error; its layout has no presentation details.
    EXPECT_FALSE(g3->udi()->attrInfo(1).captionStr.has_value());
    EXPECT_EQ(list->setTableName("G2"), 1);
    EXPECT_EQ(std::string(list->tableName()),
              std::string("XAP") + ZOTA_ComputeChecksumOnAttrGroup("G2") + "00");
    EXPECT_EQ(list->setTableName("NONE"), 0);
}

TEST_F(UserDataList, DuplicateGroupOrOverlongRecordFailsTheWholeList) {
    {
        TraceCapture trace;
        auto list = build("DUP", {"DUP,G1,P,60,FILE:G1,P,60,FILE:;", "G1,a,C,4:;G1,a,C,4:;", "h,G1,g, :;"});
        EXPECT_NE(list->status(), 0);
        EXPECT_TRUE(trace.contains("Error: Found existing userDataListEntry<G1>"));
        EXPECT_TRUE(trace.contains("Errors encountered when building userDataList for application <DUP>"));
        EXPECT_FALSE(list->filesGenerated());
        EXPECT_FALSE(exists(work("DUPCAT00")));
    }
    {
        TraceCapture trace;
        const std::string longType(192, 'F');  // "G1,P,60," + 192 = 200
        auto list = build("LONG", {"LONG,G1,P,60," + longType + ":;", "G1,a,C,4:;", "h,G1,g, :;"});
        EXPECT_NE(list->status(), 0);
        EXPECT_TRUE(trace.contains("Error: length of attrGroupInfo 200 > 200"));
    }
    {
        // 199 characters are still accepted.
        const std::string type(191, 'F');
        auto list = build("FITS", {"FITS,G1,P,60," + type + ":;", "G1,a,C,4:;", "h,G1,g,a,ah, , :;"});
        EXPECT_EQ(list->status(), 0);
    }
}

TEST_F(UserDataList, ColumnsHaveNamesTypesOffsetsAndRowSize) {
    auto list = build("LAYOUT", {"LAYOUT,G,P,60,FILE:;", "G,A,C,4:@B,D,20:$T1,T,16:@$S,S,2:;", "h,G,g, :;"});
    ASSERT_EQ(list->status(), 0);
    const userDataInfo& udi = *list->getUserDataListEntry("G")->udi();
    ASSERT_EQ(udi.noOfColumns(), 5);
    struct Want {
        const char *column, *name, *type;
        int kind, offset, length, key, atomic;
    };
    const Want want[] = {{"ORIGINNODE", "Node_Name", "S32", kTypeString, 0, 32, 0, 0},
                         {"VA1", "A", "I4", kTypeInteger, 32, 4, 0, 0},
                         {"VA2", "B", "S20", kTypeString, 36, 20, 1, 0},
                         {"VA3", "T1", "T16", kTypeString, 56, 16, 0, 1},
                         {"VA4", "S", "I2", kTypeInteger, 72, 2, 1, 1}};
    for (std::size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        const attrInfo_t& c = udi.attrInfo(i);
        EXPECT_EQ(c.columnName.view(), want[i].column);
        EXPECT_EQ(c.attrName, want[i].name);
        EXPECT_EQ(c.typeString.view(), want[i].type);
        EXPECT_EQ(c.type, want[i].kind);
        EXPECT_EQ(c.offset, want[i].offset);
        EXPECT_EQ(c.length, want[i].length);
        EXPECT_EQ(c.key, want[i].key);
        EXPECT_EQ(c.atomic, want[i].atomic);
    }
    EXPECT_EQ(udi.rowSize(), 74);
    EXPECT_EQ(udi.attrInfo(4).minimum, -32768);
    EXPECT_EQ(udi.attrInfo(4).maximum, 32767);
    EXPECT_EQ(udi.attrInfo(1).minimum, -2147483647 - 1);
    EXPECT_STREQ(udi.applName(), "LAYOUT");
    EXPECT_STREQ(udi.applNameRR(), "LAYOUT00");
    EXPECT_STREQ(udi.applKey(), "LAY");
    int offset = 0, length = 0, type = 0;
    EXPECT_TRUE(udi.columnInfo("VA2", &offset, &length, &type));
    EXPECT_EQ(offset, 36);
    EXPECT_EQ(length, 20);
    TraceCapture trace;
    EXPECT_FALSE(udi.columnInfo("VA9", &offset, &length, &type));
    EXPECT_EQ(type, -1);
    EXPECT_TRUE(trace.contains("Error: Could not find column <VA9>"));
}

TEST_F(UserDataList, HelpTextGivesCaptionsPrecisionScaleAndEnumerations) {
    auto list =
        build("HELP", {"HELP,G,P,60,FILE:;", "G,Mode,D,8:Used,C,4:Speed,G,4:;",
                       "h,G,g,Mode,Used mode,CAPTION{How},ENUM{xa(1) b(2)y},Used,Used space,"
                       "CAPTION{Space}PRECISION{2}SCALE{3}, ,Speed,Speed,CAPTION{},ENUM{ fast(1) }:;"});
    ASSERT_EQ(list->status(), 0);
    const userDataInfo& udi = *list->getUserDataListEntry("G")->udi();
    const attrInfo_t& mode = udi.attrInfo(1);
    EXPECT_EQ(mode.captionStr, std::optional<std::string>("How"));
    EXPECT_EQ(mode.enumStr, std::optional<std::string>("a(1) b(2)"));
    EXPECT_EQ(mode.type, kTypeStringEnum);
    // "Used" first occurs inside Mode's help, so its details are read there: none.
    const attrInfo_t& used = udi.attrInfo(2);
    EXPECT_FALSE(used.captionStr.has_value());
    EXPECT_FALSE(used.enumStr.has_value());
    EXPECT_EQ(used.type, kTypeInteger);
    const attrInfo_t& speed = udi.attrInfo(3);
    EXPECT_FALSE(speed.captionStr.has_value());  // an empty caption is none
    EXPECT_EQ(speed.enumStr, std::optional<std::string>("fast(1)"));
    EXPECT_EQ(speed.type, kTypeIntegerEnum);

    auto ordered = build("ORD", {"ORD,G,P,60,FILE:;", "G,Used,C,4:;",
                                 "h,G,g,Used,Used space,CAPTION{Space}PRECISION{2}SCALE{3}, :;"});
    const attrInfo_t& u = ordered->getUserDataListEntry("G")->udi()->attrInfo(1);
    EXPECT_EQ(u.captionStr, std::optional<std::string>("Space"));
    EXPECT_EQ(u.precision, 2);
    EXPECT_EQ(u.scale, 3);
    EXPECT_EQ(u.help, "Used space");
    EXPECT_EQ(u.unit, "");

    // The group's help, each attribute's help and its unit; the group's own name and help are not
    // taken for an attribute's record.
    auto units = build("UNI", {"UNI,Used,P,60,FILE:;", "Used,Used,G,4:Free,G,4:;",
                               "h,Used,Memory in use,Used,Used memory,UNIT{MiB}CAPTION{Used}, ,"
                               "Free, ,UNIT{ percent }, :;"});
    ASSERT_EQ(units->status(), 0);
    const userDataInfo& m = *units->getUserDataListEntry("Used")->udi();
    EXPECT_EQ(m.groupHelp(), "Memory in use");
    EXPECT_EQ(m.attrInfo(1).help, "Used memory");
    EXPECT_EQ(m.attrInfo(1).unit, "MiB");
    EXPECT_EQ(m.attrInfo(1).captionStr, std::optional<std::string>("Used"));
    EXPECT_EQ(m.attrInfo(2).help, "");  // a blank is no help
    EXPECT_EQ(m.attrInfo(2).unit, "percent");

    // A unit outside the list (from a provider that registers without the description parser) is
    // dropped with its reason.
    TraceCapture trace;
    auto odd = build("ODD", {"ODD,G,P,60,FILE:;", "G,Far,G,4:;", "h,G,g,Far,Distance,UNIT{furlongs}, :;"});
    ASSERT_EQ(odd->status(), 0);
    EXPECT_EQ(odd->getUserDataListEntry("G")->udi()->attrInfo(1).unit, "");
    EXPECT_TRUE(trace.contains("Error: unit <furlongs> of attribute <Far> is not one of bytes, KiB"));

    // A help text naming no attribute leaves everything empty, without error.
    auto none = build("NONE", {"NONE,G,P,60,FILE:;", "G,Zeta,C,4:;", "h,G,g,Other,x, , :;"});
    ASSERT_EQ(none->status(), 0);
    const attrInfo_t& z = none->getUserDataListEntry("G")->udi()->attrInfo(1);
    EXPECT_FALSE(z.captionStr || z.enumStr);
    EXPECT_EQ(z.precision + z.scale, 0);
}

TEST_F(UserDataList, RefusedColumnsFailTheGroupWithTheirReason) {
    struct Case {
        std::string attrInfo, help, error;
    };
    const Case cases[] = {
        {"G,a,X,4:;", "h,G,g, :;", "Error: attribute type of [X] not recognized."},
        {"G,a,C:;", "h,G,g, :;", "Error: lenStr was NULL."},
        {"G,a,C,4:;", "h,G,g,a,ah:;", "Error: parsing attrFormat <ah> for attribute <a>"},
        {"G,a,C,4:;", "h,G,g,a,ah, ,ENUM{ open(1) :;",
         "Error: parsing enumeration, closing brace not found before end of ENUM string at offset: 14"},
        {"G,a,C,4:;", "h,G,g,a,ah, ,ENUM{" + std::string(9000, 'x') + "}:;",
         "Error: parsing enumeration, ENUM string length: 9006 exceeds max ENUM length: 8192"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        TraceCapture trace;
        auto list = build("BAD", {"BAD,G,P,60,FILE:;", c.attrInfo, c.help});
        EXPECT_NE(list->status(), 0);
        EXPECT_TRUE(trace.contains(c.error));
        EXPECT_TRUE(trace.contains("Error: addAttrInfo failed - status=1"));
        EXPECT_FALSE(exists(work("BADCAT00")));
    }
    metadataSettings narrow = fixedSettings();
    narrow.maxIBColumns = 2;
    TraceCapture trace;
    auto list = build("WIDE", {"WIDE,G,P,60,FILE:;", "G,a,C,4:b,C,4:c,C,4:;", "h,G,g, :;"}, narrow);
    EXPECT_NE(list->status(), 0);
    EXPECT_TRUE(trace.contains("Error: Maximum attributes 3 for Appl<WIDE00> Group<G>"));
}

// Records what the table side is asked to do.
class RecordingHooks : public tableLayoutHooks {
public:
    void retirePreviousTable(userDataInfo&, const std::string& appl, const std::string& table) override {
        calls.push_back("retire " + appl + " " + table);
    }
    int attachTableManager(userDataInfo& layout) override {
        calls.push_back(std::string("attach ") + layout.applNameRR() + " " + layout.tableNameRR());
        return 0;
    }
    int startCollection(userDataInfo& layout) override {
        calls.push_back(std::string("start ") + layout.attrGroup() + " " +
                        std::to_string(layout.noOfColumns()));
        return failStart ? 1 : 0;
    }
    void releaseLayout(userDataInfo& layout) override {
        calls.push_back(std::string("release ") + layout.attrGroup());
    }
    std::vector<std::string> calls;
    bool failStart = false;
};

TEST_F(UserDataList, TableSideIsAttachedStartedRetiredAndReleased) {
    const std::string code = ZOTA_ComputeChecksumOnAttrGroup("G");
    RecordingHooks hooks;
    const metadataSettings settings = fixedSettings();
    {
        fixedApplicationTexts texts("HOOK,G,P,60,FILE:;", "G,a,C,4:;", "h,G,g,a,ah, , :;");
        userDataList list("HOOK", settings, texts, &hooks);
        ASSERT_EQ(list.status(), 0);
    }
    EXPECT_EQ(hooks.calls,
              (std::vector<std::string>{"attach HOOK00 HOO" + code + "00", "start G 2", "release G"}));

    // A change in the middle of the group: a new release retires the old table.
    hooks.calls.clear();
    {
        fixedApplicationTexts texts("HOOK,G,P,60,FILE:;", "G,b,C,4:;", "h,G,g,b,bh, , :;");
        userDataList list("HOOK", settings, texts, &hooks);
        ASSERT_EQ(list.status(), 0);
        EXPECT_STREQ(list.cvrm(), "04.01.00");
    }
    EXPECT_EQ(hooks.calls.front(), "retire HOOK00 HOO" + code + "00");
    EXPECT_EQ(hooks.calls[1], "attach HOOK01 HOO" + code + "01");

    hooks.calls.clear();
    hooks.failStart = true;
    TraceCapture trace;
    fixedApplicationTexts texts("HOOK,G,P,60,FILE:;", "G,b,C,4:;", "h,G,g,b,bh, , :;");
    userDataList list("HOOK", settings, texts, &hooks);
    EXPECT_NE(list.status(), 0);
    EXPECT_TRUE(trace.contains("Error: waitOnDP thread creation failed for applKey<HOO> attrGroup<G>"));
}

TEST_F(UserDataList, HubFailuresAreTracedAndNothingIsBuilt) {
    class Failing : public applicationTextSource {
      public:
        int getApplications(const char*, std::string* out) override {
            *out = "F,G,P,60,FILE:;";
            return 0;
        }
        int getApplAttributes(const char*, std::string*) override { return 3; }
        int getApplHelp(const char*, std::string*) override { return 0; }
    } failing;
    TraceCapture trace;
    const metadataSettings settings = fixedSettings();
    userDataList list("FAILS", settings, failing);
    EXPECT_NE(list.status(), 0);
    EXPECT_TRUE(trace.contains("Error: dc_getApplAttributes<FAILS> failed"));
    EXPECT_EQ(list.noOfElements(), 0u);
    EXPECT_STREQ(list.RR(), "");
}

}  // namespace
}  // namespace vorpane::metadata::testing

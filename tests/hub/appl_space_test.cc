// The application space: registration parsing, default source names, handles, searches, status,
// removal, texts, and the requests it makes on behalf of a lost provider.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "agent/va_limits.h"
#include "hub/appl_space_list.h"
#include "interfaces/dch_protocol.h"
#include "testlib/trace_capture.h"

namespace {

using vorpane::dch::FieldReader;
using vorpane::testing::TraceCapture;

// Two attributes, registered as a provider sends them.
constexpr const char* kTwoAttrs = "ID,C,4,ids,%d,the identifier;NAME,D,8,names,%s,the name";

class ApplSpaceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        _savedLimits = vaLimits();
        VA_LIMITS limits;
        limits.maxIBColumns = 64;
        setVaLimits(limits);
    }
    void TearDown() override { setVaLimits(_savedLimits); }

    attrInfoList* only(const char* appl, const char* group) {
        return space.searchAttrInfoList(appl, group, appl);
    }

    applSpaceList space;

  private:
    VA_LIMITS _savedLimits;
};

std::vector<std::string> names(const attrInfoList& list) {
    std::vector<std::string> out;
    for (const attrInfoEntry& attr : list.attributes()) {
        out.push_back(attr.name());
    }
    return out;
}

std::string records(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += "A" + std::to_string(i) + ",C,4,e,f,help;";
    }
    return text;
}

// ---------------------------------------------------------------------------------------------------
// Registration strings

TEST_F(ApplSpaceTest, RegistrationParsesPrefixesHelpAndDefaults) {
    const std::string reg =
        "@$ID,C,4, , ,identifier;NAME,D,8,a b,%s,the name, with, commas;@KEY,D,4,ab,cd,k;$AT,G,2,x,y, ;"
        "my-attr,S,2,list,fmt,h";
    ASSERT_EQ(space.allocApplicationSpace("APPL", "GROUP", 'P', 60, reg, 1, 7), 0);
    attrInfoList* list = only("APPL", "GROUP");
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(names(*list), (std::vector<std::string>{"ID", "NAME", "KEY", "AT", "my_attr"}));
    EXPECT_EQ(list->noOfElements(), 5u);
    EXPECT_EQ(list->attrRegister(), reg);
    EXPECT_EQ(list->TTL(), 60);
    EXPECT_EQ(list->connectedDP(), 7u);
    EXPECT_EQ(list->status(), '?');
    EXPECT_EQ(list->controlField(), 0x11);
    EXPECT_EQ(list->errors(), 0);

    const attrInfoEntry* id = list->findAttribute("ID");
    ASSERT_NE(id, nullptr);
    EXPECT_TRUE(id->keyed());
    EXPECT_TRUE(id->atomic());
    EXPECT_EQ(id->type(), 'C');
    EXPECT_EQ(id->attrLength(), 4);
    EXPECT_EQ(id->dataLength(), 4);
    EXPECT_EQ(id->ENUM(), " ");
    EXPECT_EQ(id->attrFormat(), " ");
    EXPECT_EQ(id->attrHelp(), "identifier");

    // The help text is the rest of the record, commas included, made safe for the information texts.
    const attrInfoEntry* name = list->findAttribute("NAME");
    ASSERT_NE(name, nullptr);
    EXPECT_FALSE(name->keyed());
    EXPECT_EQ(name->attrHelp(), "the name  with  commas");
    EXPECT_EQ(name->ENUM(), "a b");
    EXPECT_EQ(name->attrFormat(), "%s");

    const attrInfoEntry* key = list->findAttribute("KEY");
    ASSERT_NE(key, nullptr);
    EXPECT_TRUE(key->keyed());
    EXPECT_FALSE(key->atomic());

    // One-character enumerations and formats become a blank; a blank help gets the default text.
    const attrInfoEntry* at = list->findAttribute("AT");
    ASSERT_NE(at, nullptr);
    EXPECT_FALSE(at->keyed());
    EXPECT_TRUE(at->atomic());
    EXPECT_EQ(at->ENUM(), " ");
    EXPECT_EQ(at->attrFormat(), " ");
    EXPECT_EQ(at->attrHelp(), "No attribute Help Defined");
}

TEST_F(ApplSpaceTest, GroupTypesAreUpperCasedAndOthersFailTheGroup) {
    ASSERT_EQ(space.allocApplicationSpace("APPL", "KEYED", 'k', 0, kTwoAttrs, 1, 0), 0);
    ASSERT_NE(only("APPL", "KEYED"), nullptr);
    EXPECT_EQ(only("APPL", "KEYED")->attrType(), 'K');

    TraceCapture capture;
    // On an existing application the failed group is reported.
    EXPECT_EQ(space.allocApplicationSpace("APPL", "BAD", 'X', 0, kTwoAttrs, 0, 0), -1);
    EXPECT_TRUE(capture.contains("Error: Invalid Data Type <X>"));
    EXPECT_TRUE(capture.contains("Error: allocateAttrInfoList failed."));
    EXPECT_EQ(only("APPL", "BAD"), nullptr);
    EXPECT_EQ(space.searchApplSpace("APPL")->noOfElements(), 1u);

    // A new application is kept without lists and the call still reports success.
    capture.clear();
    EXPECT_EQ(space.allocApplicationSpace("NEWAPP", "BAD", 'x', 0, kTwoAttrs, 1, 0), 0);
    EXPECT_TRUE(capture.contains("Error: Invalid Data Type <X>"));
    applSpaceEntry* entry = space.searchApplSpace("NEWAPP");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->noOfElements(), 0u);
    EXPECT_EQ(entry->handle(), -1);
}

TEST_F(ApplSpaceTest, MissingPiecesFailTheGroupInOrderOfChecking) {
    struct Case {
        const char* reg;
        const char* trace;
    };
    const Case cases[] = {
        {"NAME", "Error: typeStr was NULL."},
        {"NAME,D", "Error: lenStr was NULL."},
        {"NAME,D,8", "Error: ENUM was NULL."},
        {"NAME,D,8,e", "Error: formatText was NULL."},
        {"NAME,D,8,e,f", "Error: helpText was NULL."},
        {"NAME,D,8,e,f,", "Error: helpText was NULL."},
        // Commas in a row count as one, as the tokenizer reads them: the help text moves up a piece.
        {"NAME,D,8,,f,help", "Error: helpText was NULL."},
        {",,,", "Error: name was NULL."},
    };
    ASSERT_EQ(space.allocApplicationSpace("APPL", "GOOD", 'P', 0, kTwoAttrs, 1, 0), 0);
    for (const Case& c : cases) {
        TraceCapture capture;
        EXPECT_EQ(space.allocApplicationSpace("APPL", "GROUP", 'P', 0, c.reg, 0, 0), -1) << c.reg;
        EXPECT_TRUE(capture.contains(c.trace)) << c.reg;
        EXPECT_EQ(space.searchApplSpace("APPL")->noOfElements(), 1u) << c.reg;
    }
    // Good records before a bad one do not save the group.
    EXPECT_EQ(space.allocApplicationSpace("APPL", "GROUP", 'P', 0, "OK,C,4,e,f,h;BROKEN,C", 0, 0), -1);
    EXPECT_EQ(only("APPL", "GROUP"), nullptr);
    // Empty records are skipped.
    EXPECT_EQ(space.allocApplicationSpace("APPL", "GROUP", 'P', 0, ";;OK,C,4,e,f,h;;", 0, 0), 0);
    EXPECT_EQ(names(*only("APPL", "GROUP")), std::vector<std::string>{"OK"});
}

TEST_F(ApplSpaceTest, AttributeNamesAreLimitedTo201Characters) {
    const std::string longest(201, 'N');
    EXPECT_EQ(space.allocApplicationSpace("APPL", "FITS", 'P', 0, "@" + longest + ",D,8,e,f,h", 1, 0), 0);
    ASSERT_NE(only("APPL", "FITS"), nullptr);
    EXPECT_NE(only("APPL", "FITS")->findAttribute(longest), nullptr);

    TraceCapture capture;
    const std::string tooLong(202, 'N');
    EXPECT_EQ(space.allocApplicationSpace("APPL", "LONG", 'P', 0, tooLong + ",D,8,e,f,h", 0, 0), -1);
    EXPECT_TRUE(capture.contains("Error: attribute <" + tooLong + "> length > 201"));
}

TEST_F(ApplSpaceTest, MoreRecordsThanTheColumnLimitFailTheGroup) {
    EXPECT_EQ(space.allocApplicationSpace("APPL", "FULL", 'P', 0, records(64), 1, 0), 0);
    ASSERT_NE(only("APPL", "FULL"), nullptr);
    EXPECT_EQ(only("APPL", "FULL")->noOfElements(), 64u);

    TraceCapture capture;
    EXPECT_EQ(space.allocApplicationSpace("APPL", "OVER", 'P', 0, records(65), 0, 0), -1);
    EXPECT_TRUE(
        capture.contains("Error: Attribute count <65> exceeds maximum allowed number of attributes <64>"));
    EXPECT_EQ(only("APPL", "OVER"), nullptr);

    // The limit is the configured one.
    VA_LIMITS limits;
    limits.maxIBColumns = 2;
    setVaLimits(limits);
    EXPECT_EQ(space.allocApplicationSpace("APPL", "SMALL", 'P', 0, records(3), 0, 0), -1);
    EXPECT_EQ(space.allocApplicationSpace("APPL", "SMALL", 'P', 0, records(2), 0, 0), 0);
}

// ---------------------------------------------------------------------------------------------------
// Applications, default source names and handles

TEST_F(ApplSpaceTest, DefaultSourceNamesCountRegistrationsOverAllApplications) {
    EXPECT_EQ(space.allocApplicationSpace("APPL", "G1", 'P', 0, kTwoAttrs, 1, 0), 0);
    EXPECT_EQ(space.allocApplicationSpace("APPL", "G2", 'P', 0, kTwoAttrs, 0, 0), 0);
    EXPECT_EQ(space.noOfElements(), 1u);
    applSpaceEntry* appl = space.searchApplSpace("APPL");
    ASSERT_NE(appl, nullptr);
    ASSERT_EQ(appl->noOfElements(), 2u);
    EXPECT_STREQ(appl->searchAttrInfoList(nullptr, "G1")->sourceName(), "APPL_0");
    EXPECT_STREQ(appl->searchAttrInfoList(nullptr, "G2")->sourceName(), "APPL_1");
    EXPECT_EQ(appl->applCount(), 1);
    EXPECT_EQ(appl->handle(), appl->searchAttrInfoList(nullptr, "G1")->handle());

    // A failed registration still takes a number.
    EXPECT_EQ(space.allocApplicationSpace("APPL", "BAD", 'X', 0, kTwoAttrs, 0, 0), -1);
    EXPECT_EQ(space.allocApplicationSpace("OTHER", "G1", 'P', 0, kTwoAttrs, 1, 0), 0);
    EXPECT_STREQ(space.searchApplSpace("OTHER")->searchAttrInfoList(nullptr, "G1")->sourceName(), "OTHER_3");
    EXPECT_EQ(space.searchApplSpace("OTHER")->applCount(), 2);
    EXPECT_EQ(space.sourceCounter(), 4);

    // Registering again with init set: 1, a warning, and a further list under the next number.
    TraceCapture capture;
    EXPECT_EQ(space.allocApplicationSpace("APPL", "G1", 'P', 0, kTwoAttrs, 1, 0), 1);
    EXPECT_TRUE(capture.contains("Warning: applSpaceEntry <APPL> already exists."));
    EXPECT_EQ(appl->noOfElements(), 3u);
    EXPECT_NE(appl->searchAttrInfoList("APPL_4", "G1"), nullptr);

    // The agent's own application is re-registered silently.
    EXPECT_EQ(space.allocApplicationSpace("VAGENT", "DPLOG", 'E', 0, kTwoAttrs, 1, 0), 0);
    capture.clear();
    EXPECT_EQ(space.allocApplicationSpace("VAGENT", "DPLOG", 'E', 0, kTwoAttrs, 1, 0), 1);
    EXPECT_FALSE(capture.contains("already exists"));
}

TEST_F(ApplSpaceTest, HandlesAreConsecutiveUniqueAndFoundWithoutWalking) {
    const int32_t base = attrInfoList::handleBase();
    EXPECT_GE(base, 0);
    EXPECT_EQ(base & 0xFFFF, 0);

    std::vector<int32_t> handles;
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(space.allocApplicationSpace("APPL", "G" + std::to_string(i), 'P', 0, kTwoAttrs, 0, 0), 0);
        handles.push_back(only("APPL", ("G" + std::to_string(i)).c_str())->handle());
    }
    for (std::size_t i = 1; i < handles.size(); ++i) {
        EXPECT_EQ(handles[i], handles[i - 1] + 1);
    }
    EXPECT_GT(handles[0] - base, 0);

    // A list that fails still uses a handle; handles are never reused.
    ASSERT_EQ(space.allocApplicationSpace("APPL", "BAD", 'X', 0, kTwoAttrs, 0, 0), -1);
    ASSERT_EQ(space.allocApplicationSpace("APPL", "NEXT", 'P', 0, kTwoAttrs, 0, 0), 0);
    EXPECT_EQ(only("APPL", "NEXT")->handle(), handles.back() + 2);

    for (int32_t h : handles) {
        attrInfoList* list = space.searchAttrInfoList(h);
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(list->handle(), h);
        EXPECT_STREQ(space.getApplName(h), "APPL");
        EXPECT_STREQ(space.getAttrGroup(h), list->group());
        EXPECT_STREQ(space.getSourceName(h), list->sourceName());
    }
    EXPECT_EQ(space.searchAttrInfoList(handles.back() + 1), nullptr);
    EXPECT_EQ(space.getApplName(-5), nullptr);
    EXPECT_EQ(space.getAttrGroup(-5), nullptr);
    EXPECT_EQ(space.getSourceName(-5), nullptr);

    // The index follows lists that leave: one dropped directly, the rest with their application.
    applSpaceEntry* appl = space.searchApplSpace("APPL");
    EXPECT_EQ(appl->freeAttrInfoList(space.searchAttrInfoList(handles[1])), 0);
    EXPECT_EQ(space.searchAttrInfoList(handles[1]), nullptr);
    EXPECT_EQ(appl->freeAttrInfoList(nullptr), 1);
    EXPECT_EQ(space.freeApplicationSpace("APPL"), 0);
    for (int32_t h : handles) {
        EXPECT_EQ(space.searchAttrInfoList(h), nullptr);
    }
}

TEST_F(ApplSpaceTest, SearchesByNames) {
    ASSERT_EQ(space.allocApplicationSpace("APPL", "G1", 'P', 9, kTwoAttrs, 1, 3), 0);
    applSpaceEntry* appl = space.searchApplSpace("APPL");
    ASSERT_NE(appl, nullptr);
    const int32_t host1 = appl->allocateAttrInfoList("G1", "host1", 'P', 9, kTwoAttrs, 4, '?');
    const int32_t appliance = appl->allocateAttrInfoList("G1", "APPLIANCE", 'P', 9, kTwoAttrs, 4, 'I');
    ASSERT_NE(host1, -1);
    ASSERT_NE(appliance, -1);
    EXPECT_EQ(space.searchAttrInfoList(appliance)->status(), 'I');
    EXPECT_EQ(space.searchAttrInfoList(host1)->status(), '?');

    // The application's name finds the first source whose name begins with it.
    attrInfoList* byAppl = space.searchAttrInfoList("APPL", "G1", "APPL");
    ASSERT_NE(byAppl, nullptr);
    EXPECT_STREQ(byAppl->sourceName(), "APPL_0");
    EXPECT_EQ(space.searchAttrInfoList("APPL", "G1", "host1")->handle(), host1);
    EXPECT_EQ(space.searchAttrInfoList("APPL", "G1", "host"), nullptr);  // other names must be equal
    EXPECT_EQ(space.searchAttrInfoList("APPL", "G2", "APPL"), nullptr);
    EXPECT_EQ(space.searchAttrInfoList("NOPE", "G1", "NOPE"), nullptr);
    EXPECT_EQ(space.searchApplSpace("APP"), nullptr);

    // getHandle and the entry-level search compare exactly.
    EXPECT_EQ(space.getHandle("APPL", "G1", "APPL"), -1);
    EXPECT_EQ(space.getHandle("APPL", "G1", "APPL_0"), byAppl->handle());
    EXPECT_EQ(space.getHandle("APPL", "G1", "host1"), host1);
    EXPECT_EQ(space.getHandle("NOPE", "G1", "host1"), -1);
    EXPECT_EQ(appl->searchAttrInfoList(nullptr, nullptr), nullptr);
    EXPECT_EQ(appl->searchAttrInfoList("host1", nullptr)->handle(), host1);

    // setSourceName renames only a list whose source name is the application's name.
    EXPECT_EQ(space.setSourceName("NOPE", "G1", "x"), 4);
    EXPECT_EQ(space.setSourceName("APPL", "G1", "host2"), 5);
    const int32_t named = appl->allocateAttrInfoList("G1", "APPL", 'P', 9, kTwoAttrs, 4, '?');
    EXPECT_EQ(space.setSourceName("APPL", "G1", "host2"), 0);
    EXPECT_STREQ(space.getSourceName(named), "host2");
    EXPECT_EQ(space.setSourceName("APPL", "G1", std::string(40, 'S')), 5);

    // The group's registration data comes from its first list.
    char type = 0;
    int32_t ttl = 0;
    std::string reg;
    unsigned int fd = 0;
    EXPECT_EQ(space.searchApplNameAttrGroup("APPL", "G1", &type, &ttl, &reg, &fd), appl);
    EXPECT_EQ(type, 'P');
    EXPECT_EQ(ttl, 9);
    EXPECT_EQ(reg, kTwoAttrs);
    EXPECT_EQ(fd, 3u);
    EXPECT_EQ(space.searchApplNameAttrGroup("APPL", "G9", &type, &ttl, &reg, &fd), nullptr);
    EXPECT_EQ(space.searchApplNameAttrGroup("NOPE", "G1", &type, &ttl, &reg, &fd), nullptr);
}

TEST_F(ApplSpaceTest, SourceNamesAreCutAt32Characters) {
    ASSERT_EQ(space.allocApplicationSpace("APPL", "G1", 'P', 0, kTwoAttrs, 1, 0), 0);
    const int32_t h = space.searchApplSpace("APPL")->allocateAttrInfoList("G1", std::string(40, 's'), 'P', 0,
                                                                          kTwoAttrs, 0, '?');
    EXPECT_EQ(std::string(space.getSourceName(h)), std::string(32, 's'));
}

// ---------------------------------------------------------------------------------------------------
// Status and removal

TEST_F(ApplSpaceTest, OnlineAndOfflineMarkingAndCounts) {
    ASSERT_EQ(space.allocApplicationSpace("APPL", "G1", 'P', 0, kTwoAttrs, 1, 0), 0);
    applSpaceEntry* appl = space.searchApplSpace("APPL");
    const int32_t a = appl->allocateAttrInfoList("G1", "a", 'P', 0, kTwoAttrs, 0, '?');
    const int32_t b = appl->allocateAttrInfoList("G1", "b", 'P', 0, kTwoAttrs, 0, '?');
    const int32_t c = appl->allocateAttrInfoList("G2", "c", 'P', 0, kTwoAttrs, 0, '?');
    EXPECT_EQ(space.numberOnline("APPL", "G1"), 0);
    EXPECT_EQ(appl->checkForOnline(), 0);

    TraceCapture capture;
    EXPECT_EQ(space.markOnline(a, 11), 0);
    EXPECT_TRUE(capture.contains("Marking online sourceName<a> with handle: " + std::to_string(a)));
    EXPECT_EQ(space.markOnline(b, 12), 0);
    EXPECT_EQ(space.markOnline(c, 13), 0);
    EXPECT_EQ(space.searchAttrInfoList(a)->status(), 'I');
    EXPECT_EQ(space.searchAttrInfoList(a)->connectedDP(), 11u);
    EXPECT_EQ(space.numberOnline("APPL", "G1"), 2);
    EXPECT_EQ(space.numberOnline("APPL", "G2"), 1);
    EXPECT_EQ(space.numberOnline("NOPE", "G1"), 0);
    EXPECT_EQ(appl->checkForOnline(), 1);

    EXPECT_EQ(space.markOffline(a), 0);
    EXPECT_EQ(space.searchAttrInfoList(a)->status(), 'O');
    EXPECT_EQ(space.numberOnline("APPL", "G1"), 1);
    EXPECT_EQ(space.markOnline(a, 14), 0);
    EXPECT_EQ(space.searchAttrInfoList(a)->status(), 'I');
    EXPECT_EQ(space.searchAttrInfoList(a)->connectedDP(), 14u);

    capture.clear();
    EXPECT_EQ(space.markOnline(-7, 1), 1);
    EXPECT_EQ(space.markOffline(-7), 1);
    EXPECT_EQ(capture.count("Error: attrInfoList with handle -7 not found."), 2);
}

TEST_F(ApplSpaceTest, RemovalIsRefusedWhileASourceIsOnline) {
    for (const char* appl : {"FIRST", "SECOND", "THIRD"}) {
        ASSERT_EQ(space.allocApplicationSpace(appl, "G1", 'P', 0, kTwoAttrs, 1, 0), 0);
    }
    const int32_t h =
        space.searchApplSpace("SECOND")->allocateAttrInfoList("G1", "src", 'P', 0, kTwoAttrs, 0, '?');
    ASSERT_EQ(space.markOnline(h, 5), 0);

    TraceCapture capture;
    EXPECT_EQ(space.freeApplicationSpace("SECOND"), 3);
    EXPECT_TRUE(capture.contains("Warning: Cannot remove applSpaceEntry[SECOND]. DP is still online"));
    EXPECT_EQ(space.noOfElements(), 3u);
    EXPECT_NE(space.searchAttrInfoList(h), nullptr);

    EXPECT_EQ(space.freeApplicationSpace("NOPE"), -1);
    EXPECT_TRUE(capture.contains("Warning: No applSpaceEntry[NOPE] found"));

    // Removing the head makes the newest application the head.
    EXPECT_EQ(space.freeApplicationSpace("FIRST"), 0);
    std::vector<std::string> order;
    for (const applSpaceEntry& entry : space.entries()) {
        order.emplace_back(entry.applName());
    }
    EXPECT_EQ(order, (std::vector<std::string>{"THIRD", "SECOND"}));
    ASSERT_EQ(space.markOffline(h), 0);
    EXPECT_EQ(space.freeApplicationSpace("SECOND"), 0);
    EXPECT_EQ(space.searchAttrInfoList(h), nullptr);
    ASSERT_EQ(space.noOfElements(), 1u);
    EXPECT_STREQ(space.entries().head()->applName(), "THIRD");
    EXPECT_EQ(space.freeApplicationSpace("THIRD"), 0);
    EXPECT_EQ(space.entries().head(), nullptr);
}

// ---------------------------------------------------------------------------------------------------
// Texts

TEST_F(ApplSpaceTest, AttributeHelpJoinsEveryAttributeAndEndsInAColon) {
    ASSERT_EQ(space.allocApplicationSpace("APPL", "G1", 'P', 0, kTwoAttrs, 1, 0), 0);
    std::string help;
    EXPECT_EQ(space.getAttributeHelp("APPL", "G1", &help), 0);
    EXPECT_EQ(help, "ID,the identifier,%d,ids,NAME,the name,%s,names:");

    TraceCapture capture;
    EXPECT_EQ(space.getAttributeHelp("NOPE", "G1", &help), 1);
    EXPECT_EQ(space.getAttributeHelp("APPL", "G9", &help), 1);
    EXPECT_TRUE(capture.contains("Error: could not find attrInfoList<G9>"));
    std::string entryHelp;
    EXPECT_EQ(space.searchApplSpace("APPL")->getAttributeHelp("G9", &entryHelp), -1);

    // An attribute whose texts pass 4096 bytes ends the text; the group still answers.
    const std::string big =
        "SMALL,C,4,e1,f1,short;HUGE,D,8,e2,f2," + std::string(5000, 'h') + ";LAST,C,4,e3,f3,l";
    ASSERT_EQ(space.allocApplicationSpace("APPL", "BIG", 'P', 0, big, 0, 0), 0);
    std::string cut;
    EXPECT_EQ(only("APPL", "BIG")->getAttributeHelp(&cut), 1);
    EXPECT_EQ(cut, "SMALL,short,f1,e1,");
    EXPECT_TRUE(capture.contains("Error: 4096 byte limit exceeded for help string"));
    EXPECT_EQ(space.getAttributeHelp("APPL", "BIG", &cut), 0);
}

TEST_F(ApplSpaceTest, ApplicationTextsOneAndAll) {
    TraceCapture capture;
    EXPECT_EQ(space.getApplInfo(nullptr), nullptr);  // empty registry
    EXPECT_EQ(space.setApplInfo("APPL", "a", "b", "c"), -1);
    EXPECT_TRUE(capture.contains("Error: No applSpaceEntry for applName<APPL>"));

    ASSERT_EQ(space.allocApplicationSpace("APPL", "G1", 'P', 0, kTwoAttrs, 1, 0), 0);
    ASSERT_EQ(space.allocApplicationSpace("OTHER", "G1", 'P', 0, kTwoAttrs, 1, 0), 0);
    EXPECT_EQ(space.getApplInfo("APPL"), nullptr);
    capture.clear();
    EXPECT_EQ(space.getAttrInfo("APPL"), nullptr);
    EXPECT_TRUE(capture.contains("Error:  getAttrInfo<APPL> was NULL"));
    EXPECT_EQ(space.getApplHelp("APPL"), nullptr);
    EXPECT_TRUE(capture.contains("Error:  getApplHelp<APPL> was NULL"));
    EXPECT_EQ(space.getAttrInfo("NOPE"), nullptr);
    EXPECT_TRUE(capture.contains("Error:  applSpaceEntry<NOPE> not found"));

    ASSERT_EQ(space.setApplInfo("APPL", "APPL,G1,P,0,FILE:;", "G1,ID,C,4:;", "help;"), 0);
    EXPECT_STREQ(space.getApplInfo("APPL"), "APPL,G1,P,0,FILE:;");
    EXPECT_STREQ(space.getAttrInfo("APPL"), "G1,ID,C,4:;");
    EXPECT_STREQ(space.getApplHelp("APPL"), "help;");
    EXPECT_EQ(space.getApplInfo("NOPE"), nullptr);
    // One application without its text spoils the whole list.
    EXPECT_EQ(space.getApplInfo(nullptr), nullptr);

    ASSERT_EQ(space.setApplInfo("OTHER", "OTHER,G1,P,0,FILE:;", "x", "y"), 0);
    EXPECT_STREQ(space.getApplInfo(nullptr), "APPL,G1,P,0,FILE:;OTHER,G1,P,0,FILE:;");
    // Replaced, not appended.
    ASSERT_EQ(space.setApplInfo("APPL", "NEW;", "x", "y"), 0);
    EXPECT_STREQ(space.getApplInfo(nullptr), "NEW;OTHER,G1,P,0,FILE:;");

    // Texts of all applications longer than 4096 bytes come back whole.
    const std::string big(3000, 'i');
    ASSERT_EQ(space.setApplInfo("APPL", big, "x", "y"), 0);
    ASSERT_EQ(space.setApplInfo("OTHER", big, "x", "y"), 0);
    EXPECT_EQ(std::string(space.getApplInfo(nullptr)), big + big);
}

TEST_F(ApplSpaceTest, PrintListWritesEveryLevel) {
    ASSERT_EQ(space.allocApplicationSpace("APPL", "G1", 'P', 0, kTwoAttrs, 1, 0), 0);
    TraceCapture capture;
    space.printList();
    EXPECT_TRUE(capture.contains("applSpaceEntry"));
    EXPECT_TRUE(capture.contains("group<G1> sourceName<APPL_0>"));
    EXPECT_TRUE(capture.contains("name<ID>"));
    EXPECT_TRUE(capture.contains("name<NAME>"));
}

// ---------------------------------------------------------------------------------------------------
// Requests made on the hub

// Records what the application space asks of the hub, and acts on it as the hub would.
class recordingHandlers : public DCHrequestHandlers {
  public:
    explicit recordingHandlers(applSpaceList& space) : _space(space) {}

    struct StatusRecord {
        std::string message, applName, attrGroup, sourceName;
        short requestType;
        int addrLength;
        unsigned int fd;
    };
    std::vector<StatusRecord> status;
    std::vector<std::string> offline;
    std::vector<std::string> unregister;
    int offlineResult = 0;
    bool actOnRequests = true;

    void dc_waitForDPStatus(std::string_view message, const char* applName, const char* attrGroup,
                            const char* sourceName, short requestType, const DCHclientAddr& clientAddr,
                            unsigned int connectedSockFD) override {
        status.push_back({std::string(message), applName, attrGroup, sourceName, requestType,
                          clientAddr.length, connectedSockFD});
    }
    int dp_offline(std::string_view message) override {
        offline.emplace_back(message);
        int32_t handle = 0;
        FieldReader reader(message.data(), message.size(), DCH_REQUEST_FIELDS);
        FieldReader::Field f = reader.next();
        if (f.type != DCH_handle || !f.int32(&handle)) {
            return -1;
        }
        if (actOnRequests) {
            _space.markOffline(handle);
        }
        return offlineResult;
    }
    int dp_unregister(std::string_view message) override {
        unregister.emplace_back(message);
        FieldReader reader(message.data(), message.size(), DCH_REQUEST_FIELDS);
        FieldReader::Field f = reader.next();
        if (f.type != DCH_applName) {
            return -1;
        }
        return _space.freeApplicationSpace(f.text());
    }
    int max_Applications() const override { return 64; }

  private:
    applSpaceList& _space;
};

int16_t requestCode(const std::string& message) {
    FieldReader reader(message.data(), message.size());
    FieldReader::Field f = reader.next();
    int16_t code = 0;
    EXPECT_EQ(f.type, DCH_requestType);
    EXPECT_TRUE(f.int16(&code));
    EXPECT_EQ(reader.offset(), DCH_REQUEST_FIELDS);  // the handler's fields start at byte 12
    return code;
}

TEST_F(ApplSpaceTest, CurrentStatusReplaysEverySourceThatHasBeenOnline) {
    ASSERT_EQ(space.allocApplicationSpace("APPL", "G1", 'P', 0, kTwoAttrs, 1, 0), 0);  // stays '?'
    applSpaceEntry* appl = space.searchApplSpace("APPL");
    const int32_t up = appl->allocateAttrInfoList("G1", "up", 'P', 0, kTwoAttrs, 0, '?');
    const int32_t down = appl->allocateAttrInfoList("G2", "down", 'P', 0, kTwoAttrs, 0, '?');
    ASSERT_EQ(space.allocApplicationSpace("OTHER", "G1", 'P', 0, kTwoAttrs, 1, 0), 0);
    const int32_t other =
        space.searchApplSpace("OTHER")->allocateAttrInfoList("G1", "o", 'P', 0, kTwoAttrs, 0, '?');
    ASSERT_EQ(space.markOnline(up, 3), 0);
    ASSERT_EQ(space.markOnline(down, 3), 0);
    ASSERT_EQ(space.markOffline(down), 0);
    ASSERT_EQ(space.markOnline(other, 4), 0);

    recordingHandlers hub(space);
    DCHclientAddr client;
    client.length = 16;
    EXPECT_EQ(space.sendCurrentStatus(hub, client, 9), 0);
    ASSERT_EQ(hub.status.size(), 3u);
    EXPECT_EQ(hub.status[0].sourceName, "up");
    EXPECT_EQ(hub.status[0].requestType, 0x1015);
    EXPECT_EQ(hub.status[1].sourceName, "down");
    EXPECT_EQ(hub.status[1].attrGroup, "G2");
    EXPECT_EQ(hub.status[1].requestType, 0x1025);
    EXPECT_EQ(hub.status[2].applName, "OTHER");
    EXPECT_EQ(hub.status[2].requestType, 0x1015);
    for (const auto& record : hub.status) {
        EXPECT_TRUE(record.message.empty());  // notify mode
        EXPECT_EQ(record.addrLength, 16);
        EXPECT_EQ(record.fd, 9u);
    }
}

TEST_F(ApplSpaceTest, LostConnectionTakesItsSourcesOfflineAndUnregistersOnce) {
    ASSERT_EQ(space.allocApplicationSpace("PROV", "G1", 'P', 0, kTwoAttrs, 1, 5), 0);
    applSpaceEntry* prov = space.searchApplSpace("PROV");
    const int32_t s1 = prov->allocateAttrInfoList("G1", "src1", 'P', 0, kTwoAttrs, 5, '?');
    const int32_t s2 = prov->allocateAttrInfoList("G1", "src2", 'P', 0, kTwoAttrs, 5, '?');
    ASSERT_EQ(space.markOnline(s1, 5), 0);
    ASSERT_EQ(space.markOnline(s2, 5), 0);
    // Another provider's application is left alone.
    ASSERT_EQ(space.allocApplicationSpace("KEEP", "G1", 'P', 0, kTwoAttrs, 1, 6), 0);
    const int32_t kept =
        space.searchApplSpace("KEEP")->allocateAttrInfoList("G1", "k", 'P', 0, kTwoAttrs, 6, '?');
    ASSERT_EQ(space.markOnline(kept, 6), 0);

    recordingHandlers hub(space);
    TraceCapture capture;
    space.sendOffline(hub, 5);
    ASSERT_EQ(hub.offline.size(), 2u);
    std::vector<int32_t> handles;
    for (const std::string& message : hub.offline) {
        EXPECT_EQ(requestCode(message), DCH_dp_offline);
        FieldReader reader(message.data(), message.size(), DCH_REQUEST_FIELDS);
        FieldReader::Field f = reader.next();
        int32_t h = 0;
        ASSERT_EQ(f.type, DCH_handle);
        ASSERT_TRUE(f.int32(&h));
        handles.push_back(h);
        EXPECT_FALSE(reader.next());
        EXPECT_EQ(vorpane::dch::totalLength(message.data()), message.size());
    }
    EXPECT_EQ(handles, (std::vector<int32_t>{s1, s2}));
    EXPECT_EQ(space.searchAttrInfoList(s1)->status(), 'O');
    EXPECT_EQ(space.searchAttrInfoList(kept)->status(), 'I');

    space.deregisterDP(hub, 5);
    ASSERT_EQ(hub.unregister.size(), 1u);
    EXPECT_EQ(requestCode(hub.unregister[0]), DCH_dp_unregister);
    FieldReader reader(hub.unregister[0].data(), hub.unregister[0].size(), DCH_REQUEST_FIELDS);
    EXPECT_EQ(reader.next().text(), "PROV");
    EXPECT_TRUE(capture.contains("DP unregister for <PROV> was successful."));
    EXPECT_EQ(space.searchApplSpace("PROV"), nullptr);
    EXPECT_EQ(space.searchAttrInfoList(s1), nullptr);
    EXPECT_NE(space.searchApplSpace("KEEP"), nullptr);
}

TEST_F(ApplSpaceTest, LostConnectionFailuresAreTracedAndTheAgentIsSkipped) {
    for (const char* appl : {"VAGENT", "FIRST", "SECOND"}) {
        ASSERT_EQ(space.allocApplicationSpace(appl, "G1", 'E', 0, kTwoAttrs, 1, 5), 0);
    }
    const int32_t agent =
        space.searchApplSpace("VAGENT")->allocateAttrInfoList("G1", "a", 'E', 0, kTwoAttrs, 5, '?');
    const int32_t first =
        space.searchApplSpace("FIRST")->allocateAttrInfoList("G1", "f", 'E', 0, kTwoAttrs, 5, '?');
    ASSERT_EQ(space.markOnline(agent, 5), 0);
    ASSERT_EQ(space.markOnline(first, 5), 0);

    recordingHandlers hub(space);
    hub.offlineResult = 1;
    hub.actOnRequests = false;
    TraceCapture capture;
    space.sendOffline(hub, 5);
    EXPECT_EQ(hub.offline.size(), 2u);  // the agent's own source goes offline too
    EXPECT_TRUE(capture.contains("Error: DP Offline for [FIRST][G1][f] failed."));
    EXPECT_TRUE(capture.contains("Error: DP Offline for [VAGENT][G1][a] failed."));

    // Walked last to first; the agent's application stays; FIRST is still online and refuses.
    space.deregisterDP(hub, 5);
    ASSERT_EQ(hub.unregister.size(), 2u);
    FieldReader second(hub.unregister[0].data(), hub.unregister[0].size(), DCH_REQUEST_FIELDS);
    EXPECT_EQ(second.next().text(), "SECOND");
    FieldReader firstReq(hub.unregister[1].data(), hub.unregister[1].size(), DCH_REQUEST_FIELDS);
    EXPECT_EQ(firstReq.next().text(), "FIRST");
    EXPECT_TRUE(capture.contains("Warning: DP unregister for <FIRST> failed."));
    EXPECT_TRUE(capture.contains("DP unregister for <SECOND> was successful."));
    EXPECT_NE(space.searchApplSpace("VAGENT"), nullptr);
    EXPECT_NE(space.searchApplSpace("FIRST"), nullptr);
    EXPECT_EQ(space.searchApplSpace("SECOND"), nullptr);
}

}  // namespace

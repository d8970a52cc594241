// Filters: the three comparison forms, LIKE wildcards, AND/OR joining through reports on a memory
// table, and the facade's filter text.
#include <gtest/gtest.h>

#include <cstring>

#include "interfaces/axf_facade.h"
#include "interfaces/support.h"
#include "platform/axf/engine.h"
#include "platform/axf/memory_table.h"
#include "testlib/temp_dir.h"

namespace {

int32_t num(int32_t v) { return v; }
const char* bytes(const int32_t& v) { return reinterpret_cast<const char*>(&v); }

TEST(FilterCompare, EveryOperatorOnTextAndNumbers) {
    struct Case {
        _IntfOper op;
        const char* field;
        const char* value;
        int expected;
    };
    const Case text[] = {
        {IntfOper_EQ, "disk", "disk", 1}, {IntfOper_EQ, "disk", "disc", 0}, {IntfOper_NE, "disk", "disc", 1},
        {IntfOper_NE, "disk", "disk", 0}, {IntfOper_GE, "b", "a", 1},       {IntfOper_GE, "a", "a", 1},
        {IntfOper_GE, "a", "b", 0},       {IntfOper_LE, "a", "b", 1},       {IntfOper_LE, "b", "a", 0},
        {IntfOper_LT, "a", "b", 1},       {IntfOper_LT, "a", "a", 0},       {IntfOper_GT, "b", "a", 1},
        {IntfOper_GT, "a", "a", 0},       {IntfOper_NOT, "a", "a", 0},
    };
    for (const Case& c : text) {
        EXPECT_EQ(plaxf::IsException(c.op, std::string_view(c.field), std::string_view(c.value)), c.expected)
            << c.op << " " << c.field << " " << c.value;
    }
    // A fixed-width field: it ends at its NUL, and the blanks that pad it do not count.
    char field[16] = "host1   ";
    EXPECT_EQ(plaxf::IsException(IntfOper_EQ, field, "host1", sizeof field), 1);
    std::memcpy(field, "abcdefghijklmnop", 16);  // no NUL: the length bounds it
    EXPECT_EQ(plaxf::IsException(IntfOper_EQ, field, "abcdefghijklmnop", 16), 1);
    EXPECT_EQ(plaxf::IsException(IntfOper_EQ, field, "abcdefgh", 8), 1);

    const int32_t five = num(5), six = num(6), minus = num(-3);
    EXPECT_EQ(plaxf::IsException(IntfOper_EQ, bytes(five), bytes(five)), 1);
    EXPECT_EQ(plaxf::IsException(IntfOper_NE, bytes(five), bytes(six)), 1);
    EXPECT_EQ(plaxf::IsException(IntfOper_GE, bytes(six), bytes(five)), 1);
    EXPECT_EQ(plaxf::IsException(IntfOper_LE, bytes(five), bytes(five)), 1);
    EXPECT_EQ(plaxf::IsException(IntfOper_LT, bytes(minus), bytes(five)), 1);  // signed, not byte order
    EXPECT_EQ(plaxf::IsException(IntfOper_GT, bytes(minus), bytes(five)), 0);
    EXPECT_EQ(plaxf::IsException(IntfOper_GT, bytes(six), bytes(five)), 1);
    EXPECT_EQ(plaxf::IsException(IntfOper_LIKE, bytes(six), bytes(six)), 1);
    EXPECT_EQ(plaxf::IsException(IntfOper_EQ, nullptr, bytes(six)), 0);
}

TEST(FilterCompare, LikeWildcards) {
    using axf::detail::likeMatch;
    EXPECT_TRUE(likeMatch("/var/log", "/var*"));
    EXPECT_TRUE(likeMatch("/var/log", "/var%"));
    EXPECT_TRUE(likeMatch("/var/log", "*log"));
    EXPECT_TRUE(likeMatch("/var/log", "/v?r/l_g"));
    EXPECT_TRUE(likeMatch("", "*"));
    EXPECT_TRUE(likeMatch("abc", "a**c"));
    EXPECT_TRUE(likeMatch("aXbXc", "*X*c"));
    EXPECT_FALSE(likeMatch("abc", "a?"));
    EXPECT_FALSE(likeMatch("abc", "ABC"));  // case-sensitive
    EXPECT_FALSE(likeMatch("abc", "abcd*"));
    EXPECT_FALSE(likeMatch("", "?"));
    // A hostile pattern stays linear enough to finish at once.
    std::string text(5000, 'a');
    EXPECT_FALSE(likeMatch(text, "*a*a*a*a*a*a*a*a*b"));
    EXPECT_EQ(plaxf::IsException(IntfOper_LIKE, std::string_view("host1:APP01"), std::string_view("host?:*01")), 1);
}

TEST(FilterCompare, FieldsEndAtTheirNulAndLoseTrailingBlanks) {
    using axf::detail::fieldView;
    auto field = [](const std::string& text) { return fieldView(text.data(), static_cast<int>(text.size())); };
    EXPECT_EQ(field("abc" + std::string(29, ' ')), "abc");  // blank words skipped, then single blanks
    EXPECT_EQ(field(std::string(148, ' ')), "");
    EXPECT_EQ(field("a b     c" + std::string(8, ' ')), "a b     c");  // inner blanks stay
    EXPECT_EQ(field(std::string("x\0yy    ", 8)), "x");
    EXPECT_EQ(field(std::string("tab\t", 4)), "tab\t");  // only blanks are trimmed
    EXPECT_EQ(field("12345678"), "12345678");
    EXPECT_EQ(fieldView("abc", -1), "");
    EXPECT_EQ(axf::detail::fieldText("abc   ", 6), "abc");
}

TEST(FilterText, ParsesFormatsAndRefuses) {
    axf::Filter f;
    ASSERT_TRUE(axf::parseFilter("VA1 EQ 'disk full' and va2 gt 5 OR ORIGINNODE LIKE host*", &f).ok());
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[0].column, "VA1");
    EXPECT_EQ(f[0].op, axf::CompareOp::EQ);
    EXPECT_EQ(f[0].value, "disk full");
    EXPECT_EQ(f[0].join, axf::Join::And);
    EXPECT_EQ(f[1].op, axf::CompareOp::GT);
    EXPECT_EQ(f[1].join, axf::Join::Or);
    EXPECT_EQ(f[2].op, axf::CompareOp::LIKE);
    EXPECT_EQ(axf::formatFilter(f), "VA1 EQ 'disk full' AND va2 GT 5 OR ORIGINNODE LIKE host*");

    ASSERT_TRUE(axf::parseFilter("VA1 EQ 'it''s'", &f).ok());
    EXPECT_EQ(f[0].value, "it's");
    axf::Filter again;
    ASSERT_TRUE(axf::parseFilter(axf::formatFilter(f), &again).ok());
    EXPECT_EQ(again[0].value, "it's");
    ASSERT_TRUE(axf::parseFilter("   ", &f).ok());
    EXPECT_TRUE(f.empty());

    for (const char* bad : {"VA1", "VA1 EQ", "VA1 XX 3", "VA1 EQ 'open", "VA1 EQ 3 NOR VA2 EQ 4", "VA1 EQ 3 AND"}) {
        axf::Status s = axf::parseFilter(bad, &f);
        EXPECT_EQ(s.code, axf::kInvalid) << bad;
        EXPECT_FALSE(s.message.empty()) << bad;
    }
}

class FilterReport : public ::testing::Test {
protected:
    void SetUp() override {
        axf::reset();
        vorpane::setWorkDirectory(_dir.path());
        _table = std::make_unique<axf::MemoryTable>(
            "FLT01", "FLTTBL01",
            std::vector<axf::MemoryColumn>{{"ORIGINNODE", "Node_Name", "", AXF_COLUMN_STRING, 32},
                                           {"VA1", "Mount", "Mount point", AXF_COLUMN_STRING, 16, true},
                                           {"VA2", "Used_Pct", "Used", AXF_COLUMN_INT32, 4, false, 1},
                                           {"VA3", "Inodes", "", AXF_COLUMN_INT16, 2}});
        ASSERT_EQ(_table->registration(), 0);
        ASSERT_TRUE(_table->addRow({"h1:FLT01", "/var", "975", "10"}));   // 97.5 %
        ASSERT_TRUE(_table->addRow({"h1:FLT01", "/tmp", "120", "-4"}));   // 12.0 %
        ASSERT_TRUE(_table->addRow({"h2:FLT01", "/var/log", "500", "300"}));
    }
    void TearDown() override {
        _table.reset();
        axf::reset();
    }

    // The VA1 values of the rows that pass the filter text.
    std::vector<std::string> mounts(const std::string& filter) {
        axf::ReportQuery q{"FLT01", "FLTTBL01", {"h1:FLT01", "h2:FLT01"}};
        EXPECT_TRUE(axf::parseFilter(filter, &q.filter).ok()) << filter;
        axf::ReportResult r = axf::runReport(q);
        EXPECT_TRUE(r.status.ok()) << filter << ": " << r.status.message;
        std::vector<std::string> out;
        for (const auto& row : r.rows) {
            out.push_back(std::get<std::string>(row[1]));
        }
        return out;
    }

    vorpane::testing::TempDir _dir;
    std::unique_ptr<axf::MemoryTable> _table;
};

using V = std::vector<std::string>;

TEST_F(FilterReport, EveryOperatorAndBothJoins) {
    EXPECT_EQ(mounts(""), (V{"/var", "/tmp", "/var/log"}));
    EXPECT_EQ(mounts("VA1 EQ /var"), (V{"/var"}));
    EXPECT_EQ(mounts("VA1 NE /var"), (V{"/tmp", "/var/log"}));
    EXPECT_EQ(mounts("VA2 GE 50"), (V{"/var", "/var/log"}));  // scale 1: 50 stands for 500
    EXPECT_EQ(mounts("Used_Pct LE 50"), (V{"/tmp", "/var/log"}));  // by attribute name
    EXPECT_EQ(mounts("VA2 LT 12.1"), (V{"/tmp"}));
    EXPECT_EQ(mounts("VA2 GT 97.4"), (V{"/var"}));
    EXPECT_EQ(mounts("VA3 LT 0"), (V{"/tmp"}));  // 2-byte integers compare signed
    EXPECT_EQ(mounts("VA1 LIKE /var*"), (V{"/var", "/var/log"}));
    EXPECT_EQ(mounts("VA1 LIKE /t_p"), (V{"/tmp"}));
    EXPECT_EQ(mounts("ORIGINNODE EQ h2:FLT01"), (V{"/var/log"}));
    // AND binds tighter than OR: (h1 AND > 50) OR /var/log.
    EXPECT_EQ(mounts("ORIGINNODE EQ h1:FLT01 AND VA2 GT 50 OR VA1 EQ /var/log"), (V{"/var", "/var/log"}));
    EXPECT_EQ(mounts("VA1 EQ /var/log OR ORIGINNODE EQ h1:FLT01 AND VA2 GT 50"), (V{"/var", "/var/log"}));
    EXPECT_EQ(mounts("ORIGINNODE EQ h1:FLT01 AND VA2 GT 50 AND VA1 EQ /tmp"), V{});
    EXPECT_EQ(mounts("VA1 EQ /x OR VA1 EQ /y OR VA1 EQ /tmp"), (V{"/tmp"}));
}

TEST_F(FilterReport, BadFiltersAreRefusedWithTheReason) {
    axf::ReportQuery q{"FLT01", "FLTTBL01", {"h1:FLT01"}};
    q.filter = {{"NOSUCH", axf::CompareOp::EQ, "1"}};
    axf::ReportResult r = axf::runReport(q);
    EXPECT_EQ(r.status.code, axf::kInvalid);
    EXPECT_NE(r.status.message.find("unknown column <NOSUCH>"), std::string::npos) << r.status.message;

    q.filter = {{"VA2", axf::CompareOp::LIKE, "9*"}};
    EXPECT_EQ(axf::runReport(q).status.code, axf::kInvalid);
    // A number the column cannot hold says what is wrong with it.
    const struct {
        const char* column;
        const char* value;
        const char* reason;
    } values[] = {
        {"Used_Pct", "12.05",
         "value <12.05> for column <Used_Pct> has too many decimals: the column holds "
         "numbers with at most 1 decimal"},
        {"VA3", "1.5", "has too many decimals: the column holds whole numbers"},
        {"VA3", "40000", "value <40000> for column <VA3> is out of range: the column holds -32768 to 32767"},
        {"VA2", "-999999999", "is out of range: the column holds -214748364.8 to 214748364.7"},
        {"VA2", "1234567890123", "is out of range"},
        {"VA2", "abc", "value <abc> for column <VA2> is not a number"},
        {"VA2", "1.2.3", "is not a number"},
        {"VA2", "-", "is not a number"},
    };
    for (const auto& v : values) {
        q.filter = {{v.column, axf::CompareOp::EQ, v.value}};
        r = axf::runReport(q);
        EXPECT_EQ(r.status.code, axf::kInvalid) << v.value;
        EXPECT_NE(r.status.message.find(v.reason), std::string::npos) << r.status.message;
    }

    q = axf::ReportQuery{"FLT01", "NOTABLE", {}};
    EXPECT_EQ(axf::runReport(q).status.code, axf::kNotFound);
}

TEST_F(FilterReport, FilterElementsCarryWhatTableClassesRead) {
    // The elements a table class reads through GetFilterInfo: names, operators, types and values.
    axf::SituationDef def{"Disk_Full", "FLT01", "FLTTBL01", {}, 60};
    ASSERT_TRUE(axf::parseFilter("Mount EQ /var OR VA2 GT 90", &def.filter).ok());
    ASSERT_TRUE(axf::addSituation(def).ok());
    // Read under the table's lock, as a table class does, and checked afterwards.
    std::vector<FLT1_FILTERINFO> seen;
    std::vector<int> results;
    int sampleType = 0, interval = 0;
    std::string situation;
    bool automation = true;
    if (_table->lock() != 0) {
        FAIL() << "lock";
    }
    PlaxfListIter it(_table.get());
    if (plaxf* p = it.Next(); p != nullptr) {
        FLT1_FILTERINFO* f = nullptr;
        for (int i = 0; i < 4; ++i) {
            results.push_back(p->GetFilterInfo(&f));
            if (results.back() == 0) {
                seen.push_back(*f);
            }
        }
        sampleType = p->_get_sampletype();
        interval = p->Interval();
        situation = p->SituationName();
        automation = p->IsAutomationRequest();
    }
    _table->unlock();
    // Two elements, the end, and the walk starting again.
    EXPECT_EQ(results, (std::vector<int>{0, 0, AXF_FILTER_END, 0}));
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_STREQ(seen[0].columnName.c_str(), "VA1");
    EXPECT_EQ(seen[0].compareOperator, IntfOper_EQ);
    EXPECT_EQ(seen[0].logicalOperator, IntfOper_OR);
    EXPECT_EQ(seen[0].functionType, 0);
    EXPECT_EQ(seen[0].dataType, FLT1_TYPE_STRING);
    EXPECT_EQ(std::string(seen[0].value.data(), static_cast<size_t>(seen[0].valueLength)), "/var");
    EXPECT_STREQ(seen[1].columnName.c_str(), "VA2");
    EXPECT_EQ(seen[1].compareOperator, IntfOper_GT);
    EXPECT_EQ(seen[1].logicalOperator, 0);
    EXPECT_EQ(seen[1].dataType, FLT1_TYPE_LONG);
    ASSERT_EQ(seen[1].valueLength, 4);
    int32_t v;
    std::memcpy(&v, seen[1].value.data(), 4);
    EXPECT_EQ(v, 900);
    EXPECT_STREQ(seen[2].columnName.c_str(), "VA1");
    EXPECT_EQ(sampleType, IntfSampleType_exception);
    EXPECT_EQ(interval, 60);
    EXPECT_EQ(situation, "Disk_Full");
    EXPECT_FALSE(automation);
}

}  // namespace

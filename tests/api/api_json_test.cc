// The JSON shapes of values: which texts are times and which numbers are whole, by JSON type and not
// only by value (nlohmann compares 5 and 5.0 as equal).
#include "api/api_json.h"

#include <gtest/gtest.h>

#include <ctime>
#include <optional>

#include "testlib/scoped_env.h"

namespace vorpane::api {
namespace {

axf::ColumnDesc textColumn(char attrType) {
    axf::ColumnDesc c;
    c.name = "VA1";
    c.attrType = attrType;
    c.length = 16;
    return c;
}

axf::ColumnDesc integerColumn(int scale) {
    axf::ColumnDesc c;
    c.name = "VA2";
    c.attrType = 'G';
    c.valueType = axf::ValueType::Integer;
    c.type = AXF_COLUMN_INT32;
    c.length = 4;
    c.scale = scale;
    return c;
}

// Local time is UTC for these cases, so that the offset is known.
class UtcTime : public ::testing::Test {
  protected:
    void SetUp() override { tzset(); }
    void TearDown() override {
        _utc.reset();
        tzset();
    }
    std::optional<testing::ScopedEnv> _utc{std::in_place, "TZ", "UTC"};
};

TEST_F(UtcTime, OnlyTimeAttributesWithRealTimesAreShownAsTimes) {
    const axf::ColumnDesc time = textColumn('T');
    auto shown = [&](const axf::ColumnDesc& c, const char* text) {
        return valueJson(c, axf::Value(std::string(text))).dump();
    };

    EXPECT_EQ(shown(time, "1261206143000123"), "\"2026-12-06T14:30:00.123+00:00\"");
    EXPECT_EQ(shown(time, "1261231235959999"), "\"2026-12-31T23:59:59.999+00:00\"");
    EXPECT_EQ(shown(time, "0991231235959000"), "\"1999-12-31T23:59:59.000+00:00\"");
    // Sixteen digits that are no time stay text: day 32 to 99, hour 24 to 99, minute 60 or 99, a day
    // the month does not have (29 February 2026, 31 November), month 13, a century digit above 1.
    EXPECT_EQ(shown(time, "1240229120000000"), "\"2024-02-29T12:00:00.000+00:00\"");
    for (const char* notATime :
         {"1261232000000000", "1261299000000000", "1261206240000000", "1261206990000000", "1261206106000000",
          "1261206109900000", "1260229120000000", "1261131120000000", "1261306120000000",
          "2261206120000000"}) {
        EXPECT_EQ(shown(time, notATime), std::string("\"") + notATime + "\"") << notATime;
    }
    // A 16-digit serial number in a text attribute is text, whatever it looks like.
    EXPECT_EQ(shown(textColumn('D'), "1261206143000123"), "\"1261206143000123\"");
    EXPECT_EQ(shown(textColumn(0), "1261206143000123"), "\"1261206143000123\"");
}

TEST(ApiJson, IntegersWithoutScaleAreWholeNumbers) {
    Json five = valueJson(integerColumn(0), axf::Value(int64_t{5}));
    EXPECT_TRUE(five.is_number_integer());
    EXPECT_EQ(five.dump(), "5");
    Json large = valueJson(integerColumn(0), axf::Value(int64_t{-2147483648}));
    EXPECT_EQ(large.dump(), "-2147483648");
    Json scaled = valueJson(integerColumn(1), axf::Value(int64_t{975}));
    EXPECT_TRUE(scaled.is_number_float());
    EXPECT_EQ(scaled.dump(), "97.5");
    EXPECT_EQ(valueJson(integerColumn(2), axf::Value(int64_t{5})).dump(), "0.05");
}

}  // namespace
}  // namespace vorpane::api

// Attribute values: storage by type, resets for a new row, running averages (unkeyed and per key
// combination) and the data message a waiting collector receives.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "agent/va_limits.h"
#include "hub/appl_space_list.h"
#include "interfaces/dch_protocol.h"
#include "testlib/trace_capture.h"

namespace {

using vorpane::dch::FieldReader;
using vorpane::testing::TraceCapture;

constexpr std::size_t kValuesBuffer = 8192;

struct DataMessage {
    std::optional<std::string> sourceName;
    int16_t controlField = 0;
    std::vector<std::pair<char, std::string>> values;  // type letter, value bytes
};

DataMessage decode(const std::vector<char>& buffer, int length) {
    DataMessage m;
    EXPECT_GT(length, 0);
    if (length <= 0) {
        return m;
    }
    EXPECT_EQ(vorpane::dch::totalLength(buffer.data()), static_cast<uint32_t>(length));
    FieldReader reader(buffer.data(), static_cast<std::size_t>(length));
    FieldReader::Field f = reader.next();
    if (f.type == DCH_sourceName) {
        m.sourceName = std::string(f.text());
        f = reader.next();
    }
    EXPECT_EQ(f.type, DCH_controlField);
    EXPECT_TRUE(f.int16(&m.controlField));
    for (f = reader.next(); f; f = reader.next()) {
        EXPECT_EQ(f.type, DCH_attrTypeValue);
        m.values.emplace_back(f.extra, std::string(f.text()));
    }
    EXPECT_EQ(reader.offset(), static_cast<std::size_t>(length));  // every byte is a field
    return m;
}

std::string bytes32(int32_t v) {
    return std::string(reinterpret_cast<const char*>(&v), 4);
}
std::string bytes16(int16_t v) {
    return std::string(reinterpret_cast<const char*>(&v), 2);
}

class AttrValuesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        _savedLimits = vaLimits();
        setVaLimits(VA_LIMITS{});
    }
    void TearDown() override { setVaLimits(_savedLimits); }

    // Registers a group of application APPL and returns the handle of its list.
    int32_t group(const char* name, char type, const std::string& attrs) {
        EXPECT_GE(space.allocApplicationSpace("APPL", name, type, 0, attrs, 0, 0), 0);
        attrInfoList* list = space.searchAttrInfoList("APPL", name, "APPL");
        EXPECT_NE(list, nullptr);
        return list == nullptr ? -1 : list->handle();
    }
    attrInfoList& list(int32_t handle) { return *space.searchAttrInfoList(handle); }
    const attrInfoEntry& attr(int32_t handle, const char* name) { return *list(handle).findAttribute(name); }

    int put(int32_t handle, const char* name, const std::string& value, int16_t controlField = 0x11) {
        return space.putData(handle, controlField, name, value.data(), static_cast<int>(value.size()));
    }
    int32_t value32(int32_t handle, const char* name) {
        int32_t v = 0;
        std::memcpy(&v, attr(handle, name).value(), 4);
        return v;
    }
    int16_t value16(int32_t handle, const char* name) {
        int16_t v = 0;
        std::memcpy(&v, attr(handle, name).value(), 2);
        return v;
    }
    DataMessage message(int32_t handle, short withSource = 1) {
        std::vector<char> buffer(kValuesBuffer);
        return decode(buffer, space.getData(buffer, kValuesBuffer, handle, withSource));
    }

    applSpaceList space;

  private:
    VA_LIMITS _savedLimits;
};

// ---------------------------------------------------------------------------------------------------
// Storage by type

TEST_F(AttrValuesTest, DisplayValuesAreCutToTheirLengthAndSentWithTheirLength) {
    const int32_t h = group("G", 'P', "TEXT,D,8,e,f,h");
    EXPECT_EQ(message(h).values[0].second, std::string(8, ' '));  // as created

    EXPECT_EQ(put(h, "TEXT", "0123456789"), 0);
    EXPECT_EQ(attr(h, "TEXT").dataLength(), 8);
    EXPECT_EQ(attr(h, "TEXT").valueView(), "01234567");
    EXPECT_EQ(message(h).values[0], std::make_pair('D', std::string("01234567")));

    EXPECT_EQ(put(h, "TEXT", "ab"), 0);
    EXPECT_EQ(attr(h, "TEXT").dataLength(), 2);
    EXPECT_EQ(std::string(attr(h, "TEXT").value(), 9), std::string("ab\0\0\0\0\0\0\0", 9));
    EXPECT_EQ(message(h).values[0], std::make_pair('D', std::string("ab")));
}

TEST_F(AttrValuesTest, NumericValuesByLength) {
    const int32_t h = group("G", 'P', "C4,C,4,e,f,h;C2,C,2,e,f,h;C8,G,8,e,f,h;SW,S,2,e,f,h");
    EXPECT_EQ(put(h, "C4", bytes32(70000)), 0);
    EXPECT_EQ(value32(h, "C4"), 70000);

    // A 2-byte value in a 4-byte attribute is kept and sent as 2 bytes.
    EXPECT_EQ(put(h, "C4", bytes16(-9)), 0);
    EXPECT_EQ(attr(h, "C4").dataLength(), 2);
    EXPECT_EQ(value16(h, "C4"), -9);
    // Any other length leaves the value.
    EXPECT_EQ(put(h, "C4", "abc"), 0);
    EXPECT_EQ(value16(h, "C4"), -9);
    EXPECT_EQ(attr(h, "C4").dataLength(), 2);

    // A 4-byte value in a 2-byte attribute is narrowed, saturating.
    EXPECT_EQ(put(h, "C2", bytes32(5)), 0);
    EXPECT_EQ(value16(h, "C2"), 5);
    EXPECT_EQ(attr(h, "C2").dataLength(), 2);
    EXPECT_EQ(put(h, "C2", bytes32(70000)), 0);
    EXPECT_EQ(value16(h, "C2"), 32767);
    EXPECT_EQ(put(h, "C2", bytes32(-70000)), 0);
    EXPECT_EQ(value16(h, "C2"), -32768);

    // A numeric attribute of another registered length keeps nothing and always sends zeros.
    EXPECT_FALSE(attr(h, "C8").hasValue());
    EXPECT_EQ(put(h, "C8", bytes32(1)), 0);

    EXPECT_EQ(put(h, "SW", bytes32(1)), 0);
    EXPECT_EQ(value16(h, "SW"), 1);

    DataMessage m = message(h);
    ASSERT_EQ(m.values.size(), 4u);
    EXPECT_EQ(m.values[0], std::make_pair('C', bytes16(-9)));
    EXPECT_EQ(m.values[1], std::make_pair('C', bytes16(-32768)));
    EXPECT_EQ(m.values[2], std::make_pair('G', std::string(8, '\0')));
    EXPECT_EQ(m.values[3], std::make_pair('S', bytes16(1)));
}

TEST_F(AttrValuesTest, TypeLookupsAndUnknownNames) {
    const int32_t h = group("G", 'k', "AVG,A,4,e,f,h;ID,C,4,e,f,h");
    EXPECT_EQ(space.getDataType(h), 'K');
    EXPECT_EQ(space.getDataType(h + 1000), '?');
    EXPECT_EQ(space.getAttrType(h, "AVG"), 'A');
    EXPECT_EQ(space.getAttrType(h, "ID"), 'C');
    EXPECT_EQ(space.getAttrType(h, "avg"), '?');  // names match exactly
    EXPECT_EQ(space.getAttrType(h, "NOPE"), '?');
    EXPECT_EQ(space.getAttrType(h, nullptr), '?');
    EXPECT_EQ(space.getAttrType(h + 1000, "AVG"), '?');

    // An unknown name still stores the control field.
    EXPECT_EQ(put(h, "NOPE", bytes32(1), 0x01), 0);
    EXPECT_EQ(list(h).controlField(), 0x01);
    EXPECT_EQ(message(h).controlField, 0x01);
    EXPECT_EQ(list(h).setValue("NOPE", 0x10, "x", 1), 1);
    EXPECT_EQ(list(h).controlField(), 0x10);

    // The empty row of a clearing request: no name, no value.
    EXPECT_EQ(space.putData(h, 0xFF, nullptr, nullptr, 0), 0);
    EXPECT_EQ(message(h).controlField, 0xFF);

    TraceCapture capture;
    EXPECT_EQ(put(h + 1000, "ID", bytes32(1)), 2);
    EXPECT_EQ(space.clearValues(h + 1000), -1);
    std::vector<char> buffer;
    EXPECT_EQ(space.getData(buffer, kValuesBuffer, h + 1000, 1), -1);
    EXPECT_EQ(capture.count("Error: attrInfoList with handle " + std::to_string(h + 1000) + " not found."),
              3);
}

TEST_F(AttrValuesTest, NamesFindTheFirstAttributeOfThatNameInAnyOrder) {
    const int32_t h = group("G", 'P', "X,C,4,e,f,h;Y,C,4,e,f,h;X,D,8,e,f,h;Z,C,4,e,f,h");
    // In registration order, as providers send, then out of order.
    for (const char* name : {"X", "Y", "X", "Z", "Y", "X", "Z", "X"}) {
        EXPECT_EQ(space.getAttrType(h, name), 'C') << name;
        ASSERT_EQ(put(h, name, bytes32(name[0])), 0);
    }
    EXPECT_EQ(value32(h, "X"), 'X');
    DataMessage m = message(h);
    ASSERT_EQ(m.values.size(), 4u);
    EXPECT_EQ(m.values[0], std::make_pair('C', bytes32('X')));
    EXPECT_EQ(m.values[2], std::make_pair('D', std::string(8, ' ')));  // the later X is never found
    EXPECT_EQ(m.values[3], std::make_pair('C', bytes32('Z')));
}

// ---------------------------------------------------------------------------------------------------
// Resets for a new row

TEST_F(AttrValuesTest, KeyedListsSendEmptyFieldsAfterClearAndEventListsSendDefaults) {
    const std::string attrs = "CNT,C,4,e,f,h;TXT,D,8,e,f,h;TIME,T,16,e,f,h";
    const int32_t k = group("KEYED", 'K', attrs);
    const int32_t e = group("EVENT", 'E', attrs);
    const std::string stamp(16, 'X');
    for (int32_t h : {k, e}) {
        ASSERT_EQ(put(h, "CNT", bytes32(5)), 0);
        ASSERT_EQ(put(h, "TXT", "abcdefgh"), 0);
        ASSERT_EQ(put(h, "TIME", stamp), 0);
        ASSERT_EQ(space.clearValues(h), 0);
    }

    DataMessage km = message(k);
    ASSERT_EQ(km.values.size(), 3u);
    EXPECT_EQ(km.values[0], std::make_pair('C', std::string()));
    EXPECT_EQ(km.values[1], std::make_pair('D', std::string()));
    EXPECT_EQ(km.values[2], std::make_pair('T', std::string()));
    EXPECT_TRUE(attr(k, "CNT").valueIgnore());
    ASSERT_EQ(put(k, "TXT", "new"), 0);
    km = message(k);
    EXPECT_EQ(km.values[0].second, "");
    EXPECT_EQ(km.values[1].second, "new");
    EXPECT_EQ(km.values[2].second, "");

    DataMessage em = message(e);
    ASSERT_EQ(em.values.size(), 3u);
    EXPECT_EQ(em.values[0], std::make_pair('C', std::string(4, '\0')));
    EXPECT_EQ(em.values[1], std::make_pair('D', std::string(8, ' ')));
    EXPECT_EQ(em.values[2].first, 'T');
    ASSERT_EQ(em.values[2].second.size(), 16u);
    EXPECT_NE(em.values[2].second, stamp);
    EXPECT_EQ(em.values[2].second.find_first_not_of("0123456789"), std::string::npos);
    EXPECT_FALSE(attr(e, "CNT").valueIgnore());
}

TEST_F(AttrValuesTest, ClearingStopsAtAnAttributeItCannotReset) {
    const int32_t h = group("E", 'E', "C1,C,4,e,f,h;D1,D,4,e,f,h;AVG,A,4,e,f,h;C2,C,4,e,f,h");
    ASSERT_EQ(put(h, "C1", bytes32(1)), 0);
    ASSERT_EQ(put(h, "D1", "abcd"), 0);
    ASSERT_EQ(put(h, "AVG", bytes32(5)), 0);
    ASSERT_EQ(put(h, "C2", bytes32(2)), 0);

    EXPECT_EQ(space.clearValues(h), 1);
    EXPECT_EQ(list(h).errors(), 1);
    EXPECT_EQ(value32(h, "C1"), 0);
    EXPECT_EQ(attr(h, "D1").valueView(), "    ");
    EXPECT_EQ(value32(h, "AVG"), 5);
    EXPECT_EQ(value32(h, "C2"), 2);  // after the stop: untouched

    // An average attribute without storage is passed over.
    const int32_t wide = group("WIDE", 'E', "C1,C,4,e,f,h;BIG,A,8,e,f,h;C2,C,4,e,f,h");
    ASSERT_EQ(put(wide, "C2", bytes32(2)), 0);
    EXPECT_EQ(space.clearValues(wide), 0);
    EXPECT_EQ(value32(wide, "C2"), 0);
}

// ---------------------------------------------------------------------------------------------------
// Averages

TEST_F(AttrValuesTest, UnkeyedAveragesAndTheNegativeSumRestart) {
    const int32_t h = group("G", 'P', "AVG,A,4,e,f,h;AVG2,A,2,e,f,h;ODD,A,4,e,f,h;NEG,A,4,e,f,h");
    std::vector<int32_t> averages;
    std::vector<int16_t> averages16;
    for (int v : {10, 20, 30}) {
        ASSERT_EQ(put(h, "AVG", bytes32(v)), 0);
        averages.push_back(value32(h, "AVG"));
        ASSERT_EQ(put(h, "AVG2", bytes16(static_cast<int16_t>(v))), 0);
        averages16.push_back(value16(h, "AVG2"));
    }
    EXPECT_EQ(averages, (std::vector<int32_t>{10, 15, 20}));
    EXPECT_EQ(averages16, (std::vector<int16_t>{10, 15, 20}));
    EXPECT_EQ(attr(h, "AVG").runningSum(), 60);
    EXPECT_EQ(attr(h, "AVG").numberOfSamples(), 3);

    // Sum 60 of three samples plus -100 would be negative: the pair restarts at (60 / 3, 2).
    TraceCapture capture;
    ASSERT_EQ(put(h, "AVG", bytes32(-100)), 0);
    EXPECT_EQ(value32(h, "AVG"), (60 / 3 + -100) / 2);
    EXPECT_EQ(attr(h, "AVG").runningSum(), -80);
    EXPECT_EQ(attr(h, "AVG").numberOfSamples(), 2);
    EXPECT_TRUE(capture.contains("Reassigned runningSum=20 numberOfSamples=2 for <AVG>"));
    ASSERT_EQ(put(h, "AVG2", bytes16(-100)), 0);
    EXPECT_EQ(value16(h, "AVG2"), -40);
    EXPECT_TRUE(capture.contains("Reassigned runningSum=20 numberOfSamples=2 for <AVG2>"));

    // A value of another length counts as a sample without changing the sum or the value.
    ASSERT_EQ(put(h, "ODD", bytes32(10)), 0);
    ASSERT_EQ(put(h, "ODD", "abc"), 0);
    EXPECT_EQ(attr(h, "ODD").numberOfSamples(), 2);
    EXPECT_EQ(value32(h, "ODD"), 10);
    ASSERT_EQ(put(h, "ODD", bytes32(20)), 0);
    EXPECT_EQ(value32(h, "ODD"), 30 / 3);

    // Division truncates toward zero.
    ASSERT_EQ(put(h, "NEG", bytes32(-10)), 0);
    ASSERT_EQ(put(h, "NEG", bytes32(-21)), 0);
    EXPECT_EQ(value32(h, "NEG"), -15);
}

TEST_F(AttrValuesTest, KeyedAveragesKeepOnePairPerKeyCombination) {
    const int32_t h = group("K", 'K', "@KEY,D,8,e,f,h;AVG,A,4,e,f,h");
    auto row = [&](const char* key, int32_t v) {
        EXPECT_EQ(space.clearValues(h), 0);
        if (key != nullptr) {
            EXPECT_EQ(put(h, "KEY", key), 0);
        }
        EXPECT_EQ(put(h, "AVG", bytes32(v)), 0);
        return value32(h, "AVG");
    };
    EXPECT_EQ(row("a", 10), 10);
    EXPECT_EQ(row("a", 30), 20);
    EXPECT_EQ(row("b", 100), 100);
    EXPECT_EQ(row("a", 50), 30);

    const attrInfoEntry& avg = attr(h, "AVG");
    ASSERT_EQ(avg.averageEntryCount(), 2u);
    const attrAverageEntry* first = avg.averageEntry();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(first->key1(), nullptr);
    EXPECT_EQ(*first->key1(), "a");
    EXPECT_EQ(first->key2(), nullptr);
    EXPECT_EQ(first->runningSum(), 90);
    EXPECT_EQ(first->numberOfSamples(), 3);
    const attrAverageEntry* second = first->Next();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(*second->key1(), "b");
    EXPECT_EQ(second->runningSum(), 100);
    EXPECT_EQ(second->Next(), nullptr);
    EXPECT_EQ(avg.runningSum(), 0);  // the attribute's own pair is for unkeyed lists

    // Rows without a key value average nothing and leave the chain as it is.
    TraceCapture capture;
    EXPECT_EQ(row(nullptr, 7), 7);
    EXPECT_EQ(row(nullptr, 9), 9);
    EXPECT_TRUE(capture.contains("No key attributes to check for average attribute <AVG>"));
    EXPECT_EQ(avg.averageEntryCount(), 2u);
}

TEST_F(AttrValuesTest, KeyCombinationsCompareValueBytesAndOnlyTheFirstFiveKeys) {
    const int32_t h =
        group("N", 'N',
              "@K1,D,4,e,f,h;@K2,C,4,e,f,h;@K3,C,4,e,f,h;@K4,C,4,e,f,h;@K5,C,4,e,f,h;@K6,C,4,e,f,h;"
              "PLAIN,C,4,e,f,h;AVG,A,4,e,f,h");
    auto row = [&](int32_t k2, int32_t k6, int32_t v) {
        EXPECT_EQ(put(h, "K1", "x"), 0);
        for (const char* k : {"K3", "K4", "K5"}) {
            EXPECT_EQ(put(h, k, bytes32(3)), 0);
        }
        EXPECT_EQ(put(h, "K2", bytes32(k2)), 0);
        EXPECT_EQ(put(h, "K6", bytes32(k6)), 0);
        EXPECT_EQ(put(h, "AVG", bytes32(v)), 0);
        return value32(h, "AVG");
    };
    EXPECT_EQ(row(1, 0, 10), 10);
    EXPECT_EQ(row(256, 0, 50), 50);  // no shared text prefix tricks: 1 and 256 are different keys
    EXPECT_EQ(row(1, 99, 30), 20);   // the sixth key is not compared
    EXPECT_EQ(attr(h, "AVG").averageEntryCount(), 2u);

    // Key attributes are taken in list order among those with a value that counts.
    attrInfoList& l = list(h);
    EXPECT_EQ(l.getNextKeyAttr(nullptr)->name(), "K1");
    EXPECT_EQ(l.getNextKeyAttr(l.findAttribute("K1"))->name(), "K2");
    EXPECT_EQ(l.getNextKeyAttr(l.findAttribute("K6")), nullptr);
}

TEST_F(AttrValuesTest, KeyedListsSkipIgnoredKeys) {
    const int32_t h = group("K", 'K', "@K1,D,4,e,f,h;X,C,4,e,f,h;@K2,D,4,e,f,h;AVG,A,4,e,f,h");
    attrInfoList& l = list(h);
    ASSERT_EQ(space.clearValues(h), 0);
    EXPECT_EQ(l.getNextKeyAttr(nullptr), nullptr);
    ASSERT_EQ(put(h, "K2", "b"), 0);
    EXPECT_EQ(l.getNextKeyAttr(nullptr)->name(), "K2");
    EXPECT_EQ(l.getNextKeyAttr(l.findAttribute("K2")), nullptr);
    ASSERT_EQ(put(h, "AVG", bytes32(4)), 0);
    ASSERT_EQ(put(h, "K1", "a"), 0);
    ASSERT_EQ(put(h, "AVG", bytes32(8)), 0);
    // (b) and (a, b) are different combinations.
    EXPECT_EQ(value32(h, "AVG"), 8);
    ASSERT_EQ(attr(h, "AVG").averageEntryCount(), 2u);
    EXPECT_EQ(*attr(h, "AVG").averageEntry()->Next()->key2(), "b");
}

// ---------------------------------------------------------------------------------------------------
// The data message

TEST_F(AttrValuesTest, DataMessageCarriesSourceControlFieldAndTypedValuesInListOrder) {
    const int32_t h =
        group("G", 'P', "ID,C,4,e,f,h;NAME,D,8,e,f,h;SW,S,2,e,f,h;AVG,A,2,e,f,h;WHEN,T,16,e,f,h");
    ASSERT_EQ(put(h, "ID", bytes32(42), 0x01), 0);
    ASSERT_EQ(put(h, "NAME", "host", 0x01), 0);
    ASSERT_EQ(put(h, "SW", bytes16(1), 0x01), 0);
    ASSERT_EQ(put(h, "AVG", bytes16(7), 0x01), 0);
    ASSERT_EQ(put(h, "WHEN", "1250101120000000", 0x01), 0);

    std::vector<char> buffer(kValuesBuffer);
    const int length = space.getData(buffer, kValuesBuffer, h, 1);
    DataMessage m = decode(buffer, length);
    EXPECT_EQ(m.sourceName, std::optional<std::string>(list(h).sourceName()));
    EXPECT_EQ(m.controlField, 0x01);
    const std::vector<std::pair<char, std::string>> expected = {
        {'C', bytes32(42)}, {'D', "host"}, {'S', bytes16(1)}, {'A', bytes16(7)}, {'T', "1250101120000000"}};
    EXPECT_EQ(m.values, expected);

    // Without the source name the control field comes first.
    DataMessage bare = message(h, 0);
    EXPECT_FALSE(bare.sourceName.has_value());
    EXPECT_EQ(bare.values, expected);
}

TEST_F(AttrValuesTest, DataMessageNeedsABufferLargerThanNeeded) {
    const int32_t h = group("G", 'P', "ID,C,4,e,f,h;NAME,D,8,e,f,h");
    const std::size_t needed = 288 + 4 + 8;
    TraceCapture capture;
    std::vector<char> buffer;
    EXPECT_EQ(space.getData(buffer, needed, h, 1), -1);
    EXPECT_EQ(list(h).errors(), 1);
    EXPECT_TRUE(capture.contains("too small"));
    EXPECT_GT(space.getData(buffer, needed + 1, h, 1), 0);
    EXPECT_EQ(buffer.size(), needed + 1);  // an empty buffer is grown to the size given
    EXPECT_EQ(list(h).errors(), 0);

    // The field headers of many small values can pass the estimate: the message then fails whole.
    std::string many;
    for (int i = 0; i < 40; ++i) {
        many += "C" + std::to_string(i) + ",C,4,e,f,h;";
    }
    const int32_t big = group("MANY", 'P', many);
    std::vector<char> small(288 + 40 * 4 + 1);
    EXPECT_EQ(space.getData(small, small.size(), big, 1), -1);
    EXPECT_TRUE(capture.contains("do not fit"));
}

TEST_F(AttrValuesTest, TypesWithoutADefaultFailOutsideKeyedLists) {
    const int32_t p = group("P", 'P', "ID,C,4,e,f,h;ODD,I,4,e,f,h");
    const int32_t k = group("K", 'K', "ID,C,4,e,f,h;ODD,I,4,e,f,h");
    TraceCapture capture;
    std::vector<char> buffer(kValuesBuffer);
    EXPECT_EQ(space.getData(buffer, kValuesBuffer, p, 1), -1);
    EXPECT_TRUE(capture.contains("Error: Don't know how to handle attrType of I"));
    DataMessage m = message(k);
    ASSERT_EQ(m.values.size(), 2u);
    EXPECT_EQ(m.values[1], std::make_pair('I', std::string()));
}

}  // namespace

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "interfaces/dch_protocol.h"

namespace {

using vorpane::dch::FieldReader;
using vorpane::dch::MessageBuilder;

std::string hex(const char* data, size_t n) {
    std::string out;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", static_cast<unsigned char>(data[i]));
        out += b;
    }
    return out;
}

TEST(DchCodec, ARequestCodeOccupiesBytesFourToEleven) {
    MessageBuilder m;
    m.request(DCH_dp_online).text(DCH_applName, "MYAPP");
    ASSERT_EQ(m.size(), 12u + 6u + 5u);
    EXPECT_EQ(vorpane::dch::totalLength(m.data()), m.size());
    // Type 0x0010, length 2, then the code in the sender's byte order.
    EXPECT_EQ(hex(m.data() + 4, 6), "001000000002");
    int16_t code;
    std::memcpy(&code, m.data() + 10, 2);
    EXPECT_EQ(code, DCH_dp_online);
    FieldReader r(m.data(), m.size(), DCH_REQUEST_FIELDS);
    FieldReader::Field f = r.next();
    EXPECT_EQ(f.type, DCH_applName);
    EXPECT_EQ(f.text(), "MYAPP");
    EXPECT_FALSE(r.next());
}

TEST(DchCodec, TheDocumentedExampleHasTheseBytes) {
    // dp_offline of handle 0x12345678 (values in little-endian host order).
    MessageBuilder m;
    m.request(DCH_dp_offline).int32(DCH_handle, 0x12345678);
    EXPECT_EQ(hex(m.data(), m.size()), "00000016" "0010000000022510" "00800000000478563412");
}

TEST(DchCodec, FormatterSizesNumericAndTextFieldsAndKeepsTheTotal) {
    char msg[64] = {0};
    char* cursor = msg + 4;
    int32_t status = -1;
    int n = ZOT0_FormatDataField(msg, sizeof msg, cursor, DCH_status, &status, 0);
    EXPECT_EQ(n, 10);
    cursor += n;
    n = ZOT0_FormatDataField(msg, sizeof msg, cursor, DCH_sourceName, "host1", 0);
    EXPECT_EQ(n, 11);
    cursor += n;
    n = ZOT0_FormatDataField(msg, sizeof msg, cursor, DCH_attrTypeValue, "ab", 2, 'D');
    EXPECT_EQ(n, 9);
    cursor += n;
    EXPECT_EQ(vorpane::dch::totalLength(msg), static_cast<uint32_t>(cursor - msg));
    // A field that does not fit is refused whole, and the total stays.
    char big[40] = {0};
    EXPECT_EQ(ZOT0_FormatDataField(msg, sizeof msg, cursor, DCH_infoText, big, sizeof big), 0);
    EXPECT_EQ(vorpane::dch::totalLength(msg), static_cast<uint32_t>(cursor - msg));

    FieldReader r(msg, sizeof msg);
    int32_t s = 0;
    ASSERT_TRUE(r.next().int32(&s));
    EXPECT_EQ(s, -1);
    EXPECT_EQ(r.next().text(), "host1");
    FieldReader::Field v = r.next();
    EXPECT_EQ(v.type, DCH_attrTypeValue);
    EXPECT_EQ(v.extra, 'D');
    EXPECT_EQ(v.text(), "ab");
    EXPECT_FALSE(r.next());  // the zeroed rest of the buffer lies beyond the total
}

// The formatter's contract at its edges: sizes taken from the type, refusals with 0, the extra byte
// only where the type has one, and the room of the buffer counted exactly.
TEST(DchCodec, FormatterEdgesSizesRefusalsExtraBytesAndRoom) {
    char msg[64] = {0};
    char* body = msg + DCH_FRAME_HEADER;
    // A 16-bit field given length 0 takes its size from its type.
    const int16_t code = 0x1234;
    ASSERT_EQ(ZOT0_FormatDataField(msg, sizeof msg, body, DCH_controlField, &code, 0), 8);
    FieldReader numeric(msg, sizeof msg);
    FieldReader::Field f = numeric.next();
    EXPECT_EQ(f.length, 2u);
    int16_t back = 0;
    ASSERT_TRUE(f.int16(&back));
    EXPECT_EQ(back, 0x1234);
    EXPECT_EQ(f.extra, 0);  // no extra byte for this type, whatever was passed

    // Bad arguments are refused with 0 and write nothing.
    std::memset(msg, 0, sizeof msg);
    EXPECT_EQ(ZOT0_FormatDataField(nullptr, sizeof msg, body, DCH_status, &code, 2), 0);
    EXPECT_EQ(ZOT0_FormatDataField(msg, sizeof msg, nullptr, DCH_status, &code, 2), 0);
    EXPECT_EQ(ZOT0_FormatDataField(msg, sizeof msg, msg + 3, DCH_status, &code, 2), 0);  // inside the header
    EXPECT_EQ(ZOT0_FormatDataField(msg, sizeof msg, body, DCH_status, &code, -1), 0);
    EXPECT_EQ(ZOT0_FormatDataField(msg, sizeof msg, body, DCH_noField, &code, 2), 0);
    EXPECT_EQ(std::count(msg, msg + sizeof msg, '\0'), static_cast<long>(sizeof msg));

    // An extra byte passed for a type without one is not written: the value follows the header.
    ASSERT_EQ(ZOT0_FormatDataField(msg, sizeof msg, body, DCH_applName, "ABC", 3, 'X'), 9);
    EXPECT_EQ(std::string(body + DCH_FIELD_HEADER, 3), "ABC");
    char extra = 'Z';
    const char* cursor = body;
    const char* value = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(ZOT0_ExtractDataField(&cursor, &value, &length, &extra, msg + sizeof msg), DCH_applName);
    EXPECT_EQ(extra, 0);

    // An empty and a one-byte first field are formatted.
    std::memset(msg, 0, sizeof msg);
    ASSERT_EQ(ZOT0_FormatDataField(msg, sizeof msg, body, DCH_infoText, "", 0), 6);
    EXPECT_EQ(vorpane::dch::totalLength(msg), 10u);
    ASSERT_EQ(ZOT0_FormatDataField(msg, sizeof msg, body, DCH_infoText, "x", 1), 7);
    EXPECT_EQ(vorpane::dch::totalLength(msg), 11u);

    // A field that fills the buffer exactly is taken; one that runs past it by 1 to 5 bytes is not.
    char exact[DCH_FRAME_HEADER + DCH_FIELD_HEADER + 10] = {0};
    const std::string ten(10, 't');
    EXPECT_EQ(ZOT0_FormatDataField(exact, sizeof exact, exact + DCH_FRAME_HEADER, DCH_infoText, ten.data(), 10),
              static_cast<int>(DCH_FIELD_HEADER + 10));
    EXPECT_EQ(vorpane::dch::totalLength(exact), sizeof exact);
    for (int over = 1; over <= 5; ++over) {
        const std::string longer(static_cast<size_t>(10 + over), 'o');
        EXPECT_EQ(ZOT0_FormatDataField(exact, sizeof exact, exact + DCH_FRAME_HEADER, DCH_infoText, longer.data(),
                                       static_cast<int>(longer.size())),
                  0)
            << over;
    }

    // The reader the same way: a field that ends at the end is read; one claiming 1 to 5 bytes more is not.
    for (int over = 0; over <= 5; ++over) {
        MessageBuilder claim;
        claim.text(DCH_infoText, ten);
        std::vector<char> bytes(claim.data(), claim.data() + claim.size());
        const uint32_t claimed = htonl(10u + static_cast<uint32_t>(over));
        std::memcpy(bytes.data() + DCH_FRAME_HEADER + 2, &claimed, 4);
        FieldReader r(bytes.data(), bytes.size());
        EXPECT_EQ(r.next().type, over == 0 ? DCH_infoText : DCH_noField) << over;
    }

    // MessageBuilder::add with no value appends that many zero bytes.
    MessageBuilder m;
    m.add(DCH_infoText, nullptr, 3);
    ASSERT_EQ(m.size(), DCH_FRAME_HEADER + DCH_FIELD_HEADER + 3);
    EXPECT_EQ(std::string(m.data() + DCH_FRAME_HEADER + DCH_FIELD_HEADER, 3), std::string(3, '\0'));
}

TEST(DchCodec, EmptyValuesAndPeekingWork) {
    MessageBuilder m;
    m.add(DCH_attrValue, nullptr, 0, 'C').text(DCH_attrName, "");
    FieldReader r(m.data(), m.size());
    EXPECT_EQ(r.peek().type, DCH_attrValue);
    FieldReader::Field v = r.next();
    EXPECT_EQ(v.type, DCH_attrValue);
    EXPECT_EQ(v.length, 0u);
    EXPECT_EQ(v.extra, 'C');
    EXPECT_EQ(r.next().type, DCH_attrName);
    EXPECT_FALSE(r.peek());
    int16_t x;
    EXPECT_FALSE(v.int16(&x));  // wrong length
}

TEST(DchCodec, FieldsEncodedElsewhereAppendAsIfAddedHere) {
    MessageBuilder pairs;
    pairs.text(DCH_attrName, "Count").add(DCH_attrValue, "\x01\x00\x00\x00", 4, 'C');
    pairs.text(DCH_attrName, "Name").add(DCH_attrValue, "init", 4, 'D');
    MessageBuilder direct;
    direct.request(DCH_dp_data).int32(DCH_handle, 9);
    direct.text(DCH_attrName, "Count").add(DCH_attrValue, "\x01\x00\x00\x00", 4, 'C');
    direct.text(DCH_attrName, "Name").add(DCH_attrValue, "init", 4, 'D');
    MessageBuilder appended;
    appended.request(DCH_dp_data).int32(DCH_handle, 9);
    appended.appendFields(pairs.data() + DCH_FRAME_HEADER, pairs.size() - DCH_FRAME_HEADER);
    appended.appendFields(nullptr, 0);
    EXPECT_EQ(hex(appended.data(), appended.size()), hex(direct.data(), direct.size()));
    EXPECT_EQ(vorpane::dch::totalLength(appended.data()), appended.size());
}

TEST(DchCodec, LyingLengthsEndTheFieldsCleanly) {
    MessageBuilder m;
    m.request(DCH_dp_data).int32(DCH_handle, 7).text(DCH_attrName, "name");
    std::vector<char> bytes(m.data(), m.data() + m.size());
    // The last field claims more bytes than the message holds.
    bytes[bytes.size() - 4 - 6 + 2] = 0x7f;
    FieldReader r(bytes.data(), bytes.size());
    EXPECT_EQ(r.next().type, DCH_requestType);
    EXPECT_EQ(r.next().type, DCH_handle);
    EXPECT_FALSE(r.next());
    // A frame that claims more than the bytes at hand is read only as far as the bytes go.
    std::vector<char> cut(m.data(), m.data() + 14);
    FieldReader c(cut.data(), cut.size());
    EXPECT_EQ(c.next().type, DCH_requestType);
    EXPECT_FALSE(c.next());
    // A frame shorter than its header has no fields at all.
    char tiny[3] = {0, 0, 0};
    EXPECT_FALSE(FieldReader(tiny, sizeof tiny).next());
    const char* cursor = tiny;
    EXPECT_EQ(ZOT0_ExtractDataField(&cursor, nullptr, nullptr, nullptr, tiny + 3), DCH_noField);
    EXPECT_EQ(cursor, tiny);
}

// The decoder is total: whatever the bytes, every value it returns lies inside the message and the
// cursor only moves forward, so the sanitizers see no read outside the buffer.
TEST(DchCodec, RandomBytesNeverLeadOutsideTheMessage) {
    std::mt19937 rng(20261205);
    for (int round = 0; round < 50000; ++round) {
        size_t n = rng() % 200;
        std::vector<char> bytes(n);
        for (char& b : bytes) {
            b = static_cast<char>(rng());
        }
        // Often start from a plausible frame so the decoder gets deep into the message.
        if (n >= 10 && rng() % 2 == 0) {
            uint32_t total = htonl(static_cast<uint32_t>(rng() % 2 == 0 ? n : rng() % 400));
            std::memcpy(bytes.data(), &total, 4);
            uint16_t type = htons(static_cast<uint16_t>(rng() % 2 == 0 ? DCH_requestType : DCH_attrValue));
            std::memcpy(bytes.data() + 4, &type, 2);
        }
        FieldReader r(bytes.data(), bytes.size());
        size_t last = r.offset();
        for (int i = 0; i < 300; ++i) {
            FieldReader::Field f = r.next();
            if (!f) {
                break;
            }
            ASSERT_GE(f.value, bytes.data());
            ASSERT_LE(f.value + f.length, bytes.data() + bytes.size());
            ASSERT_GT(r.offset(), last);
            last = r.offset();
        }
    }
}

}  // namespace

// Framing of requests from bytes alone, and which requests run on a wait slot.
#include <gtest/gtest.h>

#include <string>

#include "api/api_server.h"
#include "api/request_framer.h"

namespace vorpane::api {
namespace {

using Result = RequestFramer::Result;
using namespace std::string_literals;

struct Framed {
    Result result;
    size_t length = 0;
    int status = 0;
    std::string detail;
};

// Feeds the bytes in pieces of `piece` bytes, as they might arrive; stops at the first answer that is
// not "more".
Framed frame(const std::string& bytes, size_t piece = 0, RequestFramer::Limits limits = {}) {
    RequestFramer f(limits);
    piece = piece == 0 ? bytes.size() : piece;
    Result r = Result::NeedMore;
    for (size_t have = std::min(piece, bytes.size());; have = std::min(have + piece, bytes.size())) {
        r = f.feed(std::string_view(bytes).substr(0, have));
        if (r != Result::NeedMore || have == bytes.size()) {
            break;
        }
    }
    return {r, f.length(), f.status(), f.detail()};
}

const std::string kPost = "POST /v1/situations HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello";
const std::string kChunked =
    "POST /v1/actions HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n5;name=x\r\nhello\r\n6\r\n world\r\n0\r\n\r\n";

TEST(RequestFramer, ARequestEndsWhereItsFramingSaysHoweverItsBytesArrive) {
    const std::string get = "GET /v1/health HTTP/1.1\r\nHost: x\r\nX-Tab: a\tb\r\n\r\n";
    for (const std::string& request : {get, kPost, kChunked}) {
        for (size_t piece = 1; piece <= request.size(); ++piece) {
            Framed f = frame(request + get, piece);  // a pipelined request follows
            ASSERT_EQ(f.result, Result::Complete) << request << " in pieces of " << piece;
            EXPECT_EQ(f.length, request.size()) << request << " in pieces of " << piece;
        }
        EXPECT_EQ(frame(request.substr(0, request.size() - 1)).result, Result::NeedMore) << request;
    }

    // The same framer goes on with the next request once the first is dropped.
    RequestFramer f({});
    std::string bytes = kPost + kChunked;
    ASSERT_EQ(f.feed(bytes), Result::Complete);
    EXPECT_EQ(f.method(), "POST");
    EXPECT_EQ(f.target(), "/v1/situations");
    bytes.erase(0, f.length());
    f.reset();
    ASSERT_EQ(f.feed(bytes), Result::Complete);
    EXPECT_EQ(f.length(), kChunked.size());
    EXPECT_EQ(f.target(), "/v1/actions");
}

TEST(RequestFramer, BodiesPastTheLimitAreRefusedBeforeTheyArrive) {
    RequestFramer::Limits small;
    small.maxBodyBytes = 10;
    small.maxFramingBytes = 40;
    Framed f = frame("POST / HTTP/1.1\r\nContent-Length: 11\r\n\r\n", 0, small);
    EXPECT_EQ(f.result, Result::Refused);
    EXPECT_EQ(f.status, 413);
    EXPECT_EQ(f.detail, "the body is larger than 10 bytes");
    EXPECT_EQ(frame("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n0123456789", 0, small).result, Result::Complete);

    // Chunked: refused at the chunk-size line that passes the limit, its data not yet sent; a size
    // too large for any number too.
    const std::string head = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
    f = frame(head + "6\r\nabcdef\r\n5\r\n", 0, small);
    EXPECT_EQ(f.result, Result::Refused);
    EXPECT_EQ(f.status, 413);
    EXPECT_EQ(frame(head + "fffffffffffffffffffffffff\r\n", 0, small).status, 413);
    EXPECT_EQ(frame(head + "6\r\nabcdef\r\n4\r\nabcd\r\n0\r\n\r\n", 0, small).result, Result::Complete);
    // Many small chunks: their framing has a limit of its own.
    std::string many = head;
    for (int i = 0; i < 8; ++i) {
        many += "1;pad=xxxx\r\nx\r\n";
    }
    EXPECT_EQ(frame(many, 0, small).status, 413);
}

TEST(RequestFramer, WhatCouldBeReadTwoWaysIsRefused) {
    struct Case {
        std::string bytes;
        int status;
        const char* detail;
    };
    const std::string line = "POST / HTTP/1.1\r\n";
    const std::string chunkedHead = line + "Transfer-Encoding: chunked\r\n\r\n";
    std::string manyHeaders = line;
    for (int i = 0; i < 5; ++i) {
        manyHeaders += "X-" + std::to_string(i) + ": " + std::string(4000, 'a') + "\r\n";
    }
    const Case cases[] = {
        {line + "Authorization: Bearer abc\0junk\r\n\r\n"s, 400, "the request head holds a control byte"},
        {line + "X: a\x01z\r\n\r\n", 400, "the request head holds a control byte"},
        {line + "X: a\x7Fz\r\n\r\n", 400, "the request head holds a control byte"},
        {"GET /\x1B HTTP/1.1\r\n\r\n", 400, "the request head holds a control byte"},
        {line + "X: no carriage return\n\r\n", 400, "a line of the request head does not end in CR LF"},
        {"\r\n", 400, "the request line is not METHOD TARGET VERSION"},
        {"GET /v1/health\r\n\r\n", 400, "the request line is not METHOD TARGET VERSION"},
        {line + "X: a\r\n  folded\r\n\r\n", 400, "folded header lines are not accepted"},
        {line + "no colon\r\n\r\n", 400, "a header line has no name"},
        {line + "Content-Length : 5\r\n\r\nhello", 400, "a header name holds a blank"},
        {line + "Content-Length: 5\r\ncontent-length: 5\r\n\r\nhello", 400,
         "the request has two Content-Length headers"},
        {line + "Content-Length: 0x5\r\n\r\nhello", 400, "Content-Length is not a number"},
        {line + "Content-Length: -1\r\n\r\n", 400, "Content-Length is not a number"},
        {line + "Transfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n", 400,
         "the request has both Content-Length and chunked framing"},
        {line + "Transfer-Encoding: gzip, chunked\r\n\r\n", 501, "only the chunked transfer coding is understood"},
        {line + "Content-Encoding: gzip\r\nContent-Length: 1\r\n\r\nx", 415, "compressed request bodies are not accepted"},
        {chunkedHead + "x\r\n", 400, "a chunk size is not a hexadecimal number"},
        {chunkedHead + "-1\r\n", 400, "a chunk size is not a hexadecimal number"},
        {chunkedHead + "5 x\r\n", 400, "a chunk size is not a hexadecimal number"},
        {chunkedHead + "5\r\nhelloXY", 400, "a chunk does not end in CR LF"},
        {chunkedHead + "0\r\nTrailer: x\r\n\r\n", 400, "chunk trailers are not accepted"},
        {chunkedHead + std::string(2000, '0'), 400, "a chunk-size line is longer than 1024 bytes"},
        {"GET /" + std::string(9000, 'a'), 414, "the request line is longer than 8192 bytes"},
        {line + "X: " + std::string(9000, 'a'), 431, "a header line is longer than 8192 bytes"},
        {manyHeaders, 431, "the request head is longer than 16384 bytes"},
    };
    for (const Case& c : cases) {
        Framed f = frame(c.bytes);
        EXPECT_EQ(f.result, Result::Refused) << c.bytes.substr(0, 80);
        EXPECT_EQ(f.status, c.status) << c.bytes.substr(0, 80);
        EXPECT_EQ(f.detail, c.detail) << c.bytes.substr(0, 80);
    }
    EXPECT_EQ(frame(line + "Content-Encoding: identity\r\nContent-Length: 1\r\n\r\nx").result, Result::Complete);
    EXPECT_EQ(frame(line + "Transfer-Encoding: Chunked\r\n\r\n0\r\n\r\n").result, Result::Complete);
}

TEST(RequestFramer, ExpectLinesAreFoundForTheReaderToAnswer) {
    const std::string head = "POST /v1/actions HTTP/1.1\r\nHost: x\r\n";
    const std::string expect = "Expect: 100-continue\r\n";
    RequestFramer f({});
    std::string bytes = head + expect + "Content-Length: 2\r\n\r\n";
    ASSERT_EQ(f.feed(bytes), Result::NeedMore);
    EXPECT_TRUE(f.headComplete());
    EXPECT_TRUE(f.expectsContinue());
    ASSERT_EQ(f.expectLines().size(), 1u);
    EXPECT_EQ(f.expectLines()[0], std::make_pair(head.size(), head.size() + expect.size()));
    bytes += "{}";
    EXPECT_EQ(f.feed(bytes), Result::Complete);

    // Nothing to continue to without a body.
    RequestFramer empty({});
    ASSERT_EQ(empty.feed(head + expect + "\r\n"), Result::Complete);
    EXPECT_FALSE(empty.expectsContinue());
    EXPECT_EQ(empty.expectLines().size(), 1u);
}

TEST(RequestFramer, LongPollsActionsAndReportsRunOnWaitSlots) {
    EXPECT_TRUE(mayWaitLong("GET", "/v1/events?after=3&wait=30"));
    EXPECT_TRUE(mayWaitLong("HEAD", "/v1/events?wait=1"));  // httplib serves HEAD with the GET handler
    EXPECT_TRUE(mayWaitLong("GET", "/v1/%65vents?w%61it=5"));  // as httplib decodes it
    EXPECT_TRUE(mayWaitLong("GET", "/v1/events?wait=soon"));  // answered 400, quickly, on a slot
    EXPECT_TRUE(mayWaitLong("POST", "/v1/actions"));
    EXPECT_TRUE(mayWaitLong("GET", "/v1/tables/DSK01/DSKTBL01/rows?where=x"));
    EXPECT_FALSE(mayWaitLong("GET", "/v1/events"));
    EXPECT_FALSE(mayWaitLong("GET", "/v1/events?after=3&wait=000"));
    EXPECT_FALSE(mayWaitLong("GET", "/v1/events?waiting=30"));
    EXPECT_FALSE(mayWaitLong("GET", "/v1/health?wait=30"));
    EXPECT_FALSE(mayWaitLong("GET", "/metrics"));
    EXPECT_FALSE(mayWaitLong("POST", "/v1/situations"));
    EXPECT_FALSE(mayWaitLong("GET", "/v1/tables/DSK01/DSKTBL01"));
}

}  // namespace
}  // namespace vorpane::api

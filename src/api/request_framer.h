// Where one HTTP/1.1 request ends in the bytes a connection has brought, and whether it may be read
// any further: the head (request line and header lines, each ending in CR LF) up to its blank line,
// then the body by Content-Length or by chunked framing. cpp-httplib parses and routes the request
// afterwards; this only frames it, so that a request reaches a worker whole and a body past its limit
// is refused while it arrives, not after it was stored.
//
// Stricter than httplib where the two could disagree about where a request ends: a line without its
// CR, a control byte in the head, two lengths, an unknown transfer coding or chunk trailers are
// refused instead of guessed at.
//
// Pure: takes bytes, keeps its place between calls. One per connection, used by one thread at a time.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorpane::api {

class RequestFramer {
public:
    struct Limits {
        size_t maxLineBytes = 8192;  // the request line or one header line, CR LF included
        size_t maxHeadBytes = 16384;  // request line and header lines with the blank line
        size_t maxBodyBytes = 1024 * 1024;  // the body's data
        size_t maxChunkLineBytes = 1024;  // one chunk-size line with its extensions
        size_t maxFramingBytes = 64 * 1024;  // every chunk-size line and chunk end of one body
    };
    enum class Result { NeedMore, Complete, Refused };

    explicit RequestFramer(const Limits& limits) : _limits(limits) {}

    // bytes: the connection's unread bytes, the same as at the last call with more at their end
    // (or fewer than length() after reset()). Looks only at what it has not looked at yet.
    Result feed(std::string_view bytes);

    // Ready for the next request; the caller drops the first length() bytes.
    void reset();

    // After Complete: the request is the first length() bytes.
    size_t length() const { return _pos; }
    // After Refused: the status to answer with and why.
    int status() const { return _status; }
    const std::string& detail() const { return _detail; }

    bool headComplete() const { return _headEnd > 0; }
    // From the request line once it is whole (empty before).
    const std::string& method() const { return _method; }
    const std::string& target() const { return _target; }
    // The client waits for "100 Continue" before it sends the body.
    bool expectsContinue() const { return _expectContinue; }
    // [begin, end) of every Expect header line: they are answered here and taken out before httplib
    // sees the head, which would answer them a second time.
    const std::vector<std::pair<size_t, size_t>>& expectLines() const { return _expectLines; }

private:
    enum class Phase { Head, Body, ChunkLine, ChunkData, LastLine, Done, Refused };

    Result refuse(int status, std::string detail);
    Result headLine(std::string_view line, size_t begin);
    Result endOfHead();
    Result chunkLine(std::string_view line);

    Limits _limits;
    Phase _phase = Phase::Head;
    size_t _pos = 0;  // bytes looked at; at Complete, the request's length
    size_t _lineScan = 0;  // where the search for the end of the current line goes on
    size_t _headEnd = 0;
    bool _requestLine = true;
    std::string _method, _target;
    bool _chunked = false;
    bool _hasLength = false;
    size_t _contentLength = 0;
    bool _expectContinue = false;
    std::vector<std::pair<size_t, size_t>> _expectLines;
    size_t _chunkLeft = 0;
    size_t _data = 0;
    size_t _framing = 0;
    int _status = 0;
    std::string _detail;
};

}  // namespace vorpane::api

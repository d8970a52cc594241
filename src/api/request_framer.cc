#include "api/request_framer.h"

#include <cctype>

#include "common/hex_digit.h"

namespace vorpane::api {

namespace {

// Horizontal tab is the one control byte a header value may hold.
bool isControl(unsigned char c) { return (c < 0x20 && c != '\t') || c == 0x7F; }

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimmed(std::string_view v) {
    while (!v.empty() && isBlank(v.front())) {
        v.remove_prefix(1);
    }
    while (!v.empty() && isBlank(v.back())) {
        v.remove_suffix(1);
    }
    return v;
}

bool sameWord(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

bool endsInCrLf(std::string_view line) { return line.size() >= 2 && line[line.size() - 2] == '\r'; }

}  // namespace

RequestFramer::Result RequestFramer::refuse(int status, std::string detail) {
    _phase = Phase::Refused;
    _status = status;
    _detail = std::move(detail);
    return Result::Refused;
}

void RequestFramer::reset() { *this = RequestFramer(_limits); }

RequestFramer::Result RequestFramer::feed(std::string_view bytes) {
    for (;;) {
        switch (_phase) {
            case Phase::Refused:
                return Result::Refused;
            case Phase::Done:
                return Result::Complete;
            case Phase::Head: {
                const size_t lineLimit = _limits.maxLineBytes;
                const size_t newline = bytes.find('\n', _lineScan);
                const size_t lineEnd = newline == std::string_view::npos ? bytes.size() : newline + 1;
                if (lineEnd - _pos > lineLimit) {
                    return _requestLine ? refuse(414, "the request line is longer than " + std::to_string(lineLimit) + " bytes")
                                        : refuse(431, "a header line is longer than " + std::to_string(lineLimit) + " bytes");
                }
                if (lineEnd > _limits.maxHeadBytes) {
                    return refuse(431, "the request head is longer than " + std::to_string(_limits.maxHeadBytes) + " bytes");
                }
                if (newline == std::string_view::npos) {
                    _lineScan = bytes.size();
                    return Result::NeedMore;
                }
                const size_t begin = _pos;
                _pos = _lineScan = lineEnd;
                if (headLine(bytes.substr(begin, lineEnd - begin), begin) == Result::Refused) {
                    return Result::Refused;
                }
                break;
            }
            case Phase::Body:
                if (bytes.size() - _headEnd < _contentLength) {
                    return Result::NeedMore;
                }
                _pos = _headEnd + _contentLength;
                _phase = Phase::Done;
                break;
            case Phase::ChunkLine:
            case Phase::LastLine: {
                const size_t newline = bytes.find('\n', _lineScan);
                const size_t lineEnd = newline == std::string_view::npos ? bytes.size() : newline + 1;
                if (lineEnd - _pos > _limits.maxChunkLineBytes) {
                    return refuse(400, "a chunk-size line is longer than " + std::to_string(_limits.maxChunkLineBytes) +
                                           " bytes");
                }
                if (newline == std::string_view::npos) {
                    _lineScan = bytes.size();
                    return Result::NeedMore;
                }
                const std::string_view line = bytes.substr(_pos, lineEnd - _pos);
                _pos = _lineScan = lineEnd;
                _framing += line.size();
                if (_framing > _limits.maxFramingBytes) {
                    return refuse(413, "the chunked body's framing is longer than " +
                                           std::to_string(_limits.maxFramingBytes) + " bytes");
                }
                if (_phase == Phase::LastLine) {
                    if (line != "\r\n") {
                        return refuse(400, "chunk trailers are not accepted");
                    }
                    _phase = Phase::Done;
                } else if (chunkLine(line) == Result::Refused) {
                    return Result::Refused;
                }
                break;
            }
            case Phase::ChunkData:
                if (bytes.size() - _pos < _chunkLeft + 2) {
                    return Result::NeedMore;
                }
                if (bytes.substr(_pos + _chunkLeft, 2) != "\r\n") {
                    return refuse(400, "a chunk does not end in CR LF");
                }
                _pos += _chunkLeft + 2;
                _lineScan = _pos;
                _framing += 2;
                _chunkLeft = 0;
                _phase = Phase::ChunkLine;
                break;
        }
    }
}

RequestFramer::Result RequestFramer::headLine(std::string_view line, size_t begin) {
    if (!endsInCrLf(line)) {
        return refuse(400, "a line of the request head does not end in CR LF");
    }
    const std::string_view text = line.substr(0, line.size() - 2);
    for (char c : text) {
        if (isControl(static_cast<unsigned char>(c))) {
            return refuse(400, "the request head holds a control byte");
        }
    }
    if (_requestLine) {
        _requestLine = false;
        const size_t first = text.find(' ');
        const size_t second = first == std::string_view::npos ? first : text.find(' ', first + 1);
        if (second == std::string_view::npos || first == 0 || second == first + 1) {
            return refuse(400, "the request line is not METHOD TARGET VERSION");
        }
        _method = text.substr(0, first);
        _target = text.substr(first + 1, second - first - 1);
        return Result::NeedMore;
    }
    if (text.empty()) {
        return endOfHead();
    }
    if (isBlank(text.front())) {
        return refuse(400, "folded header lines are not accepted");
    }
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0) {
        return refuse(400, "a header line has no name");
    }
    const std::string_view name = text.substr(0, colon);
    if (name.find_first_of(" \t") != std::string_view::npos) {
        return refuse(400, "a header name holds a blank");
    }
    const std::string_view value = trimmed(text.substr(colon + 1));
    if (sameWord(name, "Content-Length")) {
        if (_hasLength) {
            return refuse(400, "the request has two Content-Length headers");
        }
        if (value.empty() || value.size() > 18 ||
            value.find_first_not_of("0123456789") != std::string_view::npos) {
            return refuse(400, "Content-Length is not a number");
        }
        _hasLength = true;
        _contentLength = std::stoull(std::string(value));
    } else if (sameWord(name, "Transfer-Encoding")) {
        if (_chunked) {
            return refuse(400, "the request has two Transfer-Encoding headers");
        }
        if (!sameWord(value, "chunked")) {
            return refuse(501, "only the chunked transfer coding is understood");
        }
        _chunked = true;
    } else if (sameWord(name, "Content-Encoding")) {
        if (!sameWord(value, "identity")) {
            return refuse(415, "compressed request bodies are not accepted");
        }
    } else if (sameWord(name, "Expect")) {
        _expectLines.emplace_back(begin, begin + line.size());
        _expectContinue = _expectContinue || sameWord(value, "100-continue");
    }
    return Result::NeedMore;
}

RequestFramer::Result RequestFramer::endOfHead() {
    _headEnd = _pos;
    if (_chunked && _hasLength) {
        return refuse(400, "the request has both Content-Length and chunked framing");
    }
    if (_chunked) {
        _phase = Phase::ChunkLine;
        return Result::NeedMore;
    }
    if (_contentLength > _limits.maxBodyBytes) {
        return refuse(413, "the body is larger than " + std::to_string(_limits.maxBodyBytes) + " bytes");
    }
    _expectContinue = _expectContinue && _contentLength > 0;
    _phase = Phase::Body;
    return Result::NeedMore;
}

RequestFramer::Result RequestFramer::chunkLine(std::string_view line) {
    if (!endsInCrLf(line)) {
        return refuse(400, "a chunk-size line does not end in CR LF");
    }
    const std::string_view text = line.substr(0, line.size() - 2);
    size_t size = 0;
    size_t i = 0;
    for (; i < text.size() && vorpane::hexDigitValue(text[i]) >= 0; ++i) {
        size = size * 16 + static_cast<size_t>(vorpane::hexDigitValue(text[i]));
        if (size > _limits.maxBodyBytes) {
            return refuse(413, "the body is larger than " + std::to_string(_limits.maxBodyBytes) + " bytes");
        }
    }
    if (i == 0) {
        return refuse(400, "a chunk size is not a hexadecimal number");
    }
    const std::string_view rest = trimmed(text.substr(i));
    if (!rest.empty() && rest.front() != ';') {
        return refuse(400, "a chunk size is not a hexadecimal number");
    }
    for (char c : rest) {
        if (isControl(static_cast<unsigned char>(c))) {
            return refuse(400, "a chunk-size line holds a control byte");
        }
    }
    if (_data + size > _limits.maxBodyBytes) {
        return refuse(413, "the body is larger than " + std::to_string(_limits.maxBodyBytes) + " bytes");
    }
    if (size == 0) {
        _phase = Phase::LastLine;
        return Result::NeedMore;
    }
    _data += size;
    _chunkLeft = size;
    _phase = Phase::ChunkData;
    return Result::NeedMore;
}

}  // namespace vorpane::api

// ipcStreamBuffer: cutting one connection's byte stream into messages.
#include "hub/ipc_stream_buffer.h"

#include <algorithm>
#include <cstring>

#include "interfaces/dch_protocol.h"

namespace {

// The first allocation: several requests of a pipelining provider fit in one receive.
constexpr std::size_t kInitialSize = 16 * 1024;
// Kept once a large message has been taken; a larger buffer is given back.
constexpr std::size_t kKeptSize = 64 * 1024;

}  // namespace

ipcStreamBuffer::ipcStreamBuffer(uint32_t maxMessage) : _maxMessage(maxMessage) {}

char* ipcStreamBuffer::reserve(std::size_t minRoom) {
    if (room() < minRoom && _start > 0) {
        compact();
    }
    if (room() < minRoom) {
        // Doubling: only bytes that arrived make it grow, and a large message is moved O(log n) times.
        _bytes.resize(std::max({_bytes.size() * 2, _end + minRoom, kInitialSize}));
    }
    return _bytes.data() + _end;
}

void ipcStreamBuffer::commit(std::size_t n) {
    _end += std::min(n, room());
    if (_skip > 0) {
        const std::size_t drop = std::min<std::size_t>(_skip, pending());
        _start += drop;
        _skip -= static_cast<uint32_t>(drop);
    }
    if (_start == _end) {
        _start = _end = 0;
    }
}

ipcStreamBuffer::Front ipcStreamBuffer::front(const char** data, uint32_t* length) const {
    if (pending() == 0) {
        return Front::empty;
    }
    if (pending() < DCH_FRAME_HEADER) {
        return Front::incomplete;
    }
    const uint32_t total = vorpane::dch::totalLength(_bytes.data() + _start);
    if (total < DCH_FRAME_HEADER || total > _maxMessage) {
        *length = total;
        return Front::badLength;
    }
    if (pending() < total) {
        return Front::incomplete;
    }
    *data = _bytes.data() + _start;
    *length = total;
    return Front::message;
}

void ipcStreamBuffer::pop() {
    const char* data = nullptr;
    uint32_t length = 0;
    if (front(&data, &length) != Front::message) {
        return;
    }
    _start += length;
    if (_start == _end) {
        _start = _end = 0;
        if (_bytes.size() > kKeptSize) {
            std::vector<char>().swap(_bytes);
        }
    }
}

ipcStreamBuffer::Front ipcStreamBuffer::frontRun(const char** data, uint32_t* length, uint32_t* count,
                                                  uint32_t limit) const {
    const Front first = front(data, length);
    if (first != Front::message) {
        return first;
    }
    *count = 1;
    std::size_t at = _start + *length;
    while (_end - at >= DCH_FRAME_HEADER) {
        const uint32_t next = vorpane::dch::totalLength(_bytes.data() + at);
        if (next < DCH_FRAME_HEADER || next > _maxMessage || _end - at < next || *length + next > limit) {
            break;
        }
        *length += next;
        ++*count;
        at += next;
    }
    return Front::message;
}

void ipcStreamBuffer::popRun(uint32_t length) {
    _start += std::min<std::size_t>(length, pending());
    if (_start == _end) {
        _start = _end = 0;
        if (_bytes.size() > kKeptSize) {
            std::vector<char>().swap(_bytes);
        }
    }
}

uint32_t ipcStreamBuffer::expected() const {
    return pending() >= DCH_FRAME_HEADER ? vorpane::dch::totalLength(_bytes.data() + _start) : 0;
}

void ipcStreamBuffer::abandon() {
    const uint32_t total = expected();
    _skip = total > pending() ? total - static_cast<uint32_t>(pending()) : 0;
    _start = _end = 0;
}

void ipcStreamBuffer::clear() {
    std::vector<char>().swap(_bytes);
    _start = _end = 0;
    _skip = 0;
}

void ipcStreamBuffer::compact() {
    std::memmove(_bytes.data(), _bytes.data() + _start, pending());
    _end -= _start;
    _start = 0;
}

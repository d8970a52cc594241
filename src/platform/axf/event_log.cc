#include "platform/axf/event_log.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "interfaces/support.h"

namespace axf::detail {

void EventLog::load() {
    if (_loaded) {
        return;
    }
    _loaded = true;
    _seq = 0;
    const std::string path = ZOT0_ConstructFullyQualifiedName(nullptr, kEventSequenceFile);
    FILE* in = std::fopen(path.c_str(), "r");
    if (in == nullptr) {
        if (errno != ENOENT) {
            VA_ERROR("Error: cannot read the event sequence <%s>: %s; events are numbered from 1\n", path.c_str(),
                     std::strerror(errno));
        }
        _reserved = 0;
        return;
    }
    char text[32] = {0};
    const bool read = std::fgets(text, sizeof text, in) != nullptr;
    std::fclose(in);
    char* end = nullptr;
    errno = 0;
    const unsigned long long mark = read ? std::strtoull(text, &end, 10) : 0;
    if (!read || end == text || (*end != '\n' && *end != '\0') || errno != 0) {
        VA_ERROR("Error: <%s> does not hold an event sequence number; events are numbered from 1\n", path.c_str());
    } else {
        _seq = mark;
        VA_STATE("Events are numbered after %llu, the mark of the previous run\n", mark);
    }
    _reserved = _seq;
}

void EventLog::reserve() {
    _reserved = _seq + kEventSequenceBlock;
    const std::string path = ZOT0_ConstructFullyQualifiedName(nullptr, kEventSequenceFile);
    std::string error;
    if (!vorpane::writeFileWhole(path, std::to_string(_reserved) + "\n", &error)) {
        VA_ERROR("Error: cannot keep the event sequence in <%s>: %s; a restarted agent may number events again "
                 "from %llu\n",
                 path.c_str(), error.c_str(), static_cast<unsigned long long>(_seq + 1));
    }
}

void EventLog::publish(Event e) {
    vorpane::ScopedLock g(_lock);
    load();
    if (_seq >= _reserved) {
        reserve();
    }
    e.seq = ++_seq;
    e.time = vorpane::clock::nowSeconds();
    if (_events.size() >= kEventsKept) {
        _events.pop_front();
    }
    _events.push_back(std::move(e));
    _cond.broadcast();
}

EventBatch EventLog::after(uint64_t afterSeq, double waitSeconds, size_t maxEvents) {
    vorpane::ScopedLock g(_lock);
    load();
    ++_readers;
    _cond.broadcast();  // for waitForReaders
    _cond.waitUntil(_lock, std::clamp(waitSeconds, 0.0, kMaxEventWait),
                    [&]() VA_REQUIRES(_lock) { return _seq > afterSeq || _stopped; });
    --_readers;
    EventBatch b;
    b.lastSeq = _seq;
    if (_events.empty() || afterSeq >= _seq) {
        return b;
    }
    const uint64_t first = _events.front().seq;
    const size_t start = afterSeq < first ? 0 : static_cast<size_t>(afterSeq - first + 1);
    for (size_t i = start; i < _events.size() && b.events.size() < maxEvents; ++i) {
        b.events.push_back(_events[i]);
    }
    return b;
}

void EventLog::stop() {
    vorpane::ScopedLock g(_lock);
    _stopped = true;
    _cond.broadcast();
}

void EventLog::reset() {
    vorpane::ScopedLock g(_lock);
    _stopped = false;
    _loaded = false;
    _seq = 0;
    _reserved = 0;
    _events.clear();
}

bool EventLog::waitForReaders(size_t n, double realSeconds) {
    vorpane::ScopedLock g(_lock);
    return _cond.waitUntil(_lock, realSeconds * vorpane::clock::speedup(),
                           [&]() VA_REQUIRES(_lock) { return _readers >= n; });
}

}  // namespace axf::detail

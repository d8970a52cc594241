// Inside the framework: the events of situations, numbered and kept for readers.
//
// Sequence numbers grow by 1 with every event and keep growing across restarts of the agent: the
// highest number the agent may hand out is kept in the work directory (kEventSequenceFile, written
// whole), reserved kEventSequenceBlock numbers ahead, so that the file is written once per block and
// a process killed at any moment never hands out a number twice. A restarted agent continues above
// the reserved mark of its predecessor (readers see a gap there, as when they fall behind). When the
// file cannot be written, numbering goes on (traced once per block) without that promise.
//
// Threads. Its own lock, never taken with the engine's held; nothing is called with it held but the
// file write of a new block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "interfaces/axf_facade.h"
#include "interfaces/sync.h"

namespace axf::detail {

inline constexpr const char* kEventSequenceFile = "axf-events.seq";
inline constexpr uint64_t kEventSequenceBlock = 10000;
inline constexpr double kMaxEventWait = 60.0;

class EventLog {
public:
    // Numbers and stamps the event and keeps it (the oldest goes past kEventsKept).
    void publish(Event e);
    // Events with seq > afterSeq, at most maxEvents; when the caller has every event, waits up to
    // waitSeconds (clock seconds, at most kMaxEventWait) for one.
    EventBatch after(uint64_t afterSeq, double waitSeconds, size_t maxEvents);
    // Readers stop waiting, now and from now on.
    void stop();
    // Forgets the events and the loaded sequence, as a new process would (tests).
    void reset();
    // Waits until n readers wait in after(), at most realSeconds of real time (tests).
    bool waitForReaders(size_t n, double realSeconds);

private:
    // The sequence as the work directory left it, read at first use.
    void load() VA_REQUIRES(_lock);
    // Reserves the next block of numbers in the file, before the first of them goes out.
    void reserve() VA_REQUIRES(_lock);

    vorpane::Mutex _lock;
    vorpane::CondVar _cond;
    bool _loaded VA_GUARDED_BY(_lock) = false;
    bool _stopped VA_GUARDED_BY(_lock) = false;
    uint64_t _seq VA_GUARDED_BY(_lock) = 0;  // the last number handed out
    uint64_t _reserved VA_GUARDED_BY(_lock) = 0;  // numbers up to this one are reserved in the file
    std::deque<Event> _events VA_GUARDED_BY(_lock);
    size_t _readers VA_GUARDED_BY(_lock) = 0;
};

}  // namespace axf::detail

// Captures trace lines for assertions. Installs itself as the trace hook and widens the trace mask
// for its lifetime; waitFor() blocks on a condition until a matching line arrives or the deadline.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "interfaces/trace.h"

namespace vorpane::testing {

class TraceCapture {
public:
    explicit TraceCapture(unsigned mask = trace::kAll);
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    std::vector<std::string> lines() const;
    // Lines that contain text.
    int count(std::string_view text) const;
    bool contains(std::string_view text) const { return count(text) > 0; }
    // Index of the first line containing text, or -1.
    int indexOf(std::string_view text) const;
    bool waitFor(std::string_view text, std::chrono::milliseconds deadline = std::chrono::seconds(10)) const;
    // Until n lines contain text.
    bool waitForCount(std::string_view text, int n,
                      std::chrono::milliseconds deadline = std::chrono::seconds(10)) const;
    void clear();

private:
    unsigned _oldMask;
    mutable std::mutex _lock;
    mutable std::condition_variable _cond;
    std::vector<std::string> _lines;
};

}  // namespace vorpane::testing

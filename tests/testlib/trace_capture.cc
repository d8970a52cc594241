#include "testlib/trace_capture.h"

namespace vorpane::testing {

TraceCapture::TraceCapture(unsigned mask) : _oldMask(trace::mask()) {
    trace::setMask(mask);
    trace::setCaptureHook([this](unsigned, std::string_view, std::string_view text) {
        {
            std::lock_guard<std::mutex> g(_lock);
            _lines.emplace_back(text);
        }
        _cond.notify_all();
    });
}

TraceCapture::~TraceCapture() {
    trace::setCaptureHook(nullptr);
    trace::setMask(_oldMask);
}

std::vector<std::string> TraceCapture::lines() const {
    std::lock_guard<std::mutex> g(_lock);
    return _lines;
}

int TraceCapture::count(std::string_view text) const {
    std::lock_guard<std::mutex> g(_lock);
    int n = 0;
    for (const std::string& l : _lines) {
        if (l.find(text) != std::string::npos) {
            ++n;
        }
    }
    return n;
}

int TraceCapture::indexOf(std::string_view text) const {
    std::lock_guard<std::mutex> g(_lock);
    for (size_t i = 0; i < _lines.size(); ++i) {
        if (_lines[i].find(text) != std::string::npos) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool TraceCapture::waitFor(std::string_view text, std::chrono::milliseconds deadline) const {
    return waitForCount(text, 1, deadline);
}

bool TraceCapture::waitForCount(std::string_view text, int n, std::chrono::milliseconds deadline) const {
    std::unique_lock<std::mutex> g(_lock);
    return _cond.wait_for(g, deadline, [&] {
        int found = 0;
        for (const std::string& l : _lines) {
            if (l.find(text) != std::string::npos && ++found >= n) {
                return true;
            }
        }
        return false;
    });
}

void TraceCapture::clear() {
    std::lock_guard<std::mutex> g(_lock);
    _lines.clear();
}

}  // namespace vorpane::testing

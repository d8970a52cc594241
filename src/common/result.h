// Results, not exceptions: operations return 0 for success and small codes for failure.
// StickyError is the 16-bit status field that objects keep: the first failure sticks, and every later
// step that tests it does nothing.
#pragma once

#include <cstdint>

namespace vorpane {

class StickyError {
public:
    // Records code when no error is recorded yet; returns true when this call recorded it, so the
    // caller traces the failure once.
    bool set(int16_t code) {
        if (_code != 0 || code == 0) {
            return false;
        }
        _code = code;
        return true;
    }
    void clear() { _code = 0; }
    int16_t code() const { return _code; }
    explicit operator bool() const { return _code != 0; }

private:
    int16_t _code = 0;
};

}  // namespace vorpane

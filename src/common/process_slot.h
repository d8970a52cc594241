// A value that threads read and replace under one lock and that lives as long as the process: made at
// its first use and never destroyed, because detached threads (probe and collection threads,
// framework workers) may still reach it while exit() runs the destructors of ordinary globals.
#pragma once

#include <utility>

#include "interfaces/sync.h"

namespace vorpane {

template <typename T>
class ProcessSlot {
public:
    // Each call site that declares `static ProcessSlot<T>& s = ProcessSlot<T>::make();` owns one slot.
    static ProcessSlot& make() { return *new ProcessSlot(); }

    T get() {
        ScopedLock g(_lock);
        return _value;
    }
    void set(T value) {
        ScopedLock g(_lock);
        _value = std::move(value);
    }

private:
    ProcessSlot() = default;

    Mutex _lock;
    T _value VA_GUARDED_BY(_lock);
};

}  // namespace vorpane

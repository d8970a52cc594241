// One environment key set (or unset) for a scope, and put back afterwards.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

#include "interfaces/support.h"

namespace vorpane::testing {

// Sets (or, with nothing, unsets) one environment key and puts the old value back at the end.
class ScopedEnv {
  public:
    ScopedEnv(const char* key, std::optional<std::string> value) : _key(key) {
        if (const char* old = BSS1_GetEnv(key); old != nullptr) {
            _old = old;
        }
        set(value);
    }
    ~ScopedEnv() { set(_old); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    void set(const std::optional<std::string>& value) {
        BSS1_SetEnv(_key.c_str(), nullptr);  // a value the process set for itself would hide this one
        if (value) {
            setenv(_key.c_str(), value->c_str(), 1);
        } else {
            unsetenv(_key.c_str());
        }
    }
    std::string _key;
    std::optional<std::string> _old;
};

}  // namespace vorpane::testing

#include "interfaces/sync.h"

namespace vorpane::testing {

// Runs the clock `factor` times faster for a scope: every sleep and time-out of the system shrinks.
class ScopedSpeedup {
public:
    explicit ScopedSpeedup(double factor) { clock::setSpeedup(factor); }
    ~ScopedSpeedup() { clock::setSpeedup(1); }
    ScopedSpeedup(const ScopedSpeedup&) = delete;
    ScopedSpeedup& operator=(const ScopedSpeedup&) = delete;
};

}  // namespace vorpane::testing

// The units an attribute may declare (unit=NAME in a description, UNIT{NAME} in its registered format
// text). The list is closed so that every view can convert and label a value without guessing;
// docs/vorpane-dp.md lists it for provider authors.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace vorpane {

inline constexpr std::array<std::string_view, 16> kUnitNames{
    "bytes",   "KiB",          "MiB",          "GiB",         "KB",    "MB",      "GB",
    "percent", "ratio",        "seconds",      "milliseconds", "microseconds", "nanoseconds", "hertz",
    "celsius", "bytes_per_second"};

// True for one of kUnitNames, spelled exactly so.
inline bool knownUnit(std::string_view name) {
    for (std::string_view u : kUnitNames) {
        if (u == name) {
            return true;
        }
    }
    return false;
}

// "bytes, KiB, ...": the accepted names for a refusal.
inline std::string unitNameList() {
    std::string out;
    for (std::string_view u : kUnitNames) {
        out += out.empty() ? "" : ", ";
        out += u;
    }
    return out;
}

}  // namespace vorpane

// Comparing texts that came back through the framework, which hands text columns back without their
// trailing blanks.
#pragma once

#include <string>

namespace vorpane::testing {

// text with the blanks before each line feed removed.
inline std::string withoutTrailingBlanks(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\n') {
            while (!out.empty() && out.back() == ' ') {
                out.pop_back();
            }
        }
        out += c;
    }
    return out;
}

}  // namespace vorpane::testing

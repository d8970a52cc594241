// libFuzzer target for the FILE and SOCK patterns: the input is a pattern, a newline and a subject
// text. A pattern compiles within its bounds or is refused with a reason, and a search reports
// groups that lie inside the subject.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "providers/pattern_matcher.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using vorpane::providers::PatternMatcher;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t nl = input.find('\n');
    const std::string_view pattern = input.substr(0, nl);
    const std::string_view subject = nl == std::string_view::npos ? std::string_view() : input.substr(nl + 1);
    PatternMatcher m;
    std::string reason;
    if (!PatternMatcher::compile(pattern, &m, &reason)) {
        if (reason.empty()) {
            std::abort();
        }
        return 0;
    }
    if (m.programSize() > PatternMatcher::kMaxProgram || m.groupNames().size() > PatternMatcher::kMaxGroups) {
        std::abort();
    }
    std::vector<PatternMatcher::Span> groups;
    if (m.search(subject, &groups)) {
        if (groups.size() != m.groupNames().size()) {
            std::abort();
        }
        for (const PatternMatcher::Span& g : groups) {
            if (g.matched() && (g.begin > g.end || g.end > subject.size())) {
                std::abort();
            }
        }
    }
    return 0;
}

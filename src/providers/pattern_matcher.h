// The regular expressions of the providers (HTTP match=, FILE format=regex): ECMAScript syntax
// without back-references and look-around, searched by a Pike virtual machine. The matcher keeps
// at most one thread per compiled step and walks the text once, so neither its stack nor its time
// depends on the text beyond one pass: a page of any length cannot exhaust a provider thread's
// stack, and no pattern takes exponential time. The bounds are those of the pattern (kMax*).
//
// Threads: a compiled matcher is immutable; search may run on several threads at once.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vorpane::providers {

class PatternMatcher {
  public:
    static constexpr size_t kMaxPattern = 1000;  // characters of a pattern
    static constexpr size_t kMaxProgram = 2000;  // compiled steps, counted repetitions written out
    static constexpr int kMaxNesting = 32;       // groups within groups
    static constexpr size_t kMaxGroups = 32;     // capturing groups

    // Where a capturing group matched, as offsets into the text; npos when it took no part.
    struct Span {
        size_t begin = std::string_view::npos;
        size_t end = std::string_view::npos;
        bool matched() const { return begin != std::string_view::npos; }
    };

    // Compiles a pattern. False with a reason for a syntax error, an unsupported construct or a
    // pattern beyond the bounds.
    static bool compile(std::string_view pattern, PatternMatcher* out, std::string* reason);

    // The leftmost match in text, with ECMAScript's preferences (greedy or lazy repetition, the
    // first alternative that matches). groups, when given, gets one span per capturing group.
    bool search(std::string_view text, std::vector<Span>* groups = nullptr) const;

    // Names of the capturing groups by number - 1: "Name" for (?<Name>...), empty for (...).
    const std::vector<std::string>& groupNames() const { return _names; }
    size_t programSize() const { return _program.size(); }

  private:
    enum Op : uint8_t { kClass, kSplit, kJump, kSave, kBegin, kEnd, kWordBoundary, kNotWordBoundary, kMatch };
    struct Instruction {
        Op op;
        uint32_t x = 0;  // kClass: the class; kSplit, kJump: the preferred target; kSave: the slot
        uint32_t y = 0;  // kSplit: the other target
    };
    friend class PatternCompiler;

    // The bytes a match can begin with, and whether every match begins with one (false when the
    // pattern can match the empty text): the search skips ahead to such a byte while no thread runs.
    // And whether every match begins at the start of the text ("^..."): then only one start is tried.
    void findFirstBytes();

    std::vector<Instruction> _program;
    std::vector<std::bitset<256>> _classes;  // the bytes each kClass step takes
    std::vector<std::string> _names;
    std::bitset<256> _firstBytes;
    bool _skipToFirstByte = false;
    bool _anchored = false;
};

}  // namespace vorpane::providers

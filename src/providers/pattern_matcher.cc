#include "providers/pattern_matcher.h"

#include <algorithm>
#include <cctype>
#include <memory>

#include "common/hex_digit.h"

namespace vorpane::providers {

namespace {

using ByteSet = std::bitset<256>;

ByteSet rangeSet(unsigned char from, unsigned char to) {
    ByteSet s;
    for (unsigned c = from; c <= to; ++c) {
        s.set(c);
    }
    return s;
}

const ByteSet& digits() {
    static const ByteSet s = rangeSet('0', '9');
    return s;
}

const ByteSet& wordBytes() {
    static const ByteSet s = rangeSet('a', 'z') | rangeSet('A', 'Z') | digits() | rangeSet('_', '_');
    return s;
}

const ByteSet& spaces() {
    static const ByteSet s = rangeSet('\t', '\r') | rangeSet(' ', ' ');
    return s;
}

// "." takes every byte but the line ends.
const ByteSet& anyButLineEnd() {
    static const ByteSet s = ~(rangeSet('\n', '\n') | rangeSet('\r', '\r'));
    return s;
}

bool isWordByte(std::string_view text, size_t at) {
    return at < text.size() && wordBytes().test(static_cast<unsigned char>(text[at]));
}

// The parsed pattern. Its depth is bounded by the nesting of groups, which compile bounds.
struct Node {
    enum Kind { kEmpty, kClass, kAssert, kGroup, kConcat, kAlternation, kRepeat };
    Kind kind = kEmpty;
    uint32_t value = 0;  // kClass: the class; kAssert: the step; kGroup: the group's number (0: no capture)
    int min = 0;         // kRepeat
    int max = 0;         // kRepeat; -1: no upper bound
    bool greedy = true;  // kRepeat
    std::vector<Node> children;
};

}  // namespace

// Parses a pattern into nodes and writes the nodes out as the matcher's program.
class PatternCompiler {
  public:
    PatternCompiler(std::string_view pattern, PatternMatcher* out) : _pattern(pattern), _out(out) {}

    bool run(std::string* reason) {
        if (_pattern.size() > PatternMatcher::kMaxPattern) {
            *reason = "the pattern has " + std::to_string(_pattern.size()) + " characters, more than " +
                      std::to_string(PatternMatcher::kMaxPattern);
            return false;
        }
        Node root;
        if (!alternation(&root, 0)) {
            *reason = _reason;
            return false;
        }
        if (_at < _pattern.size()) {  // only a ")" stops the outermost alternation early
            *reason = "unmatched ')' at character " + std::to_string(_at + 1);
            return false;
        }
        const size_t steps = size(root) + 3;  // the whole match's two saves and the final match
        if (steps > PatternMatcher::kMaxProgram) {
            *reason = "the pattern compiles to more than " + std::to_string(PatternMatcher::kMaxProgram) +
                      " steps (counted repetitions are written out)";
            return false;
        }
        _out->_program.reserve(steps);
        emit({PatternMatcher::kSave, 0, 0});
        write(root);
        emit({PatternMatcher::kSave, 1, 0});
        emit({PatternMatcher::kMatch, 0, 0});
        return true;
    }

  private:
    using Instruction = PatternMatcher::Instruction;

    bool fail(const std::string& what) {
        _reason = what + " at character " + std::to_string(std::min(_at, _pattern.size()) + 1);
        return false;
    }
    bool atEnd() const { return _at >= _pattern.size(); }
    char peek(size_t ahead = 0) const { return _at + ahead < _pattern.size() ? _pattern[_at + ahead] : '\0'; }

    uint32_t addClass(const ByteSet& set) {
        _out->_classes.push_back(set);
        return static_cast<uint32_t>(_out->_classes.size() - 1);
    }
    static Node classNode(uint32_t index) {
        Node n;
        n.kind = Node::kClass;
        n.value = index;
        return n;
    }

    // alternation := sequence ('|' sequence)*
    bool alternation(Node* out, int depth) {
        Node alt;
        alt.kind = Node::kAlternation;
        for (;;) {
            Node seq;
            if (!sequence(&seq, depth)) {
                return false;
            }
            alt.children.push_back(std::move(seq));
            if (peek() != '|' || atEnd()) {
                break;
            }
            ++_at;
        }
        *out = alt.children.size() == 1 ? std::move(alt.children[0]) : std::move(alt);
        return true;
    }

    // sequence := (atom quantifier?)*, up to "|", ")" or the end
    bool sequence(Node* out, int depth) {
        out->kind = Node::kConcat;
        while (!atEnd() && peek() != '|' && peek() != ')') {
            Node atomNode;
            bool repeatable = true;
            if (!atom(&atomNode, depth, &repeatable)) {
                return false;
            }
            if (!quantifier(&atomNode, repeatable)) {
                return false;
            }
            out->children.push_back(std::move(atomNode));
        }
        return true;
    }

    bool quantifier(Node* target, bool repeatable) {
        int min = 0;
        int max = 0;
        const size_t start = _at;
        const char c = peek();
        if (c == '*' || c == '+' || c == '?') {
            min = c == '+' ? 1 : 0;
            max = c == '?' ? 1 : -1;
            ++_at;
        } else if (c == '{') {
            if (!counted(&min, &max)) {
                return false;
            }
        } else {
            return true;
        }
        if (!repeatable) {
            _at = start;
            return fail("nothing to repeat");
        }
        Node repeat;
        repeat.kind = Node::kRepeat;
        repeat.min = min;
        repeat.max = max;
        if (peek() == '?' && !atEnd()) {
            repeat.greedy = false;
            ++_at;
        }
        repeat.children.push_back(std::move(*target));
        *target = std::move(repeat);
        const char next = peek();
        if (!atEnd() && (next == '*' || next == '+' || next == '?' || next == '{')) {
            return fail("nothing to repeat");
        }
        return true;
    }

    // {n}, {n,} or {n,m}; the counts are capped so that they cannot overflow (the program's bound
    // refuses large ones anyway).
    bool counted(int* min, int* max) {
        auto number = [this](int* n) {
            if (!std::isdigit(static_cast<unsigned char>(peek()))) {
                return false;
            }
            *n = 0;
            while (std::isdigit(static_cast<unsigned char>(peek())) && !atEnd()) {
                *n = std::min(*n * 10 + (peek() - '0'), 100000);
                ++_at;
            }
            return true;
        };
        const size_t start = _at;
        ++_at;  // "{"
        bool ok = number(min);
        *max = *min;
        if (ok && peek() == ',') {
            ++_at;
            *max = -1;
            if (peek() != '}') {
                ok = number(max);
            }
        }
        if (!ok || peek() != '}' || atEnd()) {
            _at = start;
            return fail("'{' is not a repetition {n}, {n,} or {n,m}");
        }
        ++_at;
        if (*max != -1 && *max < *min) {
            _at = start;
            return fail("repetition {n,m} with m below n");
        }
        return true;
    }

    bool atom(Node* out, int depth, bool* repeatable) {
        const char c = peek();
        switch (c) {
            case '(': return group(out, depth);
            case '[': return bracket(out);
            case '.':
                ++_at;
                *out = classNode(addClass(anyButLineEnd()));
                return true;
            case '^':
            case '$':
                ++_at;
                out->kind = Node::kAssert;
                out->value = c == '^' ? PatternMatcher::kBegin : PatternMatcher::kEnd;
                *repeatable = false;
                return true;
            case '*':
            case '+':
            case '?': return fail("nothing to repeat");
            case '{': return fail("nothing to repeat");
            case '\\': return escape(out, repeatable);
            default:
                ++_at;
                *out = classNode(addClass(rangeSet(static_cast<unsigned char>(c), static_cast<unsigned char>(c))));
                return true;
        }
    }

    bool group(Node* out, int depth) {
        if (depth >= PatternMatcher::kMaxNesting) {
            return fail("groups nested deeper than " + std::to_string(PatternMatcher::kMaxNesting));
        }
        ++_at;  // "("
        out->kind = Node::kGroup;
        bool capture = true;
        std::string name;
        if (peek() == '?') {
            const char kind = peek(1);
            if (kind == ':') {
                capture = false;
                _at += 2;
            } else if (kind == '=' || kind == '!' || (kind == '<' && (peek(2) == '=' || peek(2) == '!'))) {
                return fail("look-ahead and look-behind are not supported");
            } else if (kind == '<') {
                _at += 2;
                while (!atEnd() && (std::isalnum(static_cast<unsigned char>(peek())) || peek() == '_')) {
                    name += peek();
                    ++_at;
                }
                if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0])) || peek() != '>' || atEnd()) {
                    return fail("a group name is (?<Name>...) with a name of letters, digits and _");
                }
                if (std::find(_out->_names.begin(), _out->_names.end(), name) != _out->_names.end()) {
                    return fail("group name " + name + " used twice");
                }
                ++_at;
            } else {
                return fail("unknown group kind (?" + std::string(1, kind));
            }
        }
        if (capture) {
            if (_out->_names.size() >= PatternMatcher::kMaxGroups) {
                return fail("more than " + std::to_string(PatternMatcher::kMaxGroups) + " capturing groups");
            }
            _out->_names.push_back(name);
            out->value = static_cast<uint32_t>(_out->_names.size());
        }
        Node inner;
        if (!alternation(&inner, depth + 1)) {
            return false;
        }
        if (peek() != ')' || atEnd()) {
            return fail("'(' without ')'");
        }
        ++_at;
        out->children.push_back(std::move(inner));
        return true;
    }

    // One character of an escape that stands for a character: \t \n \v \f \r \0 \xHH \uHHHH \cX or
    // a punctuation character itself. _at is just after the backslash. False when it is none.
    bool escapedCharacter(unsigned char* byte) {
        const char c = peek();
        auto hex = [this, byte](size_t digitsWanted) {
            int value = 0;
            for (size_t i = 1; i <= digitsWanted; ++i) {
                const int d = vorpane::hexDigitValue(peek(i));
                if (d < 0 || _at + i >= _pattern.size()) {
                    return fail("\\x needs two and \\u four hexadecimal digits");
                }
                value = value * 16 + d;
            }
            if (value > 0xFF) {
                return fail("\\u beyond \\u00FF: the text is matched byte by byte");
            }
            _at += digitsWanted + 1;
            *byte = static_cast<unsigned char>(value);
            return true;
        };
        switch (c) {
            case 't': *byte = '\t'; break;
            case 'n': *byte = '\n'; break;
            case 'v': *byte = '\v'; break;
            case 'f': *byte = '\f'; break;
            case 'r': *byte = '\r'; break;
            case '0':
                if (std::isdigit(static_cast<unsigned char>(peek(1)))) {
                    return fail("back-references are not supported");
                }
                *byte = '\0';
                break;
            case 'x': return hex(2);
            case 'u': return hex(4);
            case 'c':
                if (!std::isalpha(static_cast<unsigned char>(peek(1)))) {
                    return fail("\\c needs a letter");
                }
                *byte = static_cast<unsigned char>(peek(1) % 32);
                _at += 2;
                return true;
            default:
                if (atEnd()) {
                    return fail("a pattern cannot end with '\\'");
                }
                if (std::isalnum(static_cast<unsigned char>(c))) {
                    return fail(std::isdigit(static_cast<unsigned char>(c)) ? "back-references are not supported"
                                                                            : "unknown escape \\" + std::string(1, c));
                }
                *byte = static_cast<unsigned char>(c);
                break;
        }
        ++_at;
        return true;
    }

    // \d \D \w \W \s \S: true with the set, _at after it; false (nothing read) for other escapes.
    bool escapedSet(ByteSet* set) {
        switch (peek()) {
            case 'd': *set = digits(); break;
            case 'D': *set = ~digits(); break;
            case 'w': *set = wordBytes(); break;
            case 'W': *set = ~wordBytes(); break;
            case 's': *set = spaces(); break;
            case 'S': *set = ~spaces(); break;
            default: return false;
        }
        ++_at;
        return true;
    }

    bool escape(Node* out, bool* repeatable) {
        ++_at;  // "\"
        if (peek() == 'b' || peek() == 'B') {
            out->kind = Node::kAssert;
            out->value = peek() == 'b' ? PatternMatcher::kWordBoundary : PatternMatcher::kNotWordBoundary;
            *repeatable = false;
            ++_at;
            return true;
        }
        ByteSet set;
        if (escapedSet(&set)) {
            *out = classNode(addClass(set));
            return true;
        }
        unsigned char byte = 0;
        if (!escapedCharacter(&byte)) {
            return false;
        }
        *out = classNode(addClass(rangeSet(byte, byte)));
        return true;
    }

    // One member of a bracket class: a character (byte) or a set (\d ...).
    bool classMember(unsigned char* byte, ByteSet* set, bool* isSet) {
        *isSet = false;
        if (peek() != '\\') {
            *byte = static_cast<unsigned char>(peek());
            ++_at;
            return true;
        }
        ++_at;
        if (escapedSet(set)) {
            *isSet = true;
            return true;
        }
        if (peek() == 'b') {  // a backspace inside a class
            *byte = '\b';
            ++_at;
            return true;
        }
        return escapedCharacter(byte);
    }

    // "[...]" or "[^...]"; as in ECMAScript, "]" always ends the class ("[]" takes nothing, "[^]"
    // every byte).
    bool bracket(Node* out) {
        const size_t start = _at;
        ++_at;  // "["
        bool negated = false;
        if (peek() == '^' && !atEnd()) {
            negated = true;
            ++_at;
        }
        ByteSet members;
        for (;;) {
            if (atEnd()) {
                _at = start;
                return fail("'[' without ']'");
            }
            if (peek() == ']') {
                ++_at;
                break;
            }
            unsigned char low = 0;
            ByteSet lowSet;
            bool lowIsSet = false;
            if (!classMember(&low, &lowSet, &lowIsSet)) {
                return false;
            }
            if (peek() == '-' && peek(1) != ']' && _at + 1 < _pattern.size()) {
                ++_at;  // "-"
                unsigned char high = 0;
                ByteSet highSet;
                bool highIsSet = false;
                if (!classMember(&high, &highSet, &highIsSet)) {
                    return false;
                }
                if (lowIsSet || highIsSet) {
                    // A set cannot end a range: the "-" is itself a member.
                    members |= (lowIsSet ? lowSet : rangeSet(low, low)) | (highIsSet ? highSet : rangeSet(high, high));
                    members.set('-');
                    continue;
                }
                if (high < low) {
                    return fail("range out of order in a class");
                }
                members |= rangeSet(low, high);
                continue;
            }
            members |= lowIsSet ? lowSet : rangeSet(low, low);
        }
        *out = classNode(addClass(negated ? ~members : members));
        return true;
    }

    // Steps a node compiles to, saturated just above the program's bound.
    static constexpr size_t kCap = PatternMatcher::kMaxProgram + 1;
    static size_t size(const Node& n) {
        auto add = [](size_t a, size_t b) { return std::min(a + b, kCap); };
        auto times = [](size_t a, size_t k) { return k != 0 && a > kCap / k ? kCap : std::min(a * k, kCap); };
        switch (n.kind) {
            case Node::kEmpty: return 0;
            case Node::kClass:
            case Node::kAssert: return 1;
            case Node::kGroup: return add(size(n.children[0]), n.value != 0 ? 2 : 0);
            case Node::kConcat:
            case Node::kAlternation: {
                size_t total = n.kind == Node::kAlternation ? 2 * (n.children.size() - 1) : 0;
                for (const Node& c : n.children) {
                    total = add(total, size(c));
                }
                return total;
            }
            case Node::kRepeat: {
                const size_t s = size(n.children[0]);
                if (n.max == -1) {
                    return n.min == 0 ? add(s, 2) : add(times(s, static_cast<size_t>(n.min)), 1);
                }
                return add(times(s, static_cast<size_t>(n.min)), times(add(s, 1), static_cast<size_t>(n.max - n.min)));
            }
        }
        return kCap;
    }

    uint32_t emit(Instruction i) {
        _out->_program.push_back(i);
        return static_cast<uint32_t>(_out->_program.size() - 1);
    }
    uint32_t next() const { return static_cast<uint32_t>(_out->_program.size()); }

    void write(const Node& n) {
        switch (n.kind) {
            case Node::kEmpty: return;
            case Node::kClass: emit({PatternMatcher::kClass, n.value, 0}); return;
            case Node::kAssert: emit({static_cast<PatternMatcher::Op>(n.value), 0, 0}); return;
            case Node::kGroup:
                if (n.value != 0) {
                    emit({PatternMatcher::kSave, 2 * n.value, 0});
                }
                write(n.children[0]);
                if (n.value != 0) {
                    emit({PatternMatcher::kSave, 2 * n.value + 1, 0});
                }
                return;
            case Node::kConcat:
                for (const Node& c : n.children) {
                    write(c);
                }
                return;
            case Node::kAlternation: {
                std::vector<uint32_t> jumps;
                for (size_t i = 0; i + 1 < n.children.size(); ++i) {
                    const uint32_t split = emit({PatternMatcher::kSplit, 0, 0});
                    _out->_program[split].x = next();
                    write(n.children[i]);
                    jumps.push_back(emit({PatternMatcher::kJump, 0, 0}));
                    _out->_program[split].y = next();
                }
                write(n.children.back());
                for (uint32_t j : jumps) {
                    _out->_program[j].x = next();
                }
                return;
            }
            case Node::kRepeat: writeRepeat(n); return;
        }
    }

    // A split that prefers `more` when greedy and `done` when lazy.
    void setSplit(uint32_t split, uint32_t more, uint32_t done, bool greedy) {
        _out->_program[split].x = greedy ? more : done;
        _out->_program[split].y = greedy ? done : more;
    }

    void writeRepeat(const Node& n) {
        const Node& body = n.children[0];
        if (n.max == -1 && n.min == 0) {
            const uint32_t loop = emit({PatternMatcher::kSplit, 0, 0});
            write(body);
            emit({PatternMatcher::kJump, loop, 0});
            setSplit(loop, loop + 1, next(), n.greedy);
            return;
        }
        if (n.max == -1) {
            for (int i = 1; i < n.min; ++i) {
                write(body);
            }
            const uint32_t top = next();
            write(body);
            const uint32_t split = emit({PatternMatcher::kSplit, 0, 0});
            setSplit(split, top, split + 1, n.greedy);
            return;
        }
        for (int i = 0; i < n.min; ++i) {
            write(body);
        }
        std::vector<uint32_t> splits;
        for (int i = n.min; i < n.max; ++i) {
            splits.push_back(emit({PatternMatcher::kSplit, 0, 0}));
            write(body);
        }
        for (uint32_t s : splits) {
            setSplit(s, s + 1, next(), n.greedy);
        }
    }

    std::string_view _pattern;
    PatternMatcher* _out;
    size_t _at = 0;
    std::string _reason;
};

bool PatternMatcher::compile(std::string_view pattern, PatternMatcher* out, std::string* reason) {
    PatternMatcher m;
    PatternCompiler compiler(pattern, &m);
    if (!compiler.run(reason)) {
        return false;
    }
    m.findFirstBytes();
    *out = std::move(m);
    return true;
}

void PatternMatcher::findFirstBytes() {
    // Every step that takes no byte is passed, assertions included: the set may be larger than
    // needed, never smaller.
    std::vector<bool> seen(_program.size(), false);
    std::vector<std::pair<uint32_t, bool>> pending{{0, false}};  // a step, and whether "^" came before it
    _firstBytes.reset();
    _skipToFirstByte = true;
    _anchored = true;
    while (!pending.empty()) {
        const auto [step, afterBegin] = pending.back();
        pending.pop_back();
        if (seen[step]) {
            continue;
        }
        seen[step] = true;
        const Instruction& i = _program[step];
        _anchored = _anchored && (afterBegin || (i.op != kClass && i.op != kMatch));
        switch (i.op) {
            case kClass: _firstBytes |= _classes[i.x]; break;
            case kMatch: _skipToFirstByte = false; break;
            case kJump: pending.push_back({i.x, afterBegin}); break;
            case kSplit:
                pending.push_back({i.x, afterBegin});
                pending.push_back({i.y, afterBegin});
                break;
            default: pending.push_back({step + 1, afterBegin || i.op == kBegin}); break;
        }
    }
}

namespace {

// The threads of one text position, by step, in priority order; each thread that waits for a byte
// (or has matched) keeps its own copy of the capture slots. Plain arrays sized once per search:
// the loop below runs once per byte and step.
class ThreadList {
  public:
    ThreadList(size_t steps, size_t width)
        : _sparse(new uint32_t[steps]()), _dense(new uint32_t[steps]), _slots(new size_t[steps * width + 1]),
          _width(width) {}
    bool contains(uint32_t step) const {
        const uint32_t i = _sparse[step];
        return i < _size && _dense[i] == step;
    }
    // Adds the step; the returned slots are the thread's (valid until the list is cleared).
    size_t* add(uint32_t step) {
        _sparse[step] = _size;
        _dense[_size] = step;
        return &_slots[_width * _size++];
    }
    // Counts a thread that waits for a byte or has matched; the other steps only mark the walk.
    void live() { ++_live; }
    uint32_t size() const { return _size; }
    uint32_t liveCount() const { return _live; }
    uint32_t step(uint32_t i) const { return _dense[i]; }
    const size_t* slots(uint32_t i) const { return &_slots[_width * i]; }
    void clear() { _size = _live = 0; }

  private:
    std::unique_ptr<uint32_t[]> _sparse;
    std::unique_ptr<uint32_t[]> _dense;
    std::unique_ptr<size_t[]> _slots;
    size_t _width;
    uint32_t _size = 0;
    uint32_t _live = 0;
};

}  // namespace

bool PatternMatcher::search(std::string_view text, std::vector<Span>* groups) const {
    if (_program.empty()) {
        return false;
    }
    // Without groups only "is there a match" counts: the first thread to reach the end answers.
    const size_t width = groups != nullptr ? 2 * (_names.size() + 1) : 0;
    const size_t steps = _program.size();
    const Instruction* program = _program.data();
    ThreadList lists[2] = {ThreadList(steps, width), ThreadList(steps, width)};
    ThreadList* current = &lists[0];
    ThreadList* following = &lists[1];
    std::unique_ptr<size_t[]> slots(new size_t[width + 1]);
    std::vector<size_t> best;
    bool matched = false;

    // The walk over the steps that take no byte keeps its own stack, not the thread's: each step is
    // entered at most once per walk and pushes at most two entries, so 2 * steps + 1 entries hold
    // any walk, whatever the text. An entry with restore set puts a capture slot back once the
    // steps after the save have been walked.
    struct Pending {
        uint32_t step;
        bool restore;
        size_t slot;
        size_t value;
    };
    std::unique_ptr<Pending[]> stack(new Pending[2 * steps + 1]);

    // Adds the threads that `from` leads to at position `at` (with the capture slots in `slots`),
    // in priority order.
    auto follow = [&](ThreadList& list, uint32_t from, size_t at) {
        size_t top = 0;
        stack[top++] = {from, false, 0, 0};
        while (top > 0) {
            const Pending p = stack[--top];
            if (p.restore) {
                slots[p.slot] = p.value;
                continue;
            }
            if (list.contains(p.step)) {
                continue;
            }
            size_t* kept = list.add(p.step);
            const Instruction& i = program[p.step];
            switch (i.op) {
                case kClass:
                case kMatch:
                    list.live();
                    for (size_t k = 0; k < width; ++k) {
                        kept[k] = slots[k];
                    }
                    break;
                case kJump: stack[top++] = {i.x, false, 0, 0}; break;
                case kSplit:
                    stack[top++] = {i.y, false, 0, 0};
                    stack[top++] = {i.x, false, 0, 0};
                    break;
                case kSave:
                    if (i.x < width) {
                        stack[top++] = {0, true, i.x, slots[i.x]};
                        slots[i.x] = at;
                    }
                    stack[top++] = {p.step + 1, false, 0, 0};
                    break;
                case kBegin:
                    if (at == 0) {
                        stack[top++] = {p.step + 1, false, 0, 0};
                    }
                    break;
                case kEnd:
                    if (at == text.size()) {
                        stack[top++] = {p.step + 1, false, 0, 0};
                    }
                    break;
                case kWordBoundary:
                case kNotWordBoundary:
                    if (((at > 0 && isWordByte(text, at - 1)) != isWordByte(text, at)) == (i.op == kWordBoundary)) {
                        stack[top++] = {p.step + 1, false, 0, 0};
                    }
                    break;
            }
        }
    };

    for (size_t at = 0;; ++at) {
        if (_anchored && at > 0 && current->liveCount() == 0) {
            break;  // the one start there is has ended
        }
        if (!matched && _skipToFirstByte && current->liveCount() == 0) {
            // No thread runs: the next match begins at a byte that can begin one.
            while (at < text.size() && !_firstBytes[static_cast<unsigned char>(text[at])]) {
                ++at;
            }
            if (at == text.size()) {
                break;  // and this pattern matches no empty text
            }
            current->clear();
        }
        if (!matched && (at == 0 || !_anchored)) {
            // A match starting here ranks below every one that started further left.
            for (size_t k = 0; k < width; ++k) {
                slots[k] = std::string_view::npos;
            }
            follow(*current, 0, at);
        }
        if (matched && current->liveCount() == 0) {
            break;  // the match found cannot grow
        }
        following->clear();
        const unsigned char byte = at < text.size() ? static_cast<unsigned char>(text[at]) : 0;
        for (uint32_t t = 0; t < current->size(); ++t) {
            const Instruction& i = program[current->step(t)];
            if (i.op == kMatch) {
                if (groups == nullptr) {
                    return true;
                }
                matched = true;
                best.assign(current->slots(t), current->slots(t) + width);
                break;  // the threads after this one rank below it
            }
            if (i.op == kClass && at < text.size() && _classes[i.x][byte]) {
                const size_t* s = current->slots(t);
                for (size_t k = 0; k < width; ++k) {
                    slots[k] = s[k];
                }
                follow(*following, current->step(t) + 1, at + 1);
            }
        }
        std::swap(current, following);
        if (at == text.size()) {
            break;  // a match that reached the end is in best
        }
    }
    if (!matched) {
        return false;
    }
    groups->assign(_names.size(), Span());
    for (size_t g = 0; g < _names.size(); ++g) {
        const size_t begin = best[2 * (g + 1)];
        const size_t end = best[2 * (g + 1) + 1];
        if (begin != std::string_view::npos && end != std::string_view::npos) {
            (*groups)[g] = {begin, end};
        }
    }
    return true;
}

}  // namespace vorpane::providers

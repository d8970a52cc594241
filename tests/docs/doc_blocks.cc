#include "docs/doc_blocks.h"

#include <cstdlib>
#include <map>
#include <sstream>
#include <utility>

namespace vorpane::testing {
namespace {

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

std::string trimmed(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) {
        return "";
    }
    return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

std::vector<std::string> words(const std::string& s) {
    std::vector<std::string> out;
    std::istringstream in(s);
    std::string w;
    while (in >> w) {
        out.push_back(w);
    }
    return out;
}

bool isFence(const std::string& line) {
    return trimmed(line).rfind("```", 0) == 0;
}

// The block whose opening fence is lines[*i]: its info string and its lines without the fence's
// indentation; *i ends on the closing fence.
bool readFence(const std::vector<std::string>& lines, size_t* i, std::string* info, std::string* body) {
    const std::string& open = lines[*i];
    const size_t indent = open.find_first_not_of(' ');
    *info = trimmed(trimmed(open).substr(3));
    body->clear();
    for (++*i; *i < lines.size(); ++*i) {
        if (trimmed(lines[*i]) == "```") {
            return true;
        }
        const std::string& l = lines[*i];
        const size_t lead = std::min(
            indent, l.find_first_not_of(' ') == std::string::npos ? l.size() : l.find_first_not_of(' '));
        *body += l.substr(lead) + "\n";
    }
    return false;
}

struct Marking {
    bool any = false;
    bool skip = false;
    bool background = false;
    bool retry = false;
    int exitCode = 0;
    std::string path;
};

bool parseMarking(const std::vector<std::string>& ws, Marking* m, std::string* error) {
    m->any = true;
    for (size_t k = 0; k < ws.size(); ++k) {
        if (ws[k] == "skip") {
            m->skip = true;
        } else if (ws[k] == "background") {
            m->background = true;
        } else if (ws[k] == "retry") {
            m->retry = true;
        } else if ((ws[k] == "exit" || ws[k] == "file") && k + 1 < ws.size()) {
            if (ws[k] == "file") {
                m->path = ws[++k];
            } else {
                const std::string& code = ws[++k];
                char* end = nullptr;
                const long value = std::strtol(code.c_str(), &end, 10);
                if (code.empty() || *end != '\0' || value < 0 || value > 255) {
                    *error = "\"exit\" takes an exit code, not \"" + code + "\"";
                    return false;
                }
                m->exitCode = static_cast<int>(value);
            }
        } else {
            *error = "unknown walk word \"" + ws[k] + "\"";
            return false;
        }
    }
    return true;
}

// Whether line is what pattern describes, "..." standing for any run of characters.
bool lineMatches(const std::string& pattern, const std::string& line) {
    std::vector<std::string> pieces;
    size_t from = 0;
    for (size_t at; (at = pattern.find("...", from)) != std::string::npos; from = at + 3) {
        pieces.push_back(pattern.substr(from, at - from));
    }
    pieces.push_back(pattern.substr(from));
    if (pieces.size() == 1) {
        return pattern == line;
    }
    if (line.compare(0, pieces.front().size(), pieces.front()) != 0) {
        return false;
    }
    size_t pos = pieces.front().size();
    for (size_t k = 1; k + 1 < pieces.size(); ++k) {
        const size_t at = line.find(pieces[k], pos);
        if (at == std::string::npos) {
            return false;
        }
        pos = at + pieces[k].size();
    }
    const std::string& last = pieces.back();
    return line.size() >= pos + last.size() &&
           line.compare(line.size() - last.size(), last.size(), last) == 0;
}

std::vector<std::string> comparable(const std::string& text) {
    std::vector<std::string> lines = splitLines(text);
    for (std::string& l : lines) {
        while (!l.empty() && (l.back() == ' ' || l.back() == '\t' || l.back() == '\r')) {
            l.pop_back();
        }
    }
    while (!lines.empty() && lines.back().empty()) {
        lines.pop_back();
    }
    return lines;
}

}  // namespace

bool docSteps(const std::string& page, std::vector<DocStep>* steps, std::string* error) {
    const std::vector<std::string> lines = splitLines(page);
    Marking marking;
    int markingLine = 0;
    auto fail = [&](size_t line, const std::string& what) {
        *error = "line " + std::to_string(line + 1) + ": " + what;
        return false;
    };
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string t = trimmed(lines[i]);
        if (t.rfind("<!-- walk:", 0) == 0) {
            const std::string rest = t.substr(10);
            if (rest.size() >= 3 && rest.compare(rest.size() - 3, 3, "-->") == 0) {
                if (marking.any) {
                    return fail(i, "two walk comments before one block");
                }
                std::string why;
                if (!parseMarking(words(rest.substr(0, rest.size() - 3)), &marking, &why)) {
                    return fail(i, why);
                }
                markingLine = static_cast<int>(i);
                continue;
            }
            // A hidden step: "sh" (and maybe "background") on the first line, its commands up to "-->".
            DocStep step;
            step.line = static_cast<int>(i + 1);
            std::vector<std::string> ws = words(rest);
            if (ws.empty() || ws[0] != "sh") {
                return fail(i, "a walk comment over several lines begins with \"sh\"");
            }
            Marking hidden;
            ws.erase(ws.begin());
            std::string why;
            if (!parseMarking(ws, &hidden, &why)) {
                return fail(i, why);
            }
            step.kind = hidden.background ? DocStep::kBackground : DocStep::kRun;
            step.exitCode = hidden.exitCode;
            step.retry = hidden.retry;
            for (++i; i < lines.size() && trimmed(lines[i]) != "-->"; ++i) {
                step.text += lines[i] + "\n";
            }
            if (i == lines.size()) {
                return fail(static_cast<size_t>(step.line - 1), "a walk comment without its \"-->\"");
            }
            steps->push_back(std::move(step));
            continue;
        }
        if (isFence(lines[i])) {
            const size_t start = i;
            std::string info;
            std::string body;
            if (!readFence(lines, &i, &info, &body)) {
                return fail(start, "a fenced block without its end");
            }
            const Marking m = std::exchange(marking, Marking{});
            if (m.skip) {
                continue;
            }
            DocStep step;
            step.line = static_cast<int>(start + 1);
            step.text = body;
            if (!m.path.empty()) {
                step.kind = DocStep::kFile;
                step.path = m.path;
                steps->push_back(std::move(step));
                continue;
            }
            if (info != "sh") {
                if (m.any) {
                    return fail(static_cast<size_t>(markingLine),
                                "a walk comment before a block that does not run");
                }
                continue;
            }
            step.kind = m.background ? DocStep::kBackground : DocStep::kRun;
            step.retry = m.retry;
            step.exitCode = m.exitCode;
            size_t next = i + 1;
            while (next < lines.size() && trimmed(lines[next]).empty()) {
                ++next;
            }
            if (next < lines.size() && isFence(lines[next]) && trimmed(lines[next]) == "```text") {
                i = next;
                std::string ignored;
                if (!readFence(lines, &i, &ignored, &step.expected)) {
                    return fail(next, "a fenced block without its end");
                }
                step.checked = true;
            }
            steps->push_back(std::move(step));
            continue;
        }
        if (marking.any && !t.empty()) {
            return fail(static_cast<size_t>(markingLine), "a walk comment must come right before its block");
        }
    }
    if (marking.any) {
        return fail(static_cast<size_t>(markingLine), "a walk comment with no block after it");
    }
    return true;
}

bool outputMatches(const std::string& expected, const std::string& actual, std::string* why) {
    const std::vector<std::string> want = comparable(expected);
    const std::vector<std::string> got = comparable(actual);
    // matched[{w, g}]: whether want[w..] describes got[g..].
    std::map<std::pair<size_t, size_t>, bool> memo;
    auto match = [&](auto&& self, size_t w, size_t g) -> bool {
        if (w == want.size()) {
            return g == got.size();
        }
        auto key = std::make_pair(w, g);
        if (auto it = memo.find(key); it != memo.end()) {
            return it->second;
        }
        bool ok;
        if (want[w] == "...") {
            ok = self(self, w + 1, g) || (g < got.size() && self(self, w, g + 1));
        } else {
            ok = g < got.size() && lineMatches(want[w], got[g]) && self(self, w + 1, g + 1);
        }
        memo[key] = ok;
        return ok;
    };
    if (match(match, 0, 0)) {
        return true;
    }
    if (why != nullptr) {
        *why = "expected:\n" + expected + "got:\n" + actual;
    }
    return false;
}

}  // namespace vorpane::testing

#include "api/where_parser.h"

#include <cctype>
#include <string>
#include <utility>
#include <vector>

#include "api/api_names.h"

namespace vorpane::api {

namespace {

// An OR of ANDs.
using Conjunction = std::vector<axf::Predicate>;
using Disjunction = std::vector<Conjunction>;

struct ParseError {
    size_t offset;
    std::string message;
};

class WhereParser {
public:
    explicit WhereParser(std::string_view text) : _text(text) {}

    bool parse(Disjunction* out) {
        for (_pos = 0; _pos < _text.size(); ++_pos) {
            if (controlCharacter(_text[_pos])) {
                return fail("a control character is not allowed");
            }
        }
        _pos = 0;
        skipBlanks();
        if (_pos == _text.size()) {
            out->clear();
            return true;
        }
        if (!expression(out)) {
            return false;
        }
        skipBlanks();
        if (_pos != _text.size()) {
            return fail("expected AND, OR or the end of the expression");
        }
        return true;
    }

    const ParseError& error() const { return _error; }

private:
    bool expression(Disjunction* out) {
        if (!term(out)) {
            return false;
        }
        while (keyword("OR")) {
            Disjunction more;
            if (!term(&more)) {
                return false;
            }
            if (tooMany(predicates(*out) + predicates(more))) {
                return false;
            }
            for (Conjunction& c : more) {
                out->push_back(std::move(c));
            }
        }
        return true;
    }

    bool term(Disjunction* out) {
        if (!factor(out)) {
            return false;
        }
        for (;;) {
            skipBlanks();
            size_t at = _pos;
            if (!keyword("AND")) {
                return true;
            }
            Disjunction right;
            if (!factor(&right)) {
                return false;
            }
            size_t after = _pos;
            // (a OR b) AND (c OR d) = a AND c OR a AND d OR b AND c OR b AND d
            _pos = at;  // an error of the product is reported at its AND
            if (tooMany(out->size() * predicates(right) + right.size() * predicates(*out))) {
                return false;
            }
            _pos = after;
            Disjunction product;
            product.reserve(out->size() * right.size());
            for (const Conjunction& l : *out) {
                for (const Conjunction& r : right) {
                    Conjunction c = l;
                    c.insert(c.end(), r.begin(), r.end());
                    product.push_back(std::move(c));
                }
            }
            *out = std::move(product);
        }
    }

    bool factor(Disjunction* out) {
        skipBlanks();
        if (_pos < _text.size() && _text[_pos] == '(') {
            if (_depth == kMaxWhereDepth) {
                return fail("parentheses nest deeper than " + std::to_string(kMaxWhereDepth));
            }
            ++_pos;
            ++_depth;
            bool ok = expression(out);
            --_depth;
            if (!ok) {
                return false;
            }
            skipBlanks();
            if (_pos >= _text.size() || _text[_pos] != ')') {
                return fail("expected \")\"");
            }
            ++_pos;
            return true;
        }
        axf::Predicate p;
        if (!name(&p.column) || !compareOp(&p.op) || !value(&p.value)) {
            return false;
        }
        out->assign(1, Conjunction{std::move(p)});
        return true;
    }

    bool name(std::string* out) {
        skipBlanks();
        size_t start = _pos;
        if (_pos < _text.size() && (std::isalpha(uc(_text[_pos])) || _text[_pos] == '_')) {
            while (_pos < _text.size() && (std::isalnum(uc(_text[_pos])) || _text[_pos] == '_')) {
                ++_pos;
            }
        }
        if (_pos == start) {
            return fail(_pos == _text.size() ? "expected an attribute name, found the end" : "expected an attribute name");
        }
        *out = std::string(_text.substr(start, _pos - start));
        return true;
    }

    bool compareOp(axf::CompareOp* op) {
        skipBlanks();
        static const std::pair<const char*, axf::CompareOp> kSymbols[] = {
            {">=", axf::CompareOp::GE}, {"<=", axf::CompareOp::LE}, {"!=", axf::CompareOp::NE},
            {"<>", axf::CompareOp::NE}, {"==", axf::CompareOp::EQ}, {"=", axf::CompareOp::EQ},
            {">", axf::CompareOp::GT},  {"<", axf::CompareOp::LT},
        };
        for (const auto& [symbol, code] : kSymbols) {
            if (_text.substr(_pos).starts_with(symbol)) {
                _pos += std::string_view(symbol).size();
                *op = code;
                return true;
            }
        }
        static const std::pair<const char*, axf::CompareOp> kWords[] = {
            {"EQ", axf::CompareOp::EQ}, {"NE", axf::CompareOp::NE}, {"GT", axf::CompareOp::GT},
            {"GE", axf::CompareOp::GE}, {"LT", axf::CompareOp::LT}, {"LE", axf::CompareOp::LE},
            {"LIKE", axf::CompareOp::LIKE},
        };
        for (const auto& [word, code] : kWords) {
            if (keyword(word)) {
                *op = code;
                return true;
            }
        }
        return fail("expected a comparison (EQ NE GT GE LT LE LIKE = != > >= < <=)");
    }

    bool value(std::string* out) {
        skipBlanks();
        if (_pos == _text.size()) {
            return fail("expected a value, found the end");
        }
        char quote = _text[_pos];
        if (quote == '\'' || quote == '"') {
            size_t start = _pos++;
            out->clear();
            for (;;) {
                if (_pos >= _text.size()) {
                    _pos = start;
                    return fail("the quoted value is not closed");
                }
                char c = _text[_pos++];
                if (c == quote) {
                    if (_pos < _text.size() && _text[_pos] == quote) {
                        out->push_back(quote);
                        ++_pos;
                        continue;
                    }
                    return true;
                }
                out->push_back(c);
            }
        }
        size_t start = _pos;
        while (_pos < _text.size() && !std::isspace(uc(_text[_pos])) && _text[_pos] != '(' && _text[_pos] != ')') {
            ++_pos;
        }
        if (_pos == start) {
            return fail("expected a value");
        }
        *out = std::string(_text.substr(start, _pos - start));
        return true;
    }

    // A word of the grammar, case-blind, not followed by a name character.
    bool keyword(std::string_view word) {
        skipBlanks();
        if (_text.size() - _pos < word.size()) {
            return false;
        }
        for (size_t i = 0; i < word.size(); ++i) {
            if (std::toupper(uc(_text[_pos + i])) != word[i]) {
                return false;
            }
        }
        size_t end = _pos + word.size();
        if (end < _text.size() && (std::isalnum(uc(_text[end])) || _text[end] == '_')) {
            return false;
        }
        _pos = end;
        return true;
    }

    static size_t predicates(const Disjunction& d) {
        size_t n = 0;
        for (const Conjunction& c : d) {
            n += c.size();
        }
        return n;
    }

    bool tooMany(size_t count) {
        if (count > kMaxWherePredicates) {
            fail("the expression has too many predicates once its parentheses are multiplied out");
            return true;
        }
        return false;
    }

    void skipBlanks() {
        while (_pos < _text.size() && std::isspace(uc(_text[_pos]))) {
            ++_pos;
        }
    }

    bool fail(std::string message) {
        _error = ParseError{_pos, std::move(message)};
        return false;
    }

    static unsigned char uc(char c) { return static_cast<unsigned char>(c); }

    // Blanks, tabs and line ends separate words; every other control character (NUL above all, which
    // would cut the value the framework compares) is refused.
    static bool controlCharacter(char c) {
        return (uc(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') || uc(c) == 0x7F;
    }

    std::string_view _text;
    size_t _pos = 0;
    size_t _depth = 0;  // open parentheses around _pos
    ParseError _error{0, ""};
};

}  // namespace

WhereResult parseWhere(std::string_view text) {
    WhereResult result;
    WhereParser parser(text);
    Disjunction dnf;
    if (!parser.parse(&dnf)) {
        result.ok = false;
        result.position = characterNumber(text, parser.error().offset);
        result.message = parser.error().message;
        return result;
    }
    for (size_t i = 0; i < dnf.size(); ++i) {
        for (size_t j = 0; j < dnf[i].size(); ++j) {
            axf::Predicate& p = dnf[i][j];
            p.join = j + 1 < dnf[i].size() ? axf::Join::And : axf::Join::Or;
            result.filter.push_back(std::move(p));
        }
    }
    return result;
}

}  // namespace vorpane::api

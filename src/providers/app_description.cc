#include "providers/app_description.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>

#include "common/units.h"

namespace vorpane::dp {

namespace {

std::string upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

// Letters, digits and "_": the hub replaces anything else in names, which would make the name
// registered differ from the name the rows use.
bool validName(std::string_view name, size_t maxLength) {
    if (name.empty() || name.size() > maxLength) {
        return false;
    }
    for (char c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') {
            return false;
        }
    }
    return true;
}

// A decimal number, or hexadecimal after "0x"; false when the text is anything else or out of range.
bool parseNumber(std::string_view text, long min, long max, long* out) {
    std::string s(text);
    int base = 10;
    size_t digits = (s.size() > 0 && (s[0] == '-' || s[0] == '+')) ? 1 : 0;
    if (s.size() > digits + 2 && s[digits] == '0' && (s[digits + 1] == 'x' || s[digits + 1] == 'X')) {
        base = 16;
    }
    if (s.size() <= digits || std::isspace(static_cast<unsigned char>(s[0]))) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(s.c_str(), &end, base);
    // The whole text, NUL bytes included, must be the number.
    if (errno != 0 || end != s.c_str() + s.size() || value < min || value > max) {
        return false;
    }
    *out = value;
    return true;
}

std::string blankIfEmpty(const std::string& text) {
    return text.empty() ? std::string(" ") : text;
}

// The words after the positional ones: key=value with keys from allowed, each at most once.
bool parseOptions(const std::vector<std::string>& words, size_t first,
                  std::initializer_list<const char*> allowed, std::map<std::string, std::string>* options,
                  std::string* reason) {
    for (size_t i = first; i < words.size(); ++i) {
        size_t eq = words[i].find('=');
        std::string key = eq == std::string::npos ? words[i] : words[i].substr(0, eq);
        bool known = false;
        for (const char* a : allowed) {
            known = known || key == a;
        }
        if (eq == std::string::npos || !known) {
            *reason = "unexpected \"" + words[i] + "\"";
            return false;
        }
        if (!options->emplace(key, words[i].substr(eq + 1)).second) {
            *reason = key + "= given twice";
            return false;
        }
    }
    return true;
}

std::string option(const std::map<std::string, std::string>& options, const char* key) {
    auto it = options.find(key);
    return it == options.end() ? std::string() : it->second;
}

// The attribute's unit: from unit=NAME, which goes into its format text as UNIT{NAME}, or from a
// UNIT{NAME} the format text already has. False with a reason for a name not in the list, or both.
bool unitOf(AttributeDesc* a, std::string* reason) {
    const size_t at = a->format.find("UNIT{");
    if (at != std::string::npos) {
        if (!a->unit.empty()) {
            *reason = "give the unit once: unit= or UNIT{} in format=";
            return false;
        }
        const size_t close = a->format.find('}', at);
        if (close == std::string::npos) {
            *reason = "UNIT{ in format= is not closed";
            return false;
        }
        a->unit = a->format.substr(at + 5, close - at - 5);
    } else if (!a->unit.empty()) {
        a->format += "UNIT{" + a->unit + "}";
    }
    if (!a->unit.empty() && !knownUnit(a->unit)) {
        *reason = "unit \"" + a->unit + "\" is not one of " + unitNameList();
        return false;
    }
    return true;
}

// One line of the file; false with a reason. The caller adds the line number.
class LineParser {
  public:
    LineParser(AppDescription* d, const OtherLine& other) : _d(d), _other(other) {}

    bool parse(int line, const std::vector<std::string>& w, std::string* reason) {
        if (w[0] == "application") {
            return application(w, reason);
        }
        if (w[0] == "group") {
            return group(line, w, reason);
        }
        if (w[0] == "attribute") {
            return attribute(line, w, reason);
        }
        if (_other) {
            return _other(line, w, reason);
        }
        *reason = "unknown keyword \"" + w[0] + "\" (application, group or attribute expected)";
        return false;
    }

  private:
    bool application(const std::vector<std::string>& w, std::string* reason) {
        std::map<std::string, std::string> o;
        if (!_d->name.empty()) {
            *reason = "a second application line";
        } else if (w.size() < 2) {
            *reason = "application without a name";
        } else if (!validName(w[1], 20) || w[1].size() < 3) {
            *reason = "application name \"" + w[1] + "\" is not 3 to 20 letters, digits or _";
        } else if (parseOptions(w, 2, {"help"}, &o, reason)) {
            _d->name = upper(w[1]);
            _d->help = option(o, "help");
            return true;
        }
        return false;
    }

    bool group(int line, const std::vector<std::string>& w, std::string* reason) {
        std::map<std::string, std::string> o;
        long ttl = 0;
        if (_d->name.empty()) {
            *reason = "group before the application line";
        } else if (w.size() < 4) {
            *reason = "group needs a name, a type and a TTL";
        } else if (!validName(w[1], 32)) {
            *reason = "group name \"" + w[1] + "\" is not 1 to 32 letters, digits or _";
        } else if (_d->group(upper(w[1])) != nullptr) {
            *reason = "group " + upper(w[1]) + " is defined twice";
        } else if (w[2].size() != 1 ||
                   std::string_view("PSKEN").find(upper(w[2])[0]) == std::string_view::npos) {
            *reason = "group type \"" + w[2] + "\" is not one of P, S, K, E, N";
        } else if (!parseNumber(w[3], 0, INT32_MAX, &ttl)) {
            *reason = "TTL \"" + w[3] + "\" is not a number of seconds";
        } else if (parseOptions(w, 4, {"dptype", "help"}, &o, reason)) {
            GroupDesc g;
            g.name = upper(w[1]);
            g.type = upper(w[2])[0];
            g.ttl = static_cast<int32_t>(ttl);
            g.dpType = option(o, "dptype");
            g.help = option(o, "help");
            g.line = line;
            if (g.dpType.size() > 4 || (!g.dpType.empty() && !validName(g.dpType, 4))) {
                *reason = "dptype \"" + g.dpType + "\" is not 1 to 4 letters or digits";
                return false;
            }
            _d->groups.push_back(std::move(g));
            return true;
        }
        return false;
    }

    bool attribute(int line, const std::vector<std::string>& w, std::string* reason) {
        std::map<std::string, std::string> o;
        long length = 0;
        if (_d->groups.empty()) {
            *reason = "attribute before any group line";
            return false;
        }
        GroupDesc& g = _d->groups.back();
        if (w.size() < 4) {
            *reason = "attribute needs a name, a type and a length";
            return false;
        }
        AttributeDesc a;
        a.name = w[1];
        a.line = line;
        std::string_view plain = a.plainName();
        const std::string type = upper(w[2]);
        if (!validName(plain, 201)) {
            *reason = "attribute name \"" + w[1] + "\" is not 1 to 201 letters, digits or _ after @, $ or @$";
        } else if (g.attribute(plain) != nullptr) {
            *reason = "attribute " + std::string(plain) + " appears twice in group " + g.name;
        } else if (type.size() != 1 || std::string_view("ACGSDOT").find(type[0]) == std::string_view::npos) {
            *reason = "attribute type \"" + w[2] + "\" is not one of A, C, G, S, D, O, T";
        } else if (!parseNumber(w[3], 1, 32767, &length)) {
            *reason = "length \"" + w[3] + "\" is not a number from 1 to 32767";
        } else if ((type == "A" || type == "C" || type == "G") && length != 2 && length != 4) {
            *reason = "a number of type " + type + " has length 2 or 4";
        } else if (type == "S" && length != 2) {
            *reason = "a switch (S) has length 2";
        } else if (parseOptions(w, 4, {"enum", "format", "help", "unit"}, &o, reason)) {
            a.type = type[0];
            a.length = static_cast<int>(length);
            a.enumeration = option(o, "enum");
            a.format = option(o, "format");
            a.help = option(o, "help");
            a.unit = option(o, "unit");
            // These texts are items of the registration string: "," and ";" would split it.
            if (a.enumeration.find_first_of(",;") != std::string::npos ||
                a.format.find_first_of(",;") != std::string::npos) {
                *reason = "enum and format may not contain \",\" or \";\"";
            } else if (a.help.find(';') != std::string::npos) {
                *reason = "help of an attribute may not contain \";\"";
            } else if (unitOf(&a, reason)) {
                g.attributes.push_back(std::move(a));
                return true;
            }
        }
        return false;
    }

    AppDescription* _d;
    const OtherLine& _other;
};

}  // namespace

std::string_view AttributeDesc::plainName() const {
    std::string_view n = name;
    if (n.rfind("@$", 0) == 0) {
        return n.substr(2);
    }
    if (!n.empty() && (n[0] == '@' || n[0] == '$')) {
        return n.substr(1);
    }
    return n;
}

const AttributeDesc* GroupDesc::attribute(std::string_view attrName) const {
    for (const AttributeDesc& a : attributes) {
        if (a.plainName() == attrName) {
            return &a;
        }
    }
    return nullptr;
}

std::string GroupDesc::registration() const {
    std::string out;
    for (const AttributeDesc& a : attributes) {
        if (!out.empty()) {
            out += ';';
        }
        out += a.name + ',' + a.type + ',' + std::to_string(a.length) + ',' + blankIfEmpty(a.enumeration) +
               ',' + blankIfEmpty(a.format) + ',' + blankIfEmpty(a.help);
    }
    return out;
}

const GroupDesc* AppDescription::group(std::string_view groupName) const {
    for (const GroupDesc& g : groups) {
        if (g.name == groupName) {
            return &g;
        }
    }
    return nullptr;
}

void AppDescription::defaultProviderType(std::string_view type) {
    for (GroupDesc& g : groups) {
        if (g.dpType.empty()) {
            g.dpType = type.substr(0, DCH_MAX_DP_TYPE);
        }
    }
}

DPapplication AppDescription::registration() const {
    DPapplication appl;
    appl.name = name;
    appl.help = help;
    for (const GroupDesc& g : groups) {
        appl.groups.push_back({g.name, g.help, g.type, g.ttl, g.dpType, g.registration()});
    }
    return appl;
}

bool noNulByte(std::string_view line, std::string* reason) {
    const size_t at = line.find('\0');
    if (at == std::string_view::npos) {
        return true;
    }
    *reason = "a NUL byte at character " + std::to_string(at + 1);
    return false;
}

bool splitWords(std::string_view line, std::vector<std::string>* words, std::string* reason) {
    words->clear();
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
            ++i;
        }
        if (i == line.size()) {
            break;
        }
        std::string word;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
            if (line[i] != '"') {
                word += line[i++];
                continue;
            }
            ++i;
            for (;;) {
                if (i == line.size()) {
                    *reason = "unterminated quote";
                    return false;
                }
                char c = line[i++];
                if (c == '"') {
                    break;
                }
                if (c == '\\' && i < line.size() && (line[i] == '"' || line[i] == '\\')) {
                    c = line[i++];
                }
                word += c;
            }
        }
        words->push_back(std::move(word));
    }
    return true;
}

bool parseDescription(std::string_view text, AppDescription* description, ParseError* error,
                      const OtherLine& other) {
    *description = AppDescription();
    LineParser parser(description, other);
    int lineNo = 0;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        std::string_view line =
            text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
        at = end == std::string_view::npos ? text.size() : end + 1;
        ++lineNo;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos || line[first] == '#') {
            continue;
        }
        std::vector<std::string> words;
        std::string reason;
        if (!splitWords(line, &words, &reason) || !parser.parse(lineNo, words, &reason)) {
            *error = {lineNo, reason};
            return false;
        }
    }
    if (description->name.empty()) {
        *error = {0, "no application line"};
        return false;
    }
    if (description->groups.empty()) {
        *error = {0, "no group line"};
        return false;
    }
    for (const GroupDesc& g : description->groups) {
        if (g.attributes.empty()) {
            *error = {g.line, "group " + g.name + " has no attribute"};
            return false;
        }
    }
    return true;
}

bool parseRow(std::string_view line, RowSpec* row, std::string* reason) {
    *row = RowSpec();
    std::vector<std::string> words;
    if (!splitWords(line, &words, reason)) {
        return false;
    }
    if (words.empty()) {
        *reason = "empty row";
        return false;
    }
    std::string head = words[0];
    size_t colon = head.find(':');
    if (colon != std::string::npos) {
        static const std::map<std::string, int> names = {{"single", 0x11}, {"first", 0x01},
                                                         {"next", 0x00},   {"last", 0x10},
                                                         {"delete", 0xDD}, {"delete-first", 0xDE}};
        std::string control = head.substr(colon + 1);
        auto it = names.find(control);
        long value = 0;
        if (it != names.end()) {
            row->controlField = it->second;
        } else if (parseNumber(control, 0, 0xFFFF, &value)) {
            row->controlField = static_cast<int>(value);
        } else {
            *reason = "control \"" + control +
                      "\" is not single, first, next, last, delete, delete-first or a number";
            return false;
        }
        head.resize(colon);
    }
    size_t at = head.find('@');
    if (at != std::string::npos) {
        row->source = head.substr(at + 1);
        head.resize(at);
        if (row->source.empty()) {
            *reason = "empty source after \"@\"";
            return false;
        }
    }
    if (head.empty()) {
        *reason = "row without a group";
        return false;
    }
    row->group = upper(head);
    for (size_t i = 1; i < words.size(); ++i) {
        size_t eq = words[i].find('=');
        if (eq == std::string::npos || eq == 0) {
            *reason = "\"" + words[i] + "\" is not name=value";
            return false;
        }
        std::string name = words[i].substr(0, eq);
        for (const auto& [seen, value] : row->values) {
            if (seen == name) {
                *reason = name + " given twice";
                return false;
            }
        }
        row->values.emplace_back(name, words[i].substr(eq + 1));
    }
    if (row->values.empty() && row->controlField != 0x10) {
        *reason = "a row needs values (only \":last\" ends a set without one)";
        return false;
    }
    return true;
}

bool formatRow(const RowSpec& parsedRow, const GroupDesc& group, DProw* row, std::string* reason) {
    row->clear();
    for (const auto& [given, value] : parsedRow.values) {
        AttributeDesc probe;
        probe.name = given;
        const AttributeDesc* a = group.attribute(probe.plainName());
        if (a == nullptr) {
            *reason = "group " + group.name + " has no attribute " + given;
            return false;
        }
        const std::string name(a->plainName());
        int rc;
        if (value.find('\0') != std::string::npos) {  // an escaped one, as JSON's \u0000
            *reason = "value of " + name + " holds a NUL byte";
            return false;
        }
        if (a->type == 'D' || a->type == 'O' || a->type == 'T') {
            if (value.size() > static_cast<size_t>(a->length)) {
                *reason = "value of " + name + " has " + std::to_string(value.size()) +
                          " characters, more than its " + std::to_string(a->length);
                return false;
            }
            rc = row->add(name, value.data(), static_cast<int>(value.size()), a->type);
        } else {
            long number = 0;
            bool wide = a->length == 4;
            if (!parseNumber(value, wide ? INT32_MIN : INT16_MIN, wide ? INT32_MAX : INT16_MAX, &number)) {
                *reason = "value of " + name + " \"" + value + "\" is not a number of " +
                          std::to_string(a->length) + " bytes";
                return false;
            }
            int32_t v32 = static_cast<int32_t>(number);
            int16_t v16 = static_cast<int16_t>(number);
            rc = wide ? row->add(name, &v32, 4, a->type) : row->add(name, &v16, 2, a->type);
        }
        if (rc != 0) {
            *reason = "value of " + name + " cannot be formatted";
            return false;
        }
    }
    return true;
}

}  // namespace vorpane::dp

#include "providers/file_record.h"

#include <cmath>
#include <nlohmann/json.hpp>

namespace vorpane::providers {

bool RecordFormat::kindFromName(std::string_view name, Kind* kind) {
    if (name == "delimited") {
        *kind = kDelimited;
    } else if (name == "keyvalue") {
        *kind = kKeyValue;
    } else if (name == "json") {
        *kind = kJson;
    } else if (name == "regex") {
        *kind = kRegex;
    } else {
        return false;
    }
    return true;
}

bool RecordFormat::make(Kind kind, const dp::GroupDesc& group, const std::string& delimiter,
                        const std::vector<std::string>& fields, const std::string& pattern, RecordFormat* out,
                        std::string* reason) {
    RecordFormat f;
    f._kind = kind;
    f._group = group;
    if (kind == kDelimited) {
        if (delimiter == "tab") {
            f._delimiter = '\t';
        } else if (delimiter.size() == 1) {
            f._delimiter = delimiter[0];
        } else if (!delimiter.empty()) {
            *reason = "delimiter=" + delimiter + " is not one character or tab";
            return false;
        }
        f._fields = fields;
        if (f._fields.empty()) {
            for (const dp::AttributeDesc& a : group.attributes) {
                f._fields.emplace_back(a.plainName());
            }
        }
        for (const std::string& name : f._fields) {
            if (name != "-" && group.attribute(name) == nullptr) {
                *reason = "field " + name + " is not an attribute of group " + group.name;
                return false;
            }
        }
    }
    if (kind == kRegex) {
        if (pattern.empty()) {
            *reason = "format=regex needs a pattern line";
            return false;
        }
        if (!PatternMatcher::compile(pattern, &f._pattern, reason)) {
            *reason = "the pattern does not compile: " + *reason;
            return false;
        }
        bool named = false;
        for (const std::string& name : f._pattern.groupNames()) {
            if (!name.empty() && group.attribute(name) == nullptr) {
                *reason = "pattern group " + name + " is not an attribute of group " + group.name;
                return false;
            }
            named = named || !name.empty();
        }
        if (!named) {
            *reason = "the pattern has no named group (?<Attribute>...)";
            return false;
        }
    }
    *out = std::move(f);
    return true;
}

void RecordFormat::add(const std::string& name, std::string value, Values* values) const {
    const dp::AttributeDesc* a = _group.attribute(name);
    if (a == nullptr) {
        return;
    }
    if ((a->type == 'D' || a->type == 'O' || a->type == 'T') && value.size() > static_cast<size_t>(a->length)) {
        value.resize(static_cast<size_t>(a->length));
    }
    for (auto& [n, v] : *values) {
        if (n == a->plainName()) {
            v = std::move(value);  // the last one given wins
            return;
        }
    }
    values->emplace_back(std::string(a->plainName()), std::move(value));
}

bool RecordFormat::parse(std::string_view line, Values* values, std::string* reason) const {
    values->clear();
    if (!dp::noNulByte(line, reason)) {
        return false;
    }
    bool ok = false;
    switch (_kind) {
        case kDelimited: ok = parseDelimited(line, values, reason); break;
        case kKeyValue: ok = parseKeyValue(line, values, reason); break;
        case kJson: ok = parseJson(line, values, reason); break;
        case kRegex: ok = parseRegex(line, values, reason); break;
    }
    if (ok && values->empty()) {
        *reason = "no attribute of group " + _group.name + " in the line";
        return false;
    }
    return ok;
}

bool RecordFormat::parseDelimited(std::string_view line, Values* values, std::string* reason) const {
    size_t column = 0;
    size_t at = 0;
    for (;;) {
        size_t end = line.find(_delimiter, at);
        std::string_view cell = line.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
        if (column < _fields.size() && _fields[column] != "-") {
            add(_fields[column], std::string(cell), values);
        }
        ++column;
        if (end == std::string_view::npos) {
            break;
        }
        at = end + 1;
    }
    if (column < _fields.size()) {
        *reason = std::to_string(column) + " columns, " + std::to_string(_fields.size()) + " expected";
        return false;
    }
    return true;
}

bool RecordFormat::parseKeyValue(std::string_view line, Values* values, std::string* reason) const {
    std::vector<std::string> words;
    if (!dp::splitWords(line, &words, reason)) {
        return false;
    }
    for (const std::string& w : words) {
        size_t eq = w.find('=');
        if (eq == std::string::npos || eq == 0) {
            *reason = "\"" + w + "\" is not key=value";
            return false;
        }
        add(w.substr(0, eq), w.substr(eq + 1), values);
    }
    return true;
}

bool RecordFormat::parseJson(std::string_view line, Values* values, std::string* reason) const {
    nlohmann::ordered_json j = nlohmann::ordered_json::parse(line.begin(), line.end(), nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        *reason = "not a JSON object";
        return false;
    }
    for (auto it = j.begin(); it != j.end(); ++it) {
        const nlohmann::ordered_json& v = it.value();
        if (v.is_string()) {
            add(it.key(), v.get<std::string>(), values);
        } else if (v.is_boolean()) {
            add(it.key(), v.get<bool>() ? "1" : "0", values);
        } else if (v.is_number_integer()) {
            add(it.key(), v.dump(), values);
        } else if (v.is_number_float()) {
            // Attributes hold whole numbers: the nearest one.
            add(it.key(), std::to_string(std::llround(v.get<double>())), values);
        }
        // null, arrays and objects carry no attribute value
    }
    return true;
}

bool RecordFormat::parseRegex(std::string_view line, Values* values, std::string* reason) const {
    std::vector<PatternMatcher::Span> groups;
    if (!_pattern.search(line, &groups)) {
        *reason = "the pattern does not match";
        return false;
    }
    const std::vector<std::string>& names = _pattern.groupNames();
    for (size_t i = 0; i < names.size(); ++i) {
        if (!names[i].empty() && groups[i].matched()) {
            add(names[i], std::string(line.substr(groups[i].begin, groups[i].end - groups[i].begin)), values);
        }
    }
    return true;
}

}  // namespace vorpane::providers

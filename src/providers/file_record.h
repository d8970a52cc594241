// The record formats of the FILE provider: one line of a file into the values of one group's row.
// Pure: text in, values (or a reason) out.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "providers/app_description.h"
#include "providers/pattern_matcher.h"

namespace vorpane::providers {

class RecordFormat {
  public:
    enum Kind { kDelimited, kKeyValue, kJson, kRegex };
    using Values = std::vector<std::pair<std::string, std::string>>;

    // Builds the format for a group. delimited: delimiter (one character, or "tab") and fields, the
    // attribute of each column in order ("-" skips a column; empty: the group's attributes in
    // order). regex: a pattern whose named groups (?<Name>...) are attributes of the group.
    // False with a reason.
    static bool make(Kind kind, const dp::GroupDesc& group, const std::string& delimiter,
                     const std::vector<std::string>& fields, const std::string& pattern, RecordFormat* out,
                     std::string* reason);
    static bool kindFromName(std::string_view name, Kind* kind);

    // The attribute values of one line: names of the group's attributes, values as text (numbers
    // as decimal integers). Keys of key=value and JSON lines that are not attributes are left out;
    // texts longer than their attribute are cut. False with a reason when the line does not parse or
    // yields no value.
    bool parse(std::string_view line, Values* values, std::string* reason) const;

  private:
    bool parseDelimited(std::string_view line, Values* values, std::string* reason) const;
    bool parseKeyValue(std::string_view line, Values* values, std::string* reason) const;
    bool parseJson(std::string_view line, Values* values, std::string* reason) const;
    bool parseRegex(std::string_view line, Values* values, std::string* reason) const;
    void add(const std::string& name, std::string value, Values* values) const;

    Kind _kind = kDelimited;
    dp::GroupDesc _group;  // a copy: the format outlives the definition it was read from
    char _delimiter = ',';
    std::vector<std::string> _fields;
    PatternMatcher _pattern;
};

}  // namespace vorpane::providers

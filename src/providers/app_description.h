// The description file of vorpane-dp and of the built-in providers' definitions: one application
// with its attribute groups and attributes, and the rows sent for them. docs/vorpane-dp.md gives the
// format, docs/providers.md the provider's source section. Everything here is text in, structure (or
// an error with its line) out; the callers do the files and the hub.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "interfaces/dch_client.h"

namespace vorpane::dp {

struct AttributeDesc {
    std::string name;  // as registered, prefix included ("@PID")
    char type = 'D';   // A C G S D O T
    int length = 0;
    std::string enumeration;
    std::string format;  // with UNIT{unit} when the attribute has a unit
    std::string help;
    std::string unit;  // one of vorpane::kUnitNames, or empty
    int line = 0;

    // The name without its "@", "$" or "@$" prefix: what rows and the hub's dp_data use.
    std::string_view plainName() const;
};

struct GroupDesc {
    std::string name;  // upper case
    char type = 'P';   // P S K E N
    int32_t ttl = 0;
    std::string dpType;
    std::string help;
    std::vector<AttributeDesc> attributes;
    int line = 0;

    const AttributeDesc* attribute(std::string_view name) const;
    // "name,type,length,enum,format,help;..." with a blank for each empty text.
    std::string registration() const;
};

struct AppDescription {
    std::string name;  // upper case
    std::string help;
    std::vector<GroupDesc> groups;

    const GroupDesc* group(std::string_view name) const;
    DPapplication registration() const;
    // Gives every group without a dptype= this provider type: the agent reads a group's provider
    // type from its registration, and one registered without any is an error in its trace.
    void defaultProviderType(std::string_view type);
};

// A refusal: the line it concerns (0 for the file as a whole) and why.
struct ParseError {
    int line = 0;
    std::string reason;
};

// Splits a line into words at blanks and tabs. A double-quoted part may hold blanks and may be part
// of a word (help="two words"); inside it \" is a quote and \\ a backslash. False with a reason for
// an unterminated quote.
bool splitWords(std::string_view line, std::vector<std::string>* words, std::string* reason);

// False with a reason ("a NUL byte at character N") when an input line holds a NUL byte: the hub and
// the tables end a text at it, so a line with one would arrive cut or as another value.
bool noNulByte(std::string_view line, std::string* reason);

// Lines whose keyword is not application, group or attribute go to `other` (the providers' source
// section); without one they are refused. It returns false with a reason to refuse the line.
using OtherLine = std::function<bool(int line, const std::vector<std::string>& words, std::string* reason)>;

bool parseDescription(std::string_view text, AppDescription* description, ParseError* error,
                      const OtherLine& other = nullptr);

// One row: the group, the source (empty: the only one online), the control field and the values.
struct RowSpec {
    std::string group;
    std::string source;
    int controlField = DCH_NO_CONTROL_FIELD;
    std::vector<std::pair<std::string, std::string>> values;
};

// "GROUP[@SOURCE][:CONTROL] name=value ...". CONTROL is single, first, next, last, delete,
// delete-first or a number (0x11).
bool parseRow(std::string_view line, RowSpec* row, std::string* reason);

// Turns the values into attribute values of the group's types: numbers for A, C, G and S, text
// for D, O and T. False with a reason for an unknown attribute, a number out of range or too long
// a text, or a value with a NUL byte.
bool formatRow(const RowSpec& parsedRow, const GroupDesc& group, DProw* row, std::string* reason);

}  // namespace vorpane::dp

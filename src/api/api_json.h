// The JSON shapes of the management API: the facade's values in, nlohmann::json out (and situation
// definitions back in). Pure functions; docs/management-api.md shows each shape.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "interfaces/axf_facade.h"

namespace vorpane::api {

// Objects keep the order their members were set in (a row's columns in column order).
using Json = nlohmann::ordered_json;

// Seconds since the epoch as ISO 8601 in UTC ("2026-12-06T06:00:00Z").
std::string isoTime(int64_t seconds);

// Seconds since a source's newest row at clock second now: before its first row, since it came
// online (or went offline).
int64_t lastRowAge(const axf::SourceActivity& source, int64_t now);

// A source of a group as /v1/subnodes lists it.
Json sourceJson(const axf::SourceActivity& source, int64_t now);
// A time stamp column's text ("CYYMMDDHHMMSSmmm", local time) as ISO 8601 with the local offset, or
// nothing when the text is not such a time stamp (not 16 digits, or a month, day, hour, minute or
// second that does not exist).
std::optional<std::string> timestampToIso(std::string_view text);

// The key of a column in a row object: its attribute name, or its filter name when it has none.
const std::string& columnKey(const axf::ColumnDesc& column);

Json columnJson(const axf::ColumnDesc& column);
// rowCount: the rows a report of the table gave, when it was counted.
Json tableJson(const axf::TableDesc& table, bool withColumns, std::optional<size_t> rowCount = std::nullopt);
// Integer columns as numbers (whole numbers when the column has no scale, else divided by 10^scale),
// the time stamps of time attributes (attribute type 'T') as ISO 8601, other text as strings; a text
// without a value (it starts with kMissingValue) as null.
Json valueJson(const axf::ColumnDesc& column, const axf::Value& value);
Json rowJson(const std::vector<axf::ColumnDesc>& columns, const std::vector<axf::Value>& row);
Json rowJson(const std::vector<axf::ColumnDesc>& columns, const axf::ReportRows::Row& row);

const char* subnodeStateName(axf::SubnodeState state);
Json subnodeJson(const axf::SubnodeInfo& subnode);

Json situationDefJson(const axf::SituationDef& def);
Json situationStatusJson(const axf::SituationStatus& status);
// A definition from a request body. The filter comes as a `where` expression. False with *error
// (and *position > 0 for a `where` syntax error) when the body is not a usable definition.
bool situationDefFromJson(const Json& body, axf::SituationDef* def, std::string* where, std::string* error,
                          size_t* position);
// An action request from a request body: "command" and "subnodes". False with *error when the body
// is not a usable request.
bool actionRequestFromJson(const Json& body, axf::ActionRequest* request, std::string* error);

const char* eventKindName(axf::EventKind kind);
Json eventJson(const axf::Event& event, const std::vector<axf::ColumnDesc>* columns);
Json messageJson(const axf::MessageEntry& message);

}  // namespace vorpane::api

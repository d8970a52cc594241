#include "api/api_json.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "api/api_http.h"
#include "api/api_names.h"
#include "api/where_parser.h"

namespace vorpane::api {

std::string isoTime(int64_t seconds) {
    time_t t = static_cast<time_t>(seconds);
    struct tm tmv {};
    gmtime_r(&t, &tmv);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tmv);
    return text;
}

namespace {

// month 0 to 11
int daysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return kDays[month] + (month == 1 && leap ? 1 : 0);
}

}  // namespace

std::optional<std::string> timestampToIso(std::string_view text) {
    if (text.size() != 16) {
        return std::nullopt;
    }
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            return std::nullopt;
        }
    }
    auto num = [&](size_t at, size_t len) {
        int v = 0;
        for (size_t i = at; i < at + len; ++i) {
            v = v * 10 + (text[i] - '0');
        }
        return v;
    };
    struct tm tmv {};
    tmv.tm_year = num(0, 1) * 100 + num(1, 2);
    tmv.tm_mon = num(3, 2) - 1;
    tmv.tm_mday = num(5, 2);
    tmv.tm_hour = num(7, 2);
    tmv.tm_min = num(9, 2);
    tmv.tm_sec = num(11, 2);
    int millis = num(13, 3);
    if (num(0, 1) > 1 || tmv.tm_mon < 0 || tmv.tm_mon > 11 || tmv.tm_mday < 1 ||
        tmv.tm_mday > daysInMonth(tmv.tm_year + 1900, tmv.tm_mon) || tmv.tm_hour > 23 || tmv.tm_min > 59 ||
        tmv.tm_sec > 60) {
        return std::nullopt;
    }
    tmv.tm_isdst = -1;
    struct tm fields = tmv;
    time_t t = mktime(&tmv);  // fills in the offset of local time at that moment
    if (t == static_cast<time_t>(-1)) {
        return std::nullopt;
    }
    long offset = tmv.tm_gmtoff / 60;
    char text16[96];  // room for every value the fields' types allow, so no compiler sees a cut text
    std::snprintf(text16, sizeof text16, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld", fields.tm_year + 1900,
                  fields.tm_mon + 1, fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec, millis,
                  offset < 0 ? '-' : '+', std::labs(offset) / 60, std::labs(offset) % 60);
    return std::string(text16);
}

const std::string& columnKey(const axf::ColumnDesc& column) {
    return column.attrName.empty() ? column.name : column.attrName;
}

Json columnJson(const axf::ColumnDesc& column) {
    return Json{{"name", columnKey(column)},
                {"column", column.name},
                {"type", column.attrType != 0 ? Json(std::string(1, column.attrType)) : Json(nullptr)},
                {"valueType", column.valueType == axf::ValueType::Integer ? "integer" : "text"},
                {"length", column.length},
                {"unit", column.unit.empty() ? Json(nullptr) : Json(column.unit)},
                {"key", column.key},
                {"scale", column.scale},
                {"caption", column.caption},
                {"help", column.help}};
}

Json tableJson(const axf::TableDesc& table, bool withColumns, std::optional<size_t> rowCount) {
    Json j{{"application", table.application},
           {"release", table.release},
           {"group", table.group.empty() ? Json(nullptr) : Json(table.group)},
           {"table", table.tableName},
           {"sampleType", table.sampleType != 0 ? Json(std::string(1, table.sampleType)) : Json(nullptr)},
           {"ttl", table.ttlSeconds},
           {"help", table.help},
           {"internal", table.internal}};
    if (rowCount) {
        j["rowCount"] = *rowCount;
    }
    if (withColumns) {
        Json columns = Json::array();
        for (const axf::ColumnDesc& c : table.columns) {
            columns.push_back(columnJson(c));
        }
        j["columns"] = std::move(columns);
    } else {
        j["columns"] = table.columns.size();
    }
    return j;
}

Json valueJson(const axf::ColumnDesc& column, const axf::Value& value) {
    if (const int64_t* n = std::get_if<int64_t>(&value)) {
        if (column.scale > 0) {
            return static_cast<double>(*n) / std::pow(10.0, column.scale);
        }
        return *n;
    }
    const std::string& text = std::get<std::string>(value);
    if (!text.empty() && text.front() == kMissingValue) {
        return nullptr;  // the provider sent no value
    }
    // Only a time attribute's text is a time stamp: a 16-digit serial number or account is not.
    if (column.attrType == 'T') {
        if (std::optional<std::string> iso = timestampToIso(text)) {
            return *iso;
        }
    }
    return text;
}

Json rowJson(const std::vector<axf::ColumnDesc>& columns, const std::vector<axf::Value>& row) {
    Json j = Json::object();
    for (size_t i = 0; i < columns.size() && i < row.size(); ++i) {
        j[columnKey(columns[i])] = valueJson(columns[i], row[i]);
    }
    return j;
}

Json rowJson(const std::vector<axf::ColumnDesc>& columns, const axf::ReportRows::Row& row) {
    Json j = Json::object();
    for (size_t i = 0; i < columns.size() && i < row.size(); ++i) {
        j[columnKey(columns[i])] = valueJson(columns[i], row[i]);
    }
    return j;
}

const char* subnodeStateName(axf::SubnodeState state) {
    return state == axf::SubnodeState::Registered ? "registered" : "deregistered";
}

int64_t lastRowAge(const axf::SourceActivity& source, int64_t now) {
    const int64_t from = source.lastRow != 0 ? source.lastRow : source.since;
    return now > from ? now - from : 0;
}

Json sourceJson(const axf::SourceActivity& source, int64_t now) {
    return Json{{"application", source.application},
                {"group", source.group},
                {"source", source.source},
                {"online", source.online},
                {"since", isoTime(source.since)},
                {"lastRow", source.lastRow != 0 ? Json(isoTime(source.lastRow)) : Json(nullptr)},
                {"lastRowAgeSeconds", lastRowAge(source, now)},
                {"rows", source.rows},
                {"rowsPerSecond", source.rowsPerSecond}};
}

Json subnodeJson(const axf::SubnodeInfo& subnode) {
    return Json{{"name", subnode.name},         {"application", subnode.applName},
                {"version", subnode.version},   {"affinity", subnode.affinity},
                {"state", subnodeStateName(subnode.state)}, {"since", isoTime(subnode.since)}};
}

Json situationDefJson(const axf::SituationDef& def) {
    Json j{{"name", def.name},
           {"application", def.applName},
           {"table", def.tableName},
           {"where", axf::formatFilter(def.filter)},
           {"interval", def.intervalSeconds},
           {"event", def.event},
           {"action", def.action},
           {"atomic", def.atomicColumn},
           {"subnodes", def.subnodes}};
    return j;
}

Json situationStatusJson(const axf::SituationStatus& status) {
    Json j = situationDefJson(status.def);
    j["started"] = isoTime(status.started);
    j["lastSample"] = status.lastSample == 0 ? Json(nullptr) : Json(isoTime(status.lastSample));
    j["samples"] = status.samples;
    Json states = Json::array();
    for (const axf::SituationState& s : status.states) {
        states.push_back(Json{{"subnode", s.subnode},
                              {"atomicValue", s.atomicValue},
                              {"state", s.raised ? "raised" : "clear"},
                              {"since", isoTime(s.since)},
                              {"actions", s.actions},
                              {"lastActionResult", s.lastActionResult}});
    }
    j["states"] = std::move(states);
    return j;
}

bool situationDefFromJson(const Json& body, axf::SituationDef* def, std::string* where, std::string* error,
                          size_t* position) {
    *position = 0;
    if (!body.is_object()) {
        *error = "the body must be a JSON object";
        return false;
    }
    auto text = [&](const char* key, std::string* out, bool required) {
        auto it = body.find(key);
        if (it == body.end() || it->is_null()) {
            if (required) {
                *error = std::string("\"") + key + "\" is missing";
            }
            return !required;
        }
        if (!it->is_string()) {
            *error = std::string("\"") + key + "\" must be a string";
            return false;
        }
        *out = it->get<std::string>();
        return true;
    };
    if (!text("name", &def->name, true) || !text("application", &def->applName, true) ||
        !text("table", &def->tableName, true) || !text("where", where, false) ||
        !text("action", &def->action, false) || !text("atomic", &def->atomicColumn, false)) {
        return false;
    }
    if (!validName(def->name, kMaxSituationName)) {
        *error = "a situation name has 1 to " + std::to_string(kMaxSituationName) + " letters, digits or \"_\"";
        return false;
    }
    *error = tableNameProblem("application", def->applName);
    if (error->empty()) {
        *error = tableNameProblem("table", def->tableName);
    }
    if (error->empty() && !def->atomicColumn.empty()) {
        *error = nameProblem("atomic", def->atomicColumn, kMaxColumnName);
    }
    if (error->empty()) {
        *error = controlCharacterProblem("action", def->action);
    }
    if (!error->empty()) {
        return false;
    }
    if (auto it = body.find("interval"); it != body.end() && !it->is_null()) {
        if (!it->is_number_integer() || it->get<int64_t>() < 0 || it->get<int64_t>() > 86400) {
            *error = "\"interval\" must be a whole number of seconds from 0 to 86400";
            return false;
        }
        def->intervalSeconds = it->get<int>();
    }
    if (auto it = body.find("event"); it != body.end() && !it->is_null()) {
        if (!it->is_boolean()) {
            *error = "\"event\" must be true or false";
            return false;
        }
        def->event = it->get<bool>();
    }
    if (auto it = body.find("subnodes"); it != body.end() && !it->is_null()) {
        if (!it->is_array()) {
            *error = "\"subnodes\" must be a list of names";
            return false;
        }
        for (const Json& s : *it) {
            if (!s.is_string()) {
                *error = "\"subnodes\" must be a list of names";
                return false;
            }
            if (*error = nameProblem("subnodes", s.get_ref<const std::string&>(), kMaxSubnodeName); !error->empty()) {
                return false;
            }
            def->subnodes.push_back(s.get<std::string>());
        }
    }
    WhereResult parsed = parseWhere(*where);
    if (!parsed.ok) {
        *position = parsed.position;
        *error = parsed.message;
        return false;
    }
    def->filter = std::move(parsed.filter);
    return true;
}

bool actionRequestFromJson(const Json& body, axf::ActionRequest* request, std::string* error) {
    auto refuse = [&](std::string why) {
        *error = std::move(why);
        return false;
    };
    request->user = kApiUser;
    auto command = body.is_object() ? body.find("command") : body.end();
    if (!body.is_object() || command == body.end() || !command->is_string() || command->get<std::string>().empty()) {
        return refuse("\"command\" (a non-empty string) is missing");
    }
    request->command = command->get<std::string>();
    if (std::string problem = controlCharacterProblem("command", request->command); !problem.empty()) {
        return refuse(problem);
    }
    auto subnodes = body.find("subnodes");
    if (subnodes == body.end() || !subnodes->is_array() || subnodes->empty()) {
        return refuse("\"subnodes\" (a list of at least one name) is missing");
    }
    for (const Json& n : *subnodes) {
        if (!n.is_string()) {
            return refuse("\"subnodes\" must be a list of names");
        }
        if (std::string problem = nameProblem("subnodes", n.get_ref<const std::string&>(), kMaxSubnodeName);
            !problem.empty()) {
            return refuse(problem);
        }
        request->subnodes.push_back(n.get<std::string>());
    }
    return true;
}

const char* eventKindName(axf::EventKind kind) {
    switch (kind) {
        case axf::EventKind::SituationRaised:
            return "raised";
        case axf::EventKind::SituationCleared:
            return "cleared";
        case axf::EventKind::EventRow:
            return "row";
    }
    return "unknown";
}

Json eventJson(const axf::Event& event, const std::vector<axf::ColumnDesc>* columns) {
    Json j{{"seq", event.seq},
           {"time", isoTime(event.time)},
           {"kind", eventKindName(event.kind)},
           {"situation", event.situation},
           {"application", event.applName},
           {"table", event.tableName},
           {"subnode", event.subnode},
           {"atomicValue", event.atomicValue}};
    if (event.row.empty()) {
        j["row"] = nullptr;
    } else if (columns != nullptr) {
        j["row"] = rowJson(*columns, event.row);
    } else {
        Json values = Json::array();
        for (const axf::Value& v : event.row) {
            std::visit([&](const auto& x) { values.push_back(x); }, v);
        }
        j["row"] = std::move(values);
    }
    return j;
}

Json messageJson(const axf::MessageEntry& message) {
    return Json{{"seq", message.seq},
                {"time", isoTime(message.time)},
                {"severity", message.severity},
                {"category", message.category},
                {"text", message.text}};
}

}  // namespace vorpane::api

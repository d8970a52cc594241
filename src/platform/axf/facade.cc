// The facade for the management API: checks what it is asked, turns names and texts into the
// framework's request detail, and hands the work to the engine. Subnodes and messages are answered
// by framework.cc, which keeps them.
#include <strings.h>

#include <cctype>
#include <climits>
#include <cstring>

#include "common/closest_names.h"
#include "interfaces/axf_facade.h"
#include "interfaces/support.h"
#include "platform/axf/action_runner.h"
#include "platform/axf/engine.h"

namespace axf {

ReportRows::ReportRows(std::vector<char> images, size_t count, int rowSize, std::vector<Field> fields)
    : _images(std::move(images)), _count(count), _rowSize(rowSize), _fields(std::move(fields)) {
    if (_rowSize <= 0 || _images.size() < _count * static_cast<size_t>(_rowSize)) {
        _count = 0;  // images that do not hold count rows: none is read past them
    }
}

Value ReportRows::Row::operator[](size_t column) const {
    if (isInteger(column)) {
        return Value(integer(column));
    }
    return Value(std::string(text(column)));
}

bool ReportRows::Row::isInteger(size_t column) const {
    return column < _rows->_fields.size() && detail::isIntegerField(_rows->_fields[column]);
}

int64_t ReportRows::Row::integer(size_t column) const {
    return column < _rows->_fields.size() ? detail::fieldInteger(_rows->_fields[column], _image, _rows->_rowSize) : 0;
}

std::string_view ReportRows::Row::text(size_t column) const {
    return column < _rows->_fields.size() ? detail::fieldTextView(_rows->_fields[column], _image, _rows->_rowSize)
                                          : std::string_view();
}

namespace {

constexpr double kDefaultReportTimeout = 30.0;
constexpr size_t kMaxSituationName = 32;
constexpr const char* kPolicyTable = "QNACTRMT";

std::string upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string tableText(std::string_view appl, std::string_view table) {
    std::string out;
    out.reserve(appl.size() + table.size() + 3);
    out.append(1, '<').append(appl).append(1, '/').append(table).append(1, '>');
    return out;
}

// The index of the column named name (its filter name or its attribute name, case-blind), or -1.
int findColumn(const std::vector<ColumnInfo>& columns, std::string_view name) {
    for (size_t i = 0; i < columns.size(); ++i) {
        if (equalsNoCase(columns[i].name.view(), name)) {
            return static_cast<int>(i);
        }
    }
    for (size_t i = 0; i < columns.size(); ++i) {
        if (!columns[i].attrName.empty() && equalsNoCase(columns[i].attrName, name)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// Why a filter value is refused for a number column.
enum class ScaledError { kNone, kNotANumber, kTooManyDecimals, kTooManyDigits };

// A decimal number with up to `scale` decimal places as the integer it stands for.
ScaledError parseScaled(std::string_view text, int scale, int64_t* out) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    int64_t value = 0;
    int digits = 0, decimals = 0;
    bool point = false;
    bool tooManyDecimals = false;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c == '.' && !point) {
            point = true;
            continue;
        }
        if (c < '0' || c > '9') {
            return ScaledError::kNotANumber;
        }
        if (point && ++decimals > scale) {
            tooManyDecimals = true;  // still a number: the whole text is read before saying so
            continue;
        }
        value = value * 10 + (c - '0');
        if (++digits > 12) {
            return ScaledError::kTooManyDigits;
        }
    }
    if (digits == 0) {
        return ScaledError::kNotANumber;
    }
    if (tooManyDecimals) {
        return ScaledError::kTooManyDecimals;
    }
    for (int k = decimals; k < scale; ++k) {
        value *= 10;
    }
    *out = negative ? -value : value;
    return ScaledError::kNone;
}

// An integer column's value v as the number it stands for: v / 10^scale.
std::string scaledText(int64_t v, int scale) {
    std::string digits = std::to_string(v < 0 ? -v : v);
    if (scale > 0) {
        if (digits.size() <= static_cast<size_t>(scale)) {
            digits.insert(0, static_cast<size_t>(scale) + 1 - digits.size(), '0');
        }
        digits.insert(digits.size() - static_cast<size_t>(scale), ".");
    }
    return (v < 0 ? "-" : "") + digits;
}

// The framework's filter elements for a facade filter on these columns.
Status encodeFilter(const Filter& filter, const std::vector<ColumnInfo>& columns, std::string_view table,
                    std::vector<FLT1_FILTERINFO>* out) {
    out->clear();
    for (size_t i = 0; i < filter.size(); ++i) {
        const Predicate& p = filter[i];
        int c = findColumn(columns, p.column);
        if (c < 0) {
            std::vector<std::string> names;
            for (const ColumnInfo& k : columns) {
                names.push_back(k.attrName.empty() ? k.name.str() : k.attrName);
            }
            return Status{kInvalid, "unknown column <" + p.column + "> in table <" + std::string(table) + ">; " +
                                        vorpane::knownNames(p.column, std::move(names), "columns")};
        }
        const ColumnInfo& col = columns[static_cast<size_t>(c)];
        FLT1_FILTERINFO f;
        f.columnName.assign(upper(col.name.view()));
        f.compareOperator = static_cast<int>(p.op);
        f.logicalOperator = i + 1 == filter.size() ? 0 : static_cast<int>(p.join);
        f.functionType = 0;
        switch (p.op) {
            case CompareOp::EQ:
            case CompareOp::NE:
            case CompareOp::GE:
            case CompareOp::LE:
            case CompareOp::LT:
            case CompareOp::GT:
            case CompareOp::LIKE:
                break;
            default:
                return Status{kInvalid, "unknown compare operator " + std::to_string(static_cast<int>(p.op))};
        }
        if (col.type == AXF_COLUMN_INT32 || col.type == AXF_COLUMN_INT16) {
            if (p.op == CompareOp::LIKE) {
                return Status{kInvalid, "LIKE compares text; column <" + p.column + "> is a number"};
            }
            int64_t v;
            int64_t lo = col.type == AXF_COLUMN_INT16 ? INT16_MIN : INT32_MIN;
            int64_t hi = col.type == AXF_COLUMN_INT16 ? INT16_MAX : INT32_MAX;
            const ScaledError e = parseScaled(p.value, col.scale, &v);
            const std::string what = "value <" + p.value + "> for column <" + p.column + ">";
            if (e == ScaledError::kNotANumber) {
                return Status{kInvalid, what + " is not a number"};
            }
            if (e == ScaledError::kTooManyDecimals) {
                return Status{kInvalid,
                              what + " has too many decimals: the column holds " +
                                  (col.scale == 0 ? std::string("whole numbers")
                                                  : "numbers with at most " + std::to_string(col.scale) +
                                                        (col.scale == 1 ? " decimal" : " decimals"))};
            }
            if (e == ScaledError::kTooManyDigits || v < lo || v > hi) {
                return Status{kInvalid, what + " is out of range: the column holds " +
                                            scaledText(lo, col.scale) + " to " + scaledText(hi, col.scale)};
            }
            int32_t v32 = static_cast<int32_t>(v);
            f.dataType = FLT1_TYPE_LONG;
            f.value.assign(reinterpret_cast<const char*>(&v32), sizeof v32);
            f.valueLength = sizeof v32;
        } else {
            f.dataType = FLT1_TYPE_STRING;
            f.value = p.value;
            f.valueLength = static_cast<int>(p.value.size());
        }
        out->push_back(std::move(f));
    }
    return Status{};
}

struct Found {
    RemoteManager* hold = nullptr;
    TableManager* manager = nullptr;
};

// The manager of a table, with the registry held (the caller drops it), or kNotFound.
Status findTable(std::string_view appl, std::string_view table, Found* found) {
    found->hold = RemoteManager::GetManager();
    found->manager = found->hold->FindTableManager(std::string(appl).c_str(), std::string(table).c_str());
    if (found->manager == nullptr) {
        found->hold->Drop();
        found->hold = nullptr;
        return Status{kNotFound, "no table " + tableText(appl, table)};
    }
    return Status{};
}

TableDesc describe(TableManager* m, const std::vector<ColumnInfo>& columns) {
    TableDesc d;
    d.applName = m->ApplicationName();
    d.tableName = m->TableName();
    TableFacts facts = m->Facts();
    if (facts.application.empty()) {
        // "MYAPP01": the application is the name less its two-digit release.
        const std::string& a = d.applName;
        const size_t n = a.size();
        if (n > 2 && std::isdigit(static_cast<unsigned char>(a[n - 1])) &&
            std::isdigit(static_cast<unsigned char>(a[n - 2]))) {
            facts.application = a.substr(0, n - 2);
            facts.release = a.substr(n - 2);
        } else {
            facts.application = a;
        }
    }
    d.application = std::move(facts.application);
    d.release = std::move(facts.release);
    d.group = std::move(facts.group);
    d.help = std::move(facts.help);
    d.sampleType = facts.sampleType;
    d.ttlSeconds = facts.ttlSeconds;
    d.internal = facts.internal;
    d.columns.reserve(columns.size());
    for (const ColumnInfo& c : columns) {
        d.columns.push_back(detail::describeColumn(c));
    }
    return d;
}

bool validSituationName(std::string_view name) {
    if (name.empty() || name.size() > kMaxSituationName) {
        return false;
    }
    for (char c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') {
            return false;
        }
    }
    return true;
}

}  // namespace

bool sameApplication(std::string_view tableApplName, std::string_view subnodeApplName) {
    if (equalsNoCase(tableApplName, subnodeApplName)) {
        return true;
    }
    const size_t n = subnodeApplName.size();
    return tableApplName.size() == n + 2 && equalsNoCase(tableApplName.substr(0, n), subnodeApplName) &&
           std::isdigit(static_cast<unsigned char>(tableApplName[n])) &&
           std::isdigit(static_cast<unsigned char>(tableApplName[n + 1]));
}

std::vector<TableDesc> listTables() {
    RemoteManager* hold = RemoteManager::GetManager();
    std::vector<TableDesc> out;
    for (TableManager* m : detail::registeredManagers()) {
        std::vector<ColumnInfo> columns;
        if (detail::probeColumns(m, &columns)) {
            out.push_back(describe(m, columns));
        }
    }
    hold->Drop();
    return out;
}

Status describeTable(std::string_view applName, std::string_view tableName, TableDesc* out) {
    Found f;
    if (Status s = findTable(applName, tableName, &f); !s.ok()) {
        return s;
    }
    std::vector<ColumnInfo> columns;
    bool ok = detail::probeColumns(f.manager, &columns);
    if (ok) {
        *out = describe(f.manager, columns);
    }
    f.hold->Drop();
    return ok ? Status{} : Status{kFailed, "table " + tableText(applName, tableName) + " made no request"};
}

const char* compareOpName(CompareOp op) {
    switch (op) {
        case CompareOp::EQ:
            return "EQ";
        case CompareOp::NE:
            return "NE";
        case CompareOp::GE:
            return "GE";
        case CompareOp::LE:
            return "LE";
        case CompareOp::LT:
            return "LT";
        case CompareOp::GT:
            return "GT";
        case CompareOp::LIKE:
            return "LIKE";
    }
    return "??";
}

Status parseFilter(std::string_view text, Filter* out) {
    out->clear();
    size_t i = 0;
    auto skipBlanks = [&] {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
            ++i;
        }
    };
    // A word, or a quoted value in single quotes ('' stands for one quote). False for an open quote.
    auto word = [&](std::string* w) {
        skipBlanks();
        w->clear();
        if (i < text.size() && text[i] == '\'') {
            ++i;
            for (;;) {
                if (i >= text.size()) {
                    return false;
                }
                if (text[i] == '\'') {
                    if (i + 1 < text.size() && text[i + 1] == '\'') {
                        w->push_back('\'');
                        i += 2;
                        continue;
                    }
                    ++i;
                    return true;
                }
                w->push_back(text[i++]);
            }
        }
        while (i < text.size() && text[i] != ' ' && text[i] != '\t') {
            w->push_back(text[i++]);
        }
        return true;
    };
    static constexpr CompareOp kOps[] = {CompareOp::EQ, CompareOp::NE, CompareOp::GE, CompareOp::LE,
                                         CompareOp::LT, CompareOp::GT, CompareOp::LIKE};
    skipBlanks();
    if (i >= text.size()) {
        return Status{};  // no filter: every row
    }
    for (;;) {
        Predicate p;
        std::string opText;
        if (!word(&p.column) || p.column.empty()) {
            return Status{kInvalid, "filter: a column name is missing at position " + std::to_string(i)};
        }
        if (!word(&opText) || opText.empty()) {
            return Status{kInvalid, "filter: an operator is missing after <" + p.column + ">"};
        }
        bool known = false;
        for (CompareOp op : kOps) {
            if (equalsNoCase(opText, compareOpName(op))) {
                p.op = op;
                known = true;
            }
        }
        if (!known) {
            return Status{kInvalid, "filter: unknown operator <" + opText + "> (EQ NE GE LE LT GT LIKE)"};
        }
        skipBlanks();
        if (i >= text.size()) {
            return Status{kInvalid, "filter: a value is missing after <" + p.column + " " + opText + ">"};
        }
        if (!word(&p.value)) {
            return Status{kInvalid, "filter: a quoted value is not closed"};
        }
        out->push_back(std::move(p));
        std::string join;
        skipBlanks();
        if (i >= text.size()) {
            return Status{};
        }
        word(&join);
        if (equalsNoCase(join, "AND")) {
            out->back().join = Join::And;
        } else if (equalsNoCase(join, "OR")) {
            out->back().join = Join::Or;
        } else {
            return Status{kInvalid, "filter: expected AND or OR, found <" + join + ">"};
        }
    }
}

std::string formatFilter(const Filter& filter) {
    std::string out;
    for (size_t i = 0; i < filter.size(); ++i) {
        const Predicate& p = filter[i];
        out += p.column;
        out += ' ';
        out += compareOpName(p.op);
        out += ' ';
        bool quote = p.value.empty() || p.value.find_first_of(" \t'") != std::string::npos;
        if (quote) {
            out += '\'';
            for (char c : p.value) {
                out += c;
                if (c == '\'') {
                    out += '\'';
                }
            }
            out += '\'';
        } else {
            out += p.value;
        }
        if (i + 1 < filter.size()) {
            out += p.join == Join::Or ? " OR " : " AND ";
        }
    }
    return out;
}

static ReportResult runReportChecked(const ReportQuery& query) {
    ReportResult r;
    Found f;
    if (r.status = findTable(query.applName, query.tableName, &f); !r.status.ok()) {
        return r;
    }
    std::vector<ColumnInfo> columns;
    if (!detail::probeColumns(f.manager, &columns)) {
        f.hold->Drop();
        r.status = Status{kFailed, "table " + tableText(query.applName, query.tableName) + " made no request"};
        return r;
    }
    RequestDetail d;
    d.applName = f.manager->ApplicationName();
    d.tableName = f.manager->TableName();
    d.sampleType = IntfSampleType_demand;
    d.subnodes = query.subnodes.empty() ? detail::subnodesOfApplication(d.applName) : query.subnodes;
    if (r.status = encodeFilter(query.filter, columns, query.tableName, &d.filter); !r.status.ok()) {
        f.hold->Drop();
        return r;
    }
    for (const ColumnInfo& c : columns) {
        r.columns.push_back(detail::describeColumn(c));
    }
    double timeout = query.timeoutSeconds > 0 ? query.timeoutSeconds : kDefaultReportTimeout;
    r.status = detail::runReportOn(f.manager, f.hold, d, ContextInfo{query.user}, columns, timeout, &r.rows);
    return r;
}

ReportResult runReport(const ReportQuery& query) {
    ReportResult r = runReportChecked(query);
    if (!r.status.ok()) {
        VA_ERROR("Error: report on <%s/%s> failed: %s\n", query.applName.c_str(), query.tableName.c_str(),
                 r.status.message.c_str());
    }
    return r;
}

static Status addSituationChecked(const SituationDef& def) {
    if (!validSituationName(def.name)) {
        return Status{kInvalid, "situation name <" + def.name + "> must be 1 to 32 letters, digits or _"};
    }
    if (!def.event && def.intervalSeconds <= 0) {
        return Status{kInvalid, "situation <" + def.name + ">: a sampled situation needs an interval above 0 seconds"};
    }
    Found f;
    if (Status s = findTable(def.applName, def.tableName, &f); !s.ok()) {
        return s;
    }
    detail::SituationPlan plan;
    plan.def = def;
    if (!detail::probeColumns(f.manager, &plan.columns)) {
        f.hold->Drop();
        return Status{kFailed, "table " + tableText(def.applName, def.tableName) + " made no request"};
    }
    if (Status s = encodeFilter(def.filter, plan.columns, def.tableName, &plan.detail.filter); !s.ok()) {
        f.hold->Drop();
        s.message = "situation <" + def.name + ">: " + s.message;
        return s;
    }
    plan.originColumn = findColumn(plan.columns, "ORIGINNODE");
    if (!def.atomicColumn.empty()) {
        plan.atomicColumn = findColumn(plan.columns, def.atomicColumn);
        if (plan.atomicColumn < 0) {
            f.hold->Drop();
            return Status{kInvalid, "situation <" + def.name + ">: unknown atomic column <" + def.atomicColumn + ">"};
        }
    }
    plan.detail.applName = f.manager->ApplicationName();
    plan.detail.tableName = f.manager->TableName();
    plan.detail.situationName = def.name;
    plan.detail.interval = def.event ? 0 : def.intervalSeconds;
    plan.detail.sampleType = def.event ? IntfSampleType_event : IntfSampleType_exception;
    if (!def.action.empty()) {
        plan.detail.instructions = "AUTO(" + def.action + ")";
    }
    plan.autoSubnodes = def.subnodes.empty();
    plan.detail.subnodes = plan.autoSubnodes ? detail::subnodesOfApplication(plan.detail.applName) : def.subnodes;
    return detail::startSituation(f.manager, f.hold, std::move(plan));
}

Status addSituation(const SituationDef& def) {
    Status s = addSituationChecked(def);
    if (!s.ok()) {
        VA_ERROR("Error: situation <%s> refused: %s\n", def.name.c_str(), s.message.c_str());
    }
    return s;
}

Status removeSituation(std::string_view name) { return detail::stopSituation(name); }

std::vector<SituationDef> listSituations() { return detail::situations(); }

Status situationStatus(std::string_view name, SituationStatus* out) { return detail::statusOfSituation(name, out); }

EventBatch readEvents(uint64_t afterSeq, double waitSeconds, size_t maxEvents) {
    return detail::eventsAfter(afterSeq, waitSeconds, maxEvents);
}

ActionResult runAction(const ActionRequest& request) {
    if (request.command.find_first_not_of(' ') == std::string::npos) {
        return ActionResult{Status{kInvalid, "the command is empty"}, 0};
    }
    if (request.subnodes.empty()) {
        return ActionResult{Status{kInvalid, "an action names at least one subnode"}, 0};
    }
    if (detail::findCommandCallback(request.command) == nullptr) {
        return ActionResult{Status{kNotFound, "no command callback takes <" + request.command + ">"}, 0};
    }
    RequestDetail d;
    d.tableName = kPolicyTable;
    d.sampleType = IntfSampleType_demand;
    d.subnodes = request.subnodes;
    ContextInfo c{request.user};
    long actionId = 0;
    std::string text;
    long rc = detail::runPolicyAction(&d, &c, request.command, &actionId, &text);
    return ActionResult{Status{}, rc, actionId, std::move(text)};
}

}  // namespace axf

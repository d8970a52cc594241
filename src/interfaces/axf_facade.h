// The framework's facade: what the management API (and tests) may ask of the running framework.
//
// Everything here is plain C++ values in, plain C++ values out; nothing of a transport. Every call is
// thread-safe and may be made from any thread (the API serves several clients at once). No call
// hands out a pointer into the framework: results are copies taken under the framework's locks.
//
//   listSubnodes        the subnodes registered by the agent, with state and the time it last changed
//   listTables          the registered tables with their columns (filter name, attribute name,
//   describeTable         caption, type, length, key flag, scale)
//   runReport           one sample of a table for named subnodes, with an optional filter; rows come
//                       back with typed values, ORIGINNODE included
//   addSituation        a named filter on a table, sampled every interval or fed by event rows, with
//   removeSituation       an optional take-action command and an optional atomic column
//   listSituations
//   situationStatus     a situation's state per subnode (and per atomic value) with the time of the
//                       last change and the result of the last take-action
//   readEvents          situation state changes and event rows after a sequence number, waiting a
//                       bounded time when there is none yet
//   readMessages        console messages (AXF_CreateMessage) after a sequence number
//   runAction           a take-action command for subnodes; the command callback's result and the
//                       action identifier the callback gave it
//   setFigureSource     where the figures of the agent's other parts (the hub's counts) come from;
//   agentFigures          agentFigures passes them on for the metrics, with the framework's own
//   watchChanges        a call after each change of the registered tables or subnodes
//   unwatchChanges
//   sameApplication     the one rule that matches a table's application to a subnode's
//
// Filters: a list of predicates "column op value" joined by AND / OR, AND binding tighter than OR.
// Operators EQ NE GE LE LT GT and LIKE. A text value that is missing (ReportRows::Row::missing) satisfies
// NE alone: it equals nothing, orders against nothing and matches no pattern. LIKE patterns: "*" or "%" match any run of characters,
// "?" or "_" exactly one; everything else matches itself, case-sensitively. Columns are named by
// their filter name (case-blind): "ORIGINNODE", "VA1", ... or by their attribute name.
//
// Results: Status.code 0 is success; the other codes below, each with a message that says why
// (meant for a person: the API may pass it through as it stands).
//
// Tests of the API register tables of their own with axf::MemoryTable (src/platform/axf/memory_table.h):
// known columns, known rows per subnode, event rows pushed on demand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "interfaces/axf.h"

namespace axf {

// ---------------------------------------------------------------------------------------------------
// Results

enum StatusCode : int {
    kOk = 0,
    kNotImplemented = 1,
    kNotFound = 2,  // no such table, subnode, situation
    kInvalid = 3,  // a bad argument: unknown column, bad value, interval 0, bad filter text
    kExists = 4,  // a situation of that name exists
    kTimeout = 5,  // a report did not complete in time (a deferred request never redriven)
    kFailed = 6,  // the table or the framework failed the request
    kStopped = 7,  // the framework is shutting down
};

struct Status {
    int code = kOk;
    std::string message;
    bool ok() const { return code == kOk; }
};

// ---------------------------------------------------------------------------------------------------
// Subnodes

struct SubnodeInfo {
    std::string name;
    std::string affinity;
    std::string applName;  // as registered (without the release)
    std::string version;
    SubnodeState state = SubnodeState::Registered;
    int64_t since = 0;  // clock seconds of the last registration or deregistration
};
std::vector<SubnodeInfo> listSubnodes();

// The one rule for the application of a table: a table's application name carries the two-digit
// release ("MYAPP01"), a subnode is registered with the application name alone ("MYAPP"). True when
// tableApplName is subnodeApplName followed by two digits, or the same name; letters compare
// case-blind.
bool sameApplication(std::string_view tableApplName, std::string_view subnodeApplName);

// ---------------------------------------------------------------------------------------------------
// Tables

enum class ValueType { Text, Integer };

struct ColumnDesc {
    std::string name;  // filter name: "ORIGINNODE", "VA1", ... (upper case)
    std::string attrName;  // the attribute's name ("" when the table has none)
    std::string caption;
    int type = 0;  // AXF_COLUMN_STRING, AXF_COLUMN_INT32, AXF_COLUMN_INT16
    char attrType = 0;  // the attribute's type letter: 'A', 'C' (counter), 'G', 'S', 'D', 'O', 'T'; 0 unknown
    ValueType valueType = ValueType::Text;
    int offset = 0;
    int length = 0;
    bool key = false;
    int scale = 0;  // an integer value v stands for v / 10^scale
    std::string unit;  // one of the accepted unit names ("MiB", "percent", ...), "" when none
    std::string help;  // the attribute's registered help text
};

struct TableDesc {
    std::string applName;  // with its release, as the table manager was made
    std::string tableName;
    std::string application;  // without the release ("VPHOST")
    std::string release;  // "00"; "" for tables without one
    std::string group;  // the attribute group's name ("CPU"); "" when unknown
    std::string help;  // the group's help
    char sampleType = 0;  // 'P', 'S', 'K', 'E', 'N'; 0 unknown
    int ttlSeconds = 0;
    bool internal = false;  // the agent's own tables (fixed tables, its own application's groups)
    std::vector<ColumnDesc> columns;
};

std::vector<TableDesc> listTables();
// kNotFound when no such table is registered.
Status describeTable(std::string_view applName, std::string_view tableName, TableDesc* out);

// ---------------------------------------------------------------------------------------------------
// Filters

enum class CompareOp : int { EQ = 1, NE = 2, GE = 3, LE = 4, LT = 5, GT = 6, LIKE = 10 };
enum class Join : int { And = 8, Or = 7 };

struct Predicate {
    std::string column;  // filter name or attribute name, case-blind
    CompareOp op = CompareOp::EQ;
    std::string value;  // as text; integer columns take a decimal number (scale applied: "1.5")
    Join join = Join::And;  // joins this predicate to the next one; ignored on the last
};
using Filter = std::vector<Predicate>;

// Parses "VA1 EQ 'disk full' AND VA2 GT 5 OR ORIGINNODE LIKE host*". Values with blanks are written in
// single quotes ('' inside stands for one quote). Operators and joins are case-blind.
Status parseFilter(std::string_view text, Filter* out);
std::string formatFilter(const Filter& filter);
const char* compareOpName(CompareOp op);

// ---------------------------------------------------------------------------------------------------
// Reports

using Value = std::variant<int64_t, std::string>;  // Integer columns: int64_t; Text columns: string
                                                    // (cut at its NUL, trailing blanks removed)

// The rows of a report as the table inserted them: row images back to back in one buffer, handed
// over by the request without another copy. Values are read where they are used, one column at a
// time, so a caller that writes them out (JSON, metrics) never builds a second copy of every row.
// Movable, not copyable.
class ReportRows {
public:
    // How one column is read from a row image.
    struct Field {
        int offset = 0;
        int length = 0;
        int type = 0;  // AXF_COLUMN_*
    };

    // One row: a view into the rows it came from (valid while they live and are not moved from).
    class Row {
    public:
        Row(const ReportRows* rows, const char* image) : _rows(rows), _image(image) {}
        size_t size() const { return _rows->_fields.size(); }
        // The typed value of a column (a Text value is copied into its string).
        Value operator[](size_t column) const;
        bool isInteger(size_t column) const;
        // An Integer column's value (0 for a Text column).
        int64_t integer(size_t column) const;
        // A Text column's value without a copy: cut at its NUL, trailing blanks removed ("" for an
        // Integer column).
        std::string_view text(size_t column) const;
        // True when a Text column carries no value (its field starts with kMissingValue); an Integer
        // column always has one.
        bool missing(size_t column) const {
            const std::string_view t = text(column);
            return !t.empty() && t.front() == kMissingValue;
        }
        // The whole row image.
        const char* image() const { return _image; }

    private:
        const ReportRows* _rows;
        const char* _image;
    };

    class Iterator {
    public:
        Iterator(const ReportRows* rows, size_t index) : _rows(rows), _index(index) {}
        Row operator*() const { return (*_rows)[_index]; }
        Iterator& operator++() {
            ++_index;
            return *this;
        }
        bool operator==(const Iterator& o) const { return _index == o._index; }
        bool operator!=(const Iterator& o) const { return _index != o._index; }

    private:
        const ReportRows* _rows;
        size_t _index;
    };

    ReportRows() = default;
    // count row images of rowSize bytes each at the start of images; columns the images hold.
    ReportRows(std::vector<char> images, size_t count, int rowSize, std::vector<Field> fields);
    ReportRows(ReportRows&&) noexcept = default;
    ReportRows& operator=(ReportRows&&) noexcept = default;
    ReportRows(const ReportRows&) = delete;
    ReportRows& operator=(const ReportRows&) = delete;

    size_t size() const { return _count; }
    bool empty() const { return _count == 0; }
    int rowSize() const { return _rowSize; }
    Row operator[](size_t i) const { return Row(this, _images.data() + i * static_cast<size_t>(_rowSize)); }
    Iterator begin() const { return Iterator(this, 0); }
    Iterator end() const { return Iterator(this, _count); }

private:
    std::vector<char> _images;
    size_t _count = 0;
    int _rowSize = 0;
    std::vector<Field> _fields;
};

struct ReportQuery {
    std::string applName;  // as listed by listTables
    std::string tableName;
    std::vector<std::string> subnodes;  // empty: every registered subnode of the table's application
    Filter filter;
    double timeoutSeconds = 30;  // how long a deferred report may wait for its redrive
    std::string user;
};

struct ReportResult {
    Status status;
    std::vector<ColumnDesc> columns;
    ReportRows rows;  // one value per column, in column order
};
ReportResult runReport(const ReportQuery& query);

// ---------------------------------------------------------------------------------------------------
// Situations

struct SituationDef {
    std::string name;  // at most 32 characters: letters, digits, "_"
    std::string applName;
    std::string tableName;
    Filter filter;
    int intervalSeconds = 0;  // sampled situations: > 0; event situations: ignored
    bool event = false;  // fed by event rows as they arrive instead of sampled
    std::string action;  // take-action command run for every firing row; empty for none
    std::string atomicColumn;  // state kept per value of this column; empty for none
    std::vector<std::string> subnodes;  // empty: every registered subnode of the table's application
};

// kExists, kNotFound (table), kInvalid (unknown column, interval 0, bad name or value): the message
// says which.
Status addSituation(const SituationDef& def);
Status removeSituation(std::string_view name);
std::vector<SituationDef> listSituations();

struct SituationState {
    std::string subnode;
    std::string atomicValue;  // "" unless the situation is atomic
    bool raised = false;
    int64_t since = 0;  // clock seconds of the last change (or of the situation's start)
    int64_t actions = 0;  // take-action commands run for this state
    long lastActionResult = 0;  // the command callback's result of the last one
};

struct SituationStatus {
    SituationDef def;
    int64_t started = 0;
    int64_t lastSample = 0;  // 0 before the first completed sample
    int64_t samples = 0;
    std::vector<SituationState> states;
};
Status situationStatus(std::string_view name, SituationStatus* out);

// ---------------------------------------------------------------------------------------------------
// Events and messages. Sequence numbers grow by 1; the framework keeps the last kEventsKept events
// and kMessagesKept messages. A reader that fell behind sees a jump in the numbers. Event numbers
// keep growing across restarts of the agent (a mark in the work directory, docs/framework.md): a
// new process starts above its predecessor's numbers, with a jump. Message numbers start at 1.

inline constexpr size_t kEventsKept = 10000;
inline constexpr size_t kMessagesKept = 1000;

enum class EventKind { SituationRaised, SituationCleared, EventRow };

struct Event {
    uint64_t seq = 0;
    int64_t time = 0;  // clock seconds
    EventKind kind = EventKind::SituationRaised;
    std::string situation;
    std::string applName;
    std::string tableName;
    std::string subnode;
    std::string atomicValue;
    std::vector<Value> row;  // the row that raised the situation or arrived; empty on a clear
};

struct EventBatch {
    std::vector<Event> events;
    uint64_t lastSeq = 0;  // the newest sequence number the framework has handed out
};
// Events with seq > afterSeq, at most maxEvents; when the caller already has every event, waits up
// to waitSeconds (clock seconds, at most 60) for one.
EventBatch readEvents(uint64_t afterSeq, double waitSeconds, size_t maxEvents = 1000);

struct MessageEntry {
    uint64_t seq = 0;
    int64_t time = 0;
    std::string severity, category, text;
};
std::vector<MessageEntry> readMessages(uint64_t afterSeq, size_t maxMessages = 1000);

// ---------------------------------------------------------------------------------------------------
// Take-action commands

struct ActionRequest {
    std::string command;  // the whole command text: name and parameters
    std::vector<std::string> subnodes;  // at least one
    std::string user;
};
struct ActionResult {
    Status status;  // kNotFound when no command callback is registered for the command
    long result = 0;  // the command callback's result
    long actionId = 0;  // the identifier the callback gave the action (SetActionId); 0 when it gave none
    std::string text;  // what the callback said of its result (SetResultText): a provider's text or a reason
};
// Runs the command through the registered command callback as a policy action (table "QNACTRMT")
// and waits for its result.
ActionResult runAction(const ActionRequest& request);

// ---------------------------------------------------------------------------------------------------
// Figures of the agent's other parts

// One sample of a metric family: the hub's requests by code, its connections, its queue depth.
struct Figure {
    std::string name;  // the family's name as it is exposed ("vorpane_hub_requests_total")
    std::string help;
    bool counter = false;  // a count that only grows (else a gauge)
    std::vector<std::pair<std::string, std::string>> labels;
    double value = 0;
};
using FigureSource = std::function<std::vector<Figure>()>;

// The process entry names where the figures come from (an empty source: none). The source is called
// from the caller's thread of agentFigures and must be safe there; it is replaced or cleared before
// what it reads goes away. agentFigures gives the source's figures followed by the framework's own:
// vorpane_framework_actions_waiting and _running (gauges), vorpane_framework_actions_total and
// vorpane_framework_actions_refused_total (counters) for situations' take-action commands.
void setFigureSource(FigureSource source);
std::vector<Figure> agentFigures();

// ---------------------------------------------------------------------------------------------------
// Rows of the sources

// One source of one attribute group as the agent side sees its rows.
struct SourceActivity {
    std::string application;  // as the provider registered it
    std::string group;  // the attribute group
    std::string source;
    bool online = false;
    int64_t since = 0;  // clock seconds it came online, or went offline
    int64_t lastRow = 0;  // clock seconds of its newest row; 0: none yet
    uint64_t rows = 0;  // rows it sent since the agent started
    double rowsPerSecond = 0;  // over the last 30 to 60 seconds
};
using SourceActivitySource = std::function<std::vector<SourceActivity>()>;

// The process entry names where the sources' figures come from (empty: none), as for the figures
// above; sourceActivity() calls it on the caller's thread.
void setSourceActivitySource(SourceActivitySource source);
std::vector<SourceActivity> sourceActivity();

// ---------------------------------------------------------------------------------------------------
// Changes of tables and subnodes

// Called after a table is registered or shut down (its situations ended) and after the registered
// subnodes change. A table of the agent has its columns by the time its subnodes register, so a
// watcher that waits for a table's columns learns of them then. The call runs on the thread that made
// the change, with no lock of the framework held; it must be short and must not call watchChanges or
// unwatchChanges.
using ChangeListener = std::function<void()>;
// An identifier for unwatchChanges (never 0).
uint64_t watchChanges(ChangeListener listener);
// Returns once no call of that listener is under way; it is not called again.
void unwatchChanges(uint64_t id);

}  // namespace axf

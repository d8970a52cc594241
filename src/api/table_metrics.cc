#include "api/table_metrics.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <unordered_map>

#include "api/api_http.h"
#include "api/api_json.h"
#include "api/api_names.h"

namespace vorpane::api {

namespace {

using Words = std::vector<std::string>;

// What the hub registers as the help of an attribute a provider gave none: the name says more.
constexpr std::string_view kNoHelp = "No attribute Help Defined";

// How names spell a unit: a sequence of words, each with its alternatives ("kb|kib|kbytes").
using Spelling = std::vector<std::string_view>;

struct UnitEntry {
    UnitRule rule;
    std::vector<Spelling> spellings;
};

const std::vector<UnitEntry>& unitTable() {
    static const std::vector<UnitEntry> table = [] {
        const Spelling kilo{"kib|kb|kbyte|kbytes|kilobytes|kibibytes"};
        const Spelling mega{"mib|mb|mbyte|mbytes|megabytes|mebibytes"};
        const Spelling giga{"gib|gb|gbyte|gbytes|gigabytes|gibibytes"};
        const Spelling seconds{"seconds|second|secs|sec|s"};
        return std::vector<UnitEntry>{
            {{"bytes", "bytes", 1, 0, true}, {{"bytes|byte|b"}}},
            {{"KiB", "bytes", int64_t{1} << 10, 0, true}, {kilo}},
            {{"MiB", "bytes", int64_t{1} << 20, 0, true}, {mega}},
            {{"GiB", "bytes", int64_t{1} << 30, 0, true}, {giga}},
            {{"KB", "bytes", 1000, 0, true}, {kilo}},
            {{"MB", "bytes", 1000 * 1000, 0, true}, {mega}},
            {{"GB", "bytes", 1000 * 1000 * 1000, 0, true}, {giga}},
            {{"percent", "ratio", 1, 2, false}, {{"pct|percent|percentage|perc|pcnt"}}},
            {{"ratio", "ratio", 1, 0, false}, {{"ratio"}}},
            {{"seconds", "seconds", 1, 0, true}, {seconds}},
            {{"milliseconds", "seconds", 1, 3, true}, {{"milliseconds|millisecond|millis|msecs|msec|ms"}}},
            {{"microseconds", "seconds", 1, 6, true}, {{"microseconds|microsecond|micros|usecs|usec|us"}}},
            {{"nanoseconds", "seconds", 1, 9, true}, {{"nanoseconds|nanosecond|nanos|nsecs|nsec|ns"}}},
            {{"hertz", "hertz", 1, 0, false}, {{"hertz|hz"}}},
            {{"celsius", "celsius", 1, 0, false}, {{"celsius|degc|c"}}},
            {{"bytes_per_second", "bytes_per_second", 1, 0, false},
             {{"bytes|byte|b", "per", "seconds|second|secs|sec|s"}, {"bps"}}},
        };
    }();
    return table;
}

const UnitEntry* unitEntry(std::string_view unit) {
    if (unit.empty()) {
        return nullptr;
    }
    for (const UnitEntry& e : unitTable()) {
        if (e.rule.unit == unit) {
            return &e;
        }
    }
    return nullptr;
}

bool oneOf(std::string_view word, std::string_view alternatives) {
    while (!alternatives.empty()) {
        const size_t bar = alternatives.find('|');
        if (alternatives.substr(0, bar) == word) {
            return true;
        }
        alternatives = bar == std::string_view::npos ? std::string_view() : alternatives.substr(bar + 1);
    }
    return false;
}

// The words of a name made a metric name: lower case, runs of other characters between them.
Words words(std::string_view raw) {
    Words out;
    const std::string name = metricName(raw);
    size_t start = 0;
    while (start <= name.size()) {
        const size_t end = std::min(name.find('_', start), name.size());
        if (end > start) {
            out.push_back(name.substr(start, end - start));
        }
        start = end + 1;
    }
    return out;
}

bool spelledAt(const Words& w, size_t at, const Spelling& spelling) {
    if (at + spelling.size() > w.size()) {
        return false;
    }
    for (size_t i = 0; i < spelling.size(); ++i) {
        if (!oneOf(w[at + i], spelling[i])) {
            return false;
        }
    }
    return true;
}

// Takes every spelling of the unit out of the attribute's words: the unit's own name takes its place
// at the end.
void dropUnitWords(Words& w, const UnitEntry& unit) {
    for (size_t at = 0; at < w.size();) {
        bool dropped = false;
        for (const Spelling& s : unit.spellings) {
            if (spelledAt(w, at, s)) {
                w.erase(w.begin() + static_cast<std::ptrdiff_t>(at),
                        w.begin() + static_cast<std::ptrdiff_t>(at + s.size()));
                dropped = true;
                break;
            }
        }
        at += dropped ? 0 : 1;
    }
}

// A unit the attribute's name ends in when none is declared, for the names Prometheus would read
// as an abbreviated time unit: "Latency_ms" is in milliseconds as surely as if it said so. A name
// that ends in a rate ("_per_sec") is none of them.
const UnitEntry* unitOfName(const Words& w) {
    if (w.empty() || (w.size() >= 2 && w[w.size() - 2] == "per")) {
        return nullptr;
    }
    for (std::string_view unit : {"seconds", "milliseconds", "microseconds", "nanoseconds"}) {
        const UnitEntry* e = unitEntry(unit);
        if (spelledAt(w, w.size() - 1, e->spellings.front())) {
            return e;
        }
    }
    return nullptr;
}

// The words Prometheus reads as abbreviated units that no declared unit explained: written out,
// the value left as it is (a "KB" that is not declared may be 1000 or 1024 bytes).
void spellOutAbbreviations(Words& w) {
    static const std::unordered_map<std::string, std::array<const char*, 2>> spelled = {
        // {standing alone, after "per"}
        {"s", {"secs", "second"}},      {"sec", {"secs", "second"}},   {"ms", {"msecs", "millisecond"}},
        {"us", {"usecs", "microsecond"}}, {"ns", {"nsecs", "nanosecond"}}, {"b", {"bytes", "byte"}},
        {"kb", {"kbytes", "kbyte"}},    {"mb", {"mbytes", "mbyte"}},   {"gb", {"gbytes", "gbyte"}},
        {"tb", {"tbytes", "tbyte"}},    {"pb", {"pbytes", "pbyte"}},   {"m", {"min", "minute"}},
        {"h", {"hour", "hour"}},        {"d", {"day", "day"}},
    };
    for (size_t i = 0; i < w.size(); ++i) {
        auto it = spelled.find(w[i]);
        if (it != spelled.end()) {
            w[i] = it->second[i > 0 && w[i - 1] == "per" ? 1 : 0];
        }
    }
}

// Words that say a number is a level or a rate, not a running count: such a number may go down.
bool levelWord(std::string_view word) {
    static constexpr std::string_view kLevel[] = {
        "active", "avail", "available", "avg", "average", "capacity", "cur", "current", "free", "id",
        "level", "limit", "max", "maximum", "mean", "min", "minimum", "now", "open", "peak", "pct", "percent",
        "per", "pid", "queue", "queued", "rate", "ratio", "running", "size", "temp", "temperature", "usage",
        "used", "util", "utilization", "waiting"};
    return std::find(std::begin(kLevel), std::end(kLevel), word) != std::end(kLevel);
}

std::string joined(const Words& w) {
    std::string out;
    for (const std::string& word : w) {
        if (!out.empty()) {
            out.push_back('_');
        }
        out += word;
    }
    return out;
}

}  // namespace

const UnitRule* unitRule(std::string_view unit) {
    const UnitEntry* e = unitEntry(unit);
    return e == nullptr ? nullptr : &e->rule;
}

AttributeMetric attributeMetric(std::string_view application, std::string_view group, char sampleType,
                                const axf::ColumnDesc& column) {
    Words attribute = words(columnKey(column));
    const UnitEntry* unit = column.unit.empty() ? unitOfName(attribute) : unitEntry(column.unit);
    AttributeMetric m;
    m.unit = unit == nullptr ? nullptr : &unit->rule;
    // A counter is a count that only grows, so that rate() applies: a counter attribute (C) that is no
    // key, not in an event group (each event row stands alone), of no unit or of a size or a
    // duration, whose name names no level or rate.
    m.counter = column.attrType == 'C' && !column.key && sampleType != 'E' &&
                (unit == nullptr ? column.unit.empty() : unit->rule.countable) &&
                std::none_of(attribute.begin(), attribute.end(), [](const std::string& w) { return levelWord(w); });
    if (unit != nullptr) {
        dropUnitWords(attribute, *unit);
        for (Words w = words(unit->rule.suffix); const std::string& word : w) {
            attribute.push_back(word);
        }
    }
    Words all = words(application);
    for (Words w = words(group); std::string& word : w) {
        all.push_back(std::move(word));
    }
    const size_t attributeStart = all.size();
    all.insert(all.end(), attribute.begin(), attribute.end());
    spellOutAbbreviations(all);
    for (std::string& word : all) {  // a family's name does not say its type
        if (word == (m.counter ? "counter" : "gauge")) {
            word = m.counter ? "count" : "level";
        }
    }
    if (all.size() == attributeStart) {
        all.push_back("value");  // an attribute whose name has no letter or digit
    }
    if (m.counter) {
        if (all.back() != "total") {
            all.push_back("total");
        }
    } else if (all.size() > attributeStart && (all.back() == "total" || all.back() == "count" ||
                                                all.back() == "sum" || all.back() == "bucket")) {
        // Endings Prometheus keeps for counters, histograms and summaries: a gauge's last word goes
        // before the rest of its attribute ("Inodes_Total" is total_inodes).
        if (all.size() - attributeStart == 1) {
            all.push_back("value");
        } else {
            std::rotate(all.begin() + static_cast<std::ptrdiff_t>(attributeStart), all.end() - 1, all.end());
        }
    }
    m.name = "vorpane_" + joined(all);
    return m;
}

std::string baseUnitText(int64_t value, int scale, const UnitRule* rule) {
    if (rule == nullptr) {
        return decimalText(value, scale);
    }
    int64_t product = 0;
    if (__builtin_mul_overflow(value, rule->multiplier, &product)) {
        // Out of the exact range: the nearest double is the best there is.
        double v = static_cast<double>(value) * static_cast<double>(rule->multiplier);
        for (int i = 0; i < scale + rule->shift; ++i) {
            v /= 10;
        }
        return numberText(v);
    }
    return decimalText(product, scale + rule->shift);
}

std::string sourceOfOrigin(std::string_view originNode, std::string_view application) {
    const size_t colon = originNode.rfind(':');
    if (colon == std::string_view::npos || colon == 0 || application.empty()) {
        return std::string(originNode);
    }
    std::string_view rest = originNode.substr(colon + 1);
    if (sameText(rest, application) ||
        (rest.size() == application.size() + 2 && sameText(rest.substr(0, application.size()), application) &&
         std::isdigit(static_cast<unsigned char>(rest[rest.size() - 2])) &&
         std::isdigit(static_cast<unsigned char>(rest.back())))) {
        return std::string(originNode.substr(0, colon));
    }
    return std::string(originNode);
}

void tableFamilies(const axf::TableDesc& table, const std::vector<axf::ColumnDesc>& columns,
                   const axf::ReportRows& rows, PrometheusText& out) {
    const TableStem stem = tableStem(table.applName, table.tableName);
    const std::string& application = table.application.empty() ? stem.applName : table.application;
    const std::string& group = table.group.empty() ? stem.tableName : table.group;

    // The labels of a series: its source, then each key attribute by its name. A key whose name
    // is taken ("source", another key's) or that Prometheus keeps for histograms and summaries
    // ("le", "quantile") ends in "_key".
    size_t origin = columns.size();
    std::vector<size_t> keyColumns;
    std::vector<std::string> labelNames{"source"};
    for (size_t i = 0; i < columns.size(); ++i) {
        const axf::ColumnDesc& c = columns[i];
        if (sameText(c.name, "ORIGINNODE")) {
            origin = i;
        } else if (c.key) {
            std::string name = labelName(columnKey(c));
            while (name == "le" || name == "quantile" ||
                   std::find(labelNames.begin(), labelNames.end(), name) != labelNames.end()) {
                name += "_key";
            }
            keyColumns.push_back(i);
            labelNames.push_back(std::move(name));
        }
    }
    if (origin == columns.size()) {
        return;  // the framework's own action and file tables: no source, nothing a user collects
    }

    // The series in the order they first come, each with its newest row: rows come oldest first.
    struct Series {
        Labels labels;
        size_t row = 0;
    };
    std::vector<Series> series;
    std::unordered_map<std::string, size_t> byIdentity;
    for (size_t r = 0; r < rows.size(); ++r) {
        const axf::ReportRows::Row row = rows[r];
        Labels labels;
        labels.emplace_back("source", sourceOfOrigin(row.text(origin), application));
        for (size_t k = 0; k < keyColumns.size(); ++k) {
            const size_t c = keyColumns[k];
            std::string value;
            if (row.isInteger(c)) {
                value = decimalText(row.integer(c), columns[c].scale);
            } else if (std::string_view text = row.text(c); text.empty() || text.front() != kMissingValue) {
                value = std::string(text);  // "^" is a key without a value: an empty label
            }
            labels.emplace_back(labelNames[k + 1], std::move(value));
        }
        std::string identity;
        for (const auto& label : labels) {
            identity += label.second;
            identity.push_back('\0');
        }
        auto [it, added] = byIdentity.emplace(std::move(identity), series.size());
        if (added) {
            series.push_back(Series{std::move(labels), r});
        } else {
            series[it->second].row = r;
        }
    }

    for (size_t i = 0; i < columns.size(); ++i) {
        const axf::ColumnDesc& c = columns[i];
        if (c.key || c.valueType != axf::ValueType::Integer || i == origin) {
            continue;  // keys are labels; text is no value
        }
        const AttributeMetric m = attributeMetric(application, group, table.sampleType, c);
        const bool helpless = c.help.empty() || c.help == kNoHelp;
        if (!out.family(m.name, m.counter ? "counter" : "gauge", helpless ? columnKey(c) : c.help)) {
            continue;
        }
        for (const Series& s : series) {
            const axf::ReportRows::Row row = rows[s.row];
            if (row.isInteger(i)) {
                out.sample(m.name, s.labels, baseUnitText(row.integer(i), c.scale, m.unit));
            }
        }
    }
}

}  // namespace vorpane::api

#include "api/table_history.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unordered_map>

#include "api/api_http.h"
#include "api/api_routes.h"
#include "interfaces/support.h"
#include "interfaces/trace.h"

namespace vorpane::api {

namespace {

// A sample reads the stored rows; a demand report that waits for its provider longer than this is
// skipped rather than holding up the other tables.
constexpr double kSampleReportSeconds = 2;

double scaled(int64_t value, int scale) {
    double v = static_cast<double>(value);
    for (int i = 0; i < scale; ++i) {
        v /= 10;
    }
    return v;
}

std::string keyText(const axf::ReportRows::Row& row, size_t c, int scale) {
    if (row.isInteger(c)) {
        // Exact text, as the rows show it.
        const int64_t v = row.integer(c);
        if (scale == 0) {
            return std::to_string(v);
        }
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%.*f", scale, scaled(v, scale));
        return buffer;
    }
    return row.missing(c) ? std::string() : std::string(row.text(c));
}

}  // namespace

TableHistory::TableHistory(HistorySettings settings)
    : _settings(settings),
      _capacity(settings.intervalSeconds > 0
                    ? static_cast<size_t>(std::ceil(static_cast<double>(settings.windowSeconds) / settings.intervalSeconds)) + 1
                    : 0) {}

void TableHistory::Ring::push(const HistoryPoint& p, size_t capacity) {
    if (ring.size() < capacity) {
        ring.push_back(p);
    } else {
        ring[start] = p;
        start = (start + 1) % capacity;
    }
    last = p.time;
}

void TableHistory::record(const axf::TableDesc& table, const std::vector<axf::ColumnDesc>& columns,
                          const axf::ReportRows& rows, int64_t now) {
    if (_capacity == 0) {
        return;
    }
    size_t origin = columns.size();
    std::vector<size_t> keys, values;
    for (size_t i = 0; i < columns.size(); ++i) {
        const axf::ColumnDesc& c = columns[i];
        if (sameText(c.name, "ORIGINNODE")) {
            origin = i;
        } else if (c.key) {
            keys.push_back(i);
        } else if (c.valueType == axf::ValueType::Integer) {
            values.push_back(i);
        }
    }
    ScopedLock guard(_lock);
    if (!guard.ok()) {
        return;
    }
    prune(now);
    if (origin == columns.size() || values.empty()) {
        return;  // the framework's own action and file tables: no source, nothing a user collects
    }
    // The newest row of each source and key (rows come oldest first), in the order they first come.
    std::vector<std::pair<std::string, size_t>> newest;
    std::unordered_map<std::string, size_t> seen;
    for (size_t r = 0; r < rows.size(); ++r) {
        const axf::ReportRows::Row row = rows[r];
        std::string identity(row.text(origin));
        for (size_t k : keys) {
            identity.push_back('\0');
            identity += keyText(row, k, columns[k].scale);
        }
        auto [it, added] = seen.emplace(identity, newest.size());
        if (added) {
            newest.emplace_back(std::move(identity), r);
        } else {
            newest[it->second].second = r;
        }
    }
    if (newest.empty()) {
        return;
    }
    Table& t = _tables[table.applName + "/" + table.tableName];
    for (const auto& [identity, r] : newest) {
        const axf::ReportRows::Row row = rows[r];
        for (size_t v : values) {
            const axf::ColumnDesc& c = columns[v];
            std::string id = identity;
            id.push_back('\1');
            id += c.name;
            auto it = t.find(id);
            if (it == t.end()) {
                if (_count >= _settings.maxSeries) {
                    ++_refused;
                    continue;
                }
                Ring ring;
                ring.meta.subnode = std::string(row.text(origin));
                for (size_t k : keys) {
                    ring.meta.keys.emplace_back(columns[k].attrName.empty() ? columns[k].name : columns[k].attrName,
                                                keyText(row, k, columns[k].scale));
                }
                ring.meta.attribute = c.attrName.empty() ? c.name : c.attrName;
                ring.meta.column = c.name;
                ring.ring.reserve(_capacity);
                ring.order = _order++;
                it = t.emplace(std::move(id), std::move(ring)).first;
                ++_count;
            }
            it->second.push(HistoryPoint{now, scaled(row.integer(v), c.scale)}, _capacity);
        }
    }
}

void TableHistory::prune(int64_t now) {
    const int64_t oldest = now - _settings.windowSeconds;
    for (auto t = _tables.begin(); t != _tables.end();) {
        for (auto s = t->second.begin(); s != t->second.end();) {
            if (s->second.last < oldest) {
                s = t->second.erase(s);
                --_count;
            } else {
                ++s;
            }
        }
        t = t->second.empty() ? _tables.erase(t) : std::next(t);
    }
}

std::vector<HistorySeries> TableHistory::read(const std::string& applName, const std::string& tableName, int64_t since,
                                              const std::vector<std::string>& subnodes) {
    std::vector<std::pair<size_t, HistorySeries>> found;
    {
        ScopedLock guard(_lock);
        if (!guard.ok()) {
            return {};
        }
        auto t = _tables.find(applName + "/" + tableName);
        if (t == _tables.end()) {
            return {};
        }
        for (const auto& entry : t->second) {
            const Ring& ring = entry.second;
            if (!subnodes.empty() &&
                std::none_of(subnodes.begin(), subnodes.end(), [&ring](const std::string& n) { return sameText(n, ring.meta.subnode); })) {
                continue;
            }
            HistorySeries s = ring.meta;
            s.points.reserve(ring.ring.size());
            for (size_t i = 0; i < ring.ring.size(); ++i) {
                const HistoryPoint& p = ring.ring[(ring.start + i) % ring.ring.size()];
                if (p.time >= since) {
                    s.points.push_back(p);
                }
            }
            found.emplace_back(ring.order, std::move(s));
        }
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<HistorySeries> out;
    out.reserve(found.size());
    for (auto& f : found) {
        out.push_back(std::move(f.second));
    }
    return out;
}

size_t TableHistory::seriesCount() {
    ScopedLock guard(_lock);
    return guard.ok() ? _count : 0;
}

uint64_t TableHistory::refused() {
    ScopedLock guard(_lock);
    return guard.ok() ? _refused : 0;
}

size_t TableHistory::bytes() {
    // A std::map node: three links, a colour and the key and value it holds.
    constexpr size_t kNode = 4 * sizeof(void*);
    auto text = [](const std::string& s) { return s.capacity() > 15 ? s.capacity() + 1 : 0; };
    ScopedLock guard(_lock);
    if (!guard.ok()) {
        return 0;
    }
    size_t total = 0;
    for (const auto& [name, table] : _tables) {
        total += kNode + sizeof(name) + sizeof(table) + text(name);
        for (const auto& [id, ring] : table) {
            total += kNode + sizeof(id) + sizeof(ring) + text(id) + ring.ring.capacity() * sizeof(HistoryPoint) +
                     text(ring.meta.subnode) + text(ring.meta.attribute) + text(ring.meta.column) +
                     ring.meta.keys.capacity() * sizeof(ring.meta.keys[0]);
            for (const auto& k : ring.meta.keys) {
                total += text(k.first) + text(k.second);
            }
        }
    }
    return total;
}

HistorySampler::HistorySampler(TableHistory& history) : _history(history) {}

HistorySampler::~HistorySampler() { stop(); }

bool HistorySampler::start() {
    if (_history.settings().intervalSeconds <= 0 || _running) {
        return true;
    }
    {
        ScopedLock guard(_lock);
        _stopping = false;
    }
    const int rc = ZOT0_CreateThread(
        [this] {
            const double interval = _history.settings().intervalSeconds;
            for (;;) {
                sampleOnce();
                ScopedLock guard(_lock);
                if (!guard.ok() || _wake.waitUntil(_lock, interval, [this]() VA_REQUIRES(_lock) { return _stopping; })) {
                    return;
                }
            }
        },
        0, &_thread, "api-history");
    _running = rc == 0;
    return _running;
}

void HistorySampler::stop() {
    if (!_running) {
        return;
    }
    {
        ScopedLock guard(_lock);
        _stopping = true;
        _wake.broadcast();
    }
    pthread_join(_thread, nullptr);
    _running = false;
}

void HistorySampler::sampleOnce() {
    for (const axf::TableDesc& t : axf::listTables()) {
        if (!reportableAsAWhole(t)) {
            continue;
        }
        const axf::ReportResult result = reportAll(t, kSampleReportSeconds);
        if (result.status.ok()) {
            _history.record(t, result.columns, result.rows, clock::nowSeconds());
        }
    }
}

}  // namespace vorpane::api

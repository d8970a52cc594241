// TableHistory: the recent values of every numeric series of the tables, for the status page's
// sparklines and for scripts (GET /v1/tables/{appl}/{table}/history).
//
// A series is one integer attribute (not a key) of one table for one source row: the row's
// ORIGINNODE and, in a keyed table, its key values. Each series keeps a fixed ring of points, one per
// sample the API's sampler takes (record()), covering the window; the ring is sized once when the
// series first comes, so a series never grows. At most maxSeries series are kept: a series that would
// pass the limit is not kept (and counted), and a series without a point inside the window is
// dropped at the next sample. So memory stays below maxSeries x (window / interval + 1) points plus
// the names.
//
// Why samples and not every stored row: the row store is the hot path of the agent and a hook there
// would cost every row; a sample every few seconds costs one report per table and gives evenly
// spaced points, which is what a sparkline draws.
//
// Thread-safe: one lock guards everything; record() runs on the sampler's thread, reads on API
// workers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "interfaces/axf_facade.h"
#include "interfaces/sync.h"

namespace vorpane::api {

struct HistoryPoint {
    int64_t time = 0;  // clock seconds
    double value = 0;  // the stored integer with the column's scale applied
};

struct HistorySeries {
    std::string subnode;  // the row's ORIGINNODE
    std::vector<std::pair<std::string, std::string>> keys;  // key attribute name and value
    std::string attribute;  // attribute name (the column name for a table without attributes)
    std::string column;  // column name ("VA2")
    std::vector<HistoryPoint> points;  // oldest first
};

struct HistorySettings {
    double intervalSeconds = 10;  // between two samples; 0: no history is kept
    int64_t windowSeconds = 900;  // how far back a series reaches
    size_t maxSeries = 5000;
};

class TableHistory {
public:
    explicit TableHistory(HistorySettings settings);

    const HistorySettings& settings() const { return _settings; }
    // Points each series holds at most.
    size_t capacity() const { return _capacity; }

    // One sample of a table: a point at `now` for each series of the rows (the newest row of a
    // series wins: rows come oldest first). Series of every table without a point inside the window
    // are dropped.
    void record(const axf::TableDesc& table, const std::vector<axf::ColumnDesc>& columns,
                const axf::ReportRows& rows, int64_t now);
    // The series of a table with their points at or after `since`, in the order they first came;
    // only those of the given subnodes when subnodes is not empty.
    std::vector<HistorySeries> read(const std::string& applName, const std::string& tableName, int64_t since,
                                    const std::vector<std::string>& subnodes = {});

    size_t seriesCount();
    // Series that were not kept because maxSeries were.
    uint64_t refused();
    // Bytes the kept series take, names and map nodes included (an estimate of the heap used).
    size_t bytes();

private:
    struct Ring {
        HistorySeries meta;  // points unused: the ring holds them
        std::vector<HistoryPoint> ring;  // capacity reserved once
        size_t start = 0;  // oldest point once the ring is full
        int64_t last = 0;  // time of the newest point
        size_t order = 0;  // when the series first came
        void push(const HistoryPoint& p, size_t capacity);
    };
    using Table = std::map<std::string, Ring>;  // by series identity

    void prune(int64_t now) VA_REQUIRES(_lock);

    const HistorySettings _settings;
    const size_t _capacity;
    Mutex _lock;
    std::map<std::string, Table> _tables VA_GUARDED_BY(_lock);  // by "<applName>/<tableName>"
    size_t _count VA_GUARDED_BY(_lock) = 0;
    size_t _order VA_GUARDED_BY(_lock) = 0;
    uint64_t _refused VA_GUARDED_BY(_lock) = 0;
};

// The API's sampler: every interval of the support clock, one report of each table that has
// columns (the agent's own fixed tables left out), recorded in the history. A report that waits
// for a provider longer than a couple of seconds is skipped for that sample.
class HistorySampler {
public:
    explicit HistorySampler(TableHistory& history);
    ~HistorySampler();
    HistorySampler(const HistorySampler&) = delete;
    HistorySampler& operator=(const HistorySampler&) = delete;

    // Starts the thread (nothing when the interval is 0). False when it cannot start.
    bool start();
    void stop();
    // One sample of every table now, on the caller's thread.
    void sampleOnce();

private:
    TableHistory& _history;
    Mutex _lock;
    CondVar _wake;
    bool _stopping VA_GUARDED_BY(_lock) = false;
    bool _running = false;
    pthread_t _thread{};
};

}  // namespace vorpane::api

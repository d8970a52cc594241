// The rows of every source of every attribute group: whether the source is online, when its last row
// came, how many rows it sent and how fast. An operator alerts on a source that stopped sending with
// these figures (the API's /v1/subnodes and /metrics), without knowing its table's TTL.
//
// The row path pays two relaxed atomic writes per row: each row store holds the counters of its
// source (RowActivity) from the moment it is made, so no lock or lookup is added per row. The book
// is read when the API asks, under its own lock. A source that goes offline stays in the book, read
// as offline, for kForgetSeconds of clock time after it went; then it is forgotten (at the next
// read), unless it came back.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "interfaces/axf_facade.h"
#include "interfaces/sync.h"

namespace vorpane::datapath {

// One hour: long enough for an alert on a missing source to fire and be seen.
inline constexpr int64_t kForgetSeconds = 3600;
// Rows per second are counted over the last 30 to 60 seconds.
inline constexpr int64_t kRateWindowSeconds = 30;

// Written by the collection thread with every row; read by the API. Relaxed: a reader wants a recent
// figure, not an order with other memory.
struct RowActivity {
    std::atomic<int64_t> lastRow{0};  // clock seconds; 0: no row yet
    std::atomic<uint64_t> rows{0};

    void noteRow(int64_t now) {
        lastRow.store(now, std::memory_order_relaxed);
        rows.fetch_add(1, std::memory_order_relaxed);
    }
};

class SourceActivityBook {
public:
    // The counters of that group's source, made at the first call (keyed by the application's
    // three-character key): the row store of the source keeps them, and a store made again after
    // the source comes back counts on.
    std::shared_ptr<RowActivity> counters(const std::string& applName, const std::string& attrGroup,
                                          const std::string& sourceName);
    // Online processing of that source, and its offline processing.
    void online(const std::string& applName, const std::string& attrGroup, const std::string& sourceName);
    void offline(const std::string& applName, const std::string& attrGroup, const std::string& sourceName);
    // Every source online, and those gone offline less than kForgetSeconds ago, by application,
    // group and source. Forgets the others.
    std::vector<axf::SourceActivity> list();
    // Forgets everything (a fresh process, for tests).
    void clear();

private:
    struct Mark {
        uint64_t rows = 0;
        int64_t time = 0;
    };
    struct Record {
        std::string application;  // the name the source came online with (the key until it does)
        std::shared_ptr<RowActivity> counters = std::make_shared<RowActivity>();
        bool online = false;
        int64_t since = 0;
        Mark older, newer;  // rows per second are counted from older
    };
    using Key = std::tuple<std::string, std::string, std::string>;
    static Key keyOf(const std::string& applName, const std::string& attrGroup, const std::string& sourceName);
    Record& find(const std::string& applName, const std::string& attrGroup, const std::string& sourceName)
        VA_REQUIRES(_lock);

    Mutex _lock;
    std::map<Key, Record> _records VA_GUARDED_BY(_lock);
};

// The process's book.
SourceActivityBook& sourceActivityBook();

}  // namespace vorpane::datapath

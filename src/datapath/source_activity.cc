#include "datapath/source_activity.h"

namespace vorpane::datapath {

SourceActivityBook::Key SourceActivityBook::keyOf(const std::string& applName, const std::string& attrGroup,
                                                  const std::string& sourceName) {
    // The row stores know an application by its key, online processing by its whole name.
    return Key(applName.substr(0, 3), attrGroup, sourceName);
}

SourceActivityBook::Record& SourceActivityBook::find(const std::string& applName, const std::string& attrGroup,
                                                     const std::string& sourceName) {
    auto [it, made] = _records.try_emplace(keyOf(applName, attrGroup, sourceName));
    Record& r = it->second;
    if (made) {
        r.application = applName;
        r.since = clock::nowSeconds();
        r.older = r.newer = Mark{0, r.since};
    }
    return r;
}

std::shared_ptr<RowActivity> SourceActivityBook::counters(const std::string& applName, const std::string& attrGroup,
                                                          const std::string& sourceName) {
    ScopedLock guard(_lock);
    return find(applName, attrGroup, sourceName).counters;
}

void SourceActivityBook::online(const std::string& applName, const std::string& attrGroup,
                                const std::string& sourceName) {
    ScopedLock guard(_lock);
    Record& r = find(applName, attrGroup, sourceName);
    r.application = applName;
    if (!r.online) {
        r.online = true;
        r.since = clock::nowSeconds();
    }
}

void SourceActivityBook::offline(const std::string& applName, const std::string& attrGroup,
                                 const std::string& sourceName) {
    ScopedLock guard(_lock);
    auto it = _records.find(keyOf(applName, attrGroup, sourceName));
    if (it != _records.end() && it->second.online) {
        it->second.online = false;
        it->second.since = clock::nowSeconds();
    }
}

std::vector<axf::SourceActivity> SourceActivityBook::list() {
    const int64_t now = clock::nowSeconds();
    std::vector<axf::SourceActivity> out;
    ScopedLock guard(_lock);
    for (auto it = _records.begin(); it != _records.end();) {
        Record& r = it->second;
        if (!r.online && now - r.since >= kForgetSeconds) {
            it = _records.erase(it);
            continue;
        }
        const uint64_t rows = r.counters->rows.load(std::memory_order_relaxed);
        if (now - r.newer.time >= kRateWindowSeconds) {
            r.older = r.newer;
            r.newer = Mark{rows, now};
        }
        axf::SourceActivity a;
        a.application = r.application;
        a.group = std::get<1>(it->first);
        a.source = std::get<2>(it->first);
        a.online = r.online;
        a.since = r.since;
        a.lastRow = r.counters->lastRow.load(std::memory_order_relaxed);
        a.rows = rows;
        const int64_t span = now - r.older.time;
        a.rowsPerSecond = span > 0 ? static_cast<double>(rows - r.older.rows) / static_cast<double>(span) : 0;
        out.push_back(std::move(a));
        ++it;
    }
    return out;
}

void SourceActivityBook::clear() {
    ScopedLock guard(_lock);
    _records.clear();
}

SourceActivityBook& sourceActivityBook() {
    static SourceActivityBook* book = new SourceActivityBook();  // outlives every thread at exit
    return *book;
}

}  // namespace vorpane::datapath

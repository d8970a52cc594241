// datapath_load: the agent's data path under load, with a reference measured in the same run so that
// the figures read as ratios (absolute rates drift on a shared machine; ratios taken in one run do
// not).
//
//   rate N       N providers (own thread, own connection) send rows of 200 bytes with distinct keys
//                into one K table through the real hub in this process. Reference: one plain
//                dc_waitOnData collector that only receives (the hub-only rate). Data path: the
//                collection thread (waitOnDP) builds each row image and stores it in the row store.
//                Rows/s from the first send to the last row received or stored; rows lost.
//   report       a table of 10,000 stored rows of 200 bytes reported through the framework
//                (runReport: request, TakeSample, emission, InsertRow, the facade's typed rows)
//                against a plain copy of the same 2 MB.
//   memory       VmRSS growth per 100,000 stored 200-byte rows, and VmRSS after they expire and the
//                clean-up has run (with malloc_trim, so that freed memory shows).
//   latency      one provider at 2,000 rows/s: from the send to the row being in the row store that
//                reports read, p50 and p99.
//
// Usage: datapath_load [--rows N] [--reports N]. docs/benchmarks.md has the command and the figures.
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/va_limits.h"
#include "datapath/data_list.h"
#include "datapath/samples_access.h"
#include "datapath/wait_on_dp.h"
#include "interfaces/axf_facade.h"
#include "interfaces/dch_client.h"
#include "interfaces/support.h"
#include "metadata/user_data_list.h"
#include "tables/zot_vorpane_manager.h"
#include "testlib/hub_fixture.h"

using namespace vorpane;
using namespace vorpane::datapath;

namespace {

// Name (key) 16 + Count 4 + Text 148 after ORIGINNODE 32: 200 bytes.
constexpr const char* kAttrInfo = "G,@Name,D,16:Count,C,4:Text,D,148:;";
constexpr const char* kRegistration = "Name,D,16, , ,n;Count,C,4, , ,c;Text,D,148, , ,t";
constexpr int kRowSize = 200;

double seconds(int64_t nanos) {
    return static_cast<double>(nanos) / 1e9;
}

long vmRSSkB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return 0;
}

// The samples list as far as the data path needs it: one store per (key, table, source).
class BenchSamples : public samplesAccess {
  public:
    std::shared_ptr<dataList> dataListPtr(const char* a, const char* t, const char* s) override {
        std::lock_guard<std::mutex> g(_lock);
        auto it = _stores.find(std::string(a) + "/" + t + "/" + s);
        return it != _stores.end() ? it->second : nullptr;
    }
    int updateDataList(const char* a, const char*, const char* s, const std::shared_ptr<dataList>& store) override {
        std::lock_guard<std::mutex> g(_lock);
        _stores[std::string(a) + "/" + store->tableName() + "/" + s] = store;
        return 0;
    }
    int subnodeOnlineForTable(const char*, const char*) override { return 1; }
    bool getOriginalSubnodeName(const char* subnode, const char*, std::string* out) override {
        *out = subnode;
        return true;
    }
    int16_t isDemandReportingEnabled(const char*, const char*, const char*) override { return 0; }
    int requestDefer(const char*, const char*, plaxf*, unsigned long, int) override { return 0; }
    void removeDeferRequest(const char*, const char*, const char*, plaxf*) override {}
    void put(const std::string& key, std::unique_ptr<dataList> store) {
        std::lock_guard<std::mutex> g(_lock);
        _stores[key] = std::move(store);
    }
    void clear() {
        std::lock_guard<std::mutex> g(_lock);
        _stores.clear();
    }
    std::size_t rows() {
        std::lock_guard<std::mutex> g(_lock);
        std::size_t n = 0;
        for (auto& [k, s] : _stores) {
            n += s->rowCount();
        }
        return n;
    }

  private:
    std::mutex _lock;
    std::map<std::string, std::shared_ptr<dataList>> _stores;
};

struct Table {
    std::unique_ptr<metadata::userDataList> list;
    metadata::userDataInfo* udi = nullptr;
    zot_vorpane_manager* manager = nullptr;
};

Table makeTable(const char* appl, char type, int ttl) {
    Table t;
    metadata::fixedApplicationTexts texts(
        std::string(appl) + ",G," + type + "," + std::to_string(ttl) + ",FILE:;", kAttrInfo, "h,G,g, :;");
    metadata::metadataSettings settings;
    t.list = std::make_unique<metadata::userDataList>(appl, settings, texts);
    t.udi = t.list->getUserDataListEntry("G")->udi();
    t.manager = zot_vorpane_init(t.udi->applNameRR(), t.udi->tableNameRR(), t.udi, nullptr, 0);
    return t;
}

DProw makeRow(const std::string& name, int32_t count) {
    static const std::string text(140, 't');
    DProw r;
    r.add("Name", name.c_str(), static_cast<int>(name.size()), 'D');
    r.add("Count", &count, 4, 'C');
    r.add("Text", text.c_str(), static_cast<int>(text.size()), 'D');
    return r;
}

struct Providers {
    std::vector<std::unique_ptr<HubProvider>> sessions;
    std::vector<int> handles;
};

Providers online(const char* appl, int n) {
    Providers p;
    DPapplication app{appl, "help", {{"G", "g", 'K', 600, "APIS", kRegistration}}};
    for (int i = 0; i < n; ++i) {
        p.sessions.push_back(std::make_unique<HubProvider>());
        int status = 0, handle = 0;
        p.sessions.back()->dp_register(&status, app);
        p.sessions.back()->dp_online(&status, &handle, appl, "G", ("src" + std::to_string(i)).c_str());
        p.handles.push_back(handle);
    }
    return p;
}

// Every provider sends rows rows with keys of its own. Returns the nanoseconds of the sending.
void sendAll(Providers& p, int rows, const std::string& tag) {
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < p.sessions.size(); ++i) {
        threads.emplace_back([&, i] {
            int status = 0;
            for (int r = 0; r < rows; ++r) {
                p.sessions[i]->dp_data(&status, p.handles[i], 0x11,
                                       makeRow(tag + std::to_string(i) + "_" + std::to_string(r), r));
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
}

struct Rate {
    double hubOnly = 0, dataPath = 0;
    long lostHub = 0, lostDataPath = 0;
};

Rate measureRate(BenchSamples& samples, int n, int rows, int round) {
    Rate out;
    const long total = static_cast<long>(n) * rows;
    {
        // Reference: a collector that only receives.
        const std::string appl = "RAWR" + std::to_string(n) + "X" + std::to_string(round);
        Providers p = online(appl.c_str(), n);
        HubOptions options = HubOptions::fromEnvironment();
        options.datagramSubscriptions = true;
        auto waiter = dc_waitOnDataInitialize(appl.c_str(), "G", options);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the subscription reaches the hub
        std::atomic<long> received{0};
        std::thread collector([&] {
            std::vector<char> buffer(4096);
            while (received < total && dc_waitOnData(waiter.get(), buffer.data(), buffer.size(), 5) == 0) {
                ++received;
            }
        });
        const int64_t start = clock::steadyNanos();
        sendAll(p, rows, "k");
        collector.join();
        out.hubOnly = static_cast<double>(received) / seconds(clock::steadyNanos() - start);
        out.lostHub = total - received;
    }
    {
        const std::string appl = "DPTR" + std::to_string(n) + "X" + std::to_string(round);
        Table t = makeTable(appl.c_str(), 'K', 600);
        Providers p = online(appl.c_str(), n);
        startWaitOnDPthread(*t.udi);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const int64_t start = clock::steadyNanos();
        sendAll(p, rows, "k");
        // Until every row is stored, or nothing has moved for two seconds.
        std::size_t stored = 0, seen = 0;
        int64_t lastMove = clock::steadyNanos();
        while ((stored = samples.rows()) < static_cast<std::size_t>(total) &&
               clock::steadyNanos() - lastMove < 2'000'000'000) {
            if (stored != seen) {
                seen = stored;
                lastMove = clock::steadyNanos();
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        out.dataPath = static_cast<double>(stored) / seconds(clock::steadyNanos() - start);
        out.lostDataPath = total - static_cast<long>(stored);
        stopWaitOnDPthread(*t.udi);
        zot_vorpane_release(t.manager);
        samples.clear();
    }
    return out;
}

void measureReport(BenchSamples& samples, int reports) {
    Table t = makeTable("DPTREP", 'K', 600);
    auto store =
        std::make_unique<dataList>(t.udi->applKey(), t.udi->tableNameRR(), "src0", t.udi->rowSize(), 600);
    store->userData(t.udi);
    store->addKey(1, 2, 32, 16);
    for (int i = 0; i < 10000; ++i) {
        rowBuffer row = allocateRow(kRowSize);
        std::snprintf(row.get() + 32, 17, "key%012d", i);
        std::memcpy(row.get() + 48, &i, 4);
        store->addEntry(kSingleRow, row, 0);
    }
    samples.put(std::string(t.udi->applKey()) + "/" + t.udi->tableNameRR() + "/src0", std::move(store));
    axf::ReportQuery q;
    q.applName = t.udi->applNameRR();
    q.tableName = t.udi->tableNameRR();
    q.subnodes = {"src0:DPTREP00"};
    std::size_t rows = 0;
    const int64_t start = clock::steadyNanos();
    for (int i = 0; i < reports; ++i) {
        rows = axf::runReport(q).rows.size();
    }
    const double perReport = seconds(clock::steadyNanos() - start) / reports;
    // The row store's share: the same rows emitted into a receiver that copies each one, as InsertRow
    // does.
    class CopyRows : public rowReceiver {
      public:
        int AddData(char* row, int size) override {
            std::memcpy(rows.data() + count * kRowSize, row, static_cast<std::size_t>(size));
            ++count;
            return 0;
        }
        std::vector<char> rows = std::vector<char>(10000 * kRowSize);
        std::size_t count = 0;
    } copy;
    std::shared_ptr<dataList> stored = samples.dataListPtr(t.udi->applKey(), t.udi->tableNameRR(), "src0");
    const int64_t emitStart = clock::steadyNanos();
    for (int i = 0; i < reports; ++i) {
        copy.count = 0;
        stored->emitToAXF(&copy, "src0:DPTREP00", 0);
    }
    const double perEmit = seconds(clock::steadyNanos() - emitStart) / reports;
    std::vector<char> from(10000 * kRowSize, 'x'), to(from.size());
    const int copies = 200;
    const int64_t copyStart = clock::steadyNanos();
    for (int i = 0; i < copies; ++i) {
        from[static_cast<std::size_t>(i)] = static_cast<char>(i);
        std::memcpy(to.data(), from.data(), from.size());
    }
    const double perCopy = seconds(clock::steadyNanos() - copyStart) / copies;
    std::printf(
        "| row store emission of 10,000 rows into copies | %.3f ms | plain copy of 2 MB %.3f ms | %.1f |\n",
        perEmit * 1e3, perCopy * 1e3, perEmit / perCopy);
    std::printf(
        "| report of 10,000 rows (%zu returned) | %.3f ms | plain copy of 2 MB %.3f ms | ratio %.1f |\n",
        rows, perReport * 1e3, perCopy * 1e3, perReport / perCopy);
    zot_vorpane_release(t.manager);
    samples.clear();
}

void measureMemory() {
    Table t = makeTable("DPTMEM", 'S', 60);
    malloc_trim(0);
    const long before = vmRSSkB();
    auto store =
        std::make_unique<dataList>(t.udi->applKey(), t.udi->tableNameRR(), "src0", t.udi->rowSize(), 60);
    store->userData(t.udi);
    for (int i = 0; i < 100000; ++i) {
        rowBuffer row = allocateRow(kRowSize);
        std::memcpy(row.get() + 48, &i, 4);
        store->addEntry(kSingleRow, row, 0);
    }
    const long full = vmRSSkB();
    clock::advance(61);
    class Nothing : public rowReceiver {
      public:
        int AddData(char*, int) override { return 0; }
    } nothing;
    store->emitToAXF(&nothing, "n", 0);  // the clean-up removes every expired row
    const std::size_t left = store->rowCount();
    malloc_trim(0);
    const long after = vmRSSkB();
    std::printf(
        "| memory | %.1f MB per 100,000 rows | after expiry: %zu rows, VmRSS %+ld kB against before |\n",
        static_cast<double>(full - before) / 1024.0, left, after - before);
    zot_vorpane_release(t.manager);
}

void measureLatency(BenchSamples& samples, int rows) {
    Table t = makeTable("DPTLAT", 'K', 600);
    Providers p = online("DPTLAT", 1);
    startWaitOnDPthread(*t.udi);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::vector<double> micros;
    int status = 0;
    const int64_t period = 500'000;  // 2,000 rows/s
    int64_t next = clock::steadyNanos();
    for (int r = 0; r < rows; ++r) {
        while (clock::steadyNanos() < next) {
            std::this_thread::yield();
        }
        next += period;
        const std::size_t before = samples.rows();
        const int64_t sent = clock::steadyNanos();
        p.sessions[0]->dp_data(&status, p.handles[0], 0x11, makeRow("lat" + std::to_string(r), r));
        while (samples.rows() == before && clock::steadyNanos() - sent < 1'000'000'000) {
            std::this_thread::yield();
        }
        micros.push_back(static_cast<double>(clock::steadyNanos() - sent) / 1e3);
    }
    std::sort(micros.begin(), micros.end());
    std::printf("| latency at 2,000 rows/s (%d rows) | p50 %.0f us | p99 %.0f us | max %.0f us |\n", rows,
                micros[micros.size() / 2], micros[micros.size() * 99 / 100], micros.back());
    stopWaitOnDPthread(*t.udi);
    zot_vorpane_release(t.manager);
    samples.clear();
}

}  // namespace

int main(int argc, char** argv) {
    int rows = 20000, reports = 50, latencyRows = 4000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--rows") == 0) {
            rows = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--reports") == 0) {
            reports = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--latency-rows") == 0) {
            latencyRows = std::atoi(argv[i + 1]);
        }
    }
    char dir[] = "/tmp/datapath_load.XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        return 1;
    }
    setWorkDirectory(dir);
    ZOT0_InitializeProductSpec("VA");
    setVaLimits(VA_LIMITS());
    BenchSamples samples;
    setSamplesIndex(&samples);
    vorpane::testing::TestHub hub(1);  // a hub on a port of its own, with the clock at real speed
    if (!hub.ready()) {
        std::fprintf(stderr, "the hub did not start\n");
        return 1;
    }

    std::printf("| part | figure | reference | ratio |\n|---|---|---|---|\n");
    for (int n : {1, 8}) {
        for (int round = 0; round < 3; ++round) {
            const int per = n == 1 ? rows : rows / n;
            Rate r = measureRate(samples, n, per, round);
            std::printf(
                "| rate, %d provider(s), round %d | data path %.0f rows/s (lost %ld) | hub only %.0f rows/s "
                "(lost %ld) | %.2f |\n",
                n, round + 1, r.dataPath, r.lostDataPath, r.hubOnly, r.lostHub, r.dataPath / r.hubOnly);
        }
    }
    measureReport(samples, reports);
    measureMemory();
    measureLatency(samples, latencyRows);
    setSamplesIndex(nullptr);
    return 0;
}

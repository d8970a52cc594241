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
//                (runReport: request, TakeSample, emission, InsertRow, the rows handed over) against
//                a plain copy of the same 2 MB; once more with every value of every row read.
//   memory       VmRSS growth per 100,000 stored 200-byte rows, and VmRSS after they expire and the
//                clean-up has run (with malloc_trim, so that freed memory shows).
//   latency      one provider at 2,000 rows/s: from the send to the row being in the row store that
//                reports read, p50 and p99.
//   sock N       N loopback TCP senders write "G srcK Name=.. Count=.. Text=.." lines (200-byte rows,
//                distinct keys) to a SOCK provider; lines/s from the first line until every row is
//                in the row store (through the hub and the collection thread), and rows lost.
//                1 and 8 senders, --sock-rows lines in all (default 100,000).
//
//   flood        8 providers send rows (dp_dataBatch, 256 a time) as fast as they can for
//                --flood-seconds (default 10) into one K table through a hub of its own, while the
//                collection thread stores them: rows sent, rows stored, rows lost, stored rows/s, the
//                hub's waits for the collector, VmRSS and its peak. Four runs: with flow control and
//                without (VORPANE_DCH_COLLECTOR_WINDOW=0, the hub as it was), each with the 16 MiB
//                receive buffer and with the system's default (VORPANE_DCH_RECEIVE_BUFFER=0). Fails
//                when a row is lost with flow control.
//
// Usage: datapath_load [--rows N] [--rate-rounds N] [--reports N] [--latency-rows N] [--batch N]
//                      [--sock-rows N] [--flood-seconds N]
//                      [--parts rate,report,memory,latency,sock,flood]. docs/benchmarks.md has the
//                      command and the figures.
#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <time.h>

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

#include <benchmark/benchmark.h>

#include "agent/va_limits.h"
#include "datapath/data_list.h"
#include "datapath/samples_access.h"
#include "datapath/wait_on_dp.h"
#include "interfaces/axf_facade.h"
#include "interfaces/dch_client.h"
#include "interfaces/support.h"
#include "loopback.h"
#include "metadata/user_data_list.h"
#include "providers/app_description.h"
#include "providers/sock_provider.h"
#include "tables/zot_vorpane_manager.h"
#include "testlib/hub_fixture.h"
#include "bench_stats.h"

using namespace vorpane;
using namespace vorpane::datapath;

namespace {

using vorpane::bench::median;

// Name (key) 16 + Count 4 + Text 148 after ORIGINNODE 32: 200 bytes.
constexpr const char* kAttrInfo = "G,@Name,D,16:Count,C,4:Text,D,148:;";
constexpr const char* kRegistration = "Name,D,16, , ,n;Count,C,4, , ,c;Text,D,148, , ,t";
constexpr int kRowSize = 200;

double seconds(int64_t nanos) {
    return static_cast<double>(nanos) / 1e9;
}

long statuskB(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const size_t length = std::strlen(field);
    while (std::getline(in, line)) {
        if (line.rfind(field, 0) == 0) {
            return std::atol(line.c_str() + length);
        }
    }
    return 0;
}

long vmRSSkB() {
    return statuskB("VmRSS:");
}

// The samples list as far as the data path needs it: one store per (key, table, source).
class BenchSamples : public samplesAccess {
  public:
    std::shared_ptr<dataList> dataListPtr(const char* a, const char* t, const char* s) override {
        std::lock_guard<std::mutex> g(_lock);
        ++_lookups;
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
    int redriveDeferredReportRequest(const char*, const char*, const char*, int32_t) override { return 0; }
    void put(const std::string& key, std::unique_ptr<dataList> store) {
        std::lock_guard<std::mutex> g(_lock);
        _stores[key] = std::move(store);
    }
    void clear() {
        std::lock_guard<std::mutex> g(_lock);
        _stores.clear();
    }
    // The collection thread looks its store up once for every row it stores.
    uint64_t lookups() {
        std::lock_guard<std::mutex> g(_lock);
        return _lookups;
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
    uint64_t _lookups = 0;
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

// --batch N: the rate part's providers send their rows N at a time with dp_dataBatch, as the
// built-in providers do, instead of one round trip per row (0, the default).
int gBatch = 0;

// Every provider sends rows rows with keys of its own. Returns the nanoseconds of the sending.
void sendAll(Providers& p, int rows, const std::string& tag) {
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < p.sessions.size(); ++i) {
        threads.emplace_back([&, i] {
            int status = 0;
            DPdataBatch batch;
            for (int r = 0; r < rows; ++r) {
                DProw row = makeRow(tag + std::to_string(i) + "_" + std::to_string(r), r);
                if (gBatch <= 0) {
                    p.sessions[i]->dp_data(&status, p.handles[i], 0x11, row);
                    continue;
                }
                batch.add(p.handles[i], 0x11, row);
                if (batch.count() >= static_cast<std::size_t>(gBatch) || r + 1 == rows) {
                    p.sessions[i]->dp_dataBatch(&batch);
                    batch.clear();
                }
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
}

// Waits until the row store holds `want` rows or nothing has moved for two seconds; the rows stored.
std::size_t waitForRows(BenchSamples& samples, std::size_t want) {
    std::size_t stored = 0, seen = 0;
    int64_t lastMove = clock::steadyNanos();
    while ((stored = samples.rows()) < want && clock::steadyNanos() - lastMove < 2'000'000'000) {
        if (stored != seen) {
            seen = stored;
            lastMove = clock::steadyNanos();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return stored;
}

struct Rate {
    double hubOnly = 0, dataPath = 0;
    long lostHub = 0, lostDataPath = 0;
};

Rate measureRate(BenchSamples& samples, int n, int rows, int round) {
    Rate out;
    const long total = static_cast<long>(n) * rows;
    auto hubOnly = [&] {
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
    };
    auto dataPath = [&] {
        const std::string appl = "DPTR" + std::to_string(n) + "X" + std::to_string(round);
        Table t = makeTable(appl.c_str(), 'K', 600);
        Providers p = online(appl.c_str(), n);
        startWaitOnDPthread(*t.udi);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const int64_t start = clock::steadyNanos();
        sendAll(p, rows, "k");
        const std::size_t stored = waitForRows(samples, static_cast<std::size_t>(total));
        out.dataPath = static_cast<double>(stored) / seconds(clock::steadyNanos() - start);
        out.lostDataPath = total - static_cast<long>(stored);
        stopWaitOnDPthread(*t.udi);
        zot_vorpane_release(t.manager);
        samples.clear();
    };
    // Every other round measures the data path first, so that the machine's drift within a round does
    // not favour the same side each time.
    if (round % 2 == 0) {
        hubOnly();
        dataPath();
    } else {
        dataPath();
        hubOnly();
    }
    return out;
}

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Wall and CPU seconds of one call of f, averaged over n calls.
struct Timing {
    double wall = 0, cpu = 0;
};
template <typename F>
Timing timeEach(int n, F&& f) {
    const int64_t start = clock::steadyNanos();
    const double cpu = cpuSeconds();
    for (int i = 0; i < n; ++i) {
        f(i);
    }
    return Timing{seconds(clock::steadyNanos() - start) / n, (cpuSeconds() - cpu) / n};
}

// The report part. The parts take turns in rounds (report, report with every value read, the row
// store's emission alone, the plain copy), so that a slow spell of a shared machine falls on all of
// them; the ratios are taken per round and their medians printed. CPU time (the whole process's)
// is printed beside the wall time: the report hands its work to a framework thread and back, and on
// a loaded machine each wake-up may wait for a time slice that is nobody's cost.
// False when a report did not return every stored row.
bool measureReport(BenchSamples& samples, int reports) {
    Table t = makeTable("DPTREP", 'K', 600);
    auto store =
        std::make_unique<dataList>(t.udi->applKey(), t.udi->tableNameRR(), "src0", t.udi->rowSize(), 600);
    store->userData(t.udi);
    store->addKey(1, 2, 32, 16);
    for (int i = 0; i < 10000; ++i) {
        rowBuffer row = allocateRow(kRowSize);
        std::snprintf(row.get() + 32, 17, "key%012d", i);
        std::memcpy(row.get() + 48, &i, 4);
        std::memset(row.get() + 52, 't', 140);
        store->addEntry(kSingleRow, row, 0);
    }
    samples.put(std::string(t.udi->applKey()) + "/" + t.udi->tableNameRR() + "/src0", std::move(store));
    std::shared_ptr<dataList> stored = samples.dataListPtr(t.udi->applKey(), t.udi->tableNameRR(), "src0");
    axf::ReportQuery q;
    q.applName = t.udi->applNameRR();
    q.tableName = t.udi->tableNameRR();
    q.subnodes = {"src0:DPTREP00"};
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
    std::vector<char> from(10000 * kRowSize, 'x'), to(from.size());

    // The first report starts the framework's threads and sizes its answer: not a report's cost.
    std::size_t rows = axf::runReport(q).rows.size();
    std::size_t checksum = 0;
    const int perRound = 10;
    const int rounds = std::max(1, reports / perRound);
    std::vector<double> reportWall, reportCpu, readWall, readCpu, emitWall, copyWall, copyCpu;
    std::vector<double> ratioWall, ratioCpu, ratioRead, ratioReadCpu, ratioEmit;
    for (int round = 0; round < rounds; ++round) {
        Timing report = timeEach(perRound, [&](int) { rows = axf::runReport(q).rows.size(); });
        Timing read = timeEach(perRound, [&](int) {
            axf::ReportResult r = axf::runReport(q);
            for (const axf::ReportRows::Row row : r.rows) {
                for (std::size_t c = 0; c < row.size(); ++c) {
                    checksum += row.isInteger(c) ? static_cast<std::size_t>(row.integer(c)) : row.text(c).size();
                }
            }
        });
        Timing emit = timeEach(perRound, [&](int) {
            copy.count = 0;
            stored->emitToAXF(&copy, "src0:DPTREP00", 0);
        });
        // The copy is kept whatever the compiler sees: its source may change and its result is read
        // (as Google Benchmark's barriers tell the optimizer), or a compiler drops it as dead.
        Timing plain = timeEach(20 * perRound, [&](int i) {
            from[static_cast<std::size_t>(i)] = static_cast<char>(i);
            benchmark::DoNotOptimize(from.data());
            std::memcpy(to.data(), from.data(), from.size());
            benchmark::DoNotOptimize(to.data());
            benchmark::ClobberMemory();
        });
        reportWall.push_back(report.wall);
        reportCpu.push_back(report.cpu);
        readWall.push_back(read.wall);
        readCpu.push_back(read.cpu);
        emitWall.push_back(emit.wall);
        copyWall.push_back(plain.wall);
        copyCpu.push_back(plain.cpu);
        ratioWall.push_back(report.wall / plain.wall);
        ratioCpu.push_back(report.cpu / plain.cpu);
        ratioRead.push_back(read.wall / plain.wall);
        ratioReadCpu.push_back(read.cpu / plain.cpu);
        ratioEmit.push_back(emit.wall / plain.wall);
    }
    const double ms = 1e3;
    std::printf("| row store emission of 10,000 rows into copies (median of %d rounds) | %.3f ms | plain copy of 2 MB "
                "%.3f ms | %.1f |\n",
                rounds, median(emitWall) * ms, median(copyWall) * ms, median(ratioEmit));
    std::printf("| report of 10,000 rows (%zu returned), wall | %.4f ms | plain copy of 2 MB %.4f ms | ratio %.1f |\n",
                rows, median(reportWall) * ms, median(copyWall) * ms, median(ratioWall));
    std::printf("| report of 10,000 rows, CPU | %.4f ms | plain copy of 2 MB %.4f ms | ratio %.1f |\n",
                median(reportCpu) * ms, median(copyCpu) * ms, median(ratioCpu));
    std::printf("| report of 10,000 rows, every value read (sum %zu), wall | %.3f ms | plain copy of 2 MB %.3f ms | "
                "ratio %.1f |\n",
                checksum, median(readWall) * ms, median(copyWall) * ms, median(ratioRead));
    std::printf("| report of 10,000 rows, every value read, CPU | %.3f ms | plain copy of 2 MB %.3f ms | ratio %.1f |\n",
                median(readCpu) * ms, median(copyCpu) * ms, median(ratioReadCpu));
    zot_vorpane_release(t.manager);
    samples.clear();
    return rows == 10000;
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
        // Looks at the store every 10 us: looking takes the store's lock, and looking without a pause
        // would make the collection thread wait for it (and be woken) on most rows.
        while (samples.rows() == before && clock::steadyNanos() - sent < 1'000'000'000) {
            const int64_t until = clock::steadyNanos() + 10'000;
            while (clock::steadyNanos() < until) {
            }
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

// The sock part: lines/s into the row store, and the rows that never arrived.
void measureSock(BenchSamples& samples, int senders, int lines, bool* ok) {
    const std::string appl = "DPTS" + std::to_string(senders);
    Table t = makeTable(appl.c_str(), 'K', 600);
    dp::AppDescription app;
    dp::ParseError e;
    dp::parseDescription("application " + appl +
                                        "\ngroup G K 600\nattribute @Name D 16\nattribute Count C 4\nattribute Text D 148\n",
                                    &app, &e);
    providers::SockProvider provider("SOCK:bench", HubOptions::fromEnvironment(), app, providers::SockProvider::Options{});
    if (!provider.open()) {
        *ok = false;
        return;
    }
    providers::StopSignal stop;
    std::thread runner([&] { provider.run(stop); });
    startWaitOnDPthread(*t.udi);
    // One probe row first: the provider registers the application with its first line.
    const int probe = bench::connectLoopback(provider.port());
    bench::sendAll(probe, "G probe Name=probe Count=0 Text=p\n");
    close(probe);
    const bool ready = waitForRows(samples, 1) == 1;

    const std::string text(140, 't');
    const int each = lines / senders;
    std::vector<std::string> texts(static_cast<size_t>(senders));
    for (int s = 0; s < senders; ++s) {
        for (int i = 0; i < each; ++i) {
            texts[static_cast<size_t>(s)] += "G src" + std::to_string(s) + " Name=s" + std::to_string(s) + "_" +
                                              std::to_string(i) + " Count=" + std::to_string(i) + " Text=" + text + "\n";
        }
    }
    const std::size_t total = static_cast<std::size_t>(each) * static_cast<std::size_t>(senders) + 1;
    const double cpu = cpuSeconds();
    const int64_t start = clock::steadyNanos();
    std::vector<std::thread> threads;
    for (int s = 0; s < senders; ++s) {
        threads.emplace_back([&, s] {
            const int fd = bench::connectLoopback(provider.port());
            bench::sendAll(fd, texts[static_cast<size_t>(s)]);
            close(fd);
        });
    }
    for (std::thread& th : threads) {
        th.join();
    }
    const std::size_t stored = waitForRows(samples, total);
    const double wall = seconds(clock::steadyNanos() - start);
    const double used = cpuSeconds() - cpu;
    const long lost = static_cast<long>(total) - static_cast<long>(stored);
    std::printf("| sock, %d sender(s), %d lines into the row store | %.0f lines/s (lost %ld) | %.1f us CPU a line | |\n",
                senders, each * senders, static_cast<double>(stored - 1) / wall, lost,
                used * 1e6 / static_cast<double>(std::max<std::size_t>(stored, 1)));
    *ok = *ok && ready && lost == 0;
    stop.request();
    runner.join();
    stopWaitOnDPthread(*t.udi);
    zot_vorpane_release(t.manager);
    samples.clear();
}

// The flood part: one run with a hub of its own made under the given keys.
struct Flood {
    uint64_t sent = 0, stored = 0, waits = 0, stalls = 0;
    double seconds = 0, waitSeconds = 0;
    long rssBefore = 0, rssAfter = 0;
};

Flood floodOnce(BenchSamples& samples, int seconds, bool window, bool systemBuffer) {
    setenv("VORPANE_DCH_COLLECTOR_WINDOW", window ? "" : "0", 1);
    setenv("VORPANE_DCH_RECEIVE_BUFFER", systemBuffer ? "0" : "", 1);
    Flood out;
    out.rssBefore = vmRSSkB();
    vorpane::testing::TestHub hub(1);
    if (!hub.ready()) {
        return out;
    }
    constexpr int kProviders = 8;
    constexpr int kKeys = 5000;  // per provider: the table stays small while rows keep coming
    const std::string appl = std::string("FLD") + (window ? "W" : "N") + (systemBuffer ? "D" : "F");
    Table t = makeTable(appl.c_str(), 'K', 600);
    Providers p = online(appl.c_str(), kProviders);
    startWaitOnDPthread(*t.udi);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the subscription reaches the hub
    const uint64_t lookupsBefore = samples.lookups();
    std::atomic<uint64_t> sent{0};
    const int64_t start = clock::steadyNanos();
    const int64_t end = start + static_cast<int64_t>(seconds) * 1'000'000'000;
    std::vector<std::thread> threads;
    for (int i = 0; i < kProviders; ++i) {
        threads.emplace_back([&, i] {
            DPdataBatch batch;
            const std::string prefix = "f" + std::to_string(i) + "_";
            for (int r = 0; clock::steadyNanos() < end;) {
                for (int b = 0; b < 256; ++b, ++r) {
                    batch.add(p.handles[i], 0x11, makeRow(prefix + std::to_string(r % kKeys), r));
                }
                p.sessions[i]->dp_dataBatch(&batch);
                uint64_t ok = 0;
                for (size_t b = 0; b < batch.count(); ++b) {
                    ok += batch.status(b) == 0 ? 1 : 0;
                }
                sent += ok;
                batch.clear();
            }
        });
    }
    for (std::thread& th : threads) {
        th.join();
    }
    // Until every row sent is stored, or nothing has moved for two seconds.
    uint64_t stored = 0, seen = 0;
    int64_t lastMove = clock::steadyNanos();
    while ((stored = samples.lookups() - lookupsBefore) < sent && clock::steadyNanos() - lastMove < 2'000'000'000) {
        if (stored != seen) {
            seen = stored;
            lastMove = clock::steadyNanos();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    out.seconds = static_cast<double>(clock::steadyNanos() - start) / 1e9;
    out.sent = sent;
    out.stored = stored;
    out.waits = hub.server().figures().collectorWaits();
    out.waitSeconds = hub.server().figures().collectorWaitSeconds();
    out.stalls = hub.server().figures().collectorStalls();
    out.rssAfter = vmRSSkB();
    stopWaitOnDPthread(*t.udi);
    zot_vorpane_release(t.manager);
    samples.clear();
    return out;
}

bool measureFlood(BenchSamples& samples, int seconds) {
    bool ok = true;
    for (bool systemBuffer : {false, true}) {
        double rate[2] = {0, 0};
        for (bool window : {true, false}) {
            const Flood f = floodOnce(samples, seconds, window, systemBuffer);
            const double stored = static_cast<double>(f.stored) / f.seconds;
            rate[window ? 0 : 1] = stored;
            std::printf("| flood %d s, 8 providers, %s, %s | sent %llu, stored %llu, lost %lld | %.0f rows/s stored; "
                        "%llu waits for the collector (%.1f s), %llu stalls | VmRSS %ld -> %ld kB, peak %ld kB |\n",
                        seconds, window ? "flow control" : "no flow control",
                        systemBuffer ? "system receive buffer" : "16 MiB receive buffer",
                        static_cast<unsigned long long>(f.sent), static_cast<unsigned long long>(f.stored),
                        static_cast<long long>(f.sent) - static_cast<long long>(f.stored), stored,
                        static_cast<unsigned long long>(f.waits), f.waitSeconds,
                        static_cast<unsigned long long>(f.stalls), f.rssBefore, f.rssAfter, statuskB("VmHWM:"));
            if (window && (f.sent == 0 || f.stored != f.sent)) {
                ok = false;
            }
        }
        std::printf("| flood, %s: stored rate with flow control against without | | | %.2f |\n",
                    systemBuffer ? "system receive buffer" : "16 MiB receive buffer",
                    rate[1] > 0 ? rate[0] / rate[1] : 0);
    }
    unsetenv("VORPANE_DCH_COLLECTOR_WINDOW");
    unsetenv("VORPANE_DCH_RECEIVE_BUFFER");
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    int rows = 20000, reports = 50, latencyRows = 4000, rateRounds = 5, sockRows = 100000, floodSeconds = 10;
    std::string parts = "rate,report,memory,latency,sock";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--parts") == 0) {
            parts = argv[i + 1];
        } else if (std::strcmp(argv[i], "--rate-rounds") == 0) {
            rateRounds = std::max(1, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--rows") == 0) {
            rows = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--reports") == 0) {
            reports = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--latency-rows") == 0) {
            latencyRows = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--sock-rows") == 0) {
            sockRows = std::max(8, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--flood-seconds") == 0) {
            floodSeconds = std::max(1, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--batch") == 0) {
            gBatch = std::atoi(argv[i + 1]);
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
    auto wanted = [&](const char* part) { return ("," + parts + ",").find("," + std::string(part) + ",") != std::string::npos; };
    bool ok = true;
    if (wanted("flood")) {
        // Its runs make hubs of their own, under their own keys, before the other parts' hub.
        std::printf("| part | figures | rate and waits | memory |\n|---|---|---|---|\n");
        ok = measureFlood(samples, floodSeconds);
    }
    vorpane::testing::TestHub hub(1);  // a hub on a port of its own, with the clock at real speed
    if (!hub.ready()) {
        std::fprintf(stderr, "the hub did not start\n");
        return 1;
    }

    std::printf("| part | figure | reference | ratio |\n|---|---|---|---|\n");
    for (int n : {1, 8}) {
        if (!wanted("rate")) {
            break;
        }
        std::vector<double> ratios;
        for (int round = 0; round < rateRounds; ++round) {
            const int per = n == 1 ? rows : rows / n;
            Rate r = measureRate(samples, n, per, round);
            ratios.push_back(r.dataPath / r.hubOnly);
            ok = ok && r.lostDataPath == 0 && r.lostHub == 0;
            std::printf(
                "| rate, %d provider(s), round %d | data path %.0f rows/s (lost %ld) | hub only %.0f rows/s "
                "(lost %ld) | %.2f |\n",
                n, round + 1, r.dataPath, r.lostDataPath, r.hubOnly, r.lostHub, r.dataPath / r.hubOnly);
        }
        std::printf("| rate, %d provider(s), median of %d rounds | | | %.2f |\n", n, rateRounds, median(ratios));
    }
    if (wanted("report")) {
        ok = measureReport(samples, reports) && ok;
    }
    if (wanted("memory")) {
        measureMemory();
    }
    if (wanted("latency")) {
        measureLatency(samples, latencyRows);
    }
    for (int senders : {1, 8}) {
        if (wanted("sock")) {
            measureSock(samples, senders, sockRows, &ok);
        }
    }
    setSamplesIndex(nullptr);
    return ok ? 0 : 1;  // a row lost or missing from a report
}

// The framework's two costs that grow with the load: evaluating a situation's filter on every row a
// table emits, and one scheduled sample (time line, pool hand-off, the table's lock, TakeSample,
// reading the answer) of a table that has nothing to say. docs/benchmarks.md has the figures.
//
//   axf_bench [--runs N] [--rows N] [--tables N] [--seconds S] [--speedup F]
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "interfaces/axf_facade.h"
#include "interfaces/support.h"
#include "platform/axf/memory_table.h"
#include "bench_stats.h"

namespace {

using vorpane::bench::median;

struct Options {
    int runs = 5;
    int rows = 2'000'000;  // filter evaluations per run
    int tables = 100;  // empty tables sampled at once
    double seconds = 2.0;  // real time each sampling run lasts
    double speedup = 100;  // the clock's speed-up while sampling: tables x speedup samples are due each second
};

double cpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// prefix, n and suffix as one name ("E", 7, "01" -> "E701").
std::string numbered(const char* prefix, int n, const char* suffix = "") {
    char name[64];
    std::snprintf(name, sizeof name, "%s%d%s", prefix, n, suffix);
    return name;
}

// 200-byte rows: ORIGINNODE, a mount point, a used percentage, a file-system type and free text.
std::vector<axf::MemoryColumn> rowColumns() {
    return {{"ORIGINNODE", "Node_Name", "", AXF_COLUMN_STRING, 32},
            {"VA1", "Mount", "", AXF_COLUMN_STRING, 64},
            {"VA2", "Used_Pct", "", AXF_COLUMN_INT32, 4},
            {"VA3", "FS_Type", "", AXF_COLUMN_STRING, 16},
            {"VA4", "Note", "", AXF_COLUMN_STRING, 84}};
}

// Rows per second of CheckForException for "VA2 GT 80 AND VA1 LIKE /var* OR VA3 EQ tmpfs", on one
// thread, through the request class a table would use (the columns found by name).
double filterRate(const Options& o) {
    axf::MemoryTable table("BEN01", "BENFLT01", rowColumns());
    RequestDetail d;
    d.applName = "BEN01";
    d.tableName = "BENFLT01";
    axf::Filter filter;
    if (!axf::parseFilter("VA2 GT 80 AND VA1 LIKE /var* OR VA3 EQ tmpfs", &filter).ok()) {
        std::fprintf(stderr, "filter text refused\n");
        std::exit(2);
    }
    // The filter elements as the facade would build them.
    for (size_t i = 0; i < filter.size(); ++i) {
        FLT1_FILTERINFO f;
        f.columnName.assign(filter[i].column);
        f.compareOperator = static_cast<int>(filter[i].op);
        f.logicalOperator = i + 1 == filter.size() ? 0 : static_cast<int>(filter[i].join);
        if (filter[i].column == "VA2") {
            int32_t v = std::atoi(filter[i].value.c_str());
            f.dataType = FLT1_TYPE_LONG;
            f.value.assign(reinterpret_cast<const char*>(&v), sizeof v);
        } else {
            f.dataType = FLT1_TYPE_STRING;
            f.value = filter[i].value;
        }
        f.valueLength = static_cast<int>(f.value.size());
        d.filter.push_back(f);
    }
    std::unique_ptr<plaxf> request = table.CreatePlaxf(&d, nullptr);
    if (table.rowSize() != 200) {
        std::fprintf(stderr, "row size %d, expected 200\n", table.rowSize());
        std::exit(2);
    }
    // A mix that exercises every branch: some rows pass on the AND group, some on the OR, most fail.
    const char* mounts[] = {"/var/log", "/home", "/var", "/tmp", "/opt/app", "/srv", "/var/lib/db", "/"};
    const char* types[] = {"ext4", "xfs", "tmpfs", "ext4", "btrfs"};
    std::vector<std::vector<char>> rows;
    for (int i = 0; i < 1000; ++i) {
        rows.push_back(table.rowImage({numbered("host", i % 7, ":BEN01"), mounts[i % 8],
                                       std::to_string((i * 37) % 100), types[i % 5], "some text of the row"}));
    }
    long passed = 0;
    int64_t start = vorpane::clock::steadyNanos();
    for (int i = 0; i < o.rows; ++i) {
        passed += request->CheckForException(rows[static_cast<size_t>(i) % rows.size()].data());
    }
    double elapsed = static_cast<double>(vorpane::clock::steadyNanos() - start) / 1e9;
    if (passed == 0 || passed == o.rows) {
        std::fprintf(stderr, "the filter passed %ld of %d rows: the mix is wrong\n", passed, o.rows);
        std::exit(2);
    }
    return o.rows / elapsed;
}

// Samples of empty tables: `tables` situations every second on a clock running `speedup` times
// faster, so the time line always has samples due (below what the pool can take, so none is skipped). Returns samples per real second and CPU microseconds per
// sample (the whole process: time line, workers, this thread waiting).
std::pair<double, double> sampleCost(const Options& o) {
    std::vector<std::unique_ptr<axf::MemoryTable>> tables;
    for (int t = 0; t < o.tables; ++t) {
        std::string appl = numbered("E", t, "01");
        tables.push_back(std::make_unique<axf::MemoryTable>(appl.c_str(), numbered("EMPTY", t).c_str(),
                                                            rowColumns()));
    }
    vorpane::clock::setSpeedup(o.speedup);
    for (int t = 0; t < o.tables; ++t) {
        axf::SituationDef def{numbered("Empty_", t), tables[static_cast<size_t>(t)]->ApplicationName(),
                              tables[static_cast<size_t>(t)]->TableName(), {{"VA2", axf::CompareOp::GT, "90"}}, 1};
        def.subnodes = {std::string("host:").append(def.applName)};
        if (!axf::addSituation(def).ok()) {
            std::fprintf(stderr, "situation refused\n");
            std::exit(2);
        }
    }
    auto totalSamples = [&] {
        long n = 0;
        for (auto& t : tables) {
            n += t->samplesTaken();
        }
        return n;
    };
    long before = totalSamples();
    double cpu0 = cpuSeconds();
    int64_t t0 = vorpane::clock::steadyNanos();
    BSS1_Sleep(o.seconds * o.speedup);  // clock seconds: o.seconds of real time
    double real = static_cast<double>(vorpane::clock::steadyNanos() - t0) / 1e9;
    double cpu = cpuSeconds() - cpu0;
    long samples = totalSamples() - before;
    vorpane::clock::setSpeedup(1);
    axf::reset();
    tables.clear();
    return {samples / real, samples > 0 ? cpu * 1e6 / static_cast<double>(samples) : 0};
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&] { return i + 1 < argc ? argv[++i] : "0"; };
        if (a == "--runs") {
            o.runs = std::max(1, std::atoi(next()));
        } else if (a == "--rows") {
            o.rows = std::max(1000, std::atoi(next()));
        } else if (a == "--tables") {
            o.tables = std::max(1, std::atoi(next()));
        } else if (a == "--speedup") {
            o.speedup = std::max(1.0, std::atof(next()));
        } else if (a == "--seconds") {
            o.seconds = std::max(0.1, std::atof(next()));
        } else {
            std::printf("usage: axf_bench [--runs N] [--rows N] [--tables N] [--seconds S] [--speedup F]\n");
            return a == "--help" ? 0 : 1;
        }
    }
    BSS1_Main(&argc, argv, "axf_bench");
    std::vector<double> rates, sampleRates, sampleCpu;
    for (int r = 0; r < o.runs; ++r) {
        rates.push_back(filterRate(o));
        auto [rate, cpu] = sampleCost(o);
        sampleRates.push_back(rate);
        sampleCpu.push_back(cpu);
        std::printf("run %d: filter %.0f rows/s; sampling %.0f samples/s, %.1f us CPU per sample\n", r + 1,
                    rates.back(), rate, cpu);
        std::fflush(stdout);
    }
    auto [rmin, rmax] = std::minmax_element(rates.begin(), rates.end());
    auto [smin, smax] = std::minmax_element(sampleCpu.begin(), sampleCpu.end());
    std::printf("\n| Figure | Median | Min - max |\n|---|---:|---:|\n");
    std::printf("| filter, 3 predicates, 200-byte rows (rows/s) | %.0f | %.0f - %.0f |\n", median(rates), *rmin, *rmax);
    std::printf("| one scheduled sample of an empty table (us CPU) | %.1f | %.1f - %.1f |\n", median(sampleCpu), *smin,
                *smax);
    std::printf("| scheduled samples of %d empty tables (samples/s) | %.0f | |\n", o.tables, median(sampleRates));
    return 0;
}

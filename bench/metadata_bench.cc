// An application's metadata as the online path builds it: from the hub's three texts to table
// layouts, with and without generating the files. A large application: 32 groups of 64 attributes.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "interfaces/support.h"
#include "metadata/user_data_list.h"

namespace {

using vorpane::metadata::fixedApplicationTexts;
using vorpane::metadata::metadataSettings;
using vorpane::metadata::userDataList;

struct Texts {
    std::string applInfo, attrInfo, helpInfo;
};

Texts largeApplication(int groups, int attributes) {
    Texts t;
    t.applInfo = "BENCH";
    t.helpInfo = "Benchmark application,";
    for (int g = 0; g < groups; ++g) {
        const std::string group = "GROUP" + std::to_string(g);
        t.applInfo += "," + group + ",P,60,FILE:";
        t.attrInfo += group + ",";
        t.helpInfo += group + ",Group " + std::to_string(g) + " help,";
        for (int a = 0; a < attributes; ++a) {
            const std::string name = (a == 0 ? "@" : "") + std::string("Attr_") + std::to_string(a);
            const bool text = a % 3 == 1;
            t.attrInfo += name + (text ? ",D,32:" : ",C,4:");
            t.helpInfo += "Attr_" + std::to_string(a) + ",Help of attribute " + std::to_string(a) +
                          ",CAPTION{Attribute " + std::to_string(a) + "}," +
                          (a % 5 == 2 ? "ENUM{ low(0) mid(5) high(9) }" : " ") +
                          (a + 1 == attributes ? ":" : ",");
        }
        t.attrInfo += ";";
    }
    t.applInfo += ";";
    t.helpInfo += ";";
    // Only the first record carries the application name in front.
    t.applInfo.replace(0, 5, "BENCH");
    return t;
}

class WorkDir {
public:
    WorkDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "vorpane-bench-XXXXXX").string();
        _path = mkdtemp(tmpl.data()) != nullptr ? tmpl : std::string("/tmp");
        vorpane::setWorkDirectory(_path);
        setenv("ATTRLIB", (_path + "/attrlib").c_str(), 1);
    }
    ~WorkDir() {
        std::error_code ec;
        std::filesystem::remove_all(_path, ec);
    }
    void clearWorkFile() { std::filesystem::remove(_path + "/zotawBEN"); }

private:
    std::string _path;
};

metadataSettings settings() {
    metadataSettings s;
    s.pellanTime = [] { return std::string("1261206053000000"); };
    return s;
}

// Parse, checksums, version decision and layouts; the registration is unchanged, so nothing is written.
void BM_BuildUnchanged(benchmark::State& state) {
    ZOT0_InitializeProductSpec("VA");
    WorkDir dir;
    const Texts t = largeApplication(static_cast<int>(state.range(0)), 64);
    const metadataSettings s = settings();
    fixedApplicationTexts source(t.applInfo, t.attrInfo, t.helpInfo);
    userDataList first("BENCH", s, source);
    for (auto _ : state) {
        userDataList list("BENCH", s, source);
        benchmark::DoNotOptimize(list.status());
    }
}
BENCHMARK(BM_BuildUnchanged)->Arg(1)->Arg(32)->Unit(benchmark::kMicrosecond);

// The same, plus writing the CAT, ATR and ODI files and the work file (each flushed to disk).
void BM_BuildAndGenerate(benchmark::State& state) {
    ZOT0_InitializeProductSpec("VA");
    WorkDir dir;
    const Texts t = largeApplication(static_cast<int>(state.range(0)), 64);
    const metadataSettings s = settings();
    fixedApplicationTexts source(t.applInfo, t.attrInfo, t.helpInfo);
    for (auto _ : state) {
        dir.clearWorkFile();
        userDataList list("BENCH", s, source);
        benchmark::DoNotOptimize(list.status());
        if (!list.filesGenerated()) {
            state.SkipWithError("files were not generated");
        }
    }
}
BENCHMARK(BM_BuildAndGenerate)->Arg(1)->Arg(32)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

// The application space on the per-row path: what every dp_data costs the hub's request thread
// (store a row's values, build the data message) and finding a source by handle in a large hub.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "hub/appl_space_list.h"

namespace {

constexpr std::size_t kValuesBuffer = 8192;

struct rowValue {
    std::string name;
    std::string bytes;
};

std::string int32Bytes(int32_t v) {
    return std::string(reinterpret_cast<const char*>(&v), 4);
}

// A 20-attribute group: counters, gauges, texts, an average and a time stamp.
void twentyAttributes(std::string* reg, std::vector<rowValue>* row) {
    for (int i = 0; i < 20; ++i) {
        std::string name = "ATTRIBUTE_" + std::to_string(i);
        std::string type;
        std::string bytes;
        if (i < 8) {
            type = "C,4";
            bytes = int32Bytes(i * 1000);
        } else if (i < 12) {
            type = "G,4";
            bytes = int32Bytes(-i);
        } else if (i < 18) {
            type = "D,32";
            bytes = "value text of attribute " + std::to_string(i);
        } else if (i == 18) {
            type = "A,4";
            bytes = int32Bytes(42);
        } else {
            type = "T,16";
            bytes = "1250101120000000";
        }
        *reg += name + "," + type + ",enum,fmt,help text of " + name + ";";
        row->push_back({name, bytes});
    }
}

void putAndGetRow(benchmark::State& state, char groupType) {
    applSpaceList space;
    std::string reg;
    std::vector<rowValue> row;
    twentyAttributes(&reg, &row);
    if (space.allocApplicationSpace("BENCH", "GROUP", groupType, 0, reg, 1, 0) != 0) {
        state.SkipWithError("registration failed");
        return;
    }
    const int32_t handle = space.getHandle("BENCH", "GROUP", "BENCH_0");
    std::vector<char> buffer(kValuesBuffer);
    const bool clearFirst = groupType == 'E' || groupType == 'K';
    for (auto _ : state) {
        if (clearFirst) {
            benchmark::DoNotOptimize(space.clearValues(handle));
        }
        for (const rowValue& v : row) {
            benchmark::DoNotOptimize(space.getAttrType(handle, v.name.c_str()));
            benchmark::DoNotOptimize(space.putData(handle, 0x11, v.name.c_str(), v.bytes.data(),
                                                   static_cast<int>(v.bytes.size())));
        }
        benchmark::DoNotOptimize(space.getData(buffer, kValuesBuffer, handle, 1));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["attrs/s"] =
        benchmark::Counter(static_cast<double>(state.iterations() * row.size()), benchmark::Counter::kIsRate);
}

void BM_PutAndGetRow_P(benchmark::State& state) {
    putAndGetRow(state, 'P');
}
void BM_PutAndGetRow_E(benchmark::State& state) {
    putAndGetRow(state, 'E');
}
void BM_PutAndGetRow_K(benchmark::State& state) {
    putAndGetRow(state, 'K');
}
BENCHMARK(BM_PutAndGetRow_P);
BENCHMARK(BM_PutAndGetRow_E);
BENCHMARK(BM_PutAndGetRow_K);

// 1,000 sources: 50 applications of 20 sources each.
struct largeHub {
    applSpaceList space;
    std::vector<int32_t> handles;

    largeHub() {
        const std::string reg = "ID,C,4,e,f,h;NAME,D,32,e,f,h";
        for (int a = 0; a < 50; ++a) {
            const std::string appl = "APPL" + std::to_string(a);
            space.allocApplicationSpace(appl, "GROUP", 'P', 0, reg, 1, 0);
            applSpaceEntry* entry = space.searchApplSpace(appl);
            for (int s = 0; s < 20; ++s) {
                handles.push_back(
                    entry->allocateAttrInfoList("GROUP", "source" + std::to_string(s), 'P', 0, reg, 1, 'I'));
            }
        }
        std::shuffle(handles.begin(), handles.end(), std::mt19937(7));
    }
};

// What dp_data asks by handle for every row: the list, then its application and group.
void BM_LookupByHandle(benchmark::State& state) {
    largeHub hub;
    std::size_t i = 0;
    for (auto _ : state) {
        const int32_t h = hub.handles[i++ % hub.handles.size()];
        benchmark::DoNotOptimize(hub.space.searchAttrInfoList(h));
        benchmark::DoNotOptimize(hub.space.getApplName(h));
        benchmark::DoNotOptimize(hub.space.getAttrGroup(h));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LookupByHandle);

// The same three lookups by walking every list of every application, for comparison.
const attrInfoList* walkFor(const applSpaceList& space, int32_t handle) {
    for (const applSpaceEntry& entry : space.entries()) {
        for (const attrInfoList& list : entry.lists()) {
            if (list.handle() == handle) {
                return &list;
            }
        }
    }
    return nullptr;
}

void BM_LookupByWalk(benchmark::State& state) {
    largeHub hub;
    std::size_t i = 0;
    for (auto _ : state) {
        const int32_t h = hub.handles[i++ % hub.handles.size()];
        for (int k = 0; k < 3; ++k) {
            benchmark::DoNotOptimize(walkFor(hub.space, h));
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LookupByWalk);

}  // namespace

BENCHMARK_MAIN();

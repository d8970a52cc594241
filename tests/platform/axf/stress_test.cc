// Many tables with many open requests, sampled, pushed to, reported on and torn down at once: run
// under ThreadSanitizer (label "concurrency") and LeakSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "interfaces/axf_facade.h"
#include "interfaces/support.h"
#include "platform/axf/engine.h"
#include "platform/axf/memory_table.h"
#include "testlib/scoped_env.h"
#include "testlib/temp_dir.h"

namespace {

constexpr int kTables = 64;
constexpr int kRequestsPerTable = 8;

TEST(Stress, SixtyFourTablesWithEightOpenRequestsEachComeAndGo) {
    axf::reset();
    vorpane::testing::TempDir dir;
    vorpane::setWorkDirectory(dir.path());
    vorpane::testing::ScopedSpeedup fast(50);

    std::vector<std::unique_ptr<axf::MemoryTable>> tables;
    for (int t = 0; t < kTables; ++t) {
        std::string appl = "S" + std::to_string(t) + "01";
        auto table = std::make_unique<axf::MemoryTable>(
            appl.c_str(), ("TBL" + std::to_string(t)).c_str(),
            std::vector<axf::MemoryColumn>{{"ORIGINNODE", "", "", AXF_COLUMN_STRING, 32},
                                           {"VA1", "Value", "", AXF_COLUMN_INT32, 4}});
        ASSERT_EQ(table->registration(), 0);
        ASSERT_TRUE(table->addRow({"h:" + appl, "5"}));
        tables.push_back(std::move(table));
    }

    // Situations open from four threads at once; half sampled every second, half fed by events.
    std::vector<std::thread> openers;
    std::atomic<int> opened{0};
    for (int w = 0; w < 4; ++w) {
        openers.emplace_back([&, w] {
            for (int t = w; t < kTables; t += 4) {
                for (int r = 0; r < kRequestsPerTable; ++r) {
                    axf::SituationDef def;
                    def.name = "S_" + std::to_string(t) + "_" + std::to_string(r);
                    def.applName = tables[static_cast<size_t>(t)]->ApplicationName();
                    def.tableName = tables[static_cast<size_t>(t)]->TableName();
                    def.filter = {{"VA1", axf::CompareOp::GE, std::to_string(r)}};
                    def.event = r % 2 == 1;
                    def.intervalSeconds = 1;
                    def.subnodes = {"h:" + def.applName};
                    if (axf::addSituation(def).ok()) {
                        ++opened;
                    }
                }
            }
        });
    }
    // Meanwhile rows are pushed and reports run.
    std::atomic<bool> stop{false};
    std::thread pusher([&] {
        for (int i = 0; !stop; ++i) {
            auto& table = tables[static_cast<size_t>(i % kTables)];
            table->pushEvent({"h:" + std::string(table->ApplicationName()), std::to_string(i % 10)});
        }
    });
    std::thread reporter([&] {
        for (int i = 0; !stop; ++i) {
            auto& table = tables[static_cast<size_t>(i % kTables)];
            axf::ReportResult r = axf::runReport({table->ApplicationName(), table->TableName(), {}});
            EXPECT_TRUE(r.status.ok()) << r.status.message;
        }
    });
    for (auto& t : openers) {
        t.join();
    }
    EXPECT_EQ(opened.load(), kTables * kRequestsPerTable);
    // Every sampled situation samples at least twice before the tables go.
    for (int t = 0; t < kTables; ++t) {
        ASSERT_TRUE(axf::detail::waitForSituation(
            "S_" + std::to_string(t) + "_0", [](const axf::SituationStatus& s) { return s.samples >= 2; }, 60));
    }
    stop = true;
    pusher.join();
    reporter.join();
    EXPECT_EQ(axf::detail::openRequestCount(), static_cast<size_t>(kTables * kRequestsPerTable));

    // Tables go from two threads while their situations still sample.
    std::thread a([&] {
        for (int t = 0; t < kTables; t += 2) {
            tables[static_cast<size_t>(t)].reset();
        }
    });
    std::thread b([&] {
        for (int t = 1; t < kTables; t += 2) {
            tables[static_cast<size_t>(t)].reset();
        }
    });
    a.join();
    b.join();
    EXPECT_TRUE(axf::listSituations().empty());
    EXPECT_EQ(axf::detail::openRequestCount(), 0u);
    EXPECT_TRUE(axf::listTables().empty());
    axf::reset();
}

}  // namespace

// The host application from a fixture /proc tree: the parsers' exact values, and the rows as a
// collector of the real hub receives them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "providers/host_provider.h"
#include "providers/row_collector.h"
#include "testlib/hub_fixture.h"
#include "testlib/temp_dir.h"

namespace vorpane::providers {
namespace {

using testing::ReceivedRow;
using testing::RowCollector;
using testing::TempDir;
using testing::TestHub;
using Values = std::vector<std::string>;

constexpr const char* kStat1 =
    "cpu  100 20 50 700 30 0 0 0 0 0\n"
    "cpu0 60 10 30 300 0 0 0 0 0 0\n"
    "cpu1 40 10 20 400 30 0 0 0 0 0\n"
    "intr 12345 0 0\n"
    "ctxt 999\n";
// 400 more ticks in total: 100 user, 100 system, 100 idle, 100 stolen by the hypervisor.
constexpr const char* kStat2 =
    "cpu  200 20 150 800 30 0 0 100 0 0\n"
    "cpu0 110 10 80 350 0 0 0 0 0 0\n"
    "cpu1 90 10 70 450 30 0 0 0 0 0\n";

constexpr const char* kMeminfo =
    "MemTotal:        8000000 kB\n"
    "MemFree:         1000000 kB\n"
    "MemAvailable:    6000000 kB\n"
    "Buffers:          200000 kB\n"
    "Cached:          3000000 kB\n"
    "SwapCached:            0 kB\n"
    "SwapTotal:       2000000 kB\n"
    "SwapFree:        1500000 kB\n";

constexpr const char* kMounts =
    "/dev/sda1 / ext4 rw,relatime 0 0\n"
    "proc /proc proc rw,nosuid 0 0\n"
    "tmpfs /run tmpfs rw 0 0\n"
    "/dev/sdb1 /data\\040disk xfs rw 0 0\n";

constexpr const char* kNetDev =
    "Inter-|   Receive                                                |  Transmit\n"
    " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs drop fifo colls "
    "carrier compressed\n"
    "    lo:  204800     100    0    0    0     0          0         0   204800     100    0    0    0     0       "
    "0          0\n"
    "  eth0: 10485760   5000    2    0    0     0          0         0  2097152    3000    1    0    0     0       "
    "0          0\n";

class HostFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        write("proc/stat", kStat1);
        write("proc/meminfo", kMeminfo);
        write("proc/loadavg", "0.52 1.05 2.5 3/456 7890\n");
        write("proc/mounts", kMounts);
        write("proc/net/dev", kNetDev);
        write("proc/1/stat", "1 (systemd) S 0 1 1 0 -1 4194560 1000 2000 10 20 30 20 0 0 20 0 1 0 10 100000000 2500 0\n");
        write("proc/42/stat", "42 (my (odd) name) R 1 42 42 0 -1 0 0 0 0 0 400 50 0 0 20 0 4 0 100 2000000 1000 0\n");
        write("proc/7/stat", "7 (idle) S 1 7 7 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 5 0 10 0\n");
        write("proc/self/stat", "not a process directory\n");
    }

    void write(const std::string& path, const std::string& text) {
        std::filesystem::path p = std::filesystem::path(_root.path()) / path;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary | std::ios::trunc) << text;
    }

    HostProvider::Options options() {
        HostProvider::Options o;
        o.root = _root.path();
        o.sourceName = "fixhost";
        o.topProcesses = 2;
        o.statFs = [](const std::string& mount, host::FsStats* s) {
            if (mount == "/") {
                *s = {4096, 2621440, 1310720, 1048576, 655360, 600000};
                return true;
            }
            if (mount == "/data disk") {
                *s = {1024, 1048576, 1048576, 1048576, 1000, 999};
                return true;
            }
            return false;
        };
        return o;
    }

    TempDir _root;
};

TEST_F(HostFixture, ParsersGiveTheFixtureFiguresExactly) {
    host::HostReader reader(_root.path());
    std::vector<host::CpuRow> cpu = host::cpuRows(host::parseProcStat(*reader.read("/proc/stat")), {});
    ASSERT_EQ(cpu.size(), 3u);
    // total: 120 user+nice, 50 system, 700 idle, 30 iowait of 900 ticks.
    EXPECT_EQ(cpu[0].cpu, "total");
    EXPECT_EQ((std::vector<int32_t>{cpu[0].user, cpu[0].system, cpu[0].idle, cpu[0].iowait, cpu[0].busy}),
              (std::vector<int32_t>{1333, 556, 7778, 333, 1889}));
    EXPECT_EQ((std::vector<int32_t>{cpu[2].user, cpu[2].system, cpu[2].idle, cpu[2].iowait, cpu[2].busy}),
              (std::vector<int32_t>{1000, 400, 8000, 600, 1400}));

    host::MemoryRow m = host::memoryRow(host::parseMeminfo(*reader.read("/proc/meminfo")));
    EXPECT_EQ((std::vector<int32_t>{m.totalKB, m.freeKB, m.availableKB, m.usedKB, m.usedPct, m.swapFreeKB}),
              (std::vector<int32_t>{8000000, 1000000, 6000000, 2000000, 2500, 1500000}));

    std::optional<host::LoadAvg> l = host::parseLoadavg(*reader.read("/proc/loadavg"));
    ASSERT_TRUE(l);
    EXPECT_EQ((std::vector<int32_t>{l->load1, l->load5, l->load15, l->running, l->processes}),
              (std::vector<int32_t>{52, 105, 250, 3, 456}));
    EXPECT_FALSE(host::parseLoadavg("garbage"));

    std::vector<host::Mount> mounts = host::parseMounts(*reader.read("/proc/mounts"));
    ASSERT_EQ(mounts.size(), 2u);  // proc and tmpfs are left out
    EXPECT_EQ(mounts[1].mountPoint, "/data disk");
    host::FileSystemRow fs = host::fileSystemRow(mounts[0], {4096, 2621440, 1310720, 1048576, 655360, 600000});
    EXPECT_EQ((std::vector<int32_t>{fs.totalMB, fs.usedMB, fs.availMB, fs.usedPct, fs.inodesTotal, fs.inodesFree}),
              (std::vector<int32_t>{10240, 5120, 4096, 5556, 655360, 600000}));

    std::vector<host::NetCounters> net1 = host::parseNetDev(*reader.read("/proc/net/dev"));
    ASSERT_EQ(net1.size(), 2u);
    std::vector<host::NetCounters> net2 = net1;
    net2[1].rxBytes += 20000;
    net2[1].txBytes += 4000;
    std::vector<host::NetworkRow> rates = host::networkRows(net2, net1, 2);
    EXPECT_EQ(rates[1].interface, "eth0");
    EXPECT_EQ((std::vector<int32_t>{rates[1].rxKB, rates[1].txKB, rates[1].rxErrors, rates[1].rxBytesPerSec,
                                    rates[1].txBytesPerSec}),
              (std::vector<int32_t>{10259, 2051, 2, 10000, 2000}));

    std::vector<host::ProcStat> procs = reader.processes();
    ASSERT_EQ(procs.size(), 3u);  // "self" is not a PID directory
    std::vector<host::ProcessRow> top = host::topProcesses(procs, {}, 900, 2, 4096, 2);
    ASSERT_EQ(top.size(), 2u);
    EXPECT_EQ(top[0].name, "my (odd) name");
    EXPECT_EQ((std::vector<int32_t>{top[0].pid, top[0].cpuPct, top[0].rssKB, top[0].threads}),
              (std::vector<int32_t>{42, 10000, 4000, 4}));
    EXPECT_EQ((std::vector<int32_t>{top[1].pid, top[1].cpuPct, top[1].rssKB}), (std::vector<int32_t>{1, 1111, 10000}));
    // Since the previous sample: process 1 used 90 more ticks of 300, 42 none.
    top = host::topProcesses(procs, {{1, 50}, {42, 450}, {7, 0}}, 300, 2, 4096, 2);
    EXPECT_EQ(top[0].pid, 1);
    EXPECT_EQ(top[0].cpuPct, 0);
    EXPECT_EQ(top[1].pid, 7);  // ties go by PID
}

class HostAgainstHub : public HostFixture {
  protected:
    void SetUp() override {
        HostFixture::SetUp();
        ASSERT_TRUE(_hub.ready());
    }
    // Rows of one group: the subscription is made with a second provider's samples, so that the
    // provider under test sends its first sample into a working subscription.
    std::vector<ReceivedRow> firstSample(HostProvider::Group group, size_t rows) {
        RowCollector collector(HostProvider::kApplication, HostProvider::groupName(group));
        HostProvider probe(HubOptions::fromEnvironment(), probeOptions());
        EXPECT_TRUE(collector.waitUntilDelivering([&] { probe.sample(group); }));
        EXPECT_TRUE(_provider.sample(group));
        std::vector<ReceivedRow> out;
        while (out.size() < rows) {
            std::optional<ReceivedRow> r = collector.next(10);
            if (!r) {
                break;
            }
            if (r->source == "fixhost") {
                out.push_back(std::move(*r));
            }
        }
        return out;
    }
    HostProvider::Options probeOptions() {
        HostProvider::Options o = options();
        o.sourceName = "probehost";
        return o;
    }
    TestHub _hub;
    HostProvider _provider{HubOptions::fromEnvironment(), options()};
};

TEST_F(HostAgainstHub, EachGroupArrivesWithTheFixtureValues) {
    std::vector<ReceivedRow> cpu = firstSample(HostProvider::kCpu, 3);
    ASSERT_EQ(cpu.size(), 3u);
    EXPECT_EQ(cpu[0].source, "fixhost");
    EXPECT_EQ(cpu[0].control, 0x01);
    EXPECT_EQ(cpu[2].control, 0x10);
    EXPECT_EQ(cpu[0].values, (Values{"total", "1333", "556", "7778", "333", "1889", "0"}));
    EXPECT_EQ(cpu[1].values, (Values{"cpu0", "1750", "750", "7500", "0", "2500", "0"}));
    // The next sample shows what happened in between.
    write("proc/stat", kStat2);
    std::vector<ReceivedRow> next = firstSample(HostProvider::kCpu, 1);
    ASSERT_EQ(next.size(), 1u);
    // Steal is part of busy, and the five shares add up to 100 %.
    EXPECT_EQ(next[0].values, (Values{"total", "2500", "2500", "2500", "0", "7500", "2500"}));

    EXPECT_FALSE(_provider.sendFreshRows("NOSUCH"));
    std::vector<ReceivedRow> memory = firstSample(HostProvider::kMemory, 1);
    ASSERT_EQ(memory.size(), 1u);
    EXPECT_EQ(memory[0].control, 0x11);
    EXPECT_EQ(memory[0].values,
              (Values{"8000000", "1000000", "6000000", "200000", "3000000", "2000000", "2500", "2000000", "1500000"}));

    std::vector<ReceivedRow> load = firstSample(HostProvider::kLoad, 1);
    ASSERT_EQ(load.size(), 1u);
    EXPECT_EQ(load[0].values, (Values{"52", "105", "250", "3", "456"}));
    {
        // A report request's fresh rows: the group sampled now.
        RowCollector fresh(HostProvider::kApplication, "LOAD");
        ASSERT_TRUE(fresh.waitUntilDelivering([&] { EXPECT_TRUE(_provider.sendFreshRows("LOAD")); }));
    }

    std::vector<ReceivedRow> fs = firstSample(HostProvider::kFileSystem, 2);
    ASSERT_EQ(fs.size(), 2u);
    EXPECT_EQ(fs[0].values, (Values{"/", "/dev/sda1", "ext4", "10240", "5120", "4096", "5556", "655360", "600000"}));
    EXPECT_EQ(fs[1].values, (Values{"/data disk", "/dev/sdb1", "xfs", "1024", "0", "1024", "0", "1000", "999"}));

    std::vector<ReceivedRow> net = firstSample(HostProvider::kNetwork, 2);
    ASSERT_EQ(net.size(), 2u);
    EXPECT_EQ(net[1].values, (Values{"eth0", "10240", "2048", "5000", "3000", "2", "1", "0", "0"}));

    write("proc/stat", kStat1);  // 900 ticks of two CPUs since boot
    std::vector<ReceivedRow> procs = firstSample(HostProvider::kProcess, 2);
    ASSERT_EQ(procs.size(), 2u);
    EXPECT_EQ(procs[0].values, (Values{"42", "my (odd) name", "R", "10000", "4000", "4"}));
    EXPECT_EQ(procs[1].values, (Values{"1", "systemd", "S", "1111", "10000", "1"}));
    EXPECT_EQ(_provider.status().errors.load(), 0);
}

TEST_F(HostAgainstHub, RunSamplesOnTheIntervalsAndStopsPromptly) {
    HostProvider::Options o = options();
    std::fill(std::begin(o.intervals), std::end(o.intervals), 1.0);  // clock seconds, sped up by the hub fixture
    HostProvider provider(HubOptions::fromEnvironment(), o);
    RowCollector collector(HostProvider::kApplication, "LOAD");
    StopSignal stop;
    std::thread runner([&] { provider.run(stop); });
    // Keeps coming without any poke: the interval drives it.
    ASSERT_TRUE(collector.waitUntilDelivering([] {}));
    for (int i = 0; i < 3; ++i) {
        std::optional<ReceivedRow> row = collector.next(10);
        ASSERT_TRUE(row);
        EXPECT_EQ(row->values, (Values{"52", "105", "250", "3", "456"}));
    }
    stop.request();
    runner.join();
    EXPECT_GT(provider.status().rowsSent.load(), 3);
}

TEST_F(HostFixture, MissingFilesAreCountedErrorsAndNothingIsSent) {
    std::filesystem::remove(std::filesystem::path(_root.path()) / "proc/meminfo");
    HostProvider::Options o = options();
    HubOptions nowhere;
    nowhere.port = 1;  // nothing is sent, so no hub is needed
    HostProvider provider(nowhere, o);
    EXPECT_FALSE(provider.sample(HostProvider::kMemory));
    EXPECT_EQ(provider.status().errors.load(), 1);
    EXPECT_NE(provider.status().lastError().find("/proc/meminfo"), std::string::npos);
}

}  // namespace
}  // namespace vorpane::providers

// The host's figures from /proc and statfs: parsers that take the files' text and return structures,
// the row values computed from two samples, and a reader that finds the files under a root
// directory (tests point it at a fixture tree). Percentages and load averages are whole hundredths
// (12.34 % is 1234), memory and disk sizes kilobytes and megabytes, all saturated to 32 bits.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorpane::providers::host {

// ------------------------------------------------------------------ parsers (text in, values out)

struct CpuTimes {
    std::string name;  // "total" for the "cpu" line, else "cpu0", "cpu1", ...
    uint64_t user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    uint64_t total() const { return user + nice + system + idle + iowait + irq + softirq + steal; }
};
std::vector<CpuTimes> parseProcStat(std::string_view text);

// /proc/meminfo: name → kilobytes.
std::map<std::string, uint64_t> parseMeminfo(std::string_view text);

struct LoadAvg {
    int32_t load1 = 0, load5 = 0, load15 = 0;  // hundredths
    int32_t running = 0, processes = 0;
};
std::optional<LoadAvg> parseLoadavg(std::string_view text);

struct Mount {
    std::string device, mountPoint, type;
};
// /proc/mounts, without the pseudo file systems (proc, sysfs, cgroup, tmpfs, ...); "\040" and the
// other octal escapes are decoded; a mount point mounted twice keeps its last line.
std::vector<Mount> parseMounts(std::string_view text);

struct NetCounters {
    std::string name;
    uint64_t rxBytes = 0, rxPackets = 0, rxErrors = 0, txBytes = 0, txPackets = 0, txErrors = 0;
};
std::vector<NetCounters> parseNetDev(std::string_view text);

struct ProcStat {
    int32_t pid = 0;
    std::string name;
    char state = '?';
    uint64_t ticks = 0;  // utime + stime
    int32_t threads = 0;
    uint64_t rssPages = 0;
};
// /proc/<pid>/stat; the command name may hold blanks and parentheses.
std::optional<ProcStat> parseProcPidStat(std::string_view text);

// ------------------------------------------------------------------ rows

struct CpuRow {
    std::string cpu;
    // Hundredths of a percent. user, system, idle, iowait and steal add up to 100 %; busy is all but
    // idle and iowait, so it includes steal.
    int32_t user = 0, system = 0, idle = 0, iowait = 0, busy = 0, steal = 0;
};
// From the times now and those of the previous sample (empty: since boot).
std::vector<CpuRow> cpuRows(const std::vector<CpuTimes>& now, const std::vector<CpuTimes>& before);

struct MemoryRow {
    int32_t totalKB = 0, freeKB = 0, availableKB = 0, buffersKB = 0, cachedKB = 0, usedKB = 0, usedPct = 0;
    int32_t swapTotalKB = 0, swapFreeKB = 0;
};
MemoryRow memoryRow(const std::map<std::string, uint64_t>& meminfo);

struct FsStats {
    uint64_t blockSize = 0, blocks = 0, blocksFree = 0, blocksAvail = 0, files = 0, filesFree = 0;
};
struct FileSystemRow {
    std::string mount, device, type;
    int32_t totalMB = 0, usedMB = 0, availMB = 0, usedPct = 0, inodesTotal = 0, inodesFree = 0;
};
FileSystemRow fileSystemRow(const Mount& mount, const FsStats& stats);

struct NetworkRow {
    std::string interface;
    int32_t rxKB = 0, txKB = 0, rxPackets = 0, txPackets = 0, rxErrors = 0, txErrors = 0;
    int32_t rxBytesPerSec = 0, txBytesPerSec = 0;  // 0 on the first sample
};
std::vector<NetworkRow> networkRows(const std::vector<NetCounters>& now, const std::vector<NetCounters>& before,
                                    double seconds);

struct ProcessRow {
    int32_t pid = 0;
    std::string name;
    char state = '?';
    int32_t cpuPct = 0;  // hundredths of one CPU
    int32_t rssKB = 0;
    int32_t threads = 0;
};
// The top n processes by CPU since the previous sample (ticks by PID; absent: since the process
// began), ties by PID. cpuTicks is the growth of the total CPU time of all CPUs, cpus their number.
std::vector<ProcessRow> topProcesses(const std::vector<ProcStat>& now, const std::map<int32_t, uint64_t>& before,
                                     uint64_t cpuTicks, int cpus, long pageSize, size_t n);

int32_t saturate(uint64_t value);

// ------------------------------------------------------------------ reader

// Reads the host's files under root ("/" for the real host). statfs is a seam: tests give one that
// answers from a table.
class HostReader {
  public:
    using StatFs = std::function<bool(const std::string& path, FsStats* stats)>;
    explicit HostReader(std::string root, StatFs statFs = {});

    // The text of a file under the root, or nothing.
    std::optional<std::string> read(const std::string& path) const;
    std::vector<ProcStat> processes() const;
    bool statFs(const std::string& mountPoint, FsStats* stats) const;
    const std::string& root() const { return _root; }

  private:
    std::string _root;  // without a trailing "/"
    StatFs _statFs;
};

}  // namespace vorpane::providers::host

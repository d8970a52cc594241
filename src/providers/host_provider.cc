#include "providers/host_provider.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "interfaces/support.h"
#include "interfaces/trace.h"
#include "providers/builtin.h"

namespace vorpane::providers {

namespace {

constexpr const char* kGroupNames[HostProvider::kGroups] = {"CPU",        "MEMORY",  "LOAD",
                                                            "FILESYSTEM", "NETWORK", "PROCESS"};

// The registration: one text in the description format, parsed once. Every group is P: a sample
// replaces the one before (a set as a whole), so the tables show the host as it is now, one row per
// CPU, interface, mount or process. Units are declared in the format item (UNIT{...}); a number
// without one is a plain count.
constexpr const char* kDescription = R"(application VPHOST help="This host"
group CPU P 60 dptype=ASFS help="Processor time by CPU since the previous sample"
attribute @CPU D 16 help="total or cpuN"
attribute User_Pct G 4 format=SCALE{2}UNIT{percent} help="User time, nice included"
attribute System_Pct G 4 format=SCALE{2}UNIT{percent} help="System time, interrupts included"
attribute Idle_Pct G 4 format=SCALE{2}UNIT{percent} help="Idle time"
attribute IOWait_Pct G 4 format=SCALE{2}UNIT{percent} help="Waiting for I/O"
attribute Busy_Pct G 4 format=SCALE{2}UNIT{percent} help="Neither idle nor waiting for I/O"
attribute Steal_Pct G 4 format=SCALE{2}UNIT{percent} help="Taken by the hypervisor for other guests"
group MEMORY P 120 dptype=ASFS help="Memory"
attribute Total_KB G 4 format=UNIT{KiB} help="Total memory"
attribute Free_KB G 4 format=UNIT{KiB} help="Unused memory"
attribute Available_KB G 4 format=UNIT{KiB} help="Available for new programs without swapping"
attribute Buffers_KB G 4 format=UNIT{KiB} help="Block device buffers"
attribute Cached_KB G 4 format=UNIT{KiB} help="Page cache"
attribute Used_KB G 4 format=UNIT{KiB} help="Total less available"
attribute Used_Pct G 4 format=SCALE{2}UNIT{percent} help="Used of total"
attribute Swap_Total_KB G 4 format=UNIT{KiB} help="Total swap space"
attribute Swap_Free_KB G 4 format=UNIT{KiB} help="Unused swap space"
group LOAD P 120 dptype=ASFS help="Load averages"
attribute Load_1 G 4 format=SCALE{2} help="Load average over 1 minute"
attribute Load_5 G 4 format=SCALE{2} help="Load average over 5 minutes"
attribute Load_15 G 4 format=SCALE{2} help="Load average over 15 minutes"
attribute Running G 4 help="Runnable tasks"
attribute Tasks G 4 help="All tasks"
group FILESYSTEM P 240 dptype=ASFS help="Mounted file systems"
attribute @Mount D 256 help="Mount point"
attribute Device D 128 help="Mounted device"
attribute Type D 32 help="File system type"
attribute Total_MB G 4 format=UNIT{MiB} help="Size"
attribute Used_MB G 4 format=UNIT{MiB} help="Used space"
attribute Avail_MB G 4 format=UNIT{MiB} help="Space available to unprivileged users"
attribute Used_Pct G 4 format=SCALE{2}UNIT{percent} help="Used of used and available as df shows it"
attribute Inodes_Total G 4 help="Inodes"
attribute Inodes_Free G 4 help="Free inodes"
group NETWORK P 60 dptype=ASFS help="Network interfaces"
attribute @Interface D 32 help="Interface name"
attribute Rx_KB C 4 format=UNIT{KiB} help="Received since the interface came up"
attribute Tx_KB C 4 format=UNIT{KiB} help="Sent since the interface came up"
attribute Rx_Packets C 4 help="Packets received"
attribute Tx_Packets C 4 help="Packets sent"
attribute Rx_Errors C 4 help="Receive errors"
attribute Tx_Errors C 4 help="Transmit errors"
attribute Rx_Bytes_Per_Sec G 4 format=UNIT{bytes_per_second} help="Received since the previous sample"
attribute Tx_Bytes_Per_Sec G 4 format=UNIT{bytes_per_second} help="Sent since the previous sample"
group PROCESS P 120 dptype=ASFS help="The busiest processes by CPU"
attribute @PID G 4 help="Process ID"
attribute Name D 64 help="Command name"
attribute State D 1 help="R running, S sleeping, D disk wait, Z zombie, T stopped"
attribute CPU_Pct G 4 format=SCALE{2}UNIT{percent} help="Of one CPU since the previous sample"
attribute RSS_KB G 4 format=UNIT{KiB} help="Resident memory"
attribute Threads G 4 help="Threads"
)";

void addText(DProw& row, const char* name, const std::string& text, size_t max) {
    std::string_view v(text);
    v = v.substr(0, max);
    row.add(name, v.data(), static_cast<int>(v.size()), 'D');
}

void addNumber(DProw& row, const char* name, int32_t value, char kind = 'G') { row.add(name, &value, 4, kind); }

}  // namespace

const char* HostProvider::groupName(Group group) { return kGroupNames[group]; }

dp::AppDescription HostProvider::application() {
    dp::AppDescription app;
    dp::ParseError error;
    if (!dp::parseDescription(kDescription, &app, &error)) {
        VA_ERROR("Error: host application line %d: %s\n", error.line, error.reason.c_str());
    }
    return app;
}

HostProvider::HostProvider(HubOptions hub, Options options)
    : Provider("HOST"),
      _options(std::move(options)),
      _reader(_options.root, _options.statFs),
      _session(std::move(hub), application(), status()) {
    status().definitions.store(1);
    _session.answerActions(this);
}

bool HostProvider::sendSet(Group group, const std::vector<DProw>& rows) {
    int h = _session.handle(kGroupNames[group], _options.sourceName);
    if (h < 0) {
        return false;
    }
    if (rows.empty()) {
        return _session.send(h, 0x10, DProw()) == 0;  // an empty set: no rows this time
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        int control = rows.size() == 1 ? 0x11 : i == 0 ? 0x01 : i + 1 == rows.size() ? 0x10 : 0x00;
        if (_session.send(h, control, rows[i]) != 0) {
            return false;
        }
    }
    return true;
}

bool HostProvider::sendCpu() {
    std::optional<std::string> text = _reader.read("/proc/stat");
    if (!text) {
        status().error("cannot read " + _reader.root() + "/proc/stat");
        return false;
    }
    std::vector<host::CpuTimes> now = host::parseProcStat(*text);
    std::vector<DProw> rows;
    for (const host::CpuRow& r : host::cpuRows(now, _cpuBefore)) {
        DProw row;
        addText(row, "CPU", r.cpu, 16);
        addNumber(row, "User_Pct", r.user);
        addNumber(row, "System_Pct", r.system);
        addNumber(row, "Idle_Pct", r.idle);
        addNumber(row, "IOWait_Pct", r.iowait);
        addNumber(row, "Busy_Pct", r.busy);
        addNumber(row, "Steal_Pct", r.steal);
        rows.push_back(std::move(row));
    }
    _cpuBefore = std::move(now);
    return sendSet(kCpu, rows);
}

bool HostProvider::sendMemory() {
    std::optional<std::string> text = _reader.read("/proc/meminfo");
    if (!text) {
        status().error("cannot read " + _reader.root() + "/proc/meminfo");
        return false;
    }
    host::MemoryRow m = host::memoryRow(host::parseMeminfo(*text));
    DProw row;
    addNumber(row, "Total_KB", m.totalKB);
    addNumber(row, "Free_KB", m.freeKB);
    addNumber(row, "Available_KB", m.availableKB);
    addNumber(row, "Buffers_KB", m.buffersKB);
    addNumber(row, "Cached_KB", m.cachedKB);
    addNumber(row, "Used_KB", m.usedKB);
    addNumber(row, "Used_Pct", m.usedPct);
    addNumber(row, "Swap_Total_KB", m.swapTotalKB);
    addNumber(row, "Swap_Free_KB", m.swapFreeKB);
    return sendSet(kMemory, {row});
}

bool HostProvider::sendLoad() {
    std::optional<std::string> text = _reader.read("/proc/loadavg");
    std::optional<host::LoadAvg> l = text ? host::parseLoadavg(*text) : std::nullopt;
    if (!l) {
        status().error("cannot read " + _reader.root() + "/proc/loadavg");
        return false;
    }
    DProw row;
    addNumber(row, "Load_1", l->load1);
    addNumber(row, "Load_5", l->load5);
    addNumber(row, "Load_15", l->load15);
    addNumber(row, "Running", l->running);
    addNumber(row, "Tasks", l->processes);
    return sendSet(kLoad, {row});
}

bool HostProvider::sendFileSystems() {
    std::optional<std::string> text = _reader.read("/proc/mounts");
    if (!text) {
        status().error("cannot read " + _reader.root() + "/proc/mounts");
        return false;
    }
    std::vector<DProw> rows;
    for (const host::Mount& m : host::parseMounts(*text)) {
        host::FsStats s;
        if (!_reader.statFs(m.mountPoint, &s)) {
            continue;  // unmounted meanwhile, or not ours to look at
        }
        host::FileSystemRow r = host::fileSystemRow(m, s);
        DProw row;
        addText(row, "Mount", r.mount, 256);
        addText(row, "Device", r.device, 128);
        addText(row, "Type", r.type, 32);
        addNumber(row, "Total_MB", r.totalMB);
        addNumber(row, "Used_MB", r.usedMB);
        addNumber(row, "Avail_MB", r.availMB);
        addNumber(row, "Used_Pct", r.usedPct);
        addNumber(row, "Inodes_Total", r.inodesTotal);
        addNumber(row, "Inodes_Free", r.inodesFree);
        rows.push_back(std::move(row));
    }
    return sendSet(kFileSystem, rows);
}

bool HostProvider::sendNetwork() {
    std::optional<std::string> text = _reader.read("/proc/net/dev");
    if (!text) {
        status().error("cannot read " + _reader.root() + "/proc/net/dev");
        return false;
    }
    std::vector<host::NetCounters> now = host::parseNetDev(*text);
    const double at = clock::now();
    std::vector<DProw> rows;
    for (const host::NetworkRow& r : host::networkRows(now, _netBefore, at - _netBeforeAt)) {
        DProw row;
        addText(row, "Interface", r.interface, 32);
        addNumber(row, "Rx_KB", r.rxKB, 'C');
        addNumber(row, "Tx_KB", r.txKB, 'C');
        addNumber(row, "Rx_Packets", r.rxPackets, 'C');
        addNumber(row, "Tx_Packets", r.txPackets, 'C');
        addNumber(row, "Rx_Errors", r.rxErrors, 'C');
        addNumber(row, "Tx_Errors", r.txErrors, 'C');
        addNumber(row, "Rx_Bytes_Per_Sec", r.rxBytesPerSec);
        addNumber(row, "Tx_Bytes_Per_Sec", r.txBytesPerSec);
        rows.push_back(std::move(row));
    }
    _netBefore = std::move(now);
    _netBeforeAt = at;
    return sendSet(kNetwork, rows);
}

bool HostProvider::sendProcesses() {
    std::optional<std::string> text = _reader.read("/proc/stat");
    if (!text) {
        status().error("cannot read " + _reader.root() + "/proc/stat");
        return false;
    }
    uint64_t cpuTotal = 0;
    int cpus = 0;
    for (const host::CpuTimes& t : host::parseProcStat(*text)) {
        if (t.name == "total") {
            cpuTotal = t.total();
        } else {
            ++cpus;
        }
    }
    std::vector<host::ProcStat> now = _reader.processes();
    const uint64_t ticks = cpuTotal > _procCpuBefore ? cpuTotal - _procCpuBefore : cpuTotal;
    std::vector<DProw> rows;
    for (const host::ProcessRow& r :
         host::topProcesses(now, _procBefore, ticks, cpus, _options.pageSize, _options.topProcesses)) {
        DProw row;
        addNumber(row, "PID", r.pid);
        addText(row, "Name", r.name, 64);
        addText(row, "State", std::string(1, r.state), 1);
        addNumber(row, "CPU_Pct", r.cpuPct);
        addNumber(row, "RSS_KB", r.rssKB);
        addNumber(row, "Threads", r.threads);
        rows.push_back(std::move(row));
    }
    _procBefore.clear();
    for (const host::ProcStat& p : now) {
        _procBefore.emplace(p.pid, p.ticks);
    }
    _procCpuBefore = cpuTotal;
    return sendSet(kProcess, rows);
}

bool HostProvider::sample(Group group) {
    switch (group) {
        case kCpu: return sendCpu();
        case kMemory: return sendMemory();
        case kLoad: return sendLoad();
        case kFileSystem: return sendFileSystems();
        case kNetwork: return sendNetwork();
        case kProcess: return sendProcesses();
        case kGroups: break;
    }
    return false;
}

bool HostProvider::sendFreshRows(std::string_view group) {
    for (int g = 0; g < kGroups; ++g) {
        if (group == kGroupNames[g]) {
            return sample(static_cast<Group>(g));
        }
    }
    return false;
}

void HostProvider::run(StopSignal& stop) {
    double due[kGroups];
    const double start = clock::now();
    std::fill(std::begin(due), std::end(due), start);
    if (_options.topProcesses == 0) {
        due[kProcess] = -1;
    }
    while (!stop.requested()) {
        double now = clock::now();
        double next = -1;
        for (int g = 0; g < kGroups; ++g) {
            if (due[g] < 0) {
                continue;
            }
            if (due[g] <= now) {
                sample(static_cast<Group>(g));
                // The next due time keeps to the interval's grid, so a slow sample does not drift it.
                while (due[g] <= now) {
                    due[g] += _options.intervals[g];
                }
            }
            next = next < 0 ? due[g] : std::min(next, due[g]);
        }
        if (next < 0 || waitFor(stop, next - clock::now())) {
            break;
        }
    }
    _session.close();
}

std::string hostSourceName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "localhost";
    }
    std::string s(name);
    return s.substr(0, s.find('.'));
}

std::unique_ptr<Provider> makeHostProvider(const ProviderContext& context) {
    HostProvider::Options o;
    if (const char* root = BSS1_GetEnv("VORPANE_HOST_ROOT"); root != nullptr && *root != '\0') {
        o.root = root;
    }
    if (const char* top = BSS1_GetEnv("VORPANE_HOST_PROCESSES"); top != nullptr && *top != '\0') {
        o.topProcesses = static_cast<size_t>(std::clamp(std::atol(top), 0L, 1000L));
    }
    long page = sysconf(_SC_PAGESIZE);
    o.pageSize = page > 0 ? page : 4096;
    o.sourceName = context.sourceName;
    return std::make_unique<HostProvider>(context.hub, std::move(o));
}

}  // namespace vorpane::providers

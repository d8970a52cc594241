#include "providers/host_metrics.h"

#include <dirent.h>
#include <sys/statfs.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

namespace vorpane::providers::host {

namespace {

// Splits a line at blanks and tabs.
std::vector<std::string_view> fields(std::string_view line) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
            ++i;
        }
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
            ++i;
        }
        if (i > start) {
            out.push_back(line.substr(start, i - start));
        }
    }
    return out;
}

template <typename F>
void forEachLine(std::string_view text, F&& f) {
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        f(text.substr(at, end - at));
        at = end + 1;
    }
}

uint64_t number(std::string_view text) {
    uint64_t v = 0;
    std::from_chars(text.data(), text.data() + text.size(), v);
    return v;
}

// "0.52" → 52: whole hundredths, without going through floating point.
int32_t hundredths(std::string_view text) {
    size_t dot = text.find('.');
    uint64_t whole = number(text.substr(0, dot));
    uint64_t frac = 0;
    if (dot != std::string_view::npos) {
        std::string_view f = text.substr(dot + 1, 2);
        frac = number(f) * (f.size() == 1 ? 10 : 1);
    }
    return saturate(whole * 100 + frac);
}

// part/whole in hundredths of a percent, rounded to nearest.
int32_t percent(uint64_t part, uint64_t whole) {
    if (whole == 0) {
        return 0;
    }
    return saturate((part * 10000 + whole / 2) / whole);
}

uint64_t delta(uint64_t now, uint64_t before) { return now >= before ? now - before : now; }

std::string unescapeOctal(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size()) {
            std::string_view oct = text.substr(i + 1, 3);
            if (oct.size() == 3 && std::all_of(oct.begin(), oct.end(), [](char c) { return c >= '0' && c <= '7'; })) {
                out += static_cast<char>((oct[0] - '0') * 64 + (oct[1] - '0') * 8 + (oct[2] - '0'));
                i += 3;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

}  // namespace

int32_t saturate(uint64_t value) { return value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value); }

std::vector<CpuTimes> parseProcStat(std::string_view text) {
    std::vector<CpuTimes> out;
    forEachLine(text, [&](std::string_view line) {
        if (line.substr(0, 3) != "cpu") {
            return;
        }
        std::vector<std::string_view> f = fields(line);
        if (f.size() < 5) {
            return;
        }
        CpuTimes t;
        t.name = f[0] == "cpu" ? "total" : std::string(f[0]);
        uint64_t* slots[] = {&t.user, &t.nice, &t.system, &t.idle, &t.iowait, &t.irq, &t.softirq, &t.steal};
        for (size_t i = 0; i < 8 && i + 1 < f.size(); ++i) {
            *slots[i] = number(f[i + 1]);
        }
        out.push_back(std::move(t));
    });
    return out;
}

std::map<std::string, uint64_t> parseMeminfo(std::string_view text) {
    std::map<std::string, uint64_t> out;
    forEachLine(text, [&](std::string_view line) {
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            return;
        }
        std::vector<std::string_view> f = fields(line.substr(colon + 1));
        if (!f.empty()) {
            out[std::string(line.substr(0, colon))] = number(f[0]);
        }
    });
    return out;
}

std::optional<LoadAvg> parseLoadavg(std::string_view text) {
    std::vector<std::string_view> f = fields(text.substr(0, text.find('\n')));
    if (f.size() < 4 || f[3].find('/') == std::string_view::npos) {
        return std::nullopt;
    }
    LoadAvg l;
    l.load1 = hundredths(f[0]);
    l.load5 = hundredths(f[1]);
    l.load15 = hundredths(f[2]);
    size_t slash = f[3].find('/');
    l.running = saturate(number(f[3].substr(0, slash)));
    l.processes = saturate(number(f[3].substr(slash + 1)));
    return l;
}

std::vector<Mount> parseMounts(std::string_view text) {
    static const std::set<std::string, std::less<>> pseudo = {
        "proc",    "sysfs",   "devpts",   "cgroup",    "cgroup2",     "securityfs", "pstore",  "debugfs",
        "tracefs", "mqueue",  "hugetlbfs", "bpf",      "configfs",    "fusectl",    "autofs",  "binfmt_misc",
        "devtmpfs", "tmpfs",  "ramfs",    "nsfs",      "rpc_pipefs",  "efivarfs",   "selinuxfs", "squashfs"};
    std::vector<Mount> out;
    forEachLine(text, [&](std::string_view line) {
        std::vector<std::string_view> f = fields(line);
        if (f.size() < 3 || pseudo.count(f[2]) != 0) {
            return;
        }
        Mount m{unescapeOctal(f[0]), unescapeOctal(f[1]), std::string(f[2])};
        auto same = std::find_if(out.begin(), out.end(), [&](const Mount& o) { return o.mountPoint == m.mountPoint; });
        if (same != out.end()) {
            out.erase(same);  // the later mount hides the earlier one
        }
        out.push_back(std::move(m));
    });
    return out;
}

std::vector<NetCounters> parseNetDev(std::string_view text) {
    std::vector<NetCounters> out;
    forEachLine(text, [&](std::string_view line) {
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            return;  // the two header lines
        }
        std::vector<std::string_view> name = fields(line.substr(0, colon));
        std::vector<std::string_view> f = fields(line.substr(colon + 1));
        if (name.size() != 1 || f.size() < 11) {
            return;
        }
        NetCounters c;
        c.name = std::string(name[0]);
        c.rxBytes = number(f[0]);
        c.rxPackets = number(f[1]);
        c.rxErrors = number(f[2]);
        c.txBytes = number(f[8]);
        c.txPackets = number(f[9]);
        c.txErrors = number(f[10]);
        out.push_back(std::move(c));
    });
    return out;
}

std::optional<ProcStat> parseProcPidStat(std::string_view text) {
    size_t open = text.find('(');
    size_t close = text.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
        return std::nullopt;
    }
    std::vector<std::string_view> f = fields(text.substr(close + 1));
    // After the name: state(3) ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt
    // utime(14) stime(15) cutime cstime priority nice num_threads(20) itrealvalue starttime vsize rss(24)
    if (f.size() < 22) {
        return std::nullopt;
    }
    ProcStat p;
    p.pid = saturate(number(text.substr(0, open)));
    p.name = std::string(text.substr(open + 1, close - open - 1));
    p.state = f[0].empty() ? '?' : f[0][0];
    p.ticks = number(f[11]) + number(f[12]);
    p.threads = saturate(number(f[17]));
    p.rssPages = number(f[21]);
    return p;
}

std::vector<CpuRow> cpuRows(const std::vector<CpuTimes>& now, const std::vector<CpuTimes>& before) {
    std::vector<CpuRow> out;
    for (const CpuTimes& n : now) {
        CpuTimes d = n;
        for (const CpuTimes& b : before) {
            if (b.name == n.name) {
                d.user = delta(n.user, b.user);
                d.nice = delta(n.nice, b.nice);
                d.system = delta(n.system, b.system);
                d.idle = delta(n.idle, b.idle);
                d.iowait = delta(n.iowait, b.iowait);
                d.irq = delta(n.irq, b.irq);
                d.softirq = delta(n.softirq, b.softirq);
                d.steal = delta(n.steal, b.steal);
                break;
            }
        }
        const uint64_t total = d.total();
        CpuRow r;
        r.cpu = n.name;
        r.user = percent(d.user + d.nice, total);
        r.system = percent(d.system + d.irq + d.softirq, total);
        r.idle = percent(d.idle, total);
        r.iowait = percent(d.iowait, total);
        r.steal = percent(d.steal, total);
        r.busy = total == 0 ? 0 : 10000 - percent(d.idle + d.iowait, total);
        out.push_back(std::move(r));
    }
    return out;
}

MemoryRow memoryRow(const std::map<std::string, uint64_t>& m) {
    auto get = [&m](const char* key) {
        auto it = m.find(key);
        return it == m.end() ? uint64_t{0} : it->second;
    };
    MemoryRow r;
    const uint64_t total = get("MemTotal");
    const uint64_t available = m.count("MemAvailable") != 0 ? get("MemAvailable")
                                                              : get("MemFree") + get("Buffers") + get("Cached");
    r.totalKB = saturate(total);
    r.freeKB = saturate(get("MemFree"));
    r.availableKB = saturate(available);
    r.buffersKB = saturate(get("Buffers"));
    r.cachedKB = saturate(get("Cached"));
    r.usedKB = saturate(total > available ? total - available : 0);
    r.usedPct = percent(total > available ? total - available : 0, total);
    r.swapTotalKB = saturate(get("SwapTotal"));
    r.swapFreeKB = saturate(get("SwapFree"));
    return r;
}

FileSystemRow fileSystemRow(const Mount& mount, const FsStats& s) {
    FileSystemRow r;
    r.mount = mount.mountPoint;
    r.device = mount.device;
    r.type = mount.type;
    const uint64_t mb = 1024 * 1024;
    const uint64_t used = s.blocks > s.blocksFree ? s.blocks - s.blocksFree : 0;
    r.totalMB = saturate(s.blocks * s.blockSize / mb);
    r.usedMB = saturate(used * s.blockSize / mb);
    r.availMB = saturate(s.blocksAvail * s.blockSize / mb);
    // As df reports it: the share of what an unprivileged user can have that is in use.
    r.usedPct = percent(used, used + s.blocksAvail);
    r.inodesTotal = saturate(s.files);
    r.inodesFree = saturate(s.filesFree);
    return r;
}

std::vector<NetworkRow> networkRows(const std::vector<NetCounters>& now, const std::vector<NetCounters>& before,
                                    double seconds) {
    std::vector<NetworkRow> out;
    for (const NetCounters& n : now) {
        NetworkRow r;
        r.interface = n.name;
        // Counters wrap like the kernel's rather than stick at the top.
        r.rxKB = static_cast<int32_t>((n.rxBytes / 1024) & INT32_MAX);
        r.txKB = static_cast<int32_t>((n.txBytes / 1024) & INT32_MAX);
        r.rxPackets = static_cast<int32_t>(n.rxPackets & INT32_MAX);
        r.txPackets = static_cast<int32_t>(n.txPackets & INT32_MAX);
        r.rxErrors = static_cast<int32_t>(n.rxErrors & INT32_MAX);
        r.txErrors = static_cast<int32_t>(n.txErrors & INT32_MAX);
        for (const NetCounters& b : before) {
            if (b.name == n.name && seconds > 0) {
                r.rxBytesPerSec = saturate(static_cast<uint64_t>(static_cast<double>(delta(n.rxBytes, b.rxBytes)) / seconds));
                r.txBytesPerSec = saturate(static_cast<uint64_t>(static_cast<double>(delta(n.txBytes, b.txBytes)) / seconds));
                break;
            }
        }
        out.push_back(std::move(r));
    }
    return out;
}

std::vector<ProcessRow> topProcesses(const std::vector<ProcStat>& now, const std::map<int32_t, uint64_t>& before,
                                     uint64_t cpuTicks, int cpus, long pageSize, size_t n) {
    std::vector<std::pair<uint64_t, const ProcStat*>> used;
    used.reserve(now.size());
    for (const ProcStat& p : now) {
        auto it = before.find(p.pid);
        used.emplace_back(it == before.end() ? p.ticks : delta(p.ticks, it->second), &p);
    }
    const size_t keep = std::min(n, used.size());
    std::partial_sort(used.begin(), used.begin() + static_cast<long>(keep), used.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first > b.first : a.second->pid < b.second->pid;
    });
    std::vector<ProcessRow> out;
    for (size_t i = 0; i < keep; ++i) {
        const ProcStat& p = *used[i].second;
        ProcessRow r;
        r.pid = p.pid;
        r.name = p.name;
        r.state = p.state;
        // cpuTicks counts every CPU; one CPU's share is cpuTicks / cpus.
        r.cpuPct = percent(used[i].first * static_cast<uint64_t>(std::max(cpus, 1)), cpuTicks);
        r.rssKB = saturate(p.rssPages * static_cast<uint64_t>(pageSize) / 1024);
        r.threads = p.threads;
        out.push_back(std::move(r));
    }
    return out;
}

HostReader::HostReader(std::string root, StatFs statFs) : _root(std::move(root)), _statFs(std::move(statFs)) {
    while (!_root.empty() && _root.back() == '/') {
        _root.pop_back();
    }
}

std::optional<std::string> HostReader::read(const std::string& path) const {
    std::ifstream in(_root + path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<ProcStat> HostReader::processes() const {
    std::vector<ProcStat> out;
    DIR* dir = opendir((_root + "/proc").c_str());
    if (dir == nullptr) {
        return out;
    }
    while (dirent* e = readdir(dir)) {
        std::string_view name = e->d_name;
        if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            continue;
        }
        // A process may end between the listing and the read: it is simply not in this sample.
        if (std::optional<std::string> text = read("/proc/" + std::string(name) + "/stat")) {
            if (std::optional<ProcStat> p = parseProcPidStat(*text)) {
                out.push_back(std::move(*p));
            }
        }
    }
    closedir(dir);
    return out;
}

bool HostReader::statFs(const std::string& mountPoint, FsStats* stats) const {
    if (_statFs) {
        return _statFs(mountPoint, stats);
    }
    struct statfs s {};
    if (::statfs((_root + mountPoint).c_str(), &s) != 0) {
        return false;
    }
    stats->blockSize = static_cast<uint64_t>(s.f_bsize);
    stats->blocks = s.f_blocks;
    stats->blocksFree = s.f_bfree;
    stats->blocksAvail = s.f_bavail;
    stats->files = s.f_files;
    stats->filesFree = s.f_ffree;
    return true;
}

}  // namespace vorpane::providers::host

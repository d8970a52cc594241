// The host application: CPU, memory, load, file systems, network interfaces and the busiest
// processes of the machine the agent runs on, each group sent on its own interval.
//
// Threads: run() on the provider's own thread; sample() is also called directly by tests and the
// benchmark. Not thread-safe otherwise.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "providers/host_metrics.h"
#include "providers/provider.h"

namespace vorpane::providers {

class HostProvider : public Provider {
  public:
    static constexpr const char* kApplication = "VPHOST";
    enum Group { kCpu, kMemory, kLoad, kFileSystem, kNetwork, kProcess, kGroups };

    struct Options {
        std::string root = "/";          // VORPANE_HOST_ROOT
        host::HostReader::StatFs statFs;  // empty: the real statfs under root
        std::string sourceName;
        size_t topProcesses = 10;        // VORPANE_HOST_PROCESSES; 0 leaves the group out
        long pageSize = 4096;
        double intervals[kGroups] = {15, 30, 30, 60, 15, 30};  // seconds, by Group
    };

    HostProvider(HubOptions hub, Options options);

    void run(StopSignal& stop) override;
    // Reads and sends one group now. False when its files could not be read or the hub refused.
    bool sample(Group group);
    bool sendFreshRows(std::string_view group) override;

    static const char* groupName(Group group);
    // The registration of the application (its attributes in column order).
    static dp::AppDescription application();

  private:
    bool sendCpu();
    bool sendMemory();
    bool sendLoad();
    bool sendFileSystems();
    bool sendNetwork();
    bool sendProcesses();
    // Sends rows as one set (first/next/last), or a single row; an empty set ends with no row.
    bool sendSet(Group group, const std::vector<DProw>& rows);

    Options _options;
    host::HostReader _reader;
    HubSession _session;
    std::vector<host::CpuTimes> _cpuBefore;
    std::vector<host::NetCounters> _netBefore;
    double _netBeforeAt = 0;
    std::map<int32_t, uint64_t> _procBefore;
    uint64_t _procCpuBefore = 0;
};

}  // namespace vorpane::providers

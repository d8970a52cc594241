// Debian's snmpd as a test peer: a private configuration (a v2c community and a v3 authPriv user),
// a random loopback UDP port, state only under its own temporary directory; and the net-snmp
// command-line tools (snmpwalk, snmptrap, snmpinform) run with the same private settings.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "testlib/child_process.h"
#include "testlib/temp_dir.h"

namespace vorpane::testing {

class SnmpDaemon {
  public:
    static constexpr const char* kCommunity = "public";
    static constexpr const char* kUser = "vorpuser";
    static constexpr const char* kAuthPassphrase = "authpass123";
    static constexpr const char* kPrivPassphrase = "privpass123";

    // True when snmpd and the snmp tools are installed.
    static bool installed();

    // Starts snmpd on `port` (0: a free one), and on the further ports, with the extra
    // configuration lines; ready() tells whether it answers.
    explicit SnmpDaemon(int port = 0, const std::string& extraConfig = "", const std::vector<int>& morePorts = {});
    ~SnmpDaemon();

    bool ready() const { return _ready; }
    int port() const { return _port; }
    std::string peer() const { return "127.0.0.1:" + std::to_string(_port); }
    // Stops it (SIGTERM) and waits for its end.
    void stop();

    // Runs a net-snmp tool ("snmpwalk", ...) with the private settings; its standard output, and
    // whether it exited with 0.
    static bool runTool(const std::vector<std::string>& argv, std::string* output);
    // "index value" of every line of `snmpwalk -v2c -On -Oq` of a column: index → value (quotes off).
    static std::vector<std::pair<std::string, std::string>> walkColumn(const std::string& peer,
                                                                       const std::string& columnOid);

  private:
    TempDir _dir;
    int _port = 0;
    std::unique_ptr<ChildProcess> _process;
    bool _ready = false;
};

}  // namespace vorpane::testing

#include "testlib/snmpd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "testlib/hub_test_client.h"

namespace vorpane::testing {

namespace {

// Settings that keep the tools and the daemon off the system's paths and its MIB files (their
// names are not needed; the output is numeric).
std::vector<std::string> privateEnvironment(const std::string& dir) {
    return {"SNMP_PERSISTENT_DIR=" + dir + "/persist", "MIBDIRS=" + dir + "/mibs", "MIBS=", "SNMPCONFPATH=" + dir + "/conf"};
}

TempDir& toolDirectory() {
    static TempDir* dir = [] {
        auto* d = new TempDir();
        mkdir((d->path() + "/mibs").c_str(), 0700);
        mkdir((d->path() + "/conf").c_str(), 0700);
        return d;
    }();
    return *dir;
}

}  // namespace

bool SnmpDaemon::installed() {
    return !findProgram("snmpd").empty() && !findProgram("snmpwalk").empty() && !findProgram("snmptrap").empty();
}

SnmpDaemon::SnmpDaemon(int port, const std::string& extraConfig, const std::vector<int>& morePorts)
    : _port(port == 0 ? freeHubPort() : port) {
    mkdir((_dir.path() + "/mibs").c_str(), 0700);
    mkdir((_dir.path() + "/conf").c_str(), 0700);
    mkdir((_dir.path() + "/persist").c_str(), 0700);
    _dir.write("snmpd.conf", std::string("rocommunity ") + kCommunity + " 127.0.0.1\n" + "createUser " + kUser +
                                 " SHA " + kAuthPassphrase + " AES " + kPrivPassphrase + "\n" + "rouser " + kUser +
                                 " priv\n" + extraConfig);
    std::string listen = "udp:127.0.0.1:" + std::to_string(_port);
    for (int p : morePorts) {
        listen += ",udp:127.0.0.1:" + std::to_string(p);
    }
    std::vector<std::string> argv = {findProgram("snmpd"), "-f", "-Lo", "-C", "-c", _dir.file("snmpd.conf"), listen};
    _process = std::make_unique<ChildProcess>(argv, privateEnvironment(_dir.path()));
    _ready = _process->started() && _process->waitForOutput("NET-SNMP version", std::chrono::seconds(30));
    if (_ready) {
        // It prints the line once it listens; one answered request makes sure.
        std::string out;
        for (int i = 0; i < 20 && !runTool({"snmpget", "-v2c", "-c", kCommunity, "-t", "1", "-r", "0", "-On", peer(),
                                            "1.3.6.1.2.1.1.3.0"},
                                           &out);
             ++i) {
        }
        _ready = out.find("1.3.6.1.2.1.1.3.0") != std::string::npos;
    }
}

SnmpDaemon::~SnmpDaemon() { stop(); }

void SnmpDaemon::stop() {
    if (_process) {
        _process->signal(SIGTERM);
        if (!_process->waitExit(std::chrono::seconds(30))) {
            _process->signal(SIGKILL);
            _process->waitExit();
        }
        _process.reset();
    }
}

bool SnmpDaemon::runTool(const std::vector<std::string>& argv, std::string* output) {
    std::vector<std::string> full = argv;
    full[0] = findProgram(argv[0].c_str());
    ChildProcess tool(full, privateEnvironment(toolDirectory().path()));
    std::optional<int> rc = tool.waitExit(std::chrono::seconds(60));
    *output = tool.output();
    return rc && *rc == 0;
}

std::vector<std::pair<std::string, std::string>> SnmpDaemon::walkColumn(const std::string& peer,
                                                                        const std::string& columnOid) {
    std::string out;
    std::vector<std::pair<std::string, std::string>> values;
    if (!runTool({"snmpwalk", "-v2c", "-c", kCommunity, "-On", "-Oq", "-Ot", peer, columnOid}, &out)) {
        return values;
    }
    std::istringstream in(out);
    std::string line;
    const std::string prefix = "." + columnOid + ".";
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) != 0) {
            continue;
        }
        const size_t blank = line.find(' ');
        std::string index = line.substr(prefix.size(), blank - prefix.size());
        std::string value = blank == std::string::npos ? "" : line.substr(blank + 1);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        values.emplace_back(index, value);
    }
    return values;
}

}  // namespace vorpane::testing

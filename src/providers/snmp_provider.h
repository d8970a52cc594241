// SNMP: polls the agents of a definition with net-snmp and sends one row per agent (scalar groups)
// or one row per table index (table groups, walked with GETBULK), each agent a source of the
// application; receives traps and informs on a UDP port and sends each as a row of an event group.
//
// Every poll of every (agent, group) is one request in flight on the agent's own session, all on
// one thread with net-snmp's asynchronous calls: an agent that does not answer holds nothing but
// its own poll until its time-out, and the number of requests in flight is bounded by agents ×
// groups (at most kMaxAgents × the groups of the definition), without a thread per agent.
//
// Threads: run() on the provider's own thread does everything (sessions, hub). net-snmp's shared
// state is used under one process-wide lock, since several definitions run on several threads.
// The value conversions below are pure and used by the tests.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "providers/provider.h"

struct variable_list;
struct snmp_pdu;
struct snmp_session;

namespace vorpane::providers {

namespace snmp {

using Oid = std::vector<unsigned long>;

// "1.3.6.1.2.1.1.3.0" (a leading dot allowed), or a MIB name ("IF-MIB::ifDescr", "sysUpTime.0")
// where the MIB files are installed. False with a reason.
bool parseOid(std::string_view text, Oid* out, std::string* reason);
std::string oidText(const Oid& oid);

// One value as the agent sent it.
struct Value {
    enum Kind { kMissing, kInteger, kCounter32, kCounter64, kGauge, kTimeTicks, kText } kind = kMissing;
    int64_t integer = 0;    // kInteger
    uint64_t unsignedValue = 0;  // counters, gauges, time ticks
    std::string text;       // kText; also the text form of every other kind
};
Value decode(const variable_list* v);

// An OCTET STRING as text: as it is when every byte is printable, otherwise hex bytes joined by
// ":" ("00:1a:2b:3c:4d:5e").
std::string octetText(const unsigned char* bytes, size_t length);

// What an attribute receives of a value.
enum class Mode { kValue, kDelta, kRate };

// The increase of a counter from `before` to `now`; a counter that went down has wrapped once
// (Counter32: at 2^32) or restarted (Counter64, which no agent wraps: then 0, as on a first poll).
uint64_t counterIncrease(Value::Kind kind, uint64_t before, uint64_t now);

// A number into an attribute of `length` bytes (2 or 4) and type letter: counters (C) keep the
// low bits, so they wrap at 2^31 (4 bytes) or 2^15 (2 bytes) and stay non-negative; every other
// type saturates at its bounds.
int32_t fitNumber(char type, int length, int64_t value);
int32_t fitUnsigned(char type, int length, uint64_t value);

}  // namespace snmp

class SnmpProvider : public Provider {
  public:
    static constexpr size_t kMaxAgents = 256;      // agents of one definition
    static constexpr size_t kMaxColumns = 128;     // oid lines of one group
    static constexpr long kDefaultMaxRows = 10000; // rows of one table walk (maxrows=)
    static constexpr size_t kMaxNameLength = 32;   // agent names: sources of the application
    static constexpr size_t kMaxVarbindText = 4096;  // the varbinds of one trap, as text

    struct Agent {
        std::string name;
        std::string peer;  // "127.0.0.1:161"
        std::string host;  // for telling the sender of a trap
        long version = 1;  // net-snmp's SNMP_VERSION_2c
        std::string community = "public";
        // SNMP v3
        std::string user;
        int level = 0;  // 1 noAuthNoPriv, 2 authNoPriv, 3 authPriv
        std::string authProtocol;  // MD5, SHA, SHA-256, SHA-512
        std::string privProtocol;  // DES, AES
        std::string authPassphrase;
        std::string privPassphrase;
    };
    struct Column {
        std::string attribute;
        snmp::Oid oid;
        snmp::Mode mode = snmp::Mode::kValue;
    };
    struct Group {
        std::string name;
        bool table = false;
        std::string index;  // the key attribute of a table group
        double interval = 60;
        double timeout = 5;
        std::vector<Column> columns;
    };
    struct Traps {
        std::string group;  // empty: no trap listener
        std::string address = "127.0.0.1";
        int port = 1162;  // 0: an ephemeral port (tests)
        std::string community;  // empty: every community
    };
    struct Options {
        std::vector<Agent> agents;
        std::vector<Group> groups;
        Traps traps;
        int retries = 1;
        int bulk = 25;  // max-repetitions of a GETBULK
        long maxRows = kDefaultMaxRows;
        std::string workDirectory;
    };

    SnmpProvider(std::string name, HubOptions hub, dp::AppDescription app, Options options);
    ~SnmpProvider() override;

    // Opens the sessions and the trap port (run does it when not done yet). False with a traced
    // error when the trap port cannot be bound; the polls run anyway.
    bool open();
    // The trap port once open (the bound one when port=0).
    int trapPort() const { return _trapPort; }
    void run(StopSignal& stop) override;

    // Reads the source section: "source SNMP [retries=N] [bulk=N] [maxrows=N]" and its agent,
    // scalar, table, oid and traps lines (docs/providers.md).
    static std::unique_ptr<Provider> make(const Definition& d, const ProviderContext& context, dp::ParseError* error);

    struct Poll;

  private:
    struct Session;
    // Opens the agent's session; false with its openError. For SNMPv3 this asks the agent for its
    // engine ID and waits for the answer (up to 5 s and the retries).
    bool openSession(Session& session);
    bool openTraps();
    void start(Poll& poll);
    void sendRequest(Poll& poll);
    // From net-snmp's callbacks (the provider's thread, under the library lock).
    void answered(Poll& poll, ::snmp_pdu* pdu);
    void failed(Poll& poll, std::string status, std::string error);
    void finish(Poll& poll);
    void trapReceived(void* session, ::snmp_pdu* pdu);
    int handleOf(const std::string& group, const std::string& source);

    static int onResponse(int op, ::snmp_session* session, int reqid, ::snmp_pdu* pdu, void* magic);
    static int onTrap(int op, ::snmp_session* session, int reqid, ::snmp_pdu* pdu, void* magic);

    const Options _options;
    HubSession _session;
    std::vector<std::unique_ptr<Session>> _sessions;  // one per agent
    std::vector<std::unique_ptr<Poll>> _polls;        // agents × groups
    void* _trapSession = nullptr;
    int _trapPort = 0;
    bool _opened = false;
};

}  // namespace vorpane::providers

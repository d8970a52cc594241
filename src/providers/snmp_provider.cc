#include "providers/snmp_provider.h"

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/library/large_fd_set.h>
// clang-format on

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/stat.h>

#include <cctype>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "interfaces/support.h"
#include "interfaces/trace.h"

namespace vorpane::providers {

namespace {

// net-snmp keeps process-wide state (MIB tree, request ids, security users); every definition's
// thread uses the library under this lock, held only between waits.
Mutex& libraryLock() {
    static Mutex* m = new Mutex();  // provider threads may outlive main at exit
    return *m;
}

// Once per process, before the first session or MIB look-up: no configuration files read, no state
// written anywhere but the agent's own work directory, the library's own log lines off (a missing
// MIB file is not an error of ours: numeric OIDs always work), so they go to a handler that drops them.
void initLibrary(const std::string& workDirectory) {
    static std::once_flag once;
    std::call_once(once, [&workDirectory] {
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
        if (!workDirectory.empty()) {
            const std::string dir = workDirectory + "/snmp";
            ::mkdir(dir.c_str(), 0700);
            set_persistent_directory(dir.c_str());
        }
        snmp_set_mib_warnings(0);
        snmp_set_mib_errors(0);
        netsnmp_register_loghandler(NETSNMP_LOGHANDLER_NONE, LOG_DEBUG);
        init_snmp("vorpane");
    });
}

std::string upperText(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

// Real microseconds of a clock time-out (shortened by the test switch), at least 1 ms.
long realMicroseconds(double seconds) {
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(CondVar::realDuration(seconds)).count();
    return us < 1000 ? 1000 : static_cast<long>(std::min<int64_t>(us, LONG_MAX));
}

bool isPrefix(const snmp::Oid& prefix, const oid* name, size_t length) {
    if (length <= prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (prefix[i] != name[i]) {
            return false;
        }
    }
    return true;
}

std::string peerAddress(const snmp_pdu* pdu) {
    if (pdu->transport_data != nullptr && pdu->transport_data_length >= static_cast<int>(sizeof(netsnmp_indexed_addr_pair))) {
        const auto* pair = static_cast<const netsnmp_indexed_addr_pair*>(pdu->transport_data);
        const auto* in = reinterpret_cast<const sockaddr_in*>(&pair->remote_addr);
        if (in->sin_family == AF_INET) {
            char text[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
            return std::string(text) + ":" + std::to_string(ntohs(in->sin_port));
        }
    }
    return "unknown";
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// Values

namespace snmp {

bool parseOid(std::string_view text, Oid* out, std::string* reason) {
    out->clear();
    std::string_view t = text;
    if (!t.empty() && t[0] == '.') {
        t.remove_prefix(1);
    }
    bool numeric = !t.empty();
    for (char c : t) {
        if (!std::isdigit(static_cast<unsigned char>(c)) && c != '.') {
            numeric = false;
        }
    }
    if (numeric) {
        size_t start = 0;
        while (start <= t.size()) {
            size_t dot = t.find('.', start);
            std::string_view arc = t.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
            if (arc.empty() || arc.size() > 10) {
                *reason = "OID \"" + std::string(text) + "\" is not a dotted list of numbers";
                return false;
            }
            unsigned long v = std::stoul(std::string(arc));
            if (v > 0xFFFFFFFFul) {
                *reason = "OID \"" + std::string(text) + "\" has an arc beyond 4294967295";
                return false;
            }
            out->push_back(v);
            if (dot == std::string_view::npos) {
                break;
            }
            start = dot + 1;
        }
        if (out->size() < 2 || out->size() > MAX_OID_LEN) {
            *reason = "OID \"" + std::string(text) + "\" needs 2 to " + std::to_string(MAX_OID_LEN) + " numbers";
            return false;
        }
        return true;
    }
    if (text.empty() || text.size() > 256) {
        *reason = "OID \"" + std::string(text) + "\" is not a dotted list of numbers or a MIB name";
        return false;
    }
    initLibrary({});
    oid name[MAX_OID_LEN];
    size_t length = MAX_OID_LEN;
    ScopedLock guard(libraryLock());
    const std::string s(text);
    if (snmp_parse_oid(s.c_str(), name, &length) == nullptr) {
        *reason = "OID \"" + s + "\" is neither numeric nor a name of the installed MIB files";
        return false;
    }
    out->assign(name, name + length);
    return true;
}

std::string oidText(const Oid& o) {
    std::string s;
    for (size_t i = 0; i < o.size(); ++i) {
        if (i > 0) {
            s += '.';
        }
        s += std::to_string(o[i]);
    }
    return s;
}

std::string octetText(const unsigned char* bytes, size_t length) {
    bool printable = true;
    for (size_t i = 0; i < length; ++i) {
        if (bytes[i] < 0x20 || bytes[i] > 0x7e) {
            printable = false;
            break;
        }
    }
    if (printable) {
        return std::string(reinterpret_cast<const char*>(bytes), length);
    }
    std::string s;
    s.reserve(length * 3);
    static constexpr char kHex[] = "0123456789abcdef";
    for (size_t i = 0; i < length; ++i) {
        if (i > 0) {
            s += ':';
        }
        s += kHex[bytes[i] >> 4];
        s += kHex[bytes[i] & 0xf];
    }
    return s;
}

Value decode(const variable_list* v) {
    Value r;
    switch (v->type) {
        case ASN_INTEGER:
            r.kind = Value::kInteger;
            r.integer = *v->val.integer;
            r.text = std::to_string(r.integer);
            break;
        case ASN_COUNTER:
            r.kind = Value::kCounter32;
            r.unsignedValue = static_cast<uint32_t>(*v->val.integer);
            break;
        case ASN_GAUGE:  // also Unsigned32
            r.kind = Value::kGauge;
            r.unsignedValue = static_cast<uint32_t>(*v->val.integer);
            break;
        case ASN_TIMETICKS:
            r.kind = Value::kTimeTicks;
            r.unsignedValue = static_cast<uint32_t>(*v->val.integer);
            break;
        case ASN_COUNTER64:
            r.kind = Value::kCounter64;
            r.unsignedValue = (static_cast<uint64_t>(v->val.counter64->high) << 32) | v->val.counter64->low;
            break;
        case ASN_OCTET_STR:
        case ASN_OPAQUE:
        case ASN_BIT_STR:
            r.kind = Value::kText;
            r.text = octetText(v->val.string, v->val_len);
            break;
        case ASN_IPADDRESS:
            if (v->val_len == 4) {
                char text[INET_ADDRSTRLEN] = {};
                inet_ntop(AF_INET, v->val.string, text, sizeof text);
                r.kind = Value::kText;
                r.text = text;
            }
            break;
        case ASN_OBJECT_ID:
            r.kind = Value::kText;
            r.text = oidText(Oid(v->val.objid, v->val.objid + v->val_len / sizeof(oid)));
            break;
        default:  // NULL, noSuchObject, noSuchInstance, endOfMibView
            break;
    }
    if (r.kind == Value::kCounter32 || r.kind == Value::kCounter64 || r.kind == Value::kGauge ||
        r.kind == Value::kTimeTicks) {
        r.text = std::to_string(r.unsignedValue);
    }
    return r;
}

uint64_t counterIncrease(Value::Kind kind, uint64_t before, uint64_t now) {
    if (now >= before) {
        return now - before;
    }
    if (kind == Value::kCounter32) {
        return (now + (uint64_t{1} << 32)) - before;
    }
    return 0;
}

int32_t fitNumber(char type, int length, int64_t value) {
    const bool wide = length == 4;
    if (type == 'C') {
        if (value < 0) {
            return 0;
        }
        return static_cast<int32_t>(static_cast<uint64_t>(value) & (wide ? 0x7fffffffull : 0x7fffull));
    }
    const int64_t lo = wide ? INT32_MIN : INT16_MIN;
    const int64_t hi = wide ? INT32_MAX : INT16_MAX;
    return static_cast<int32_t>(std::min(std::max(value, lo), hi));
}

int32_t fitUnsigned(char type, int length, uint64_t value) {
    if (type == 'C') {
        return static_cast<int32_t>(value & (length == 4 ? 0x7fffffffull : 0x7fffull));
    }
    return fitNumber(type, length, static_cast<int64_t>(std::min<uint64_t>(value, INT64_MAX)));
}

}  // namespace snmp

// ---------------------------------------------------------------------------------------------------
// Sessions and polls

struct SnmpProvider::Session {
    void* handle = nullptr;  // net-snmp's single session
    const Agent* agent = nullptr;
    std::string openError;
};

struct SnmpProvider::Poll {
    SnmpProvider* owner = nullptr;
    size_t agent = 0;
    const Group* group = nullptr;
    double due = 0;     // clock time of the next poll
    bool busy = false;  // a request is in flight
    bool failing = false;  // the stored row of this (agent, group) is an error row
    double started = 0;
    // The walk: the cursor of each column, and whether it has left its column.
    std::vector<snmp::Oid> cursor;
    std::vector<bool> done;
    std::vector<size_t> asked;  // the columns of the request in flight, in varbind order
    std::map<snmp::Oid, std::vector<snmp::Value>> rows;  // index → a value per column
    bool truncated = false;
    // Counters of delta and rate columns: "index/column" → (value, clock time)
    std::map<std::string, std::pair<uint64_t, double>> previous;
};

SnmpProvider::SnmpProvider(std::string name, HubOptions hub, dp::AppDescription app, Options options)
    : Provider(std::move(name)), _options(std::move(options)), _session(std::move(hub), std::move(app), status()) {
    initLibrary(_options.workDirectory);
    for (size_t a = 0; a < _options.agents.size(); ++a) {
        for (const Group& g : _options.groups) {
            auto p = std::make_unique<Poll>();
            p->owner = this;
            p->agent = a;
            p->group = &g;
            _polls.push_back(std::move(p));
        }
    }
}

SnmpProvider::~SnmpProvider() {
    ScopedLock guard(libraryLock());
    for (auto& s : _sessions) {
        if (s->handle != nullptr) {
            snmp_sess_close(s->handle);
        }
    }
    if (_trapSession != nullptr) {
        snmp_sess_close(_trapSession);
    }
}

bool SnmpProvider::open() {
    if (_opened) {
        return _trapPort > 0 || _options.traps.group.empty();
    }
    _opened = true;
    ScopedLock guard(libraryLock());
    for (const Agent& a : _options.agents) {
        auto s = std::make_unique<Session>();
        s->agent = &a;
        openSession(*s);
        _sessions.push_back(std::move(s));
    }
    return openTraps();
}

bool SnmpProvider::openSession(Session& session) {
    Session* s = &session;
    const Agent& a = *s->agent;
    s->openError.clear();
    {
        netsnmp_session init;
        snmp_sess_init(&init);
        const std::string peer = "udp:" + a.peer;
        init.peername = const_cast<char*>(peer.c_str());
        init.version = a.version;
        init.retries = _options.retries;
        init.timeout = realMicroseconds(5);
        init.callback = onResponse;
        std::string community = a.community;
        if (a.version != SNMP_VERSION_3) {
            init.community = reinterpret_cast<u_char*>(community.data());
            init.community_len = community.size();
        } else {
            init.securityName = const_cast<char*>(a.user.c_str());
            init.securityNameLen = a.user.size();
            init.securityLevel = a.level == 3 ? SNMP_SEC_LEVEL_AUTHPRIV
                                 : a.level == 2 ? SNMP_SEC_LEVEL_AUTHNOPRIV
                                                : SNMP_SEC_LEVEL_NOAUTH;
            const oid* auth = usmHMACSHA1AuthProtocol;
            if (a.authProtocol == "MD5") {
                auth = usmHMACMD5AuthProtocol;
            } else if (a.authProtocol == "SHA-256") {
                auth = usmHMAC192SHA256AuthProtocol;
            } else if (a.authProtocol == "SHA-512") {
                auth = usmHMAC384SHA512AuthProtocol;
            }
            init.securityAuthProto = const_cast<oid*>(auth);
            init.securityAuthProtoLen = USM_AUTH_PROTO_SHA_LEN;
            init.securityPrivProto = const_cast<oid*>(a.privProtocol == "DES" ? usmDESPrivProtocol : usmAESPrivProtocol);
            init.securityPrivProtoLen = USM_PRIV_PROTO_AES_LEN;
            if (a.level >= 2) {
                init.securityAuthKeyLen = USM_AUTH_KU_LEN;
                if (generate_Ku(init.securityAuthProto, static_cast<u_int>(init.securityAuthProtoLen),
                                reinterpret_cast<const u_char*>(a.authPassphrase.data()), a.authPassphrase.size(),
                                init.securityAuthKey, &init.securityAuthKeyLen) != SNMPERR_SUCCESS) {
                    s->openError = "the authentication key cannot be made from the passphrase";
                }
            }
            if (a.level == 3) {
                init.securityPrivKeyLen = USM_PRIV_KU_LEN;
                if (generate_Ku(init.securityAuthProto, static_cast<u_int>(init.securityAuthProtoLen),
                                reinterpret_cast<const u_char*>(a.privPassphrase.data()), a.privPassphrase.size(),
                                init.securityPrivKey, &init.securityPrivKeyLen) != SNMPERR_SUCCESS) {
                    s->openError = "the privacy key cannot be made from the passphrase";
                }
            }
        }
        if (s->openError.empty()) {
            s->handle = snmp_sess_open(&init);
            if (s->handle == nullptr) {
                int liberr = 0, syserr = 0;
                char* text = nullptr;
                snmp_error(&init, &liberr, &syserr, &text);
                s->openError = text != nullptr ? text : "the session cannot be opened";
                free(text);  // NOLINT: the library's allocation
            }
        }
    }
    return s->handle != nullptr;
}

bool SnmpProvider::openTraps() {
    if (_options.traps.group.empty()) {
        return true;
    }
    const std::string where = "udp:" + _options.traps.address + ":" + std::to_string(_options.traps.port);
    netsnmp_transport* transport = netsnmp_transport_open_server("snmptrap", where.c_str());
    if (transport == nullptr) {
        status().error("the trap port " + where.substr(4) + " cannot be bound: " + std::strerror(errno));
        return false;
    }
    netsnmp_session init;
    snmp_sess_init(&init);
    init.callback = onTrap;
    init.callback_magic = this;
    init.isAuthoritative = SNMP_SESS_UNKNOWNAUTH;
    _trapSession = snmp_sess_add(&init, transport, nullptr, nullptr);
    if (_trapSession == nullptr) {
        status().error("the trap port " + where.substr(4) + " cannot be opened");
        return false;
    }
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    if (getsockname(transport->sock, reinterpret_cast<sockaddr*>(&bound), &len) == 0) {
        _trapPort = ntohs(bound.sin_port);
    }
    VA_STATE("SNMP %s: traps on %s:%d\n", status().name().c_str(), _options.traps.address.c_str(), _trapPort);
    return true;
}

int SnmpProvider::handleOf(const std::string& group, const std::string& source) {
    return _session.handle(group, source);
}

void SnmpProvider::start(Poll& poll) {
    Session& s = *_sessions[poll.agent];
    poll.busy = true;
    poll.started = clock::now();
    poll.rows.clear();
    poll.truncated = false;
    poll.cursor.clear();
    poll.done.assign(poll.group->columns.size(), false);
    for (const Column& c : poll.group->columns) {
        poll.cursor.push_back(c.oid);
    }
    // A session that could not open (a v3 agent whose engine did not answer) tries again.
    if (s.handle == nullptr && !openSession(s)) {
        failed(poll, "error", s.openError);
        return;
    }
    sendRequest(poll);
}

void SnmpProvider::sendRequest(Poll& poll) {
    Session& s = *_sessions[poll.agent];
    const Group& g = *poll.group;
    netsnmp_pdu* pdu = snmp_pdu_create(g.table ? SNMP_MSG_GETBULK : SNMP_MSG_GET);
    if (g.table) {
        pdu->non_repeaters = 0;
        pdu->max_repetitions = _options.bulk;
    }
    poll.asked.clear();
    for (size_t i = 0; i < g.columns.size(); ++i) {
        if (poll.done[i]) {
            continue;
        }
        poll.asked.push_back(i);
        snmp_add_null_var(pdu, poll.cursor[i].data(), poll.cursor[i].size());
    }
    // The group's own time-out: the session's value applies to the request sent now.
    netsnmp_session* session = snmp_sess_session(s.handle);
    session->timeout = realMicroseconds(g.timeout);
    session->retries = _options.retries;
    if (snmp_sess_async_send(s.handle, pdu, onResponse, &poll) == 0) {
        int liberr = 0, syserr = 0;
        char* text = nullptr;
        snmp_sess_error(s.handle, &liberr, &syserr, &text);
        std::string reason = text != nullptr ? text : "the request cannot be sent";
        free(text);  // NOLINT: the library's allocation
        snmp_free_pdu(pdu);
        failed(poll, "error", reason);
    }
}

int SnmpProvider::onResponse(int op, snmp_session* session, int reqid, snmp_pdu* pdu, void* magic) {
    (void)session;
    (void)reqid;
    Poll& poll = *static_cast<Poll*>(magic);
    if (op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE) {
        poll.owner->answered(poll, pdu);
    } else if (op == NETSNMP_CALLBACK_OP_TIMED_OUT) {
        poll.owner->failed(poll, "timeout", "no answer within " + std::to_string(static_cast<long>(poll.group->timeout)) +
                                                " s (" + std::to_string(poll.owner->_options.retries) + " retries)");
    } else if (op == NETSNMP_CALLBACK_OP_SEND_FAILED || op == NETSNMP_CALLBACK_OP_SEC_ERROR) {
        poll.owner->failed(poll, "error", op == NETSNMP_CALLBACK_OP_SEC_ERROR ? "security error (user, keys)"
                                                                             : "the request cannot be sent");
    }
    return 1;
}

void SnmpProvider::answered(Poll& poll, snmp_pdu* pdu) {
    if (!poll.busy) {
        return;
    }
    if (pdu->command == SNMP_MSG_REPORT) {
        failed(poll, "error", "the agent reported a security error (user, keys or engine)");
        return;
    }
    if (pdu->errstat != SNMP_ERR_NOERROR) {
        failed(poll, "error", std::string("the agent answered ") + snmp_errstring(static_cast<int>(pdu->errstat)));
        return;
    }
    const Group& g = *poll.group;
    if (!g.table) {
        std::vector<snmp::Value> values(g.columns.size());
        size_t i = 0;
        for (variable_list* v = pdu->variables; v != nullptr && i < g.columns.size(); v = v->next_variable, ++i) {
            values[i] = snmp::decode(v);
        }
        poll.rows[snmp::Oid()] = std::move(values);
        finish(poll);
        return;
    }
    const size_t width = poll.asked.size();
    size_t position = 0;
    bool progressed = false;
    for (variable_list* v = pdu->variables; v != nullptr && width > 0; v = v->next_variable, ++position) {
        const size_t column = poll.asked[position % width];
        if (poll.done[column]) {
            continue;
        }
        const snmp::Oid& prefix = g.columns[column].oid;
        if (v->type == SNMP_ENDOFMIBVIEW || v->type == SNMP_NOSUCHOBJECT || v->type == SNMP_NOSUCHINSTANCE ||
            !isPrefix(prefix, v->name, v->name_length)) {
            poll.done[column] = true;
            continue;
        }
        snmp::Oid name(v->name, v->name + v->name_length);
        if (name <= poll.cursor[column]) {  // an agent that does not move on would walk for ever
            poll.done[column] = true;
            continue;
        }
        poll.cursor[column] = name;
        snmp::Oid index(name.begin() + static_cast<long>(prefix.size()), name.end());
        auto it = poll.rows.find(index);
        if (it == poll.rows.end()) {
            if (poll.rows.size() >= static_cast<size_t>(_options.maxRows)) {
                poll.truncated = true;
                break;
            }
            it = poll.rows.emplace(std::move(index), std::vector<snmp::Value>(g.columns.size())).first;
        }
        it->second[column] = snmp::decode(v);
        progressed = true;
    }
    bool more = false;
    for (size_t i = 0; i < poll.done.size(); ++i) {
        more = more || !poll.done[i];
    }
    if (more && progressed && !poll.truncated) {
        sendRequest(poll);
    } else {
        finish(poll);
    }
}

namespace {

void addValue(DProw* row, const dp::AttributeDesc& a, const std::string& text) {
    const std::string name(a.plainName());
    if (a.type == 'D' || a.type == 'O' || a.type == 'T') {
        const size_t n = std::min(text.size(), static_cast<size_t>(a.length));
        row->add(name, text.data(), static_cast<int>(n), a.type);
        return;
    }
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0) {
        return;  // not a number: left out
    }
    int32_t n = snmp::fitNumber(a.type, a.length, v);
    if (a.length == 4) {
        row->add(name, &n, 4, a.type);
    } else {
        int16_t s = static_cast<int16_t>(n);
        row->add(name, &s, 2, a.type);
    }
}

void addNumber(DProw* row, const dp::AttributeDesc& a, int32_t n) {
    const std::string name(a.plainName());
    if (a.type == 'D' || a.type == 'O' || a.type == 'T') {
        const std::string text = std::to_string(n);
        row->add(name, text.data(), static_cast<int>(std::min(text.size(), static_cast<size_t>(a.length))), a.type);
    } else if (a.length == 4) {
        row->add(name, &n, 4, a.type);
    } else {
        int16_t s = static_cast<int16_t>(n);
        row->add(name, &s, 2, a.type);
    }
}

}  // namespace

void SnmpProvider::finish(Poll& poll) {
    poll.busy = false;
    const Group& g = *poll.group;
    const Agent& agent = _options.agents[poll.agent];
    const dp::GroupDesc* desc = _session.app().group(g.name);
    const int h = handleOf(g.name, agent.name);
    if (h < 0 || desc == nullptr) {
        return;
    }
    const dp::AttributeDesc* statusAttr = desc->attribute("Status");
    const dp::AttributeDesc* errorAttr = desc->attribute("Error");
    const dp::AttributeDesc* indexAttr = g.table ? desc->attribute(g.index) : nullptr;
    if (poll.failing && g.table && indexAttr != nullptr) {
        // The error row of the failed polls goes: the agent answers again.
        DProw gone;
        addValue(&gone, *indexAttr, "");
        _session.queue(h, 0xDD, gone);
    }
    if (poll.failing) {
        VA_STATE("SNMP %s: %s answers group %s again\n", status().name().c_str(), agent.name.c_str(), g.name.c_str());
    }
    poll.failing = false;
    const double now = clock::now();
    for (const auto& [index, values] : poll.rows) {
        DProw row;
        const std::string indexText = snmp::oidText(index);
        if (indexAttr != nullptr) {
            addValue(&row, *indexAttr, indexText);
        }
        for (size_t c = 0; c < g.columns.size(); ++c) {
            const Column& column = g.columns[c];
            const snmp::Value& v = values[c];
            const dp::AttributeDesc* a = desc->attribute(column.attribute);
            if (a == nullptr || v.kind == snmp::Value::kMissing) {
                continue;
            }
            if (column.mode == snmp::Mode::kValue) {
                if (a->type != 'D' && a->type != 'O' && a->type != 'T' && v.kind != snmp::Value::kInteger &&
                    v.kind != snmp::Value::kText) {
                    addNumber(&row, *a, snmp::fitUnsigned(a->type, a->length, v.unsignedValue));
                } else {
                    addValue(&row, *a, v.text);
                }
                continue;
            }
            // delta and rate: since the previous poll, over a wrap; 0 on the first poll.
            const std::string key = indexText + "/" + std::to_string(c);
            const uint64_t current = v.kind == snmp::Value::kInteger ? static_cast<uint64_t>(v.integer) : v.unsignedValue;
            uint64_t increase = 0;
            double seconds = 0;
            if (auto it = poll.previous.find(key); it != poll.previous.end()) {
                increase = snmp::counterIncrease(v.kind, it->second.first, current);
                seconds = now - it->second.second;
            }
            poll.previous[key] = {current, now};
            if (column.mode == snmp::Mode::kRate) {
                increase = seconds > 0 ? static_cast<uint64_t>(static_cast<double>(increase) / seconds + 0.5) : 0;
            }
            addNumber(&row, *a, snmp::fitNumber(a->type == 'C' ? 'G' : a->type, a->length,
                                                static_cast<int64_t>(std::min<uint64_t>(increase, INT64_MAX))));
        }
        if (statusAttr != nullptr) {
            addValue(&row, *statusAttr, poll.truncated ? "truncated" : "ok");
        }
        if (errorAttr != nullptr) {
            addValue(&row, *errorAttr,
                     poll.truncated ? "the table has more than " + std::to_string(_options.maxRows) + " rows" : "");
        }
        _session.queue(h, 0x11, row);
    }
    if (poll.truncated) {
        status().error(agent.name + ": group " + g.name + ": more than " + std::to_string(_options.maxRows) +
                       " rows (maxrows=); the rest is left out");
    }
    poll.rows.clear();
}

void SnmpProvider::failed(Poll& poll, std::string statusText, std::string error) {
    if (!poll.busy) {
        return;
    }
    poll.busy = false;
    poll.rows.clear();
    const Group& g = *poll.group;
    const Agent& agent = _options.agents[poll.agent];
    if (poll.failing) {
        // Traced when the agent starts failing and when it answers again; every failure counts.
        status().errors.fetch_add(1, std::memory_order_relaxed);
    } else {
        status().error(agent.name + " (" + agent.peer + "): group " + g.name + ": " + error);
    }
    poll.failing = true;
    const dp::GroupDesc* desc = _session.app().group(g.name);
    const int h = handleOf(g.name, agent.name);
    if (h < 0 || desc == nullptr) {
        return;
    }
    DProw row;
    if (g.table) {
        if (const dp::AttributeDesc* a = desc->attribute(g.index)) {
            addValue(&row, *a, "");
        }
    }
    if (const dp::AttributeDesc* a = desc->attribute("Status")) {
        addValue(&row, *a, statusText);
    }
    if (const dp::AttributeDesc* a = desc->attribute("Error")) {
        addValue(&row, *a, error);
    }
    _session.queue(h, 0x11, row);
}

int SnmpProvider::onTrap(int op, snmp_session* session, int reqid, snmp_pdu* pdu, void* magic) {
    (void)session;
    (void)reqid;
    if (op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE) {
        auto* self = static_cast<SnmpProvider*>(magic);
        self->trapReceived(self->_trapSession, pdu);
    }
    return 1;
}

void SnmpProvider::trapReceived(void* trapSession, snmp_pdu* pdu) {
    const char* kind = nullptr;
    switch (pdu->command) {
        case SNMP_MSG_TRAP:
            kind = "trap-v1";
            break;
        case SNMP_MSG_TRAP2:
            kind = "trap";
            break;
        case SNMP_MSG_INFORM:
            kind = "inform";
            break;
        default:
            return;
    }
    const std::string sender = peerAddress(pdu);
    if (!_options.traps.community.empty() && pdu->version != SNMP_VERSION_3 &&
        std::string(reinterpret_cast<const char*>(pdu->community), pdu->community_len) != _options.traps.community) {
        status().malformed.fetch_add(1, std::memory_order_relaxed);
        VA_DETAIL("SNMP %s: a %s from %s with another community is dropped\n", status().name().c_str(), kind,
                  sender.c_str());
        return;
    }
    if (pdu->command == SNMP_MSG_INFORM) {
        // The sender resends an inform until it is answered.
        netsnmp_pdu* reply = snmp_clone_pdu(pdu);
        if (reply != nullptr) {
            reply->command = SNMP_MSG_RESPONSE;
            reply->errstat = 0;
            reply->errindex = 0;
            if (snmp_sess_send(trapSession, reply) == 0) {
                snmp_free_pdu(reply);
            }
        }
    }
    static const snmp::Oid kTrapOid = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
    static const snmp::Oid kUpTime = {1, 3, 6, 1, 2, 1, 1, 3, 0};
    std::string trapOid;
    std::string varbinds;
    if (pdu->command == SNMP_MSG_TRAP) {
        snmp::Oid enterprise(pdu->enterprise, pdu->enterprise + pdu->enterprise_length);
        if (pdu->trap_type == SNMP_TRAP_ENTERPRISESPECIFIC) {
            enterprise.push_back(0);
            enterprise.push_back(static_cast<unsigned long>(pdu->specific_type));
            trapOid = snmp::oidText(enterprise);
        } else {
            trapOid = "1.3.6.1.6.3.1.1.5." + std::to_string(pdu->trap_type + 1);
        }
    }
    for (variable_list* v = pdu->variables; v != nullptr; v = v->next_variable) {
        snmp::Oid name(v->name, v->name + v->name_length);
        if (name == kTrapOid && v->type == ASN_OBJECT_ID) {
            trapOid = snmp::decode(v).text;
            continue;
        }
        if (name == kUpTime) {
            continue;
        }
        if (!varbinds.empty()) {
            varbinds += "; ";
        }
        varbinds += snmp::oidText(name) + " = " + snmp::decode(v).text;
        if (varbinds.size() > kMaxVarbindText) {
            varbinds.resize(kMaxVarbindText);
            break;
        }
    }
    // The source: the agent of the definition at the sender's address, else the address itself.
    const std::string senderHost = sender.substr(0, sender.rfind(':'));
    std::string source = senderHost;
    for (const Agent& a : _options.agents) {
        if (a.host == senderHost) {
            source = a.name;
            break;
        }
    }
    const dp::GroupDesc* desc = _session.app().group(_options.traps.group);
    const int h = handleOf(_options.traps.group, source);
    if (h < 0 || desc == nullptr) {
        return;
    }
    DProw row;
    auto put = [&](const char* name, const std::string& value) {
        if (const dp::AttributeDesc* a = desc->attribute(name)) {
            addValue(&row, *a, value);
        }
    };
    put("Sender", sender);
    put("Kind", kind);
    put("Trap_OID", trapOid);
    put("Varbinds", varbinds);
    _session.queue(h, 0x11, row);
}

void SnmpProvider::run(StopSignal& stop) {
    open();
    const double first = clock::now();
    for (size_t i = 0; i < _polls.size(); ++i) {
        _polls[i]->due = first;
    }
    std::vector<pollfd> fds;
    std::vector<void*> owners;  // the session of each descriptor after the first two
    netsnmp_large_fd_set readable;
    netsnmp_large_fd_set_init(&readable, FD_SETSIZE);
    while (!stop.requested()) {
        double wait = 3600;  // clock seconds until the next poll is due
        fds.clear();
        owners.clear();
        fds.push_back({stop.fd(), POLLIN, 0});
        fds.push_back({actions().fd(), POLLIN, 0});
        timeval libraryWait{3600, 0};  // real time until net-snmp resends or gives up a request
        {
            ScopedLock guard(libraryLock());
            const double now = clock::now();
            for (auto& p : _polls) {
                if (!p->busy && p->due <= now) {
                    p->due = std::max(p->due + p->group->interval, now);  // a late poll does not bunch up
                    start(*p);
                }
                if (!p->busy) {
                    wait = std::min(wait, p->due - now);
                }
            }
            auto watch = [&](void* handle) {
                if (handle == nullptr) {
                    return;
                }
                netsnmp_transport* t = snmp_sess_transport(handle);
                if (t != nullptr && t->sock >= 0) {
                    fds.push_back({t->sock, POLLIN, 0});
                    owners.push_back(handle);
                }
                int numfds = 0;
                int block = 0;
                timeval tv = libraryWait;
                NETSNMP_LARGE_FD_ZERO(&readable);
                snmp_sess_select_info2(handle, &numfds, &readable, &tv, &block);
                if (block == 0 && timercmp(&tv, &libraryWait, <)) {
                    libraryWait = tv;
                }
            };
            for (auto& s : _sessions) {
                watch(s->handle);
            }
            watch(_trapSession);
        }
        _session.flush();
        auto real = std::chrono::duration_cast<std::chrono::milliseconds>(CondVar::realDuration(std::max(wait, 0.0))).count() + 1;
        const long libraryMs = libraryWait.tv_sec * 1000 + libraryWait.tv_usec / 1000 + 1;
        real = std::min<long long>(real, libraryMs);
        int n = ::poll(fds.data(), fds.size(), static_cast<int>(std::min<long long>(real, INT_MAX)));
        if (n < 0 && errno != EINTR) {
            status().error(std::string("poll failed: ") + std::strerror(errno));
            if (stop.waitFor(1)) {
                break;
            }
            continue;
        }
        {
            ScopedLock guard(libraryLock());
            for (size_t i = 2; i < fds.size(); ++i) {
                if (fds[i].revents != 0) {
                    NETSNMP_LARGE_FD_ZERO(&readable);
                    NETSNMP_LARGE_FD_SET(fds[i].fd, &readable);
                    snmp_sess_read2(owners[i - 2], &readable);
                }
            }
            for (auto& s : _sessions) {
                if (s->handle != nullptr) {
                    snmp_sess_timeout(s->handle);
                }
            }
        }
        _session.flush();
        if (fds[1].revents != 0) {
            serveActions();
        }
    }
    netsnmp_large_fd_set_cleanup(&readable);
    _session.close();
}

// ---------------------------------------------------------------------------------------------------
// The definition

namespace {

bool readSecrets(const std::string& path, SnmpProvider::Agent* agent, std::string* reason) {
    std::ifstream in(path);
    if (!in) {
        *reason = "the passphrase file " + path + " cannot be read: " + std::strerror(errno);
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const size_t blank = line.find(' ');
        const std::string key = line.substr(0, blank);
        const std::string value = blank == std::string::npos ? "" : line.substr(blank + 1);
        if (key == "auth") {
            agent->authPassphrase = value;
        } else if (key == "priv") {
            agent->privPassphrase = value;
        } else {
            *reason = "the passphrase file " + path + " has a line that is not \"auth PASSPHRASE\" or \"priv PASSPHRASE\"";
            return false;
        }
    }
    if (agent->level >= 2 && agent->authPassphrase.size() < 8) {
        *reason = "the passphrase file " + path + " needs an auth passphrase of at least 8 characters";
        return false;
    }
    if (agent->level == 3 && agent->privPassphrase.size() < 8) {
        *reason = "the passphrase file " + path + " needs a priv passphrase of at least 8 characters";
        return false;
    }
    return true;
}

bool validAgentName(const std::string& name) {
    if (name.empty() || name.size() > SnmpProvider::kMaxNameLength) {
        return false;
    }
    for (char c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') {
            return false;
        }
    }
    return true;
}

}  // namespace

std::unique_ptr<Provider> SnmpProvider::make(const Definition& d, const ProviderContext& context,
                                             dp::ParseError* error) {
    SourceOptions options;
    long retries = 1;
    long bulk = 25;
    long maxRows = kDefaultMaxRows;
    if (!options.parse(d.source[0].words, 0, {"retries", "bulk", "maxrows"}, &error->reason) ||
        !options.number("retries", 0, 10, 1, &retries, &error->reason) ||
        !options.number("bulk", 1, 1000, 25, &bulk, &error->reason) ||
        !options.number("maxrows", 1, 1000000, kDefaultMaxRows, &maxRows, &error->reason)) {
        error->line = d.typeLine;
        return nullptr;
    }
    initLibrary(context.workDirectory);
    Options o;
    o.retries = static_cast<int>(retries);
    o.bulk = static_cast<int>(bulk);
    o.maxRows = maxRows;
    o.workDirectory = context.workDirectory;
    Group* current = nullptr;
    auto refuse = [&](int line, std::string reason) {
        *error = {line, std::move(reason)};
        return nullptr;
    };
    for (size_t i = 1; i < d.source.size(); ++i) {
        const SourceLine& l = d.source[i];
        const std::vector<std::string>& w = l.words;
        SourceOptions lo;
        std::string reason;
        if (w[0] == "agent") {
            if (w.size() < 3 || !lo.parse(w, 3, {"version", "community", "user", "level", "auth", "priv", "secrets"}, &reason)) {
                return refuse(l.line, reason.empty() ? "an agent line is \"agent NAME HOST[:PORT] [version=2c|3] ...\"" : reason);
            }
            if (o.agents.size() >= kMaxAgents) {
                return refuse(l.line, "more than " + std::to_string(kMaxAgents) + " agents in one definition");
            }
            Agent a;
            a.name = w[1];
            if (!validAgentName(a.name)) {
                return refuse(l.line, "agent name \"" + a.name + "\" is not 1 to 32 letters, digits, \"-\", \"_\" or \".\"");
            }
            for (const Agent& other : o.agents) {
                if (other.name == a.name) {
                    return refuse(l.line, "a second agent " + a.name);
                }
            }
            a.peer = w[2];
            if (a.peer.size() > 255) {
                return refuse(l.line, "the agent address has more than 255 characters");
            }
            if (a.peer.find(':') == std::string::npos) {
                a.peer += ":161";
            }
            a.host = a.peer.substr(0, a.peer.rfind(':'));
            const std::string version = lo.get("version", "2c");
            if (version == "2c") {
                a.version = SNMP_VERSION_2c;
                a.community = lo.get("community", "public");
                if (lo.has("user") || lo.has("secrets")) {
                    return refuse(l.line, "user= and secrets= are for version=3");
                }
            } else if (version == "1") {
                a.version = SNMP_VERSION_1;
                a.community = lo.get("community", "public");
            } else if (version == "3") {
                a.version = SNMP_VERSION_3;
                a.user = lo.get("user");
                if (a.user.empty() || a.user.size() > 32) {
                    return refuse(l.line, "version=3 needs user=NAME (at most 32 characters)");
                }
                const std::string level = lo.get("level", "authPriv");
                a.level = level == "authPriv" ? 3 : level == "authNoPriv" ? 2 : level == "noAuthNoPriv" ? 1 : 0;
                if (a.level == 0) {
                    return refuse(l.line, "level \"" + level + "\" is not noAuthNoPriv, authNoPriv or authPriv");
                }
                a.authProtocol = upperText(lo.get("auth", "SHA"));
                if (a.authProtocol != "MD5" && a.authProtocol != "SHA" && a.authProtocol != "SHA-256" &&
                    a.authProtocol != "SHA-512") {
                    return refuse(l.line, "auth protocol \"" + a.authProtocol + "\" is not MD5, SHA, SHA-256 or SHA-512");
                }
                a.privProtocol = upperText(lo.get("priv", "AES"));
                if (a.privProtocol != "AES" && a.privProtocol != "DES") {
                    return refuse(l.line, "priv protocol \"" + a.privProtocol + "\" is not AES or DES");
                }
                if (lo.has("community")) {
                    return refuse(l.line, "community= is for version=2c; version=3 takes user= and secrets=");
                }
                if (a.level >= 2) {
                    if (!lo.has("secrets")) {
                        return refuse(l.line, "level " + level + " needs secrets=FILE with the passphrases");
                    }
                    if (!readSecrets(lo.get("secrets"), &a, &reason)) {
                        return refuse(l.line, reason);
                    }
                }
            } else {
                return refuse(l.line, "SNMP version \"" + version + "\" is not 1, 2c or 3");
            }
            o.agents.push_back(std::move(a));
        } else if (w[0] == "scalar" || w[0] == "table") {
            if (w.size() < 2 || !lo.parse(w, 2, {"interval", "timeout", "index"}, &reason)) {
                return refuse(l.line, reason.empty() ? "a " + w[0] + " line is \"" + w[0] + " GROUP [interval=S] [timeout=S]" +
                                                           (w[0] == "table" ? " index=ATTRIBUTE" : "") + "\""
                                                     : reason);
            }
            long interval = 60;
            long timeout = 5;
            if (!lo.number("interval", 1, 86400, 60, &interval, &reason) ||
                !lo.number("timeout", 1, 600, 5, &timeout, &reason)) {
                return refuse(l.line, reason);
            }
            Group g;
            g.name = upperText(w[1]);
            g.table = w[0] == "table";
            g.interval = static_cast<double>(interval);
            g.timeout = static_cast<double>(timeout);
            const dp::GroupDesc* desc = d.app.group(g.name);
            if (desc == nullptr) {
                return refuse(l.line, "no group " + g.name + " in application " + d.app.name);
            }
            if (desc->type != 'N') {
                return refuse(l.line, "group " + g.name + " is polled: its type is N");
            }
            for (const Group& other : o.groups) {
                if (other.name == g.name) {
                    return refuse(l.line, "group " + g.name + " is polled twice");
                }
            }
            if (g.table) {
                g.index = lo.get("index");
                const dp::AttributeDesc* a = desc->attribute(g.index);
                if (a == nullptr || a->name[0] != '@') {
                    return refuse(l.line, "a table group needs index=ATTRIBUTE, a key attribute (@) of group " + g.name);
                }
            } else if (lo.has("index")) {
                return refuse(l.line, "index= is for table groups");
            }
            o.groups.push_back(std::move(g));
            current = &o.groups.back();
        } else if (w[0] == "oid") {
            if (current == nullptr) {
                return refuse(l.line, "an oid line belongs after a scalar or table line");
            }
            if (w.size() < 3 || w.size() > 4) {
                return refuse(l.line, "an oid line is \"oid ATTRIBUTE OID [value|delta|rate]\"");
            }
            Column c;
            c.attribute = w[1];
            const dp::GroupDesc* desc = d.app.group(current->name);
            const dp::AttributeDesc* a = desc->attribute(c.attribute);
            if (a == nullptr) {
                return refuse(l.line, "group " + current->name + " has no attribute " + c.attribute);
            }
            c.attribute = std::string(a->plainName());
            if (current->table && c.attribute == current->index) {
                return refuse(l.line, "attribute " + c.attribute + " is the index of the rows");
            }
            if (!snmp::parseOid(w[2], &c.oid, &reason)) {
                return refuse(l.line, reason);
            }
            const std::string mode = w.size() == 4 ? w[3] : "value";
            c.mode = mode == "value" ? snmp::Mode::kValue : mode == "delta" ? snmp::Mode::kDelta : snmp::Mode::kRate;
            if (mode != "value" && mode != "delta" && mode != "rate") {
                return refuse(l.line, "mode \"" + mode + "\" is not value, delta or rate");
            }
            if (current->columns.size() >= kMaxColumns) {
                return refuse(l.line, "more than " + std::to_string(kMaxColumns) + " oid lines in group " + current->name);
            }
            current->columns.push_back(std::move(c));
        } else if (w[0] == "traps") {
            if (w.size() < 2 || !lo.parse(w, 2, {"port", "address", "community"}, &reason)) {
                return refuse(l.line, reason.empty() ? "a traps line is \"traps GROUP [port=N] [address=A] [community=C]\"" : reason);
            }
            if (!o.traps.group.empty()) {
                return refuse(l.line, "a second traps line");
            }
            long port = 1162;
            if (!lo.number("port", 0, 65535, 1162, &port, &reason)) {
                return refuse(l.line, reason);
            }
            o.traps.group = upperText(w[1]);
            const dp::GroupDesc* desc = d.app.group(o.traps.group);
            if (desc == nullptr || desc->type != 'E') {
                return refuse(l.line, "traps go to a group of type E of application " + d.app.name);
            }
            o.traps.port = static_cast<int>(port);
            o.traps.address = lo.get("address", "127.0.0.1");
            in_addr probe{};
            if (inet_pton(AF_INET, o.traps.address.c_str(), &probe) != 1) {
                return refuse(l.line, "address \"" + o.traps.address + "\" is not an IPv4 address");
            }
            o.traps.community = lo.get("community");
            current = nullptr;
        } else {
            return refuse(l.line, "a line of an SNMP source section is agent, scalar, table, oid or traps");
        }
    }
    if (o.groups.empty() && o.traps.group.empty()) {
        return refuse(d.typeLine, "SNMP needs a scalar or table group, or a traps line");
    }
    if (!o.groups.empty() && o.agents.empty()) {
        return refuse(d.typeLine, "SNMP needs at least one agent line to poll its groups");
    }
    for (const Group& g : o.groups) {
        if (g.columns.empty()) {
            return refuse(d.typeLine, "group " + g.name + " has no oid line");
        }
    }
    const std::string base = d.file.substr(d.file.rfind('/') + 1);
    return std::make_unique<SnmpProvider>("SNMP:" + base, context.hub, d.app, std::move(o));
}

}  // namespace vorpane::providers

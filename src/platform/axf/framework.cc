// The framework stand-in: identity, the agent loader and command callback, the framework's run loop,
// the subnode registry, console messages and operations logs.
//
// One process-wide state object, guarded by its lock. zrfmain runs on the agent's framework thread
// and waits on the condition until AXF_Shutdown; the subnode calls come from the agent's status
// monitor; a prepared subnode request belongs to the thread that prepared it.
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>

#include "interfaces/axf.h"
#include "interfaces/axf_facade.h"
#include "interfaces/support.h"
#include "platform/axf/action_runner.h"
#include "platform/axf/engine.h"

namespace {

struct Framework {
    vorpane::Mutex lock;
    vorpane::CondVar cond;
    axf::Identity identity VA_GUARDED_BY(lock);
    AXF_AgentLoader loader VA_GUARDED_BY(lock) = nullptr;
    std::map<std::string, AXF_CommandCallback> commands VA_GUARDED_BY(lock);
    std::map<std::string, axf::Subnode> subnodes VA_GUARDED_BY(lock);
    std::deque<axf::MessageEntry> messages VA_GUARDED_BY(lock);
    uint64_t messageSeq VA_GUARDED_BY(lock) = 0;
    bool running VA_GUARDED_BY(lock) = false;
    bool loaded VA_GUARDED_BY(lock) = false;  // the agent loader has returned
    bool shutdown VA_GUARDED_BY(lock) = false;
    // The source is called with its own lock held, so that clearing it waits for a call under way
    // (what it reads may go right after).
    vorpane::Mutex figuresLock;
    axf::FigureSource figures VA_GUARDED_BY(figuresLock);
    axf::SourceActivitySource activity VA_GUARDED_BY(figuresLock);
    // Listeners are called with their own lock held, for the same reason.
    vorpane::Mutex listenersLock;
    std::map<uint64_t, axf::ChangeListener> listeners VA_GUARDED_BY(listenersLock);
    uint64_t lastListener VA_GUARDED_BY(listenersLock) = 0;
};

Framework& fw() {
    static Framework* f = new Framework();  // framework threads may still call in during exit
    return *f;
}

constexpr size_t kMaxSubnodeName = 32;

enum class Pending { None, Register, Delete, Deregister };
struct PendingRequest {
    Pending kind = Pending::None;
    axf::Subnode subnode;
};
thread_local PendingRequest t_pending;

bool validSubnodeName(const char* name) {
    return name != nullptr && *name != '\0' && std::strlen(name) <= kMaxSubnodeName;
}

std::string text(const char* s) { return s != nullptr ? std::string(s) : std::string(); }

// The console-message log and the operations logs grow with every firing row that sends a message:
// each is moved aside at VORPANE_LOG_LIMIT bytes, and three older files are kept.
constexpr size_t kDefaultLogLimit = 16 * 1024 * 1024;
constexpr size_t kLeastLogLimit = 4096;
constexpr int kLogsKept = 3;

size_t logLimit() {
    const char* value = BSS1_GetEnv("VORPANE_LOG_LIMIT", 0);
    if (value == nullptr || *value == '\0') {
        return kDefaultLogLimit;
    }
    char* end = nullptr;
    const long long n = std::strtoll(value, &end, 10);
    if (*end != '\0' || n < static_cast<long long>(kLeastLogLimit)) {
        static std::atomic<bool> told{false};
        if (!told.exchange(true)) {
            VA_ERROR("Error: VORPANE_LOG_LIMIT=<%s> is not a byte count of at least %zu; using %zu\n", value,
                     kLeastLogLimit, kDefaultLogLimit);
        }
        return kDefaultLogLimit;
    }
    return static_cast<size_t>(n);
}

}  // namespace

void AXF_SetSubsystemId(const char* subsystemId) {
    Framework& f = fw();
    vorpane::ScopedLock g(f.lock);
    f.identity.subsystemId = text(subsystemId);
}

std::string AXF_GetSubsystemId() {
    Framework& f = fw();
    vorpane::ScopedLock g(f.lock);
    return f.identity.subsystemId;
}

void AXF_SetNodeType(const char* nodeType) {
    Framework& f = fw();
    vorpane::ScopedLock g(f.lock);
    f.identity.nodeType = text(nodeType);
}

void AXF_SetAffinity(const char* affinity) {
    Framework& f = fw();
    vorpane::ScopedLock g(f.lock);
    f.identity.affinity = text(affinity);
}

void AXF_SetProduct(const char* productCode, const char* version) {
    Framework& f = fw();
    vorpane::ScopedLock g(f.lock);
    f.identity.productCode = text(productCode);
    f.identity.version = text(version);
}

std::optional<std::string> AXF_GetHostname() {
    char name[256];
    if (gethostname(name, sizeof name) != 0) {
        return std::nullopt;
    }
    name[sizeof name - 1] = '\0';
    if (name[0] == '\0') {
        return std::nullopt;
    }
    return std::string(name);
}

void AXF_RegisterAgentLoader(AXF_AgentLoader loader) {
    Framework& f = fw();
    vorpane::ScopedLock g(f.lock);
    f.loader = loader;
}

void AXF_RegisterCommandCallback(const char* command, AXF_CommandCallback callback) {
    Framework& f = fw();
    vorpane::ScopedLock g(f.lock);
    f.commands[text(command)] = callback;
}

int zrfmain(int /*argc*/, char** /*argv*/) {
    Framework& f = fw();
    AXF_AgentLoader loader = nullptr;
    {
        vorpane::ScopedLock g(f.lock);
        if (f.shutdown) {
            return 0;  // asked to stop before it started
        }
        f.running = true;
        loader = f.loader;
    }
    VA_STATE("Framework started\n");
    if (loader != nullptr) {
        int rc = loader();
        VA_STATE("Agent loader returned %d\n", rc);
    }
    {
        vorpane::ScopedLock g(f.lock);
        f.loaded = true;
        f.cond.broadcast();
        f.cond.waitUntil(f.lock, -1, [&]() VA_REQUIRES(f.lock) { return f.shutdown; });
        f.running = false;
    }
    VA_STATE("Framework stopped\n");
    return 0;
}

void AXF_Shutdown(int reason) {
    {
        Framework& f = fw();
        vorpane::ScopedLock g(f.lock);
        if (!f.shutdown) {
            VA_STATE("AXF_Shutdown(%d)\n", reason);
        }
        f.shutdown = true;
        f.cond.broadcast();
    }
    // The scheduler stops taking work; its threads are not waited for, so a shutdown signal ends
    // the process at once even while a take-action command is under way.
    axf::detail::stopEngine();
}

int AXF_Subnode_Register(const char* subnodeName, const char* affinity, const char* applName, const char* version) {
    if (!validSubnodeName(subnodeName) || applName == nullptr || *applName == '\0') {
        VA_ERROR("Error: cannot register subnode <%s> for <%s>\n", subnodeName != nullptr ? subnodeName : "(null)",
                 applName != nullptr ? applName : "(null)");
        return 7;
    }
    t_pending.kind = Pending::Register;
    t_pending.subnode = axf::Subnode{subnodeName, text(affinity), applName, text(version), axf::SubnodeState::Registered};
    return 0;
}

int AXF_Subnode_Delete(const char* subnodeName) {
    if (!validSubnodeName(subnodeName)) {
        return 7;
    }
    t_pending.kind = Pending::Delete;
    t_pending.subnode = axf::Subnode{subnodeName, "", "", "", axf::SubnodeState::Deregistered};
    return 0;
}

int AXF_Subnode_Deregister(const char* subnodeName) {
    if (!validSubnodeName(subnodeName)) {
        return 7;
    }
    t_pending.kind = Pending::Deregister;
    t_pending.subnode = axf::Subnode{subnodeName, "", "", "", axf::SubnodeState::Deregistered};
    return 0;
}

int AXF_Subnode_SendRequest() {
    PendingRequest request = std::move(t_pending);
    t_pending = PendingRequest();
    int rc = 1;
    {
        Framework& f = fw();
        vorpane::ScopedLock g(f.lock);
        int64_t now = vorpane::clock::nowSeconds();
        switch (request.kind) {
            case Pending::None:
                VA_ERROR("Error: AXF_Subnode_SendRequest without a prepared request\n");
                return 1;
            case Pending::Register:
                VA_STATE("Subnode <%s> registered for <%s> version <%s>\n", request.subnode.name.c_str(),
                         request.subnode.applName.c_str(), request.subnode.version.c_str());
                request.subnode.since = now;
                f.subnodes[request.subnode.name] = request.subnode;
                rc = 0;
                break;
            case Pending::Deregister: {
                auto it = f.subnodes.find(request.subnode.name);
                if (it == f.subnodes.end()) {
                    VA_ERROR("Error: subnode <%s> is not registered\n", request.subnode.name.c_str());
                    return 1;
                }
                if (it->second.state != axf::SubnodeState::Deregistered) {
                    it->second.state = axf::SubnodeState::Deregistered;
                    it->second.since = now;
                }
                VA_STATE("Subnode <%s> deregistered\n", request.subnode.name.c_str());
                rc = 0;
                break;
            }
            case Pending::Delete:
                if (f.subnodes.erase(request.subnode.name) == 0) {
                    VA_ERROR("Error: subnode <%s> is not known\n", request.subnode.name.c_str());
                    return 1;
                }
                VA_STATE("Subnode <%s> deleted\n", request.subnode.name.c_str());
                rc = 0;
                break;
        }
    }
    axf::detail::subnodesChanged();
    axf::detail::notifyChanges();
    return rc;
}

int AXF_CreateMessage(const char* severity, const char* category, const char* message, int /*reserved*/) {
    axf::Message m{text(severity), text(category), text(message)};
    std::string path = ZOT0_ConstructFullyQualifiedName(nullptr, "axf-messages.log");
    const std::string line =
        ZOT0_GetPellanTime(0) + " SEV=" + m.severity + " CAT=" + m.category + " MSG=" + m.text;
    if (!vorpane::appendToLog(path, line, logLimit(), kLogsKept)) {
        VA_ERROR("Error: cannot write console message to <%s>: %s\n", path.c_str(), std::strerror(errno));
    }
    Framework& f = fw();
    vorpane::ScopedLock g(f.lock);
    if (f.messages.size() >= axf::kMessagesKept) {
        f.messages.pop_front();
    }
    f.messages.push_back(axf::MessageEntry{++f.messageSeq, vorpane::clock::nowSeconds(), std::move(m.severity),
                                           std::move(m.category), std::move(m.text)});
    return 0;
}

int PLAXF_insert_log(const char* logName, const char* line, const char* product) {
    std::string name = text(logName);
    if (name.empty()) {
        return 1;
    }
    ZOT0_SubValidNameCharacter(name);
    std::string path = ZOT0_ConstructFullyQualifiedName(nullptr, (name + ".oplog").c_str());
    const std::string entry = ZOT0_GetPellanTime(0) + " " + text(product) + " " + text(line);
    if (!vorpane::appendToLog(path, entry, logLimit(), kLogsKept)) {
        VA_ERROR("Error: cannot write operations log <%s>: %s\n", path.c_str(), std::strerror(errno));
        return 1;
    }
    return 0;
}

namespace axf {

Identity identity() {
    Framework& f = fw();
    vorpane::ScopedLock g(f.lock);
    return f.identity;
}

std::vector<Subnode> subnodes() {
    Framework& f = fw();
    vorpane::ScopedLock g(f.lock);
    std::vector<Subnode> out;
    for (const auto& [name, s] : f.subnodes) {
        out.push_back(s);
    }
    return out;
}

std::vector<Message> messages() {
    Framework& f = fw();
    vorpane::ScopedLock g(f.lock);
    std::vector<Message> out;
    out.reserve(f.messages.size());
    for (const MessageEntry& m : f.messages) {
        out.push_back(Message{m.severity, m.category, m.text});
    }
    return out;
}

std::vector<MessageEntry> readMessages(uint64_t afterSeq, size_t maxMessages) {
    Framework& f = fw();
    vorpane::ScopedLock g(f.lock);
    std::vector<MessageEntry> out;
    if (f.messages.empty() || afterSeq >= f.messageSeq) {
        return out;
    }
    uint64_t first = f.messages.front().seq;
    size_t start = afterSeq < first ? 0 : static_cast<size_t>(afterSeq - first + 1);
    for (size_t i = start; i < f.messages.size() && out.size() < maxMessages; ++i) {
        out.push_back(f.messages[i]);
    }
    return out;
}

std::vector<SubnodeInfo> listSubnodes() {
    Framework& f = fw();
    vorpane::ScopedLock g(f.lock);
    std::vector<SubnodeInfo> out;
    out.reserve(f.subnodes.size());
    for (const auto& [name, s] : f.subnodes) {
        out.push_back(SubnodeInfo{s.name, s.affinity, s.applName, s.version, s.state, s.since});
    }
    return out;
}

uint64_t watchChanges(ChangeListener listener) {
    Framework& f = fw();
    vorpane::ScopedLock g(f.listenersLock);
    f.listeners.emplace(++f.lastListener, std::move(listener));
    return f.lastListener;
}

void unwatchChanges(uint64_t id) {
    Framework& f = fw();
    vorpane::ScopedLock g(f.listenersLock);
    f.listeners.erase(id);
}

void setFigureSource(FigureSource source) {
    Framework& f = fw();
    vorpane::ScopedLock g(f.figuresLock);
    f.figures = std::move(source);
}

void setSourceActivitySource(SourceActivitySource source) {
    Framework& f = fw();
    vorpane::ScopedLock g(f.figuresLock);
    f.activity = std::move(source);
}

std::vector<SourceActivity> sourceActivity() {
    Framework& f = fw();
    vorpane::ScopedLock g(f.figuresLock);
    return f.activity ? f.activity() : std::vector<SourceActivity>();
}

std::vector<Figure> agentFigures() {
    std::vector<Figure> out;
    {
        Framework& f = fw();
        vorpane::ScopedLock g(f.figuresLock);
        if (f.figures) {
            out = f.figures();
        }
    }
    // The framework's own: situations' take-action commands on their threads.
    const detail::ActionFigures a = detail::takeActionFigures();
    out.push_back(Figure{"vorpane_framework_actions_waiting", "Take-action commands of situations waiting for a thread",
                         false, {}, static_cast<double>(a.waiting)});
    out.push_back(Figure{"vorpane_framework_actions_running", "Take-action commands of situations under way", false,
                         {}, static_cast<double>(a.running)});
    out.push_back(Figure{"vorpane_framework_actions_total", "Take-action commands of situations completed", true, {},
                         static_cast<double>(a.completed)});
    out.push_back(Figure{"vorpane_framework_actions_refused_total",
                         "Take-action commands of situations refused because too many were waiting", true, {},
                         static_cast<double>(a.refused)});
    return out;
}

bool running() {
    Framework& f = fw();
    vorpane::ScopedLock g(f.lock);
    return f.running;
}

bool loaded() {
    Framework& f = fw();
    vorpane::ScopedLock g(f.lock);
    return f.loaded && !f.shutdown;
}

bool waitUntilLoaded(double seconds) {
    Framework& f = fw();
    vorpane::ScopedLock g(f.lock);
    f.cond.waitUntil(f.lock, seconds, [&]() VA_REQUIRES(f.lock) { return f.loaded || f.shutdown; });
    return f.loaded;
}

void reset() {
    detail::resetEngine();
    setFigureSource(nullptr);
    setSourceActivitySource(nullptr);
    Framework& f = fw();
    vorpane::ScopedLock g(f.lock);
    f.identity = Identity();
    f.loader = nullptr;
    f.commands.clear();
    f.subnodes.clear();
    f.messages.clear();
    f.messageSeq = 0;
    f.running = false;
    f.loaded = false;
    f.shutdown = false;
}

}  // namespace axf

namespace axf::detail {

void notifyChanges() {
    Framework& f = fw();
    vorpane::ScopedLock g(f.listenersLock);
    for (const auto& [id, listener] : f.listeners) {
        listener();
    }
}

std::vector<std::string> subnodesOfApplication(std::string_view tableApplName) {
    Framework& f = fw();
    vorpane::ScopedLock g(f.lock);
    std::vector<std::string> out;
    for (const auto& [name, s] : f.subnodes) {
        if (s.state == SubnodeState::Registered && !s.applName.empty() && sameApplication(tableApplName, s.applName)) {
            out.push_back(name);
        }
    }
    return out;
}

AXF_CommandCallback findCommandCallback(std::string_view command) {
    size_t start = command.find_first_not_of(' ');
    std::string_view word = start == std::string_view::npos ? std::string_view() : command.substr(start);
    word = word.substr(0, word.find(' '));
    Framework& f = fw();
    vorpane::ScopedLock g(f.lock);
    if (auto it = f.commands.find(std::string(word)); !word.empty() && it != f.commands.end()) {
        return it->second;
    }
    auto any = f.commands.find("*");
    return any != f.commands.end() ? any->second : nullptr;
}

}  // namespace axf::detail

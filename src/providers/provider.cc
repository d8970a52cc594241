#include "providers/provider.h"

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "interfaces/support.h"
#include "interfaces/trace.h"
#include "providers/builtin.h"

namespace vorpane::providers {

// ---------------------------------------------------------------------------------------------------
// StopSignal

StopSignal::StopSignal() : _fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (_fd < 0) {
        VA_ERROR("Error: eventfd for the providers' stop failed, errno=%d\n", errno);
    }
}

StopSignal::~StopSignal() {
    if (_fd >= 0) {
        ::close(_fd);
    }
}

void StopSignal::request() {
    {
        ScopedLock guard(_lock);
        _requested.store(true);
        _cond.broadcast();
    }
    if (_fd >= 0) {
        uint64_t one = 1;
        ssize_t n = ::write(_fd, &one, sizeof one);
        (void)n;  // a full counter is readable already
    }
}

bool StopSignal::waitFor(double seconds) {
    ScopedLock guard(_lock);
    if (!guard.ok()) {
        return requested();
    }
    return _cond.waitUntil(_lock, seconds < 0 ? 0 : seconds, [this] { return _requested.load(); });
}

// ---------------------------------------------------------------------------------------------------
// ActionInbox and the provider's wait

ActionInbox::ActionInbox() : _fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (_fd < 0) {
        VA_ERROR("Error: eventfd for a provider's actions failed, errno=%d\n", errno);
    }
}

ActionInbox::~ActionInbox() {
    if (_fd >= 0) {
        ::close(_fd);
    }
}

void ActionInbox::post(HubSession* session, DPactionRequest action) {
    {
        ScopedLock guard(_lock);
        if (!guard.ok()) {
            return;
        }
        _pending.push_back({session, std::move(action)});
    }
    if (_fd >= 0) {
        uint64_t one = 1;
        ssize_t n = ::write(_fd, &one, sizeof one);
        (void)n;  // a full counter is readable already
    }
}

std::vector<ActionInbox::Pending> ActionInbox::take() {
    if (_fd >= 0) {
        uint64_t count = 0;
        ssize_t n = ::read(_fd, &count, sizeof count);  // quiet again; a later post makes it readable
        (void)n;
    }
    std::vector<Pending> taken;
    ScopedLock guard(_lock);
    if (guard.ok()) {
        taken.swap(_pending);
    }
    return taken;
}

void Provider::serveActions() {
    for (ActionInbox::Pending& p : _actions.take()) {
        p.session->answer(p.action, *this);
    }
}

bool Provider::waitFor(StopSignal& stop, double seconds) {
    const double until = clock::now() + std::max(seconds, 0.0);
    for (;;) {
        if (stop.requested()) {
            return true;
        }
        const double left = until - clock::now();
        if (left <= 0) {
            return false;
        }
        // Clock seconds into real milliseconds (the test switch shortens them), rounded up.
        const auto real = std::chrono::duration_cast<std::chrono::milliseconds>(CondVar::realDuration(left)).count() + 1;
        pollfd fds[2] = {{stop.fd(), POLLIN, 0}, {_actions.fd(), POLLIN, 0}};
        int n = ::poll(fds, 2, real > INT_MAX ? INT_MAX : static_cast<int>(real));
        if (n < 0 && errno != EINTR) {
            // No descriptor to wait on: the stop's own condition still ends the wait in time.
            return stop.waitFor(left);
        }
        if (n > 0 && fds[1].revents != 0) {
            serveActions();
        }
    }
}

// ---------------------------------------------------------------------------------------------------
// ProviderStatus

void ProviderStatus::error(const std::string& text) {
    errors.fetch_add(1);
    VA_ERROR("Error: %s: %s\n", _name.c_str(), text.c_str());
    ScopedLock guard(_lock);
    if (guard.ok()) {
        _lastError = text;
    }
}

std::string ProviderStatus::lastError() const {
    ScopedLock guard(_lock);
    return guard.ok() ? _lastError : std::string();
}

// ---------------------------------------------------------------------------------------------------
// Definitions

namespace {

std::string upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

struct Registry {
    Mutex lock;
    std::vector<ProviderType> types VA_GUARDED_BY(lock);
};

Registry& registry() {
    static Registry* r = new Registry();  // provider threads may still look types up at exit
    return *r;
}

}  // namespace

bool parseDefinition(std::string_view text, Definition* definition, dp::ParseError* error) {
    definition->type.clear();
    definition->source.clear();
    auto other = [definition](int line, const std::vector<std::string>& words, std::string* reason) {
        if (words[0] == "source") {
            if (!definition->type.empty()) {
                *reason = "a second source line (one source section per file)";
                return false;
            }
            if (words.size() < 2) {
                *reason = "source needs a provider type (FILE, SOCK or HTTP)";
                return false;
            }
            definition->type = upper(words[1]);
            definition->typeLine = line;
            definition->source.push_back({line, std::vector<std::string>(words.begin() + 2, words.end())});
            return true;
        }
        if (definition->type.empty()) {
            *reason = "unknown keyword \"" + words[0] + "\" (application, group, attribute or source expected)";
            return false;
        }
        definition->source.push_back({line, words});
        return true;
    };
    if (!dp::parseDescription(text, &definition->app, error, other)) {
        return false;
    }
    if (definition->type.empty()) {
        *error = {0, "no source line"};
        return false;
    }
    return true;
}

bool SourceOptions::parse(const std::vector<std::string>& words, size_t first, std::initializer_list<const char*> allowed,
                    std::string* reason) {
    _values.clear();
    for (size_t i = first; i < words.size(); ++i) {
        size_t eq = words[i].find('=');
        std::string key = eq == std::string::npos ? words[i] : words[i].substr(0, eq);
        bool known = std::any_of(allowed.begin(), allowed.end(), [&](const char* a) { return key == a; });
        if (eq == std::string::npos || !known) {
            std::string list;
            for (const char* a : allowed) {
                list += list.empty() ? a : std::string(", ") + a;
            }
            *reason = "unexpected \"" + words[i] + "\" (" + list + " expected)";
            return false;
        }
        _values.emplace_back(key, words[i].substr(eq + 1));
    }
    return true;
}

bool SourceOptions::has(std::string_view key) const {
    return std::any_of(_values.begin(), _values.end(), [&](const auto& v) { return v.first == key; });
}

std::string SourceOptions::get(std::string_view key, std::string fallback) const {
    for (const auto& [k, v] : _values) {
        if (k == key) {
            return v;
        }
    }
    return fallback;
}

std::vector<std::string> SourceOptions::all(std::string_view key) const {
    std::vector<std::string> out;
    for (const auto& [k, v] : _values) {
        if (k == key) {
            out.push_back(v);
        }
    }
    return out;
}

bool SourceOptions::number(std::string_view key, long min, long max, long fallback, long* out, std::string* reason) const {
    if (!has(key)) {
        *out = fallback;
        return true;
    }
    std::string text = get(key);
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || errno != 0 || end != text.c_str() + text.size() || value < min || value > max) {
        *reason = std::string(key) + "=" + text + " is not a number from " + std::to_string(min) + " to " +
                  std::to_string(max);
        return false;
    }
    *out = value;
    return true;
}

void registerProviderType(ProviderType type) {
    Registry& r = registry();
    ScopedLock guard(r.lock);
    for (ProviderType& t : r.types) {
        if (t.name == type.name) {
            t = std::move(type);
            return;
        }
    }
    r.types.push_back(std::move(type));
}

const ProviderType* findProviderType(std::string_view name) {
    Registry& r = registry();
    ScopedLock guard(r.lock);
    for (const ProviderType& t : r.types) {
        if (t.name == name) {
            return &t;  // types are registered once at start and never removed
        }
    }
    return nullptr;
}

std::string definitionsDirectory() {
    if (const char* dir = BSS1_GetEnv("VORPANE_PROVIDER_DIR"); dir != nullptr && *dir != '\0') {
        return dir;
    }
    return workDirectory() + "/providers";
}

std::vector<std::unique_ptr<Provider>> loadDefinitions(const std::string& directory, std::string_view entryType,
                                                       const ProviderContext& context) {
    std::vector<std::unique_ptr<Provider>> providers;
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) {
        // The default directory is optional; one named by the operator must exist.
        if (BSS1_GetEnv("VORPANE_PROVIDER_DIR") != nullptr) {
            VA_ERROR("Error: provider definitions directory <%s> cannot be read: %s\n", directory.c_str(),
                     std::strerror(errno));
        } else {
            VA_STATE("No provider definitions directory <%s>\n", directory.c_str());
        }
        return providers;
    }
    std::vector<std::string> names;
    while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".desc") == 0) {
            names.push_back(name);
        }
    }
    closedir(dir);
    std::sort(names.begin(), names.end());

    for (const std::string& name : names) {
        const std::string path = directory + "/" + name;
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        if (!in) {
            VA_ERROR("Error: provider definition %s cannot be read: %s\n", path.c_str(), std::strerror(errno));
            continue;
        }
        Definition d;
        d.file = path;
        dp::ParseError error;
        if (!parseDefinition(text.str(), &d, &error)) {
            VA_ERROR("Error: provider definition %s:%d: %s\n", path.c_str(), error.line, error.reason.c_str());
            continue;
        }
        d.app.defaultProviderType(d.type);
        const ProviderType* type = findProviderType(d.type);
        if (type == nullptr) {
            VA_ERROR("Error: provider definition %s:%d: unknown provider type \"%s\"\n", path.c_str(), d.typeLine,
                     d.type.c_str());
            continue;
        }
        if (d.type != entryType && !(entryType == "ASFS" && type->partOfASFS)) {
            continue;  // another entry runs it
        }
        std::unique_ptr<Provider> p = type->make(d, context, &error);
        if (!p) {
            VA_ERROR("Error: provider definition %s:%d: %s\n", path.c_str(), error.line, error.reason.c_str());
            continue;
        }
        p->status().definitions.store(1);
        VA_STATE("Provider definition %s loaded (%s, application %s)\n", path.c_str(), d.type.c_str(),
                 d.app.name.c_str());
        providers.push_back(std::move(p));
    }
    return providers;
}

// ---------------------------------------------------------------------------------------------------
// HubSession

namespace {

// The action type of report and situation requests, and the action results a provider gives.
constexpr int16_t kReportActionType = 5;
constexpr int32_t kActionNoSupport = 5;      // DP_NOSUPPORT
constexpr int32_t kActionSourceOffline = 8;  // SOURCE_OFFLINE
constexpr int32_t kActionUnrecognised = 12;  // UNRECOG_REQUEST

}  // namespace

HubSession::HubSession(HubOptions options, dp::AppDescription app, ProviderStatus& status)
    : _options(std::move(options)), _app(std::move(app)), _status(status) {}

HubSession::~HubSession() { close(); }

void HubSession::dropConnection() {
    std::shared_ptr<HubProvider> old;
    {
        ScopedLock guard(_actionLock);
        old = std::move(_actionConnection);
        _actionConnection.reset();
    }
    if (old) {
        old->cancel();  // the action thread lets go of it
    }
    _provider.reset();
    _registered = false;
    _handles.clear();
    _actionSources.clear();
}

bool HubSession::ensureRegistered() {
    if (_registered) {
        return true;
    }
    if (!_provider) {
        _provider = std::make_shared<HubProvider>(_options, false);
    }
    int status = 0;
    std::string holder;
    int rc = _provider->dp_register(&status, _app.registration(), &holder);
    // Status 1: registered before (by an earlier session of ours, or another provider of the
    // agent's application); the hub accepts it.
    if (rc != 0 && !(rc == DCH_CLIENT_REFUSED && status == 1)) {
        std::string why =
            rc != DCH_CLIENT_REFUSED ? DCH_clientResultText(rc) : "status " + std::to_string(status);
        if (rc == DCH_CLIENT_REFUSED && status == DCH_STATUS_KEY_HELD) {
            why += ": its key " + _app.name.substr(0, 3) + " is held by application " + holder;
        }
        _status.error("dp_register " + _app.name + " failed: " + why);
        dropConnection();
        return false;
    }
    _registered = true;
    return true;
}

int HubSession::handle(std::string_view group, std::string_view source) {
    std::string key = std::string(group) + "@" + std::string(source);
    if (auto it = _handles.find(key); it != _handles.end()) {
        return it->second;
    }
    // The queued rows go before the source's online: a failure here may drop the connection.
    flush();
    if (!ensureRegistered()) {
        return -1;
    }
    int status = 0;
    int h = 0;
    std::string g(group);
    std::string s(source);
    int rc = _provider->dp_online(&status, &h, _app.name.c_str(), g.c_str(), s.empty() ? nullptr : s.c_str());
    if (rc != 0) {
        _status.error("dp_online " + _app.name + " " + g + " " + s + " failed: " +
                      (rc == DCH_CLIENT_REFUSED ? "status " + std::to_string(status) : DCH_clientResultText(rc)));
        if (rc != DCH_CLIENT_REFUSED) {
            dropConnection();
        } else {
            _registered = false;  // the hub may have let the application go: register it again next time
        }
        return -1;
    }
    _handles.emplace(std::move(key), h);
    if (_actionProvider != nullptr) {
        waitForActions(s);
    }
    return h;
}

void HubSession::answerActions(Provider* provider) { _actionProvider = provider; }

void HubSession::waitForActions(const std::string& source) {
    if (source.empty() ||
        std::find(_actionSources.begin(), _actionSources.end(), source) != _actionSources.end()) {
        return;  // a source the hub names after our address cannot be told apart in an action
    }
    int status = 0;
    int rc = _provider->dp_waitForAction(&status, kReportActionType, source.c_str());
    if (rc != 0) {
        _status.error("dp_waitForAction " + _app.name + " " + source + " failed: " +
                      (rc == DCH_CLIENT_REFUSED ? "status " + std::to_string(status) : DCH_clientResultText(rc)));
        return;
    }
    _actionSources.push_back(source);
    {
        ScopedLock guard(_actionLock);
        _actionConnection = _provider;
        _actionStop = false;
        _actionCond.broadcast();
    }
    if (!_actionThreadStarted) {
        const std::string name = "act-" + _app.name.substr(0, 11);
        int t = ZOT0_CreateThread([this] { actionLoop(); }, 0, &_actionThread, name.c_str());
        if (t != 0) {
            _status.error("action thread creation failed: errno=" + std::to_string(t));
            return;
        }
        _actionThreadStarted = true;
    }
}

void HubSession::actionLoop() {
    for (;;) {
        std::shared_ptr<HubProvider> connection;
        {
            ScopedLock guard(_actionLock);
            _actionCond.waitUntil(_actionLock, -1, [this]() VA_REQUIRES(_actionLock) {
                return _actionStop || _actionConnection != nullptr;
            });
            if (_actionStop) {
                return;
            }
            connection = _actionConnection;
        }
        DPactionRequest action;
        int rc = connection->nextAction(&action, -1);
        if (rc == 0) {
            VA_STATE("%s: action %s (%d) for %s: %s\n", _status.name().c_str(), action.name.c_str(),
                     action.actionID, action.node.c_str(), action.parms.c_str());
            _actionProvider->actions().post(this, std::move(action));
            continue;
        }
        // Cancelled or failed: this connection carries no more actions; wait for the next one.
        ScopedLock guard(_actionLock);
        if (_actionConnection == connection) {
            _actionConnection.reset();
        }
    }
}

void HubSession::stopActionThread() {
    if (!_actionThreadStarted) {
        return;
    }
    std::shared_ptr<HubProvider> connection;
    {
        ScopedLock guard(_actionLock);
        _actionStop = true;
        connection = _actionConnection;
        _actionCond.broadcast();
    }
    if (connection) {
        connection->cancel();
    }
    pthread_join(_actionThread, nullptr);
    _actionThreadStarted = false;
}

namespace {

// The value of NAME= in an action's parameters ("SITNAME=S1 ATTRGROUP=CPU WHERE(...)"), or empty.
std::string parameter(const std::string& parms, std::string_view name) {
    size_t at = 0;
    while ((at = parms.find(name, at)) != std::string::npos) {
        if ((at == 0 || parms[at - 1] == ' ') && parms.compare(at + name.size(), 1, "=") == 0) {
            const size_t from = at + name.size() + 1;
            return parms.substr(from, parms.find(' ', from) - from);
        }
        at += name.size();
    }
    return {};
}

}  // namespace

void HubSession::answer(const DPactionRequest& action, Provider& provider) {
    // The node is "<source>:<application and release>".
    const std::string source = action.node.substr(0, action.node.find(':'));
    std::string group = upper(parameter(action.parms, "ATTRGROUP"));
    int32_t result = 0;
    std::string text;
    int h = -1;
    if (action.name != "REPORT_REQUEST" && action.name != "SITUATION_REQUEST") {
        result = kActionUnrecognised;
        text = "not a report action: " + action.name;
    } else if (group.empty()) {
        result = kActionUnrecognised;
        text = "no ATTRGROUP= in " + action.parms;
    } else if (auto it = _handles.find(group + "@" + source); it == _handles.end()) {
        result = kActionSourceOffline;
        text = "group " + group + " of source " + source + " is not online";
    } else {
        h = it->second;
        const bool fresh = provider.sendFreshRows(group);
        flush();
        result = fresh ? 0 : kActionNoSupport;
        text = fresh ? "fresh rows of " + group + " sent" : "no fresh rows: the rows of " + group + " arrive as they come";
    }
    if (!_provider) {
        return;  // the connection went while the rows were sent: the hub has dropped the action
    }
    int status = 0;
    if (h >= 0 && _provider->dp_redriveReportRequest(&status, h, action.actionID) == DCH_CLIENT_REFUSED) {
        // Nothing waited for this action (no demand reporting, or it expired): the rows stand.
        VA_DETAIL("%s: no report request waited for action %d (status %d)\n", _status.name().c_str(),
                  action.actionID, status);
    }
    if (_provider && _provider->dp_provideActionResults(&status, action.actionID, result, text) != 0) {
        _status.error("dp_provideActionResults for action " + std::to_string(action.actionID) + " failed");
    }
    VA_STATE("%s: action %s (%d) answered %d: %s\n", _status.name().c_str(), action.name.c_str(), action.actionID,
             result, text.c_str());
}

void HubSession::forgetHandle(int handle) {
    for (auto it = _handles.begin(); it != _handles.end(); ++it) {
        if (it->second == handle) {
            _handles.erase(it);
            return;
        }
    }
}

void HubSession::queue(int handle, int controlField, const DProw& row, uint64_t tag) {
    if (_batch.add(handle, controlField, row) != 0) {
        _status.error("a row with control field " + std::to_string(controlField) + " cannot be sent");
        return;
    }
    _batchHandles.push_back(handle);
    _batchTags.push_back(tag);
    if (_batch.count() >= kBatchRows || _batch.size() >= kBatchBytes) {
        flush();
    }
}

int HubSession::flush() {
    if (_batch.empty()) {
        return 0;
    }
    int rc = _provider ? _provider->dp_dataBatch(&_batch) : DCH_CLIENT_IO;
    int32_t sent = 0;
    int refused = 0;
    int32_t firstRefusal = 0;
    for (size_t i = 0; i < _batch.count(); ++i) {
        const int32_t s = _batch.status(i);
        if (s == 0) {
            ++sent;
        } else if (rc == 0 || rc == DCH_CLIENT_REFUSED) {
            if (refused++ == 0) {
                firstRefusal = s;
            }
            // As for a single row: the hub no longer knows the handle, so its source comes online
            // again at its next row.
            forgetHandle(_batchHandles[i]);
        }
    }
    _status.rowsSent.fetch_add(sent, std::memory_order_relaxed);
    if (refused > 0) {
        // One trace line for the batch; every refused row is counted.
        _status.errors.fetch_add(refused - 1, std::memory_order_relaxed);
        _status.error("dp_data " + _app.name + " refused for " + std::to_string(refused) + " of " +
                      std::to_string(_batch.count()) + " rows: status " + std::to_string(firstRefusal));
    }
    if (rc != 0 && rc != DCH_CLIENT_REFUSED) {
        const size_t lost = _batch.count() - static_cast<size_t>(sent);
        _status.errors.fetch_add(static_cast<int32_t>(lost) - 1, std::memory_order_relaxed);
        _status.error("dp_data " + _app.name + " of " + std::to_string(lost) + " rows failed: " +
                      DCH_clientResultText(rc));
        dropConnection();
    }
    if (_observer) {
        std::vector<RowOutcome> outcomes;
        outcomes.reserve(_batch.count());
        for (size_t i = 0; i < _batch.count(); ++i) {
            outcomes.push_back({_batchTags[i], _batch.status(i)});
        }
        _observer(outcomes, rc);
    }
    _batch.clear();
    _batchHandles.clear();
    _batchTags.clear();
    return rc;
}

int HubSession::send(int handle, int controlField, const DProw& row) {
    flush();
    if (!_provider) {
        return DCH_CLIENT_IO;
    }
    int status = 0;
    int rc = _provider->dp_data(&status, handle, controlField, row);
    if (rc == 0) {
        _status.rowsSent.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    _status.error("dp_data " + _app.name + " failed: " +
                  (rc == DCH_CLIENT_REFUSED ? "status " + std::to_string(status) : DCH_clientResultText(rc)));
    if (rc != DCH_CLIENT_REFUSED) {
        dropConnection();  // the hub dropped our sources with the connection: start over
    } else {
        // The hub no longer knows the handle (a later registration of the application may have
        // replaced the source's list): bring the source online again at the next row.
        forgetHandle(handle);
    }
    return rc;
}

void HubSession::close() {
    flush();
    if (_provider) {
        for (const auto& [key, h] : _handles) {
            int status = 0;
            (void)_provider->dp_offline(&status, h);
        }
        _provider->close();
    }
    dropConnection();
    stopActionThread();
}

// ---------------------------------------------------------------------------------------------------
// The provider entries

namespace {

constexpr const char* kUnavailable[] = {"APPC", "JDBC", "ODBC", "POST", "WBEM"};

// Publishes one row per provider of an entry, keyed by the provider's name, as one set.
void publishStatus(HubSession& session, const std::string& source, const std::vector<ProviderStatus*>& statuses) {
    int h = session.handle(kStatusGroup, source);
    if (h < 0) {
        return;
    }
    for (size_t i = 0; i < statuses.size(); ++i) {
        ProviderStatus& s = *statuses[i];
        DProw row;
        int32_t definitions = s.definitions.load();
        int32_t rows = s.rowsSent.load();
        int32_t errors = s.errors.load();
        int32_t malformed = s.malformed.load();
        std::string last = s.lastError().substr(0, 128);
        std::string name = s.name().substr(0, 64);
        row.add("Provider", name.data(), static_cast<int>(name.size()), 'D');
        row.add("Definitions", &definitions, 4, 'G');
        row.add("Rows_Sent", &rows, 4, 'C');
        row.add("Errors", &errors, 4, 'C');
        row.add("Malformed", &malformed, 4, 'C');
        row.add("Last_Error", last.data(), static_cast<int>(last.size()), 'D');
        int control = statuses.size() == 1 ? 0x11 : i == 0 ? 0x01 : i + 1 == statuses.size() ? 0x10 : 0x00;
        if (session.send(h, control, row) != 0) {
            return;
        }
    }
}

}  // namespace

void runProviders(int dpType, const ProviderContext& context, StopSignal& stop) {
    const std::string type = dpTypeName(dpType);
    for (const char* u : kUnavailable) {
        if (type == u) {
            VA_ERROR("Note: %s data provider is not available in this build\n", type.c_str());
            return;
        }
    }
    if (type != "APIS" && type != "ASFS" && findProviderType(type) == nullptr) {
        VA_ERROR("Error: no data provider of type <%s>\n", type.c_str());
        return;
    }
    VA_STATE("%s data provider started\n", type.c_str());

    std::vector<std::unique_ptr<Provider>> providers;
    ProviderStatus apiStatus(type);
    std::vector<ProviderStatus*> statuses;
    if (type == "ASFS") {
        providers.push_back(makeHostProvider(context));
    }
    for (auto& p : loadDefinitions(definitionsDirectory(), type, context)) {
        providers.push_back(std::move(p));
    }
    if (type == "APIS" || providers.empty()) {
        statuses.push_back(&apiStatus);
    }
    for (auto& p : providers) {
        statuses.push_back(&p->status());
    }

    std::vector<pthread_t> threads;
    for (auto& p : providers) {
        pthread_t t{};
        Provider* raw = p.get();
        std::string threadName = "dp-" + raw->status().name().substr(0, 12);
        int rc = ZOT0_CreateThread([raw, &stop] { raw->run(stop); }, 0, &t, threadName.c_str());
        if (rc != 0) {
            raw->status().error("thread creation failed: errno=" + std::to_string(rc));
            continue;
        }
        threads.push_back(t);
    }

    // The API server is the hub's own client protocol: ready as soon as the hub answers a provider.
    ProviderStatus publisher(type + " status");  // its failures are traced; not a row of its own
    HubSession statusSession(context.hub, agentApplication(), publisher);
    bool apiServer = type == "APIS" || type == "ASFS";
    do {
        if (apiServer && ZOTP_GetAPIServerComplete() == 0 && statusSession.handle(kStatusGroup, type) >= 0) {
            setAPIServerComplete(true);
            VA_STATE("%s: the API server is ready\n", type.c_str());
        }
        publishStatus(statusSession, type, statuses);
    } while (!stop.waitFor(kStatusInterval));

    for (pthread_t t : threads) {
        pthread_join(t, nullptr);
    }
    publishStatus(statusSession, type, statuses);
    statusSession.close();
    VA_STATE("%s data provider stopped\n", type.c_str());
}

namespace {

struct Running {
    Mutex lock;
    CondVar cond;
    int count VA_GUARDED_BY(lock) = 0;
};

Running& running() {
    static Running* r = new Running();
    return *r;
}

StopSignal& processStop() {
    static StopSignal* s = new StopSignal();  // provider threads may outlive main at exit
    return *s;
}

void entryRun(int dpType) {
    Running& r = running();
    {
        ScopedLock guard(r.lock);
        ++r.count;
    }
    ProviderContext context;
    context.workDirectory = workDirectory();
    context.sourceName = hostSourceName();
    runProviders(dpType, context, processStop());
    ScopedLock guard(r.lock);
    --r.count;
    r.cond.broadcast();
}

// Bounded: a provider stuck in a hub call must not hold up the end of the process for long.
constexpr double kStopWait = 5;

void entryStop() {
    processStop().request();
    Running& r = running();
    ScopedLock guard(r.lock);
    r.cond.waitUntil(r.lock, kStopWait, [&r]() VA_REQUIRES(r.lock) { return r.count == 0; });
}

}  // namespace

void installProviders() {
    registerBuiltInProviderTypes();
    setProviderEntry({entryRun, entryStop});
}

}  // namespace vorpane::providers

// The built-in data providers' framework: one registration per provider type (type name → factory),
// the definitions directory, the stop signal, each provider's status counters and the hub session a
// provider sends its rows through. Every provider is a client of the hub like an outside one.
//
// Threads: each provider entry (ZOTP_StartDataProvider) runs runProviders on its provider thread,
// which starts one thread per provider object and publishes their status until the stop.
#pragma once

#include <pthread.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "interfaces/dch_client.h"
#include "interfaces/sync.h"
#include "providers/agent_application.h"
#include "providers/app_description.h"

namespace vorpane::providers {

// Set once by the process stop; every wait of a provider ends early when it is set.
// Thread-safe. fd() becomes readable when the stop is requested, for loops that poll sockets.
class StopSignal {
  public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    void request();
    bool requested() const { return _requested.load(); }
    // Waits up to `seconds` of clock time; true when the stop was requested.
    bool waitFor(double seconds);
    int fd() const { return _fd; }

  private:
    std::atomic<bool> _requested{false};
    Mutex _lock;
    CondVar _cond;
    int _fd = -1;  // eventfd
};

// The figures of one provider, published as one row of its status group. Counters are atomics
// written by the provider's thread and read by the publisher; the last error text has a lock.
class ProviderStatus {
  public:
    explicit ProviderStatus(std::string name) : _name(std::move(name)) {}
    const std::string& name() const { return _name; }

    std::atomic<int32_t> definitions{0};
    std::atomic<int32_t> rowsSent{0};
    std::atomic<int32_t> errors{0};
    std::atomic<int32_t> malformed{0};

    // Counts an error, keeps its text as the last one and traces it ("Error: <name>: <text>").
    void error(const std::string& text);
    std::string lastError() const;

  private:
    const std::string _name;
    mutable Mutex _lock;
    std::string _lastError VA_GUARDED_BY(_lock);
};

// A definition file: the application it registers and its source section ("source TYPE ..." and the
// lines after it), which the provider type reads.
struct SourceLine {
    int line = 0;
    std::vector<std::string> words;
};

struct Definition {
    std::string file;  // path, for messages
    dp::AppDescription app;
    std::string type;  // upper case: FILE, SOCK, HTTP
    int typeLine = 0;
    std::vector<SourceLine> source;  // the source line itself (words after the type) first
};

// Parses a definition file's text. False with the line (0: the file as a whole) and the reason.
bool parseDefinition(std::string_view text, Definition* definition, dp::ParseError* error);

// key=value words; a key may repeat (path=a path=b). Refuses keys not in the allowed list.
class SourceOptions {
  public:
    bool parse(const std::vector<std::string>& words, size_t first, std::initializer_list<const char*> allowed,
               std::string* reason);
    bool has(std::string_view key) const;
    std::string get(std::string_view key, std::string fallback = {}) const;
    std::vector<std::string> all(std::string_view key) const;
    // A whole number in [min, max]; fallback when absent. False with a reason when malformed.
    bool number(std::string_view key, long min, long max, long fallback, long* out, std::string* reason) const;

  private:
    std::vector<std::pair<std::string, std::string>> _values;
};

// What every provider of the process shares.
struct ProviderContext {
    HubOptions hub = HubOptions::fromEnvironment();
    std::string workDirectory;  // where providers keep their files (positions)
    std::string sourceName;     // the default source: this host's name
};

class HubSession;

// Report actions that reached a provider's sessions, waiting for the provider's own thread. Posted
// by the sessions' action threads; taken by the provider thread. Thread-safe. fd() becomes
// readable while something waits, for loops that poll sockets.
class ActionInbox {
  public:
    struct Pending {
        HubSession* session = nullptr;
        DPactionRequest action;
    };
    ActionInbox();
    ~ActionInbox();
    ActionInbox(const ActionInbox&) = delete;
    ActionInbox& operator=(const ActionInbox&) = delete;

    void post(HubSession* session, DPactionRequest action);
    // Everything waiting, oldest first; the descriptor is quiet again afterwards.
    std::vector<Pending> take();
    int fd() const { return _fd; }

  private:
    Mutex _lock;
    std::vector<Pending> _pending VA_GUARDED_BY(_lock);
    int _fd = -1;  // eventfd
};

// One provider: runs on its own thread until the stop.
class Provider {
  public:
    explicit Provider(std::string name) : _status(std::move(name)) {}
    virtual ~Provider() = default;
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;

    virtual void run(StopSignal& stop) = 0;
    ProviderStatus& status() { return _status; }

    // Sends fresh rows of a group now, for a REPORT_REQUEST or SITUATION_REQUEST action; called on
    // the provider's thread (serveActions). False when the provider cannot (the default: rows
    // arrive on their own, as lines and file records do); the stored rows then stand.
    virtual bool sendFreshRows(std::string_view group) {
        (void)group;
        return false;
    }

    // Where the provider's sessions post the report actions of its sources.
    ActionInbox& actions() { return _actions; }
    // Answers every waiting action: fresh rows when the provider can, then the action's result.
    // Provider thread only.
    void serveActions();
    // Waits up to `seconds` of clock time, answering actions as they come; true when the stop was
    // requested. For providers that wait between rounds.
    bool waitFor(StopSignal& stop, double seconds);

  private:
    ProviderStatus _status;
    ActionInbox _actions;
};

// One provider type. make reads the definition's source section; it refuses it with the line and
// the reason, or returns the provider.
struct ProviderType {
    std::string name;          // FILE, SOCK, HTTP
    bool partOfASFS = false;   // the ASFS entry runs its definitions too
    std::function<std::unique_ptr<Provider>(const Definition&, const ProviderContext&, dp::ParseError*)> make;
};

void registerProviderType(ProviderType type);
const ProviderType* findProviderType(std::string_view name);

// The definitions directory: VORPANE_PROVIDER_DIR, or <work directory>/providers.
std::string definitionsDirectory();

// Reads every "*.desc" file of the directory (in name order) and makes the providers whose type
// the entry runs: its own type, and the types that are part of ASFS for "ASFS". A bad file is
// traced with its file, line and reason and skipped; the others still run.
std::vector<std::unique_ptr<Provider>> loadDefinitions(const std::string& directory, std::string_view entryType,
                                                       const ProviderContext& context);

// Sends one application's rows to the hub on one connection. Registers the application and brings a
// (group, source) online on first use; after a connection failure the next call opens a new
// connection and registers again. Used by one thread, apart from its action thread (below).
//
// Report actions: after answerActions(provider), every source the session brings online also waits
// for report actions (type 5: REPORT_REQUEST, SITUATION_REQUEST) on the session's connection. A
// thread of the session takes them as they come and posts them to the provider's inbox; the
// provider's thread answers them with answer(): fresh rows, the redrive of the waiting report
// request, and the action's result, all on the connection the rows go by, so the hub sees the rows
// before the redrive.
class HubSession {
  public:
    HubSession(HubOptions options, dp::AppDescription app, ProviderStatus& status);
    ~HubSession();
    HubSession(const HubSession&) = delete;
    HubSession& operator=(const HubSession&) = delete;

    const dp::AppDescription& app() const { return _app; }
    // The handle of (group, source), bringing it online when needed; -1 on failure (counted).
    int handle(std::string_view group, std::string_view source);
    // Sends a row; counts it, or the error. 0, or the client's failure code. Rows queued before it
    // go first.
    int send(int handle, int controlField, const DProw& row);
    // Queues a row to go with the next flush, in one write with the rows queued before it; a full
    // batch is flushed at once. Rows keep their order, also against send and handle. The tag is
    // the caller's, handed back with the row's outcome.
    void queue(int handle, int controlField, const DProw& row, uint64_t tag = 0);
    // Sends the queued rows and reads the hub's answers; counts each row, or its error. 0, or the
    // client's failure code.
    int flush();

    // What became of one queued row: status 0 when the hub took it; otherwise the hub refused it,
    // or (when the flush's result is a connection failure) it may never have reached the hub.
    struct RowOutcome {
        uint64_t tag;
        int32_t status;
    };
    // Called by every flush with its rows in the order queued and the flush's result, for callers
    // that must know which rows the hub took (FILE keeps its position behind the others). The
    // observer runs inside flush and must not call the session.
    using FlushObserver = std::function<void(const std::vector<RowOutcome>& rows, int rc)>;
    void observeFlushes(FlushObserver observer) { _observer = std::move(observer); }
    size_t queued() const { return _batch.count(); }
    // Takes every source of this session offline, closes the connection and ends the action thread.
    void close();

    // Report actions for this session's sources go to the provider's inbox from now on.
    void answerActions(Provider* provider);
    // Answers one report action (provider thread): the provider's fresh rows of the group named by
    // ATTRGROUP=, the redrive of the report request waiting for them, then the result: 0 (fresh
    // rows sent), 5 (the provider sends no fresh rows; the stored rows stand), 8 (the group is not
    // online for that source) or 12 (not a report action, or no ATTRGROUP=).
    void answer(const DPactionRequest& action, Provider& provider);

    // A batch is flushed when it holds this many rows or bytes: the hub's answers to it (14 bytes a
    // row) then always fit the socket buffers while the batch is still being written.
    static constexpr size_t kBatchRows = 512;
    static constexpr size_t kBatchBytes = 64 * 1024;

  private:
    bool ensureRegistered();
    void dropConnection();
    void forgetHandle(int handle);
    // Asks for the report actions of a source on this connection, once per source.
    void waitForActions(const std::string& source);
    void actionLoop();
    void stopActionThread();

    const HubOptions _options;
    const dp::AppDescription _app;
    ProviderStatus& _status;
    std::shared_ptr<HubProvider> _provider;  // shared with the action thread while it waits on it
    bool _registered = false;
    std::unordered_map<std::string, int> _handles;  // "GROUP@source" → handle
    DPdataBatch _batch;
    std::vector<int> _batchHandles;  // the handle of each queued row
    std::vector<uint64_t> _batchTags;  // the tag of each queued row
    FlushObserver _observer;

    Provider* _actionProvider = nullptr;  // set once, before any source comes online
    std::vector<std::string> _actionSources;  // sources waiting for actions on this connection
    Mutex _actionLock;
    CondVar _actionCond;
    std::shared_ptr<HubProvider> _actionConnection VA_GUARDED_BY(_actionLock);  // the one to wait on
    bool _actionStop VA_GUARDED_BY(_actionLock) = false;
    pthread_t _actionThread{};
    bool _actionThreadStarted = false;
};

// Runs the providers of one provider entry until the stop: the host application and the
// definitions of the types it runs for ASFS; the definitions of its type for FILE, SOCK, HTTP and SNMP; the
// API server readiness for APIS and ASFS; one line and an immediate return for the types this build
// does not provide. Publishes each provider's status in the agent's application.
void runProviders(int dpType, const ProviderContext& context, StopSignal& stop);

// The application of the providers' status rows (group kStatusGroup): the agent's own.
inline constexpr const char* kStatusApplication = kAgentApplication;

// Registers the built-in provider types and installs the entry of the support library
// (vorpane::setProviderEntry). Called once by the process entry.
void installProviders();

}  // namespace vorpane::providers

// Take-action commands: the firing row's request, the call of the command callback, and the threads
// that run situations' commands apart from the sampling workers.
#include "platform/axf/action_runner.h"

#include "interfaces/support.h"
#include "platform/axf/engine.h"

namespace axf::detail {
namespace {

class FiringRowRequest final : public plaxf {
public:
    FiringRowRequest(const RequestDetail& detail, const std::vector<ColumnInfo>& columns, const char* row, int rowSize)
        : plaxf(&detail, nullptr, nullptr), _columns(columns) {
        SetRowSize(rowSize);
        InsertRow(row);
    }
    void TakeSample() override {}
    int NumColumns() override { return static_cast<int>(_columns.size()); }
    int GetColumnInfo(ColumnInfo* info, int colno) override {
        if (info == nullptr || colno < 0 || colno >= NumColumns()) {
            return plaxf::GetColumnInfo(info, colno);
        }
        *info = _columns[static_cast<size_t>(colno)];
        return 0;
    }

private:
    std::vector<ColumnInfo> _columns;
};

// A policy action: a request on the table "QNACTRMT" that names the subnodes.
class PolicyRequest final : public plaxf {
public:
    PolicyRequest(RequestDetail* detail, ContextInfo* context) : plaxf(detail, context, nullptr) {}
    void TakeSample() override {}
};

}  // namespace

std::unique_ptr<plaxf> firingRowRequest(const RequestDetail& detail, const std::vector<ColumnInfo>& columns,
                                        const char* row, int rowSize) {
    return std::make_unique<FiringRowRequest>(detail, columns, row, rowSize);
}

long runCommand(const std::string& command, const std::string& user, plaxf* request, long* actionId,
                std::string* resultText) {
    AXF_CommandCallback cb = findCommandCallback(command);
    if (cb == nullptr) {
        VA_ERROR("Error: no command callback for <%s>\n", command.c_str());
        return -1;
    }
    PlaxfAutomationCapsule capsule(command, user, request, 0);
    long rc = cb(&capsule);
    VA_STATE("Command <%.64s> returned %ld (action %ld)\n", command.c_str(), rc, capsule.ActionId());
    if (actionId != nullptr) {
        *actionId = capsule.ActionId();
    }
    if (resultText != nullptr) {
        *resultText = capsule.ResultText();
    }
    return rc;
}

long runPolicyAction(RequestDetail* detail, ContextInfo* context, const std::string& command, long* actionId,
                     std::string* resultText) {
    PolicyRequest request(detail, context);
    return runCommand(command, context->user, &request, actionId, resultText);
}

ActionRunner::ActionRunner(Done done) : _done(std::move(done)) {}

ActionRunner::~ActionRunner() { reset(); }

bool ActionRunner::submit(TakeAction action) {
    vorpane::ScopedLock g(_lock);
    const char* refusal = nullptr;
    if (_stopped) {
        refusal = "the framework is stopping";
    } else if (_waiting.size() >= kMaxWaitingActions) {
        refusal = "the most commands that may wait are waiting";
    }
    if (refusal != nullptr) {
        ++_refused;
        ++_refusedInRun;
        if (!_refusing) {
            _refusing = true;
            VA_ERROR("Error: take-action <%.64s> of situation <%s> refused: %s (%zu waiting, %zu running); further "
                     "refusals are counted, not traced\n",
                     action.command.c_str(), action.situation.c_str(), refusal, _waiting.size(), _running);
        }
        return false;
    }
    if (_refusing) {
        _refusing = false;
        VA_ERROR("Warning: take-actions are queued again; %llu were refused meanwhile\n",
                 static_cast<unsigned long long>(_refusedInRun));
        _refusedInRun = 0;
    }
    _waiting.push_back(std::move(action));
    // Idle threads that were signalled count as idle until they take the lock: a thread more when
    // the commands waiting outnumber them.
    if (_waiting.size() > _idle && _threads.size() < static_cast<size_t>(kActionThreads)) {
        pthread_t t;
        if (ZOT0_CreateThread([this] { run(); }, 0, &t, "axf-action") == 0) {
            _threads.push_back(t);
        } else if (_threads.empty()) {
            VA_ERROR("Error: no take-action thread could be started; the command waits for one\n");
        }
    }
    _cond.signal();
    return true;
}

void ActionRunner::run() {
    vorpane::ScopedLock g(_lock);
    for (;;) {
        ++_idle;
        _cond.waitUntil(_lock, -1, [&]() VA_REQUIRES(_lock) { return _stopped || !_waiting.empty(); });
        --_idle;
        if (_stopped) {
            return;
        }
        TakeAction action = std::move(_waiting.front());
        _waiting.pop_front();
        ++_running;
        _lock.unlock();
        const long result = runCommand(action.command, action.user, action.request.get(), nullptr, nullptr);
        action.request.reset();
        _lock.lock();
        --_running;
        ++_completed;
        _lock.unlock();
        // Counted first: whoever sees the state's result sees the command completed too.
        _done(action, result);
        _lock.lock();
    }
}

void ActionRunner::stop() {
    std::deque<TakeAction> dropped;
    {
        vorpane::ScopedLock g(_lock);
        _stopped = true;
        dropped.swap(_waiting);
        _cond.broadcast();
    }
    if (!dropped.empty()) {
        VA_ERROR("Warning: %zu take-action commands were not run: the framework stops\n", dropped.size());
    }
}

void ActionRunner::reset() {
    stop();
    std::vector<pthread_t> threads;
    {
        vorpane::ScopedLock g(_lock);
        threads.swap(_threads);
    }
    for (pthread_t t : threads) {
        pthread_join(t, nullptr);
    }
    vorpane::ScopedLock g(_lock);
    _stopped = false;
    _refusing = false;
    _refusedInRun = 0;
    _completed = 0;
    _refused = 0;
}

ActionFigures ActionRunner::figures() {
    vorpane::ScopedLock g(_lock);
    return ActionFigures{_waiting.size(), _running, _completed, _refused};
}

}  // namespace axf::detail

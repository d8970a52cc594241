// Inside the framework: take-action commands of situations and their executor.
//
// A command goes to the command callback, which may wait a long time for its answer (the agent's
// VA_Action waits up to a minute for the provider). Commands therefore run on threads of their own,
// never on the engine's sampling workers: a slow handler holds only an action thread, and every
// situation keeps its schedule.
//
// Bounds: at most kActionThreads commands run at once (threads are started as commands come and
// stay until the framework stops); at most kMaxWaitingActions wait behind them. A command beyond
// that is refused: the first refusal of a run is traced, every one is counted (figures()), and the
// situation's state records no action for it.
//
// Threads. The runner never calls out with its own lock held: the callback and the completion run
// without it.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "interfaces/axf.h"

namespace axf::detail {

inline constexpr int kActionThreads = 8;
inline constexpr size_t kMaxWaitingActions = 10000;

// One take-action command of a situation: what to run, on which copy of the firing row, and which
// state records its result.
struct TakeAction {
    uint64_t situationId = 0;
    std::string situation;  // the situation's name, for the trace
    std::pair<std::string, std::string> stateKey;  // subnode, atomic value
    std::string command;
    std::string user;
    std::unique_ptr<plaxf> request;  // the firing row and the table's columns, for the callback
};

// The request a take-action's callback reads: a copy of the firing row with the columns of the
// situation's table and the situation's request detail, so the table may move on meanwhile.
std::unique_ptr<plaxf> firingRowRequest(const RequestDetail& detail, const std::vector<ColumnInfo>& columns,
                                        const char* row, int rowSize);

// Runs a command through the callback registered for its first word (else for "*"): the callback's
// result, or -1 when no callback takes it. *actionId (when given): the identifier the callback gave
// the action, 0 when none; *resultText (when given): the text the callback left with its result.
// Runs on the calling thread.
long runCommand(const std::string& command, const std::string& user, plaxf* request, long* actionId,
                std::string* resultText);

// A take-action from the facade, run on the calling thread: the command goes to its callback with a
// policy request (table QNACTRMT) naming the detail's subnodes. The callback's result, or -1 when
// none takes the command; *actionId and *resultText as for runCommand.
long runPolicyAction(RequestDetail* detail, ContextInfo* context, const std::string& command, long* actionId,
                     std::string* resultText);

struct ActionFigures {
    size_t waiting = 0;
    size_t running = 0;
    uint64_t completed = 0;
    uint64_t refused = 0;
};

class ActionRunner {
public:
    // done is called on the action thread after each command, with the callback's result.
    using Done = std::function<void(const TakeAction& action, long result)>;
    explicit ActionRunner(Done done);
    ~ActionRunner();
    ActionRunner(const ActionRunner&) = delete;
    ActionRunner& operator=(const ActionRunner&) = delete;

    // Queues the command. False when it is refused: kMaxWaitingActions are waiting, or the runner
    // stopped.
    bool submit(TakeAction action);
    // Takes no more commands and drops the waiting ones (traced); commands under way finish on their
    // threads, which are not waited for (a shutdown ends the process at once).
    void stop();
    // stop(), waits for the commands under way and the threads, and takes commands again (tests).
    void reset();
    ActionFigures figures();

private:
    void run();

    vorpane::Mutex _lock;
    vorpane::CondVar _cond;
    Done _done;
    std::deque<TakeAction> _waiting VA_GUARDED_BY(_lock);
    std::vector<pthread_t> _threads VA_GUARDED_BY(_lock);
    size_t _idle VA_GUARDED_BY(_lock) = 0;  // threads waiting for a command
    size_t _running VA_GUARDED_BY(_lock) = 0;
    bool _stopped VA_GUARDED_BY(_lock) = false;
    bool _refusing VA_GUARDED_BY(_lock) = false;  // the last command was refused: the next refusals are not traced
    uint64_t _refusedInRun VA_GUARDED_BY(_lock) = 0;
    uint64_t _completed VA_GUARDED_BY(_lock) = 0;
    uint64_t _refused VA_GUARDED_BY(_lock) = 0;
};

}  // namespace axf::detail

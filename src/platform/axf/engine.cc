// The engine: open requests, the time line of situation samples, the worker pool that calls
// TakeSample, and situation states. Events are kept by the event log (event_log.h), take-action
// commands run on the action runner (action_runner.h).
//
// Threads. One time-line thread owns a priority queue of due times on the support library's clock
// (so the test switch speeds it up) and hands samples to a small pool of workers; nothing else waits
// on time. A worker takes the table manager's lock around TakeSample and around reading the answer,
// so requests on one table are sampled one at a time and never meet an event push. The workers do
// nothing but samples (and the reopening of situations whose subnodes changed): a take-action
// command, which may wait long for its provider, goes with a copy of the firing row to the action
// runner's own threads, so a slow command holds neither a table nor a worker.
//
// Locks. _lock (the engine's) guards the scheduler (time line, job queue, threads) and the records
// of open requests and situations with their states; they share it because the time line decides
// from a request's sampling and deferred flags whether its sample may start. It is taken after a
// manager's lock, never the reverse, and nothing outside the engine is called with it held. The
// event log and the action runner have their own locks and are called without the engine's: events
// are published once it is let go, still under the manager's lock, so a table's events keep their
// order. Handles and the registry have their own locks (registry.cc).
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <queue>
#include <set>
#include <unordered_map>
#include <utility>

#include "interfaces/support.h"
#include "platform/axf/action_runner.h"
#include "platform/axf/engine.h"
#include "platform/axf/event_log.h"

namespace axf::detail {
namespace {

constexpr int kWorkers = 4;
constexpr double kLongestWait = 5.0;  // the time line looks at the clock at least this often
constexpr double kSituationDeferTimeout = 30.0;  // a deferred situation sample is given up after this

enum class Purpose { Report, Situation };

class Engine;
struct SituationRec;

// One open request and what the engine knows of it.
class OpenRequest final : public RequestOwner, public std::enable_shared_from_this<OpenRequest> {
public:
    OpenRequest(Engine& owner, TableManager* table, Purpose kind) : _engine(owner), manager(table), purpose(kind) {}

    int dispatched(plaxf& request) override;
    void deferRequested(plaxf& request) override;
    void redriveRequested(plaxf& request) override;
    bool isDeferred(const plaxf& request) const override;
    void commandCompleted(plaxf& request, PlaxfAutomationCapsule* capsule) override;

    Engine& _engine;
    TableManager* const manager;
    const Purpose purpose;
    std::unique_ptr<plaxf> request;
    unsigned long handle = 0;
    // Guarded by the engine's lock.
    bool sampling = false;  // a sample job is queued or running
    bool deferFlag = false;  // TakeSample asked to defer during the current sample
    bool redrivePending = false;  // Redrive arrived while TakeSample still ran
    bool waitingRedrive = false;  // deferred, waiting for Redrive
    uint64_t deferGeneration = 0;
    bool closing = false;
    bool closed = false;
    // Reports.
    bool done = false;
    Status result;
    ReportRows rows;
    const std::vector<ColumnInfo>* columns = nullptr;
    // Situations.
    std::shared_ptr<SituationRec> situation;
};

struct SituationRec {
    uint64_t id = 0;
    SituationPlan plan;
    TableManager* manager = nullptr;
    std::shared_ptr<OpenRequest> open;  // null while it reopens
    int64_t started = 0;
    int64_t lastSample = 0;
    int64_t samples = 0;
    int64_t skipped = 0;
    std::map<std::pair<std::string, std::string>, SituationState> states;
};

struct TimelineEntry {
    double due;
    uint64_t order;
    uint64_t situationId;  // a sample of this situation
    std::weak_ptr<OpenRequest> deferred;  // or: the time-out of this deferred request
    uint64_t deferGeneration = 0;
    bool operator>(const TimelineEntry& o) const { return due != o.due ? due > o.due : order > o.order; }
};

class Engine {
public:
    vorpane::Mutex _lock;

    Engine() : _actions([this](const TakeAction& a, long result) { actionDone(a, result); }) {}

    // ---- threads
    void ensureStarted() VA_REQUIRES(_lock) {
        if (_started || _stopped) {
            return;
        }
        _started = true;
        _stopping = false;
        const uint64_t generation = _generation;
        pthread_t t;
        if (ZOT0_CreateThread([this, generation] { timeline(generation); }, 0, &t, "axf-timeline") == 0) {
            _threads.push_back(t);
        } else {
            VA_ERROR("Error: the framework time line thread could not be started\n");
        }
        for (int i = 0; i < kWorkers; ++i) {
            if (ZOT0_CreateThread([this, generation] { worker(generation); }, 0, &t, "axf-worker") == 0) {
                _threads.push_back(t);
            } else {
                VA_ERROR("Error: framework worker %d could not be started\n", i);
            }
        }
    }

    // The threads are told to end but not waited for, so that a shutdown ends the process at once
    // even while a take-action command is under way; they are detached, so that their end is nobody's
    // to collect, and of a generation that a later reset's threads are not.
    void stop() {
        {
            vorpane::ScopedLock g(_lock);
            _stopped = true;
            _stopping = true;
            ++_generation;
            for (pthread_t t : _threads) {
                pthread_detach(t);
            }
            _threads.clear();
            _timelineCond.broadcast();
            _jobsCond.broadcast();
            _doneCond.broadcast();
        }
        _events.stop();
        _actions.stop();
    }

    void join() {
        std::vector<pthread_t> threads;
        {
            vorpane::ScopedLock g(_lock);
            _stopping = true;
            _timelineCond.broadcast();
            _jobsCond.broadcast();
            threads.swap(_threads);
        }
        for (pthread_t t : threads) {
            pthread_join(t, nullptr);
        }
        vorpane::ScopedLock g(_lock);
        _started = false;
        _jobs.clear();
        _timeline = decltype(_timeline)();
    }

    bool stopped() VA_REQUIRES(_lock) { return _stopped; }

    void submit(std::function<void()> job) VA_REQUIRES(_lock) {
        _jobs.push_back(std::move(job));
        _jobsCond.signal();
    }

    // Whether the threads started as generation end now.
    bool ending(uint64_t generation) VA_REQUIRES(_lock) { return _stopping || generation != _generation; }

    void worker(uint64_t generation) {
        vorpane::ScopedLock g(_lock);
        for (;;) {
            _jobsCond.waitUntil(_lock, -1, [&]() VA_REQUIRES(_lock) { return ending(generation) || !_jobs.empty(); });
            if (ending(generation)) {
                return;
            }
            std::function<void()> job = std::move(_jobs.front());
            _jobs.pop_front();
            ++_busy;
            _lock.unlock();
            job();
            _lock.lock();
            if (--_busy == 0 && _stopping) {
                _doneCond.broadcast();
            }
        }
    }

    void timeline(uint64_t generation) {
        vorpane::ScopedLock g(_lock);
        while (!ending(generation)) {
            double now = vorpane::clock::now();
            while (!_timeline.empty() && _timeline.top().due <= now) {
                TimelineEntry e = _timeline.top();
                _timeline.pop();
                if (auto o = e.deferred.lock(); o != nullptr) {
                    deferTimedOut(o, e.deferGeneration);
                } else if (e.situationId != 0) {
                    sampleDue(e.situationId, e.due, now);
                }
            }
            double wait = kLongestWait;
            if (!_timeline.empty()) {
                wait = std::clamp(_timeline.top().due - now, 0.0, kLongestWait);
            }
            _timelineCond.waitFor(_lock, wait);
        }
    }

    void schedule(TimelineEntry e) VA_REQUIRES(_lock) {
        e.order = ++_order;
        _timeline.push(std::move(e));
        _timelineCond.signal();
    }

    // ---- samples

    void sampleDue(uint64_t id, double due, double now) VA_REQUIRES(_lock) {
        auto it = _situations.find(id);
        if (it == _situations.end()) {
            return;  // removed meanwhile
        }
        SituationRec& s = *it->second;
        double interval = s.plan.def.intervalSeconds;
        double next = due + interval;
        if (next <= now) {
            next = now + interval;  // fell behind (a long sample): no burst of catch-up samples
        }
        schedule(TimelineEntry{next, 0, id, {}, 0});
        std::shared_ptr<OpenRequest> o = s.open;
        if (o == nullptr || o->closing) {
            return;
        }
        if (o->sampling || o->waitingRedrive) {
            ++s.skipped;
            VA_ERROR("Warning: situation <%s> sample skipped: the previous sample has not completed\n",
                     s.plan.def.name.c_str());
            return;
        }
        startSample(o);
    }

    void startSample(const std::shared_ptr<OpenRequest>& o) VA_REQUIRES(_lock) {
        o->sampling = true;
        submit([this, o] { runSample(o); });
    }

    void runSample(const std::shared_ptr<OpenRequest>& o) {
        {
            vorpane::ScopedLock g(_lock);
            o->deferFlag = false;
            o->redrivePending = false;
            if (o->closing) {
                o->sampling = false;
                _doneCond.broadcast();
                return;
            }
        }
        TableManager* m = o->manager;
        std::vector<TakeAction> actions;
        if (m->lock() != 0) {
            VA_ERROR("Error: cannot lock table <%s/%s> for a sample\n", m->ApplicationName(), m->TableName());
            vorpane::ScopedLock g(_lock);
            finishSample(*o, Status{kFailed, "the table could not be locked"});
            return;
        }
        o->request->ClearCount();
        if (o->purpose == Purpose::Report) {
            // The answer is likely as large as the table's last one: room for it at once (in bytes: a
            // new request does not know its row size before the table's first row).
            Access::reserveBytes(*o->request, answerHint(m));
        }
        o->request->TakeSample();
        bool deferred;
        {
            vorpane::ScopedLock g(_lock);
            deferred = o->deferFlag;
        }
        if (!deferred) {
            if (o->purpose == Purpose::Report) {
                collectReport(*o);
            } else {
                std::vector<Event> events;
                evaluateSituation(*o, true, &actions, &events);
                publish(std::move(events));
            }
        }
        m->unlock();

        {
            vorpane::ScopedLock g(_lock);
            if (deferred) {
                if (o->redrivePending && !o->closing) {
                    submit([this, o] { runSample(o); });  // redriven before TakeSample even returned
                    return;
                }
                o->sampling = false;
                o->waitingRedrive = true;
                ++o->deferGeneration;
                double timeout = o->purpose == Purpose::Situation ? kSituationDeferTimeout : 0;
                if (timeout > 0) {
                    schedule(TimelineEntry{vorpane::clock::now() + timeout, 0, 0, o, o->deferGeneration});
                }
                VA_DETAIL("Request handle %lu deferred\n", o->handle);
                _doneCond.broadcast();
                return;
            }
            finishSample(*o, Status{});
        }
        submitActions(std::move(actions));
    }

    void finishSample(OpenRequest& o, Status status) VA_REQUIRES(_lock) {
        o.sampling = false;
        o.waitingRedrive = false;
        if (o.purpose == Purpose::Report) {
            o.done = true;
            o.result = std::move(status);
        } else if (o.situation != nullptr) {
            o.situation->lastSample = vorpane::clock::nowSeconds();
            ++o.situation->samples;
        }
        _doneCond.broadcast();
    }

    void deferTimedOut(const std::shared_ptr<OpenRequest>& o, uint64_t generation) VA_REQUIRES(_lock) {
        if (!o->waitingRedrive || o->deferGeneration != generation) {
            return;
        }
        o->waitingRedrive = false;
        VA_ERROR("Warning: deferred sample of situation <%s> was not redriven in time; the sample is dropped\n",
                 o->situation != nullptr ? o->situation->plan.def.name.c_str() : "");
        _doneCond.broadcast();
    }

    // The answer's row images become the report's rows as they stand. A table may insert every row
    // of a report (a demand request is not filtered by the table): the report's filter is applied
    // here, and only when there is one.
    void collectReport(OpenRequest& o) {
        plaxf& r = *o.request;
        size_t count = 0;
        int rowSize = 0;
        std::vector<char> images = Access::takeRows(r, &count, &rowSize);
        noteAnswer(o.manager, count * static_cast<size_t>(std::max(rowSize, 0)));  // the next report's room
        if (!Access::detail(r).filter.empty() && rowSize > 0) {
            const size_t size = static_cast<size_t>(rowSize);
            size_t kept = 0;
            for (size_t i = 0; i < count; ++i) {
                char* row = images.data() + i * size;
                if (r.CheckForException(row) != 0) {
                    if (kept != i) {
                        std::memcpy(images.data() + kept * size, row, size);
                    }
                    ++kept;
                }
            }
            count = kept;
            images.resize(count * size);
        }
        o.rows = ReportRows(std::move(images), count, rowSize, reportFields(*o.columns));
    }

    size_t answerHint(TableManager* m) {
        vorpane::ScopedLock g(_lock);
        auto it = _answerBytes.find(m);
        return it != _answerBytes.end() ? it->second : 0;
    }

    void noteAnswer(TableManager* m, size_t bytes) {
        vorpane::ScopedLock g(_lock);
        _answerBytes[m] = bytes;
    }

    // Reads the answer of a situation request (the manager's lock is held): per subnode and atomic
    // value, a state raised by a sample with rows and cleared by one without; event situations raise
    // with every row. Take-action commands go to `actions`, events to `events`: the caller publishes
    // them still under the manager's lock and submits the commands.
    void evaluateSituation(OpenRequest& o, bool sampled, std::vector<TakeAction>* actions,
                           std::vector<Event>* events) {
        plaxf& r = *o.request;
        vorpane::ScopedLock g(_lock);
        std::shared_ptr<SituationRec> s = o.situation;
        if (s == nullptr) {
            return;
        }
        const SituationPlan& p = s->plan;
        int64_t now = vorpane::clock::nowSeconds();
        std::map<std::pair<std::string, std::string>, std::vector<int>> firing;
        for (int i = 0; i < r.NumDataItems(); ++i) {
            const char* row = r.Data(i);
            std::pair<std::string, std::string> key;
            if (p.originColumn >= 0) {
                const ColumnInfo& c = p.columns[static_cast<size_t>(p.originColumn)];
                if (c.offset + c.length <= r.DataSize()) {
                    key.first = fieldText(row + c.offset, c.length);
                }
            }
            if (p.atomicColumn >= 0) {
                std::vector<Value> v = decodeRow({p.columns[static_cast<size_t>(p.atomicColumn)]}, row, r.DataSize());
                key.second = std::holds_alternative<int64_t>(v[0]) ? std::to_string(std::get<int64_t>(v[0]))
                                                                   : std::get<std::string>(v[0]);
            }
            firing[key].push_back(i);
        }
        for (auto& [key, rowsOfKey] : firing) {
            SituationState& st = s->states[key];
            st.subnode = key.first;
            st.atomicValue = key.second;
            bool raise = !sampled || !st.raised;
            if (!raise) {
                continue;
            }
            st.raised = true;
            st.since = now;
            for (int i : rowsOfKey) {
                Event e;
                e.kind = sampled ? EventKind::SituationRaised : EventKind::EventRow;
                fillEvent(&e, *s, key);
                e.row = decodeRow(p.columns, r.Data(i), r.DataSize());
                events->push_back(std::move(e));
                if (!p.def.action.empty()) {
                    actions->push_back(takeAction(*s, key, r, i));
                }
                if (sampled) {
                    break;  // one raise event per state; every row still gets its command below
                }
            }
            if (sampled && !p.def.action.empty()) {
                for (size_t k = 1; k < rowsOfKey.size(); ++k) {
                    actions->push_back(takeAction(*s, key, r, rowsOfKey[k]));
                }
            }
        }
        if (sampled) {
            for (auto& [key, st] : s->states) {
                if (st.raised && firing.find(key) == firing.end()) {
                    st.raised = false;
                    st.since = now;
                    Event e;
                    e.kind = EventKind::SituationCleared;
                    fillEvent(&e, *s, key);
                    events->push_back(std::move(e));
                }
            }
        }
    }

    void fillEvent(Event* e, const SituationRec& s, const std::pair<std::string, std::string>& key) {
        e->situation = s.plan.def.name;
        e->applName = s.plan.def.applName;
        e->tableName = s.plan.def.tableName;
        e->subnode = key.first;
        e->atomicValue = key.second;
    }

    // ---- take-action commands

    static TakeAction takeAction(const SituationRec& s, const std::pair<std::string, std::string>& key, plaxf& r,
                                 int row) {
        return TakeAction{s.id, s.plan.def.name, key, s.plan.def.action, "",
                          firingRowRequest(Access::detail(r), s.plan.columns, r.Data(row), r.DataSize())};
    }

    void submitActions(std::vector<TakeAction> actions) {
        for (TakeAction& a : actions) {
            _actions.submit(std::move(a));
        }
    }

    // On an action thread, once the command callback returned.
    void actionDone(const TakeAction& action, long result) {
        vorpane::ScopedLock g(_lock);
        auto it = _situations.find(action.situationId);
        if (it == _situations.end()) {
            return;
        }
        auto st = it->second->states.find(action.stateKey);
        if (st != it->second->states.end()) {
            ++st->second.actions;
            st->second.lastActionResult = result;
        }
        _doneCond.broadcast();
    }

    ActionFigures actionFigures() { return _actions.figures(); }

    // ---- events

    void publish(std::vector<Event> events) {
        for (Event& e : events) {
            _events.publish(std::move(e));
        }
    }

    EventBatch eventsAfter(uint64_t after, double waitSeconds, size_t maxEvents) {
        return _events.after(after, waitSeconds, maxEvents);
    }

    bool waitForEventReaders(size_t n, double realSeconds) { return _events.waitForReaders(n, realSeconds); }

    // ---- opening and closing

    // Makes the request and puts it on the manager's list. The caller keeps the manager registered.
    Status open(TableManager* m, const RequestDetail& detail, const ContextInfo& context,
                const std::shared_ptr<OpenRequest>& o) {
        RequestDetail d = detail;
        ContextInfo c = context;
        o->request = m->CreatePlaxf(&d, &c);
        if (o->request == nullptr) {
            return Status{kFailed, "table <" + std::string(m->TableName()) + "> refused the request"};
        }
        o->handle = registerHandle(o->request.get());
        Access::attach(*o->request, o.get(), o->handle);
        if (m->lock() != 0) {
            releaseHandle(o->handle);
            o->request.reset();
            return Status{kFailed, "the table could not be locked"};
        }
        Access::open(*m).push_back(o->request.get());
        m->unlock();
        vorpane::ScopedLock g(_lock);
        _open.emplace(o->handle, o);
        return Status{};
    }

    void close(const std::shared_ptr<OpenRequest>& o) {
        {
            vorpane::ScopedLock g(_lock);
            if (o->closing) {
                // Another thread closes it (a table's Shutdown and a situation's removal may meet):
                // return only once the request is gone, as the caller expects.
                _doneCond.waitUntil(_lock, -1, [&]() VA_REQUIRES(_lock) { return o->closed; });
                return;
            }
            o->closing = true;
            _doneCond.waitUntil(_lock, -1, [&]() VA_REQUIRES(_lock) { return !o->sampling || (_stopping && _busy == 0); });
            if (o->situation != nullptr && o->situation->open == o) {
                o->situation->open.reset();
            }
            o->situation.reset();  // the situation and its request held each other
        }
        TableManager* m = o->manager;
        if (m->lock() == 0) {
            auto& list = Access::open(*m);
            list.erase(std::remove(list.begin(), list.end(), o->request.get()), list.end());
            m->unlock();
        }
        releaseHandle(o->handle);
        o->request.reset();  // the table class's destructor runs here, with no lock of ours held
        vorpane::ScopedLock g(_lock);
        // Listed until here, so that a table's Shutdown meeting this close waits for its end.
        _open.erase(o->handle);
        o->closed = true;
        _doneCond.broadcast();
    }

    // ---- reports

    Status report(TableManager* m, RemoteManager* hold, const RequestDetail& detail, const ContextInfo& context,
                  const std::vector<ColumnInfo>& columns, double timeoutSeconds, ReportRows* rows) {
        auto o = std::make_shared<OpenRequest>(*this, m, Purpose::Report);
        o->columns = &columns;
        {
            vorpane::ScopedLock g(_lock);
            if (_stopped) {
                hold->Drop();
                return Status{kStopped, "the framework is shutting down"};
            }
            ensureStarted();
        }
        Status opened = open(m, detail, context, o);
        hold->Drop();  // once open, the table's Shutdown ends the request: no need to hold the registry
        if (!opened.ok()) {
            return opened;
        }
        {
            vorpane::ScopedLock g(_lock);
            o->sampling = true;
        }
        // The first sample runs on the caller's thread, which would only wait for a worker to run it:
        // two thread wake-ups fewer on every report. A deferred sample is redriven on a worker.
        runSample(o);
        Status result;
        {
            vorpane::ScopedLock g(_lock);
            bool finished = _doneCond.waitUntil(_lock, timeoutSeconds,
                                                [&]() VA_REQUIRES(_lock) { return o->done || _stopped; });
            if (o->done) {
                result = o->result;
                *rows = std::move(o->rows);
            } else if (_stopped) {
                result = Status{kStopped, "the framework is shutting down"};
            } else if (!finished) {
                char text[160];
                std::snprintf(text, sizeof text, "the report did not complete within %g seconds%s", timeoutSeconds,
                              o->waitingRedrive ? " (deferred and never redriven)" : "");
                result = Status{kTimeout, text};
                VA_ERROR("Error: report on <%s/%s> timed out\n", m->ApplicationName(), m->TableName());
            }
        }
        close(o);
        return result;
    }

    // ---- situations

    Status addSituation(TableManager* m, RemoteManager* hold, SituationPlan plan) {
        {
            vorpane::ScopedLock g(_lock);
            Status refused;
            if (_stopped) {
                refused = Status{kStopped, "the framework is shutting down"};
            }
            for (const auto& [id, s] : _situations) {
                if (s->plan.def.name == plan.def.name) {
                    refused = Status{kExists, "situation <" + plan.def.name + "> exists"};
                }
            }
            if (_reserved.count(plan.def.name) != 0) {
                refused = Status{kExists, "situation <" + plan.def.name + "> exists"};
            }
            if (!refused.ok()) {
                hold->Drop();
                return refused;
            }
            _reserved.insert(plan.def.name);
            ensureStarted();
        }
        auto s = std::make_shared<SituationRec>();
        s->plan = std::move(plan);
        s->manager = m;
        s->started = vorpane::clock::nowSeconds();
        for (const std::string& node : s->plan.detail.subnodes) {
            SituationState st;
            st.subnode = node;
            st.since = s->started;
            if (s->plan.atomicColumn < 0) {
                s->states.emplace(std::make_pair(node, std::string()), st);
            }
        }
        auto o = std::make_shared<OpenRequest>(*this, m, Purpose::Situation);
        o->situation = s;
        Status st = open(m, s->plan.detail, ContextInfo{}, o);
        hold->Drop();
        vorpane::ScopedLock g(_lock);
        _reserved.erase(s->plan.def.name);
        if (!st.ok()) {
            return st;
        }
        s->id = ++_situationIds;
        s->open = o;
        _situations.emplace(s->id, s);
        if (!s->plan.def.event) {
            schedule(TimelineEntry{vorpane::clock::now(), 0, s->id, {}, 0});
        }
        VA_STATE("Situation <%s> started on <%s/%s> %s every %d seconds\n", s->plan.def.name.c_str(),
                 m->ApplicationName(), m->TableName(), s->plan.def.event ? "(event)" : "sampled",
                 s->plan.def.intervalSeconds);
        return Status{};
    }

    Status removeSituation(std::string_view name) {
        std::shared_ptr<SituationRec> s;
        {
            vorpane::ScopedLock g(_lock);
            for (auto it = _situations.begin(); it != _situations.end(); ++it) {
                if (it->second->plan.def.name == name) {
                    s = it->second;
                    _situations.erase(it);
                    break;
                }
            }
        }
        if (s == nullptr) {
            return Status{kNotFound, "no situation <" + std::string(name) + ">"};
        }
        std::shared_ptr<OpenRequest> o;
        {
            vorpane::ScopedLock g(_lock);
            o = std::move(s->open);
        }
        if (o != nullptr) {
            close(o);
        }
        VA_STATE("Situation <%s> stopped\n", s->plan.def.name.c_str());
        return Status{};
    }

    std::vector<SituationDef> list() {
        vorpane::ScopedLock g(_lock);
        std::vector<SituationDef> out;
        for (const auto& [id, s] : _situations) {
            out.push_back(s->plan.def);
        }
        return out;
    }

    Status status(std::string_view name, SituationStatus* out) {
        vorpane::ScopedLock g(_lock);
        return statusLocked(name, out);
    }

    size_t openCount() {
        vorpane::ScopedLock g(_lock);
        return _open.size();
    }

    bool waitFor(std::string_view name, const std::function<bool(const SituationStatus&)>& pred, double realSeconds) {
        vorpane::ScopedLock g(_lock);
        return _doneCond.waitUntil(_lock, realSeconds * vorpane::clock::speedup(), [&]() VA_REQUIRES(_lock) {
            SituationStatus st;
            return statusLocked(name, &st).ok() && pred(st);
        });
    }

    Status statusLocked(std::string_view name, SituationStatus* out) VA_REQUIRES(_lock) {
        for (const auto& [id, s] : _situations) {
            if (s->plan.def.name == name) {
                out->def = s->plan.def;
                out->started = s->started;
                out->lastSample = s->lastSample;
                out->samples = s->samples;
                out->states.clear();
                for (const auto& [key, st] : s->states) {
                    out->states.push_back(st);
                }
                return Status{};
            }
        }
        return Status{kNotFound, "no situation <" + std::string(name) + ">"};
    }

    void closeAllOf(TableManager* m) {
        std::vector<std::shared_ptr<OpenRequest>> toClose;
        {
            vorpane::ScopedLock g(_lock);
            _answerBytes.erase(m);
            for (auto it = _situations.begin(); it != _situations.end();) {
                if (it->second->manager == m) {
                    VA_ERROR("Warning: situation <%s> ends with its table <%s/%s>\n", it->second->plan.def.name.c_str(),
                             m->ApplicationName(), m->TableName());
                    it = _situations.erase(it);
                } else {
                    ++it;
                }
            }
            for (const auto& [h, o] : _open) {
                if (o->manager == m) {
                    toClose.push_back(o);
                }
            }
        }
        for (auto& o : toClose) {
            {
                vorpane::ScopedLock g(_lock);
                if (o->purpose == Purpose::Report && !o->done) {
                    o->done = true;
                    o->result = Status{kFailed, "the table was shut down"};
                    _doneCond.broadcast();
                }
            }
            close(o);
        }
    }

    // Situations that follow the subnodes of their application reopen their request when that set
    // changed. Runs on the pool.
    void refreshSubnodes() {
        std::vector<std::shared_ptr<SituationRec>> all;
        {
            vorpane::ScopedLock g(_lock);
            for (const auto& [id, s] : _situations) {
                if (s->plan.autoSubnodes) {
                    all.push_back(s);
                }
            }
        }
        for (auto& s : all) {
            std::vector<std::string> nodes = subnodesOfApplication(s->plan.def.applName);
            RequestDetail detail;
            {
                vorpane::ScopedLock g(_lock);
                if (nodes == s->plan.detail.subnodes || _situations.count(s->id) == 0) {
                    continue;
                }
                s->plan.detail.subnodes = nodes;
                detail = s->plan.detail;
            }
            // The manager stays registered while a situation on it is listed: its Shutdown ends them first.
            RemoteManager* rm = RemoteManager::GetManager();
            bool stillThere = rm->FindTableManager(s->plan.def.applName.c_str(), s->plan.def.tableName.c_str()) == s->manager;
            std::shared_ptr<OpenRequest> o;
            if (stillThere) {
                o = std::make_shared<OpenRequest>(*this, s->manager, Purpose::Situation);
                o->situation = s;
                if (Status st = open(s->manager, detail, ContextInfo{}, o); !st.ok()) {
                    VA_ERROR("Error: situation <%s> could not reopen: %s\n", s->plan.def.name.c_str(), st.message.c_str());
                    o.reset();
                }
            }
            // The new request is opened before the old one closes and takes over under the table's lock,
            // which every event push holds: each event row is evaluated by the old request or by the new
            // one, never by both and never by neither.
            std::shared_ptr<OpenRequest> old;
            bool gone = false;
            auto handOver = [&] {
                vorpane::ScopedLock g(_lock);
                gone = _situations.count(s->id) == 0;
                if (!gone) {
                    old = std::exchange(s->open, o);
                    for (const std::string& node : nodes) {
                        if (s->plan.atomicColumn < 0) {
                            s->states.try_emplace(std::make_pair(node, std::string()),
                                                  SituationState{node, "", false, vorpane::clock::nowSeconds(), 0, 0});
                        }
                    }
                }
            };
            if (stillThere && s->manager->lock() == 0) {
                handOver();
                s->manager->unlock();
            } else {
                handOver();
            }
            rm->Drop();
            if (old != nullptr) {
                close(old);
            }
            if (gone && o != nullptr) {
                close(o);  // removed while it reopened
                continue;
            }
            VA_STATE("Situation <%s> follows %zu subnodes\n", s->plan.def.name.c_str(), nodes.size());
        }
    }

    // Registrations come in bursts at start-up: one refresh runs at a time and runs again when asked
    // meanwhile, so the pool is never filled with refreshes waiting for samples queued behind them.
    void subnodesChanged() {
        vorpane::ScopedLock g(_lock);
        if (!_started || _stopped) {
            return;
        }
        bool any = false;
        for (const auto& [id, s] : _situations) {
            any = any || s->plan.autoSubnodes;
        }
        if (!any) {
            return;
        }
        _refreshWanted = true;
        if (!_refreshRunning) {
            _refreshRunning = true;
            submit([this] {
                vorpane::ScopedLock r(_lock);
                while (_refreshWanted && !_stopping) {
                    _refreshWanted = false;
                    _lock.unlock();
                    refreshSubnodes();
                    _lock.lock();
                }
                _refreshRunning = false;
            });
        }
    }

    void reset() {
        std::vector<std::string> names;
        {
            vorpane::ScopedLock g(_lock);
            for (const auto& [id, s] : _situations) {
                names.push_back(s->plan.def.name);
            }
        }
        for (const std::string& n : names) {
            removeSituation(n);
        }
        join();
        _actions.reset();
        _events.reset();
        vorpane::ScopedLock g(_lock);
        _stopped = false;
        _stopping = false;
        _refreshWanted = false;
        _refreshRunning = false;
        _answerBytes.clear();
    }

    // Friends of OpenRequest's callbacks.
    vorpane::CondVar _doneCond;

private:
    vorpane::CondVar _timelineCond, _jobsCond;
    bool _started VA_GUARDED_BY(_lock) = false;
    bool _stopped VA_GUARDED_BY(_lock) = false;  // AXF_Shutdown: no new work
    bool _stopping VA_GUARDED_BY(_lock) = false;  // the threads end
    uint64_t _generation VA_GUARDED_BY(_lock) = 0;  // of the threads started now
    std::vector<pthread_t> _threads VA_GUARDED_BY(_lock);
    int _busy VA_GUARDED_BY(_lock) = 0;  // workers running a job
    bool _refreshWanted VA_GUARDED_BY(_lock) = false;
    bool _refreshRunning VA_GUARDED_BY(_lock) = false;
    std::deque<std::function<void()>> _jobs VA_GUARDED_BY(_lock);
    std::priority_queue<TimelineEntry, std::vector<TimelineEntry>, std::greater<TimelineEntry>> _timeline
        VA_GUARDED_BY(_lock);
    uint64_t _order VA_GUARDED_BY(_lock) = 0;
    std::map<unsigned long, std::shared_ptr<OpenRequest>> _open VA_GUARDED_BY(_lock);
    std::map<uint64_t, std::shared_ptr<SituationRec>> _situations VA_GUARDED_BY(_lock);
    std::set<std::string> _reserved VA_GUARDED_BY(_lock);  // names of situations being added
    uint64_t _situationIds VA_GUARDED_BY(_lock) = 0;
    EventLog _events;
    ActionRunner _actions;
    // Bytes of each table's last report: the next report of the table allocates its answer once.
    std::unordered_map<TableManager*, size_t> _answerBytes VA_GUARDED_BY(_lock);

    friend class OpenRequest;
};

Engine& engine() {
    static Engine* e = new Engine();  // framework threads may still run during exit
    return *e;
}

// ---- OpenRequest callbacks (from the table class's threads)

int OpenRequest::dispatched(plaxf& /*request*/) {
    // Event pushes reach every open request of a table; only event situations take them (the
    // manager's lock is held by the pusher, as the sample's reader expects).
    if (purpose != Purpose::Situation) {
        return 0;
    }
    {
        vorpane::ScopedLock g(_engine._lock);
        // While a situation moves to a new request, only the one it holds now evaluates rows.
        if (situation == nullptr || !situation->plan.def.event || closing || situation->open.get() != this) {
            return 0;
        }
    }
    std::vector<TakeAction> actions;
    std::vector<Event> events;
    _engine.evaluateSituation(*this, false, &actions, &events);
    _engine.publish(std::move(events));
    _engine.submitActions(std::move(actions));
    return 0;
}

void OpenRequest::deferRequested(plaxf& /*request*/) {
    vorpane::ScopedLock g(_engine._lock);
    deferFlag = true;
}

void OpenRequest::redriveRequested(plaxf& /*request*/) {
    vorpane::ScopedLock g(_engine._lock);
    if (closing || _engine.stopped()) {
        return;
    }
    if (sampling) {
        redrivePending = true;  // TakeSample still runs: sample again when it returns deferred
        return;
    }
    if (!waitingRedrive) {
        VA_DETAIL("Redrive of handle %lu that is not deferred\n", handle);
        return;
    }
    waitingRedrive = false;
    // The rows of the next TakeSample complete the deferred sample.
    _engine.startSample(shared_from_this());
}

bool OpenRequest::isDeferred(const plaxf& /*request*/) const {
    vorpane::ScopedLock g(_engine._lock);
    return waitingRedrive || deferFlag;
}

void OpenRequest::commandCompleted(plaxf& /*request*/, PlaxfAutomationCapsule* capsule) {
    VA_DETAIL("Command <%.64s> completed on handle %lu with %ld\n", capsule->Command(), handle, capsule->Results());
}

}  // namespace

// ---------------------------------------------------------------------------------------------------

ColumnDesc describeColumn(const ColumnInfo& info) {
    ColumnDesc d;
    d.name = info.name.str();
    for (char& c : d.name) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    d.attrName = info.attrName;
    d.caption = info.caption;
    d.attrType = info.attrType;
    d.type = info.type;
    d.valueType = (info.type == AXF_COLUMN_INT32 || info.type == AXF_COLUMN_INT16) ? ValueType::Integer : ValueType::Text;
    d.offset = info.offset;
    d.length = info.length;
    d.key = info.key;
    d.scale = info.scale;
    d.unit = info.unit;
    d.help = info.help;
    return d;
}

std::vector<Value> decodeRow(const std::vector<ColumnInfo>& columns, const char* row, int rowSize) {
    std::vector<Value> out;
    out.reserve(columns.size());
    for (const ColumnInfo& c : columns) {
        const ReportRows::Field f{c.offset, c.length, c.type};
        if (isIntegerField(f)) {
            out.emplace_back(fieldInteger(f, row, rowSize));
        } else {
            out.emplace_back(std::string(fieldTextView(f, row, rowSize)));
        }
    }
    return out;
}

std::vector<ReportRows::Field> reportFields(const std::vector<ColumnInfo>& columns) {
    std::vector<ReportRows::Field> out;
    out.reserve(columns.size());
    for (const ColumnInfo& c : columns) {
        out.push_back(ReportRows::Field{c.offset, c.length, c.type});
    }
    return out;
}

bool probeColumns(TableManager* manager, std::vector<ColumnInfo>* columns) {
    RequestDetail d;
    d.applName = manager->ApplicationName();
    d.tableName = manager->TableName();
    d.sampleType = IntfSampleType_demand;
    ContextInfo c;
    std::unique_ptr<plaxf> probe = manager->CreatePlaxf(&d, &c);
    if (probe == nullptr) {
        return false;
    }
    columns->clear();
    int n = probe->NumColumns();
    for (int i = 0; i < n; ++i) {
        ColumnInfo info;
        if (probe->GetColumnInfo(&info, i) == 0) {
            columns->push_back(std::move(info));
        }
    }
    return true;
}

Status runReportOn(TableManager* manager, RemoteManager* hold, const RequestDetail& detail, const ContextInfo& context,
                   const std::vector<ColumnInfo>& columns, double timeoutSeconds, ReportRows* rows) {
    return engine().report(manager, hold, detail, context, columns, timeoutSeconds, rows);
}

Status startSituation(TableManager* manager, RemoteManager* hold, SituationPlan plan) {
    return engine().addSituation(manager, hold, std::move(plan));
}
Status stopSituation(std::string_view name) { return engine().removeSituation(name); }
std::vector<SituationDef> situations() { return engine().list(); }
Status statusOfSituation(std::string_view name, SituationStatus* out) { return engine().status(name, out); }
EventBatch eventsAfter(uint64_t afterSeq, double waitSeconds, size_t maxEvents) {
    return engine().eventsAfter(afterSeq, waitSeconds, maxEvents);
}
bool waitForSituation(std::string_view name, const std::function<bool(const SituationStatus&)>& pred,
                      double realSeconds) {
    return engine().waitFor(name, pred, realSeconds);
}
size_t openRequestCount() { return engine().openCount(); }
void closeRequestsOf(TableManager* manager) { engine().closeAllOf(manager); }
void subnodesChanged() { engine().subnodesChanged(); }
void stopEngine() { engine().stop(); }
void resetEngine() { engine().reset(); }

ActionFigures takeActionFigures() { return engine().actionFigures(); }
bool waitForEventReaders(size_t n, double realSeconds) { return engine().waitForEventReaders(n, realSeconds); }

}  // namespace axf::detail

// vorpane-dp: a data provider on the command line. One run keeps one hub connection: it registers
// the application of a description file, brings sources online, sends rows from the arguments and
// standard input, optionally runs a handler for each action the hub forwards, and at the end takes
// the sources offline. docs/vorpane-dp.md describes the options, formats and exit codes.
//
// Threads: the main thread does everything but actions; with --handler one more thread waits for
// actions and runs the handler. SIGINT, SIGTERM and SIGHUP are blocked in both and read by the main
// thread through a signalfd, so a signal ends the run in order (offline, unregister) instead of
// killing it half-way.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "interfaces/dch_client.h"
#include "interfaces/support.h"
#include "interfaces/sync.h"
#include "interfaces/trace.h"
#include "providers/app_description.h"

extern char** environ;

namespace vorpane::dp {
namespace {

enum ExitCode : int {
    kOk = 0,
    kUsage = 1,
    kBadDescription = 2,
    kNoHub = 3,
    kRefused = 4,
    kConnection = 5,
    kBadRow = 6,
};

constexpr size_t kMaxLine = 1024 * 1024;
constexpr size_t kMaxActionResult = 256;  // what the hub keeps of a result text
constexpr size_t kMaxReportOutput = kMaxLine;  // the rows a report handler may print
constexpr int16_t kReportActionType = 5;

// What --help and a refused command line show after the options.
const char* const kRowSyntax = "A ROW is: GROUP[@SOURCE][:CONTROL] name=value name=\"value with blanks\" ...";

struct Settings {
    std::string file;
    std::vector<std::string> sources;
    std::vector<std::string> groups;
    std::vector<std::string> rows;
    bool readStdin = false;
    std::string handler;
    std::vector<int16_t> actionTypes;
    bool demandReport = false;
    bool wait = false;
    bool offline = false;
    bool unregister = false;
    bool quiet = false;
    bool keepGoing = false;
    HubOptions hub = HubOptions::fromEnvironment();
};

void complain(const char* format, ...) __attribute__((format(printf, 1, 2)));
void complain(const char* format, ...) {
    std::fputs("vorpane-dp: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

bool parseActionTypes(const std::string& list, std::vector<int16_t>* types) {
    std::stringstream in(list);
    std::string item;
    while (std::getline(in, item, ',')) {
        char* end = nullptr;
        long t = std::strtol(item.c_str(), &end, 10);
        if (item.empty() || *end != '\0' || t < 1 || t > 5) {
            return false;
        }
        types->push_back(static_cast<int16_t>(t));
    }
    return !types->empty();
}

bool parseHub(const std::string& text, HubOptions* hub) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return false;
    }
    char* end = nullptr;
    long port = std::strtol(text.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || port < 1 || port > 65535) {
        return false;
    }
    hub->address = text.substr(0, colon);
    hub->port = static_cast<int>(port);
    return true;
}

// Returns kOk, or the exit code of a refused command line (after saying why). --help prints the
// options and ends the program.
int parseArguments(int argc, char** argv, Settings* s) {
    CLI::App app{"vorpane-dp: a data provider on the command line: registers the application of a "
                 "description file, brings sources online, sends rows, runs a handler for actions",
                 "vorpane-dp"};
    app.footer(kRowSyntax);
    // An option given twice takes its last value, as scripts that add to a command line expect.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    // Each occurrence of a repeatable option takes one value: a word after it is an argument, not a
    // second value.
    auto repeatable = [&app](const char* names, std::vector<std::string>* values, const char* type,
                             const char* help) {
        app.add_option(names, *values, help)->allow_extra_args(false)->take_all()->type_name(type);
    };
    std::string actionTypes, hub, timeout;
    app.add_option("-f,--file", s->file, "The description file (required)")->type_name("FILE");
    repeatable("-o,--online", &s->sources, "SOURCE",
               "Bring every group (or those of --group) online for this source; repeatable. '' lets the hub "
               "name the source");
    repeatable("-g,--group", &s->groups, "GROUP", "Bring only these groups online; repeatable");
    repeatable("-r,--row", &s->rows, "ROW", "Send a row; repeatable, in order");
    app.add_flag("-s,--stdin", s->readStdin, "Then read rows from standard input, one per line");
    app.add_flag("-k,--keep-going", s->keepGoing,
                 "With --stdin: report a refused line and go on with the next; the count comes at the end");
    app.add_option("--handler", s->handler, "Wait for actions for every online source; run COMMAND for each")
        ->type_name("COMMAND");
    app.add_option("--action-types", actionTypes, "The action types to wait for, comma-separated, 1 to 5")
        ->type_name("LIST")
        ->default_str("1");
    app.add_flag("--demand-report", s->demandReport,
                 "Turn demand reporting on and answer report requests with the rows the handler prints");
    app.add_flag("-w,--wait", s->wait, "After the rows, stay connected until a signal or until the hub goes");
    app.add_flag("--offline", s->offline, "At the end, take every source of this run offline");
    app.add_flag("--unregister", s->unregister, "At the end, unregister the application");
    app.add_option("--hub", hub, "The hub (default: ZOTA_DCH_ADDR and ZOTA_DCH_PORT)")
        ->type_name("HOST:PORT");
    app.add_option("--timeout", timeout, "Seconds to wait for each answer (default 60)")
        ->type_name("SECONDS");
    app.add_flag("-q,--quiet", s->quiet, "Print only refusals and errors");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        std::exit(kOk);
    } catch (const CLI::ParseError& e) {
        complain("%s", e.what());
        std::fprintf(stderr, "Run vorpane-dp --help for the options.\n");
        return kUsage;
    }
    if (app.count("--action-types") > 0 && !parseActionTypes(actionTypes, &s->actionTypes)) {
        complain("--action-types \"%s\" is not a list of action types 1 to 5", actionTypes.c_str());
        return kUsage;
    }
    if (app.count("--hub") > 0 && !parseHub(hub, &s->hub)) {
        complain("--hub \"%s\" is not HOST:PORT", hub.c_str());
        return kUsage;
    }
    if (app.count("--timeout") > 0) {
        char* end = nullptr;
        double t = std::strtod(timeout.c_str(), &end);
        if (timeout.empty() || *end != '\0' || !(t > 0)) {
            complain("--timeout \"%s\" is not a number of seconds", timeout.c_str());
            return kUsage;
        }
        s->hub.replyTimeout = t;
    }
    if (s->file.empty()) {
        complain("--file is required");
        std::fprintf(stderr, "Run vorpane-dp --help for the options.\n");
        return kUsage;
    }
    if (s->keepGoing && !s->readStdin) {
        complain("--keep-going is about the lines of standard input: give --stdin");
        return kUsage;
    }
    if (s->sources.empty() && (!s->rows.empty() || s->readStdin || !s->handler.empty() || s->offline)) {
        complain("rows, --stdin, --handler and --offline need a source: give --online SOURCE");
        return kUsage;
    }
    if (s->actionTypes.empty()) {
        s->actionTypes.push_back(1);
    }
    if (s->demandReport && s->sources.empty()) {
        complain("--demand-report needs a source: give --online SOURCE");
        return kUsage;
    }
    if (s->demandReport && s->handler.empty()) {
        complain("--demand-report needs a --handler that prints the fresh rows");
        return kUsage;
    }
    if (s->demandReport &&
        std::find(s->actionTypes.begin(), s->actionTypes.end(), kReportActionType) == s->actionTypes.end()) {
        s->actionTypes.push_back(kReportActionType);  // the report requests are what it answers
    }
    return kOk;
}

// Parses a row and formats its values against the description; false with a reason.
bool checkRow(const std::string& text, const AppDescription& d, const std::string& file, RowSpec* parsedRow,
              const GroupDesc** group, DProw* row, std::string* reason) {
    if (!parseRow(text, parsedRow, reason)) {
        return false;
    }
    *group = d.group(parsedRow->group);
    if (*group == nullptr) {
        *reason = "group " + parsedRow->group + " is not in " + file;
        return false;
    }
    return formatRow(*parsedRow, **group, row, reason);
}

// The action status the hub records for a handler's end: 0 for exit 0, minus the exit code for
// others (the hub shows "EXECUTED - RETURN STATUS n"), 2 (EXEC_ERROR) when it could not run.
// With `whole` set the output is kept as printed (up to kMaxReportOutput bytes): the rows of a report.
int runHandler(const std::string& command, const DPactionRequest& a, std::string* output, bool whole = false) {
    constexpr int kExecError = 2;
    const size_t keep = whole ? kMaxReportOutput : kMaxActionResult;
    output->clear();
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        *output = "cannot start the handler";
        return kExecError;
    }
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "VORPANE_ACTION_", 15) != 0) {
            env.emplace_back(*e);
        }
    }
    env.push_back("VORPANE_ACTION_TYPE=" + std::to_string(a.actionType));
    env.push_back("VORPANE_ACTION_OWNER=" + a.owner);
    env.push_back("VORPANE_ACTION_NODE=" + a.node);
    env.push_back("VORPANE_ACTION_NAME=" + a.name);
    env.push_back("VORPANE_ACTION_ID=" + std::to_string(a.actionID));
    env.push_back("VORPANE_ACTION_PARMS=" + a.parms);
    std::vector<char*> envp;
    for (std::string& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    std::string shell = "/bin/sh";
    std::string dashC = "-c";
    std::string cmd = command;
    char* argv[] = {shell.data(), dashC.data(), cmd.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);  // the handler gets the signals this program blocks
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, shell.c_str(), &actions, &attr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        *output = std::string("cannot start the handler: ") + std::strerror(rc);
        return kExecError;
    }
    char chunk[4096];
    for (;;) {
        ssize_t n = ::read(fds[0], chunk, sizeof chunk);
        if (n > 0) {
            output->append(chunk, std::min(static_cast<size_t>(n), keep - std::min(keep, output->size())));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (whole) {
        return WIFEXITED(status) ? -WEXITSTATUS(status) : kExecError;
    }
    while (!output->empty() && std::isspace(static_cast<unsigned char>(output->back()))) {
        output->pop_back();
    }
    for (char& ch : *output) {
        if (ch == '\n' || ch == '\r') {
            ch = ' ';
        }
    }
    if (WIFEXITED(status)) {
        return -WEXITSTATUS(status);
    }
    return kExecError;
}

class Run {
  public:
    Run(const Settings& settings, AppDescription description, int signalFd)
        : _s(settings), _d(std::move(description)), _provider(settings.hub), _signalFd(signalFd) {}

    int execute();

  private:
    struct Source {
        std::string group;
        std::string source;  // empty: named by the hub
        int handle = 0;
    };

    int registerApplication();
    int bringOnline();
    int setDemandReporting();
    // A report request (action type 5): the handler's output lines are sent as rows, then the
    // request is redriven. A handler that fails answers nothing: the agent's request expires.
    void answerReport(const DPactionRequest& a);
    int waitForActions();
    // Checks, formats and sends one row; kBadRow (with the reason printed) when it cannot be sent.
    int sendRow(const std::string& text, const std::string& where);
    int readStandardInput();
    void waitForSignal();
    int finish(int code);

    void actionLoop();
    // Prints the hub's answer and turns a failure into the exit code.
    int answered(const std::string& what, int16_t code, int rc, int status, int handle = -1);
    bool interrupted();

    const Settings& _s;
    const AppDescription _d;
    HubProvider _provider;
    std::vector<Source> _online;
    int _signalFd;
    int _actionEndFd = -1;
    pthread_t _actionThread{};
    bool _actionThreadStarted = false;
    int _actionResult = kOk;  // written by the action thread, read after joining it
    bool _interrupted = false;
    int _badLines = 0;  // lines of standard input refused under --keep-going
    Mutex _outputLock;  // keeps the lines of the two threads whole
};

int Run::answered(const std::string& what, int16_t code, int rc, int status, int handle) {
    if (rc == DCH_CLIENT_OK || rc == DCH_CLIENT_REFUSED) {
        if (rc == DCH_CLIENT_OK && _s.quiet) {
            return kOk;
        }
        ScopedLock g(_outputLock);
        std::FILE* out = rc == DCH_CLIENT_OK ? stdout : stderr;
        std::fprintf(out, "%s%s %s: status %d (%s)",
                     rc == DCH_CLIENT_OK ? "" : "vorpane-dp: refused: ", DCH_requestName(code), what.c_str(),
                     status, DCH_statusText(code, status));
        if (handle >= 0 && rc == DCH_CLIENT_OK) {
            std::fprintf(out, ", handle %d", handle);
        }
        std::fputc('\n', out);
        std::fflush(out);
        return rc == DCH_CLIENT_OK ? kOk : kRefused;
    }
    if (rc == DCH_CLIENT_BAD_ARGUMENT) {
        complain("%s %s: %s", DCH_requestName(code), what.c_str(), DCH_clientResultText(rc));
        return kUsage;
    }
    if (rc == DCH_CLIENT_NO_HUB) {
        complain("hub not reachable at %s:%d", _s.hub.address.c_str(), _s.hub.port);
        return kNoHub;
    }
    complain("%s %s: %s", DCH_requestName(code), what.c_str(), DCH_clientResultText(rc));
    return kConnection;
}

bool Run::interrupted() {
    pollfd p{_signalFd, POLLIN, 0};
    if (!_interrupted && ::poll(&p, 1, 0) > 0) {
        signalfd_siginfo info;
        if (::read(_signalFd, &info, sizeof info) > 0) {
            _interrupted = true;
        }
    }
    return _interrupted;
}

int Run::registerApplication() {
    int status = 0;
    std::string holder;
    int rc = _provider.dp_register(&status, _d.registration(), &holder);
    // Status 1: the application was registered before; the hub accepts the registration.
    if (rc == DCH_CLIENT_REFUSED && status == DCH_STATUS_DUPLICATE) {
        rc = DCH_CLIENT_OK;
    }
    if (rc == DCH_CLIENT_REFUSED && status == DCH_STATUS_KEY_HELD) {
        complain(
            "refused: dp_register %s: status %d: its key %.3s (the first three letters of the name) is held "
            "by application %s; an application needs a key of its own",
            _d.name.c_str(), status, _d.name.c_str(), holder.c_str());
        return kRefused;
    }
    return answered(_d.name, DCH_dp_register, rc, status);
}

int Run::bringOnline() {
    for (const GroupDesc& g : _d.groups) {
        bool selected = _s.groups.empty();
        for (const std::string& name : _s.groups) {
            selected = selected || g.name == name;
        }
        if (!selected) {
            continue;
        }
        for (const std::string& source : _s.sources) {
            int status = 0;
            int handle = 0;
            int rc = _provider.dp_online(&status, &handle, _d.name.c_str(), g.name.c_str(),
                                         source.empty() ? nullptr : source.c_str());
            int code = answered(
                _d.name + " " + g.name + " " + (source.empty() ? "(source named by the hub)" : source),
                DCH_dp_online, rc, status, handle);
            if (code != kOk) {
                return code;
            }
            _online.push_back({g.name, source, handle});
        }
    }
    return kOk;
}

int Run::setDemandReporting() {
    for (const Source& s : _s.demandReport ? _online : std::vector<Source>()) {
        int status = 0;
        DPdemandReportResults results;
        int rc = _provider.dp_setDemandReportOption(&status, &results, true, _d.name.c_str(), s.group.c_str(),
                                                     s.source.empty() ? nullptr : s.source.c_str());
        int code = answered(s.group + "@" + (s.source.empty() ? "-" : s.source) + " on", DCH_dp_setDemandReportOption,
                            rc, status);
        if (code != kOk) {
            return code;
        }
    }
    return kOk;
}

void Run::answerReport(const DPactionRequest& a) {
    // The group is named by "ATTRGROUP=<group>" in the parameters, the source by the node's first part.
    std::string group;
    if (size_t at = a.parms.find("ATTRGROUP="); at != std::string::npos) {
        at += std::strlen("ATTRGROUP=");
        group = a.parms.substr(at, a.parms.find(' ', at) - at);
    }
    const std::string source = a.node.substr(0, a.node.find(':'));
    const Source* target = nullptr;
    for (const Source& s : _online) {
        if (s.group == group && s.source == source) {
            target = &s;
        }
    }
    const std::string what = "action " + std::to_string(a.actionID) + " " + a.name + " on " + a.node;
    if (target == nullptr) {
        complain("%s: group <%s> of source <%s> is not online in this run", what.c_str(), group.c_str(),
                 source.c_str());
        return;
    }
    std::string rows;
    const int handlerStatus = runHandler(_s.handler, a, &rows, true);
    if (handlerStatus != 0) {
        complain("%s: handler status %d, the request is not answered", what.c_str(), handlerStatus);
        return;
    }
    std::istringstream lines(rows);
    int lineNo = 0;
    int sent = 0;
    for (std::string line; std::getline(lines, line);) {
        ++lineNo;
        if (line.find_first_not_of(" \t\r") == std::string::npos) {
            continue;
        }
        ++sent;
        if (sendRow(line, "handler:" + std::to_string(lineNo)) != kOk) {
            complain("%s: the request is not answered", what.c_str());
            return;
        }
    }
    int status = 0;
    int rc = _provider.dp_redriveReportRequest(&status, target->handle, a.actionID);
    answered(what + " (" + std::to_string(sent) + " rows)", DCH_dp_redriveReportRequest, rc, status);
}

void Run::actionLoop() {
    for (;;) {
        DPactionRequest a;
        int rc = _provider.nextAction(&a, -1);
        if (rc == DCH_CLIENT_CANCELLED) {
            break;
        }
        if (rc == DCH_CLIENT_PROTOCOL) {
            continue;  // one malformed action; the connection is still good
        }
        if (rc != DCH_CLIENT_OK) {
            _actionResult = answered("(waiting for actions)", DCH_dp_waitForAction, rc, rc);
            break;
        }
        if (_s.handler.empty()) {
            continue;  // no action was asked for
        }
        if (a.actionType == kReportActionType) {
            answerReport(a);
            continue;
        }
        std::string result;
        int actionStatus = runHandler(_s.handler, a, &result);
        int status = 0;
        rc = _provider.dp_provideActionResults(&status, a.actionID, actionStatus, result);
        int code = answered("action " + std::to_string(a.actionID) + " " + a.name + " on " + a.node +
                                " (handler status " + std::to_string(actionStatus) + ")",
                            DCH_dp_provideActionResults, rc, status);
        if (code != kOk && code != kRefused) {
            _actionResult = code;
            break;
        }
    }
    uint64_t one = 1;
    if (::write(_actionEndFd, &one, sizeof one) < 0) {
        complain("cannot signal the end of the action thread: %s", std::strerror(errno));
    }
}

int Run::waitForActions() {
    for (const std::string& source : _s.handler.empty() ? std::vector<std::string>() : _s.sources) {
        for (int16_t type : _s.actionTypes) {
            int status = 0;
            int rc = _provider.dp_waitForAction(&status, type, source.c_str());
            int code = answered(source + " type " + std::to_string(type), DCH_dp_waitForAction, rc, status);
            if (code != kOk) {
                return code;
            }
        }
    }
    _actionEndFd = ::eventfd(0, EFD_CLOEXEC);
    if (_actionEndFd < 0 ||
        ZOT0_CreateThread([this] { actionLoop(); }, 0, &_actionThread, "dp-actions") != 0) {
        complain("cannot start the action thread");
        return kConnection;
    }
    _actionThreadStarted = true;
    return kOk;
}

int Run::sendRow(const std::string& text, const std::string& where) {
    RowSpec parsedRow;
    const GroupDesc* group = nullptr;
    DProw row;
    std::string reason;
    const Source* target = nullptr;
    if (checkRow(text, _d, _s.file, &parsedRow, &group, &row, &reason)) {
        int matches = 0;
        for (const Source& s : _online) {
            if (s.group == parsedRow.group && (parsedRow.source.empty() || s.source == parsedRow.source)) {
                target = &s;
                ++matches;
            }
        }
        if (matches == 0) {
            reason = "group " + parsedRow.group + (parsedRow.source.empty() ? "" : " of source " + parsedRow.source) +
                     " is not online in this run";
        } else if (matches > 1) {
            reason =
                "several sources of " + parsedRow.group + " are online: name one as " + parsedRow.group + "@SOURCE";
        }
    }
    if (!reason.empty()) {
        complain("%s: %s", where.c_str(), reason.c_str());
        return kBadRow;
    }
    int status = 0;
    int rc = _provider.dp_data(&status, target->handle, parsedRow.controlField, row);
    return answered(
        target->group + "@" + (target->source.empty() ? "-" : target->source) + " (" + where + ")",
        DCH_dp_data, rc, status);
}

int Run::readStandardInput() {
    std::string pending;
    int lineNo = 0;
    int rows = 0;
    int bad = 0;
    bool eof = false;
    bool overlong = false;  // dropping the rest of a line that was too long
    // With --keep-going a refused line is counted and the run goes on; the count is said at the end
    // and decides the exit code.
    auto summary = [&](int code) {
        if (_s.keepGoing && bad > 0) {
            complain("stdin: %d of %d lines refused", bad, rows);
            _badLines = bad;
        } else if (_s.keepGoing && !_s.quiet) {
            ScopedLock g(_outputLock);
            std::printf("stdin: 0 of %d lines refused\n", rows);
            std::fflush(stdout);
        }
        return code;
    };
    while (!eof) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {_signalFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            complain("reading standard input: %s", std::strerror(errno));
            return summary(kBadRow);
        }
        if (interrupted()) {
            return summary(kOk);
        }
        char chunk[65536];
        ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            complain("reading standard input: %s", std::strerror(errno));
            return summary(kBadRow);
        }
        if (n == 0) {
            eof = true;
            if (!pending.empty() || overlong) {
                pending += '\n';
            }
        } else {
            pending.append(chunk, static_cast<size_t>(n));
        }
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            ++lineNo;
            if (overlong) {
                overlong = false;  // the end of a line already refused
                continue;
            }
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            size_t first = line.find_first_not_of(" \t");
            if (first == std::string::npos || line[first] == '#') {
                continue;
            }
            ++rows;
            int code = sendRow(line, "stdin:" + std::to_string(lineNo));
            if (code == kOk) {
                continue;
            }
            if (_s.keepGoing && (code == kBadRow || code == kRefused)) {
                ++bad;
                continue;
            }
            return summary(code);
        }
        if (pending.size() > kMaxLine && !overlong) {
            complain("stdin:%d: line longer than %zu bytes", lineNo + 1, kMaxLine);
            if (!_s.keepGoing) {
                return kBadRow;
            }
            ++rows;
            ++bad;
            overlong = true;
        }
        if (overlong) {
            pending.clear();
        }
    }
    return summary(kOk);
}

void Run::waitForSignal() {
    for (;;) {
        pollfd fds[2] = {{_signalFd, POLLIN, 0}, {_actionEndFd, POLLIN, 0}};
        int n = ::poll(fds, _actionEndFd >= 0 ? 2 : 1, -1);
        if (n < 0 && errno != EINTR) {
            return;
        }
        if (interrupted() || (n > 0 && (fds[1].revents & POLLIN) != 0)) {
            return;
        }
    }
}

int Run::finish(int code) {
    if (_actionThreadStarted) {
        _provider.cancel();
        pthread_join(_actionThread, nullptr);
        if (code == kOk) {
            code = _actionResult;
        }
    }
    if (_actionEndFd >= 0) {
        ::close(_actionEndFd);
    }
    // After a lost connection the hub has already taken the sources offline.
    if (code == kConnection || code == kNoHub) {
        return code;
    }
    for (const Source& s : _s.offline ? _online : std::vector<Source>()) {
        int status = 0;
        int rc = _provider.dp_offline(&status, s.handle);
        int c = answered(s.group + "@" + (s.source.empty() ? "-" : s.source), DCH_dp_offline, rc, status);
        code = code == kOk ? c : code;
    }
    if (_s.unregister) {
        int status = 0;
        int rc = _provider.dp_unregister(&status, _d.name.c_str());
        int c = answered(_d.name, DCH_dp_unregister, rc, status);
        code = code == kOk ? c : code;
    }
    return code;
}

int Run::execute() {
    // Rows given as arguments are checked against the description before anything is sent.
    for (size_t i = 0; i < _s.rows.size(); ++i) {
        RowSpec parsedRow;
        const GroupDesc* group = nullptr;
        DProw row;
        std::string reason;
        if (!checkRow(_s.rows[i], _d, _s.file, &parsedRow, &group, &row, &reason)) {
            complain("--row %zu: %s", i + 1, reason.c_str());
            return kBadRow;
        }
    }
    for (const std::string& name : _s.groups) {
        if (_d.group(name) == nullptr) {
            complain("--group %s: no such group in %s", name.c_str(), _s.file.c_str());
            return kUsage;
        }
    }
    int rc = _provider.connect();
    if (rc != DCH_CLIENT_OK) {
        return answered("", DCH_dp_register, rc, rc);
    }
    int code = registerApplication();
    if (code == kOk) {
        code = bringOnline();
    }
    if (code == kOk) {
        code = setDemandReporting();
    }
    // Also with --wait alone: the thread reading for actions is what notices a hub that goes away.
    if (code == kOk && (_s.wait || !_s.handler.empty())) {
        code = waitForActions();
    }
    for (size_t i = 0; code == kOk && i < _s.rows.size() && !interrupted(); ++i) {
        code = sendRow(_s.rows[i], "--row " + std::to_string(i + 1));
    }
    if (code == kOk && _s.readStdin && !interrupted()) {
        code = readStandardInput();
    }
    if (code == kOk && (_s.wait || !_s.handler.empty()) && !interrupted()) {
        waitForSignal();
    }
    code = finish(code);
    return code == kOk && _badLines > 0 ? kBadRow : code;
}

int main(int argc, char** argv) {
    // Library trace goes to the work directory's log only when asked for; the tool speaks for itself.
    if (std::getenv("VORPANE_TRACE") != nullptr) {
        BSS1_Main(&argc, argv, "vorpane-dp");
    } else {
        trace::setMask(0);
        if (const char* speed = std::getenv("VORPANE_TIME_SPEEDUP"); speed != nullptr && *speed != '\0') {
            clock::setSpeedup(std::atof(speed));
        }
    }
    Settings settings;
    if (int code = parseArguments(argc, argv, &settings); code != kOk) {
        return code;
    }
    std::ifstream in(settings.file, std::ios::binary);
    std::stringstream text;
    if (!in || !(text << in.rdbuf())) {
        complain("%s: cannot be read", settings.file.c_str());
        return kBadDescription;
    }
    AppDescription description;
    ParseError error;
    if (!parseDescription(text.str(), &description, &error)) {
        if (error.line > 0) {
            complain("%s:%d: %s", settings.file.c_str(), error.line, error.reason.c_str());
        } else {
            complain("%s: %s", settings.file.c_str(), error.reason.c_str());
        }
        return kBadDescription;
    }
    // A provider on the client library is an API provider, unless its description says otherwise.
    description.defaultProviderType("APIS");
    // Blocked before any thread starts, so that every thread inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    int signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC);
    if (signalFd < 0) {
        complain("signalfd: %s", std::strerror(errno));
        return kConnection;
    }
    Run run(settings, std::move(description), signalFd);
    int code = run.execute();
    ::close(signalFd);
    return code;
}

}  // namespace
}  // namespace vorpane::dp

int main(int argc, char** argv) {
    return vorpane::dp::main(argc, argv);
}

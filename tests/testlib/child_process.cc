#include "testlib/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <map>

extern char** environ;

namespace vorpane::testing {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                           const std::string& workingDirectory) {
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string kv(*e);
        size_t eq = kv.find('=');
        vars[kv.substr(0, eq)] = kv;
    }
    for (const std::string& kv : env) {
        if (kv.find('=') == std::string::npos) {
            vars.erase(kv);  // a bare key unsets it
        } else {
            vars[kv.substr(0, kv.find('='))] = kv;
        }
    }
    std::vector<std::string> envStrings;
    for (auto& [k, kv] : vars) {
        envStrings.push_back(kv);
    }
    std::vector<char*> envp;
    for (std::string& s : envStrings) {
        envp.push_back(s.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (std::string& s : args) {
        argp.push_back(s.data());
    }
    argp.push_back(nullptr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    if (!workingDirectory.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
    }
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    int rc = posix_spawn(&_pid, argp[0], &actions, &attr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(fds[1]);
    if (rc != 0) {
        _pid = -1;
        close(fds[0]);
        return;
    }
    _pidfd = static_cast<int>(syscall(SYS_pidfd_open, _pid, 0));
    int readFd = fds[0];
    _reader = std::thread([this, readFd] { readLoop(readFd); });
}

ChildProcess::~ChildProcess() {
    if (_pid > 0 && !_exitCode) {
        kill(_pid, SIGKILL);
        waitExit(std::chrono::seconds(10));
    }
    if (_reader.joinable()) {
        _reader.join();
    }
    if (_pidfd >= 0) {
        close(_pidfd);
    }
}

void ChildProcess::readLoop(int fd) {
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        {
            std::lock_guard<std::mutex> g(_lock);
            _output.append(buf, static_cast<size_t>(n));
        }
        _cond.notify_all();
    }
    close(fd);
    {
        std::lock_guard<std::mutex> g(_lock);
        _eof = true;
    }
    _cond.notify_all();
}

bool ChildProcess::waitForOutput(std::string_view text, std::chrono::milliseconds deadline) {
    std::unique_lock<std::mutex> g(_lock);
    return _cond.wait_for(g, deadline, [&] { return _output.find(text) != std::string::npos || _eof; }) &&
           _output.find(text) != std::string::npos;
}

std::string ChildProcess::output() const {
    std::lock_guard<std::mutex> g(_lock);
    return _output;
}

void ChildProcess::signal(int sig) {
    if (_pid > 0 && !_exitCode) {
        kill(_pid, sig);
    }
}

std::optional<int> ChildProcess::waitExit(std::chrono::milliseconds deadline) {
    if (_exitCode || _pid <= 0) {
        return _exitCode;
    }
    if (_pidfd >= 0) {
        struct pollfd p = {_pidfd, POLLIN, 0};
        int r;
        do {
            r = poll(&p, 1, static_cast<int>(deadline.count()));
        } while (r < 0 && errno == EINTR);
        if (r == 0) {
            return std::nullopt;
        }
    }
    int status = 0;
    if (waitpid(_pid, &status, 0) != _pid) {
        return std::nullopt;
    }
    _exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    // The pipe closes with the process; let the reader collect the last output.
    std::unique_lock<std::mutex> g(_lock);
    _cond.wait_for(g, std::chrono::seconds(5), [&] { return _eof; });
    return _exitCode;
}

}  // namespace vorpane::testing

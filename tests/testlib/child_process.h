// A program started for a whole-process test: its standard output and standard error are collected,
// and a test waits for a text or for the exit with a deadline (never with a sleep).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vorpane::testing {

class ChildProcess {
public:
    // env entries "KEY=VALUE" are added to, or replace those of, the test's environment; a bare
    // "KEY" removes it.
    ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                 const std::string& workingDirectory = "");
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return _pid; }
    bool started() const { return _pid > 0; }

    bool waitForOutput(std::string_view text, std::chrono::milliseconds deadline = std::chrono::seconds(30));
    std::string output() const;

    void signal(int sig);
    // The exit code, or 128 + the signal number when a signal ended it; nothing when the deadline passed.
    std::optional<int> waitExit(std::chrono::milliseconds deadline = std::chrono::seconds(30));

private:
    void readLoop(int fd);

    pid_t _pid = -1;
    int _pidfd = -1;
    std::optional<int> _exitCode;
    std::thread _reader;
    mutable std::mutex _lock;
    std::condition_variable _cond;
    std::string _output;
    bool _eof = false;
};

}  // namespace vorpane::testing

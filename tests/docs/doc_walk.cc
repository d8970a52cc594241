#include "docs/doc_walk.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

namespace vorpane::testing {
namespace {

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// How often a background step's output is looked at while the walk waits for it to match.
constexpr std::chrono::milliseconds kOutputPoll{100};
// How long a retried step waits before it asks again.
constexpr std::chrono::milliseconds kRetryPace{250};

}  // namespace

DocWalk::DocWalk(const std::string& directory, const std::vector<std::string>& env) : _dir(directory) {
    std::filesystem::create_directories(_dir + "/.walk");
    const std::string in = _dir + "/.walk/in";
    if (mkfifo(in.c_str(), 0600) != 0) {
        ADD_FAILURE() << "mkfifo " << in << ": " << std::strerror(errno);
        return;
    }
    // Opened for reading and writing, so that neither side waits for the other to open it and the
    // shell sees the end of its input only when this end is closed.
    _commands = open(in.c_str(), O_RDWR | O_CLOEXEC);
    if (_commands < 0) {
        ADD_FAILURE() << "open " << in << ": " << std::strerror(errno);
        return;
    }
    _shell = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/bin/bash", "--norc", "--noprofile", "-c",
                                 "exec 0<.walk/in; exec /bin/bash --norc --noprofile"},
        env, _dir);
    // Job control puts every background step in a process group of its own, as a terminal would.
    send("set -m\n");
}

DocWalk::~DocWalk() {
    stopBackground();
    if (_commands >= 0) {
        close(_commands);
    }
    if (_shell) {
        _shell->waitExit(std::chrono::seconds(10));
    }
}

bool DocWalk::send(const std::string& command) {
    size_t done = 0;
    while (_commands >= 0 && done < command.size()) {
        const ssize_t n = write(_commands, command.data() + done, command.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return _commands >= 0;
}

std::string DocWalk::fileOf(size_t index, const char* kind) const {
    return _dir + "/.walk/step-" + std::to_string(index) + "." + kind;
}

std::string DocWalk::output(size_t index) const {
    return readWhole(fileOf(index, "out"));
}

bool DocWalk::runStep(size_t index, const DocStep& step, std::string* output, int* rc) {
    const std::string k = std::to_string(index);
    { std::ofstream(fileOf(index, "sh"), std::ios::binary) << step.text; }
    const std::string source = ". ./.walk/step-" + k + ".sh </dev/null >./.walk/step-" + k + ".out 2>&1";
    std::string marker;
    if (step.kind == DocStep::kBackground) {
        marker = "@@walk-" + std::to_string(++_markers) + " ";
        send("set +e; " + source + " & echo \"" + marker + "$!\"\n");
    } else if (step.exitCode == 0 && !step.retry) {
        // errexit: a command that fails anywhere in the step ends the walk, not only the last one.
        marker = "@@walk-" + std::to_string(++_markers) + " ";
        send("set -e; " + source + "; set +e; echo \"" + marker + "0\"\n");
    } else {
        marker = "@@walk-" + std::to_string(++_markers) + " ";
        send("set +e; " + source + "; echo \"" + marker + "$?\"\n");
    }
    const bool answered = _shell && _shell->waitForOutput(marker, kStepDeadline);
    *output = readWhole(fileOf(index, "out"));
    if (!answered) {
        *rc = -1;
        return false;
    }
    const std::string all = _shell->output();
    const long value = std::strtol(all.c_str() + all.find(marker) + marker.size(), nullptr, 10);
    if (step.kind == DocStep::kBackground) {
        _background.push_back(static_cast<pid_t>(value));
        *rc = 0;
    } else {
        *rc = static_cast<int>(value);
    }
    return true;
}

bool DocWalk::run(const std::string& page, const std::vector<DocStep>& steps, std::string* error) {
    for (size_t i = 0; i < steps.size(); ++i) {
        const DocStep& step = steps[i];
        const std::string where = page + ":" + std::to_string(step.line) + ": ";
        if (step.kind == DocStep::kFile) {
            const std::filesystem::path target = std::filesystem::path(_dir) / step.path;
            std::filesystem::create_directories(target.parent_path());
            std::ofstream(target, std::ios::binary) << step.text;
            continue;
        }
        const auto until = std::chrono::steady_clock::now() + kMatchDeadline;
        std::string out;
        int rc = 0;
        std::string why;
        for (;;) {
            if (!runStep(i, step, &out, &rc)) {
                const std::optional<int> ended = _shell ? _shell->waitExit(std::chrono::milliseconds(0)) : 0;
                *error =
                    where +
                    (ended
                         ? "a command of the step failed with exit code " + std::to_string(*ended) + "\n"
                         : "the step did not end within " + std::to_string(kStepDeadline.count()) + " s\n") +
                    step.text + "printed:\n" + out;
                return false;
            }
            if (step.kind == DocStep::kBackground) {
                // The walk goes on once the background step shows what its page says it shows.
                while (step.checked && !outputMatches(step.expected, output(i), &why) &&
                       std::chrono::steady_clock::now() < until) {
                    std::this_thread::sleep_for(kOutputPoll);
                }
                if (step.checked && !outputMatches(step.expected, output(i), &why)) {
                    *error =
                        where + "the background step did not print what the page shows\n" + step.text + why;
                    return false;
                }
                break;
            }
            const bool codeOk = rc == step.exitCode;
            const bool outputOk = !step.checked || outputMatches(step.expected, out, &why);
            if (codeOk && outputOk) {
                break;
            }
            if (!step.retry || std::chrono::steady_clock::now() >= until) {
                *error = where +
                         (codeOk ? ""
                                 : "exit code " + std::to_string(rc) + ", the page says " +
                                       std::to_string(step.exitCode) + "\n") +
                         step.text + (outputOk ? "printed:\n" + out : why);
                return false;
            }
            // Asked again at the pace a person would, so that a loaded machine is not loaded more.
            std::this_thread::sleep_for(kRetryPace);
        }
    }
    return true;
}

void DocWalk::stopBackground() {
    if (_background.empty()) {
        return;
    }
    for (auto it = _background.rbegin(); it != _background.rend(); ++it) {
        kill(-*it, SIGTERM);
    }
    const auto until = std::chrono::steady_clock::now() + kMatchDeadline;
    auto running = [this] {
        for (pid_t pgid : _background) {
            if (kill(-pgid, 0) == 0) {
                return true;
            }
        }
        return false;
    };
    if (_shell && !_shell->waitExit(std::chrono::milliseconds(0))) {
        // The shell reaps its own children; a program a step started may outlive the step's shell
        // (which SIGTERM ends at once) while it shuts down, and is reaped by whoever inherits it.
        const std::string marker = "@@walk-" + std::to_string(++_markers) + " ";
        send("wait; echo \"" + marker + "\"\n");
        _shell->waitForOutput(marker, kMatchDeadline);
    }
    while (running() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(kOutputPoll);
    }
    if (running()) {
        ADD_FAILURE() << "the background steps did not end within " << kMatchDeadline.count()
                      << " s of SIGTERM";
        for (pid_t pgid : _background) {
            kill(-pgid, SIGKILL);
        }
    }
    _background.clear();
}

std::vector<DocStep> pageSteps(const std::string& path, std::string* page) {
    const std::string text = readWhole(path);
    EXPECT_FALSE(text.empty()) << "cannot read " << path;
    std::vector<DocStep> steps;
    std::string error;
    EXPECT_TRUE(docSteps(text, &steps, &error)) << path << ": " << error;
    if (page != nullptr) {
        *page = text;
    }
    return steps;
}

}  // namespace vorpane::testing

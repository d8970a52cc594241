// Runs the steps of a page (doc_blocks.h) in one bash session, as a user would in a terminal: the
// steps share variables and the current directory; a background step runs in its own process group,
// as in a second terminal, until the walk stops it with SIGTERM.
//
// Owned by one test thread. Every wait has a deadline and is on a condition (a marker the shell
// prints, or a background step's output matching its page), never a fixed sleep.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "docs/doc_blocks.h"
#include "testlib/child_process.h"

namespace vorpane::testing {

class DocWalk {
  public:
    // A session in directory (which must exist) with env added to the test's environment (a bare
    // "KEY" removes it, as for ChildProcess). The steps' files go to directory/.walk.
    DocWalk(const std::string& directory, const std::vector<std::string>& env);
    ~DocWalk();
    DocWalk(const DocWalk&) = delete;
    DocWalk& operator=(const DocWalk&) = delete;

    // Runs the steps in order and stops at the first that fails: a step that exits with another code
    // than its page says, or prints what its page does not show (within the deadline for background
    // and retried steps). *error names the step's line in page and what it printed.
    bool run(const std::string& page, const std::vector<DocStep>& steps, std::string* error);

    // Stops the background steps, newest first (SIGTERM to each one's process group, then waits for
    // them to end). output(index): what the step of that index printed (so far).
    void stopBackground();
    std::string output(size_t index) const;

    // How long a step may take to end, and how long a background or retried step has to show what
    // its page says: generous, for a loaded 2-core machine running a sanitizer build.
    static constexpr std::chrono::seconds kStepDeadline{120};
    static constexpr std::chrono::seconds kMatchDeadline{90};

  private:
    bool send(const std::string& command);
    std::string fileOf(size_t index, const char* kind) const;
    bool runStep(size_t index, const DocStep& step, std::string* output, int* rc);

    std::string _dir;
    std::unique_ptr<ChildProcess> _shell;
    int _commands = -1;  // write end of the shell's standard input
    std::vector<pid_t> _background;
    int _markers = 0;  // the shell echoes a new marker when each command it was sent has ended
};

// The page's text, and its steps; an unreadable page or a bad marking fails the calling test.
std::vector<DocStep> pageSteps(const std::string& path, std::string* page = nullptr);

}  // namespace vorpane::testing

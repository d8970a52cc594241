// vorpanectl: the management API's command-line client. One subcommand per endpoint; aligned tables
// for people by default, the server's JSON with --json for scripts. docs/vorpanectl.md lists the
// subcommands and the exit codes below.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace vorpanectl {

enum ExitCode : int {
    kOk = 0,
    kFailed = 1,  // the agent answered with another error (5xx)
    kBadInput = 2,  // bad arguments, or the agent answered 400
    kUnreachable = 3,  // no connection to the agent
    kUnauthorized = 4,  // no token or a wrong one (401)
    kNotFound = 5,  // no such table, situation, application or file (404)
    kConflict = 6,  // the situation exists (409)
    kNotReady = 7,  // the agent is not ready or busy (503)
    kActionFailed = 8,  // a take-action ran and its result is not 0
};

// Runs one command line; what it prints goes to out, errors to err. The exit code.
int run(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

// Columns padded to their widest cell, separated by two blanks; the last column is not padded.
std::string formatTable(const std::vector<std::string>& headers, const std::vector<std::vector<std::string>>& rows);

}  // namespace vorpanectl

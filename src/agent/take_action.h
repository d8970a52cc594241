// The take-action callback registered with the framework for every command, and the pure steps it
// is made of (parsing apart from the hub and the framework, so tests feed them text).
//
// Threads: the framework calls VA_Action on its own threads, several at a time. The only state
// shared between calls is the time of the last dispatch (an atomic) and the atomic situations'
// lists, which guard themselves.
#pragma once

#include <optional>
#include <string>
#include <string_view>

class PlaxfAutomationCapsule;

long VA_Action(PlaxfAutomationCapsule* capsule);

namespace vorpane::action {

// How long a forwarded action waits for its provider's result (clock seconds). A provider that
// dies holding the action, or never answers, costs the caller this long and gives result 1.
inline constexpr double kResultWait = 60;

// The command as it may be traced: cut just after "PASSWORD=" or before " LOGONID=", whichever
// comes first.
std::string commandForTrace(std::string_view command);

struct ParsedCommand {
    bool ok = false;
    std::string name;
    std::optional<std::string> parms;
};
// Splits a command into its name (a first word, or a name in single quotes given back in double
// quotes) and its parameters. ok false (traced) for a quoted name without its closing quote, or no
// name at all.
ParsedCommand parseActionCommand(std::string_view command);

// A policy action's owner: the word after "NAME=" (which leaves the parameters together with its
// value), or "_POLNAME_".
std::string policyOwner(std::optional<std::string>* parms);

struct ConsoleMessage {
    std::string category;
    std::string severity;
    std::string text;
    bool complete = false;  // all three were found
};
// CAT=, SEV= and MSG= of a console message's parameters; each missing one is traced.
ConsoleMessage parseConsoleMessage(std::string_view parms);

// The parameters with " LOGONID=<first word of user><e*n*d>" appended (they become that text when
// there were none).
std::string withLogonId(const std::optional<std::string>& parms, std::string_view user);

}  // namespace vorpane::action

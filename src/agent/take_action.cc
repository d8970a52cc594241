#include "agent/take_action.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "agent/action_results.h"
#include "agent/agent_lists.h"
#include "agent/va_limits.h"
#include "datapath/atomic_situation_list.h"
#include "datapath/samples_list.h"
#include "interfaces/axf.h"
#include "interfaces/dch_client.h"
#include "interfaces/support.h"
#include "interfaces/trace.h"

namespace vorpane::action {

namespace {

constexpr std::string_view kPolicyTableName = "QNACTRMT";
constexpr std::string_view kLocalTimeTableName = "LOCALTIME";
constexpr std::string_view kUTCTimeTableName = "UTCTIME";
constexpr const char* kPolicyNameHolder = "_POLNAME_";
constexpr std::string_view kPolicyNameKeyword = "NAME=";
constexpr const char* kSNMPActionOwner = "SNMP Control";
constexpr const char* kNodeColumnName = "ORIGINNODE";
constexpr std::string_view kCategory = "CAT=";
constexpr std::string_view kSeverity = "SEV=";
constexpr std::string_view kMessageText = "MSG=";
constexpr size_t kMaxParms = 1024;
constexpr size_t kMaxLocalCommand = 1023;
constexpr int kSubnodeWidth = 33;

// The second of the last dispatch: two dispatches in one second are spaced by a short wait.
std::atomic<int64_t> g_lastActionTime{0};

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// A row's field as text: up to its first NUL or blank, within width bytes.
std::string fieldText(const char* field, int width) {
    std::string_view f(field, static_cast<size_t>(std::max(width, 0)));
    return std::string(f.substr(0, std::min(f.find('\0'), f.find(' '))));
}

// The value after a keyword of a console message: blanks skipped, up to the next blank.
std::string wordAfter(std::string_view parms, size_t at) {
    const size_t start = parms.find_first_not_of(' ', at);
    if (start == std::string_view::npos) {
        return std::string();
    }
    return std::string(parms.substr(start, parms.find(' ', start) - start));
}

bool beginsWithKeyword(std::string_view value) {
    return startsWith(value, kCategory) || startsWith(value, kSeverity) || startsWith(value, kMessageText);
}

void spaceDispatches(const char* note, double seconds, const char* ready) {
    if (clock::nowSeconds() == g_lastActionTime.load()) {
        VA_DETAIL("%s", note);
        BSS1_Sleep(seconds);
        if (ready != nullptr) {
            VA_DETAIL("%s", ready);
        }
    }
}

}  // namespace

std::string commandForTrace(std::string_view command) {
    size_t cut = std::string_view::npos;
    if (const size_t p = command.find("PASSWORD="); p != std::string_view::npos) {
        cut = p + 9;
    }
    if (const size_t l = command.find(" LOGONID="); l != std::string_view::npos) {
        cut = std::min(cut, l);
    }
    return std::string(command.substr(0, cut));
}

ParsedCommand parseActionCommand(std::string_view command) {
    ParsedCommand out;
    if (startsWith(command, "'")) {
        const size_t close = command.find('\'', 1);
        if (close == std::string_view::npos) {
            VA_ERROR("Error: Invalid action command string. No closing single quote was found.\n");
            return out;
        }
        std::string text(command);
        text[0] = '"';
        text[text.rfind('\'')] = '"';
        if (close + 1 >= text.size()) {
            VA_DETAIL("No actionParms found in command string\n");
        } else {
            size_t start = close + 1;
            if (text[start] == ' ') {
                ++start;
            }
            out.parms = text.substr(start);
            VA_DETAIL("actionParms <%s>\n", commandForTrace(*out.parms).c_str());
        }
        out.name = text.substr(0, close + 1);
        if (out.name.size() < 3) {
            VA_ERROR("Error: Action command string is empty.\n");
            return out;
        }
        VA_DETAIL("actionName <%s>\n", out.name.c_str());
        out.ok = true;
        return out;
    }
    const size_t start = command.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        VA_ERROR("Error: cannot determine actionName from command string <%s>\n",
                 commandForTrace(command).c_str());
        return out;
    }
    const size_t end = command.find(' ', start);
    out.name = std::string(command.substr(start, end - start));
    VA_DETAIL("actionName <%s>\n", out.name.c_str());
    if (end == std::string_view::npos || end + 1 >= command.size()) {
        VA_DETAIL("No actionParms found in <%s>\n", commandForTrace(command).c_str());
    } else {
        out.parms = std::string(command.substr(end + 1));
    }
    out.ok = true;
    return out;
}

std::string policyOwner(std::optional<std::string>* parms) {
    if (parms->has_value() && (*parms)->size() < kMaxParms) {
        std::string& p = **parms;
        if (const size_t at = p.find(kPolicyNameKeyword); at != std::string::npos) {
            const size_t valueStart = at + kPolicyNameKeyword.size();
            const size_t valueEnd = std::min(p.find(' ', valueStart), p.size());
            std::string owner = p.substr(valueStart, valueEnd - valueStart);
            VA_DETAIL("Policy Name of <%s> included\n", owner.c_str());
            const std::string parmToRemove = p.substr(at, valueEnd - at);
            p.erase(at, valueEnd - at);
            VA_DETAIL("parmToRemove <%s> actionParms <%s>\n", parmToRemove.c_str(), p.c_str());
            return owner;
        }
    }
    VA_DETAIL("Using Policy Name holder <%s> as action owner.\n", kPolicyNameHolder);
    return kPolicyNameHolder;
}

ConsoleMessage parseConsoleMessage(std::string_view parms) {
    ConsoleMessage m;
    const std::string_view limited = parms.substr(0, kMaxParms);
    // Keywords are found case-blind in an upper-cased copy; the values keep their case.
    std::string upper(limited);
    ZOT0_ConvertStringToUpper(upper);
    const std::string shown(limited);

    auto keywordValue = [&](std::string_view keyword, const char* label, std::string* value) {
        const size_t at = upper.find(keyword);
        if (at != std::string::npos) {
            *value = wordAfter(limited, at + keyword.size());
        }
        if (at == std::string::npos || value->empty() || beginsWithKeyword(*value)) {
            VA_ERROR("Error: No %s value supplied. Unable to process Vorpane_Message request for action parms <%s>\n",
                     label, shown.c_str());
            value->clear();
            return false;
        }
        VA_DETAIL("%.3s parameter <%s>\n", label, value->c_str());
        return true;
    };
    const bool haveCategory = keywordValue(kCategory, "CAT=", &m.category);
    const bool haveSeverity = keywordValue(kSeverity, "SEV=", &m.severity);

    bool haveText = false;
    if (const size_t at = upper.find(kMessageText); at != std::string::npos) {
        const size_t start = limited.find_first_not_of(' ', at + kMessageText.size());
        std::string text;
        if (start != std::string_view::npos) {
            // Double quotes are dropped; two in a row leave one.
            const std::string_view rest = limited.substr(start);
            for (size_t i = 0; i < rest.size(); ++i) {
                if (rest[i] != '"') {
                    text.push_back(rest[i]);
                } else if (i + 1 < rest.size() && rest[i + 1] == '"') {
                    text.push_back('"');
                    ++i;
                }
            }
            text.erase(text.find_last_not_of(' ') + 1);
        }
        VA_DETAIL("MsgTextWithDoubleQuotes <%s>\n", text.c_str());
        if (!text.empty() && !startsWith(text, kCategory) && !startsWith(text, kSeverity)) {
            m.text = std::move(text);
            VA_DETAIL("MSG parameter <%s>\n", m.text.c_str());
            haveText = true;
        }
    }
    if (!haveText) {
        VA_ERROR("Error: No MSG= value supplied. Unable to process Vorpane_Message request for action parms <%s>\n",
                 shown.c_str());
    }
    m.complete = haveCategory && haveSeverity && haveText;
    return m;
}

std::string withLogonId(const std::optional<std::string>& parms, std::string_view user) {
    const size_t start = user.find_first_not_of(' ');
    const std::string_view first =
        start == std::string_view::npos ? std::string_view() : user.substr(start, user.find(' ', start) - start);
    // The leading blank stays also when there were no parameters: the action log hides what follows
    // " LOGONID=".
    return parms.value_or(std::string()) + " LOGONID=" + std::string(first) + "<e*n*d>";
}

namespace {

// What one action resolved to before its dispatch.
struct Resolved {
    std::string owner;
    std::string subnode;
    std::string actionNode;
};

// Steps of a situation action: owner, subnode from the row, its sample, the action node, and the
// suppression of repeated actions of a ZOTA_ATOMIC_SITUATIONS situation. 0 to go on, 1 to stop
// (traced).
long resolveSituationAction(plaxf* request, int rowNum, Resolved* r) {
    r->owner = request->SituationName();
    const char* row = request->Data(rowNum);
    if (row == nullptr) {
        VA_ERROR("Error: dataRow was NULL.\n");
        return 1;
    }
    VA_DETAIL("dataRow @%p rowNum=%d rowSize=%d\n", static_cast<const void*>(row), rowNum, request->DataSize());
    ColumnInfo node;
    if (const int rc = request->GetColumnInfoByName(&node, kNodeColumnName); rc != 0) {
        VA_ERROR("Error: GetColumnInfoByName failed for <%s>. rc: %d\n", kNodeColumnName, rc);
        return 1;
    }
    r->subnode = fieldText(row + node.offset, std::min(node.length, kSubnodeWidth));
    VA_DETAIL("Real subnodeName <%s> colinfo.offset=%d\n", r->subnode.c_str(), node.offset);

    samplesList* samples = dataSamples();
    if (samples == nullptr || samples->subnodeOnline(r->subnode.c_str()) != SUBNODE_REGISTERED) {
        VA_STATE("Note: Subnode <%s> is already online and registered\n", r->subnode.c_str());
        return 1;
    }
    long result = 0;
    if (std::string original; samples->getOriginalSubnodeName(r->subnode.c_str(), request->TableName(), &original)) {
        r->actionNode = std::move(original);
        VA_DETAIL("Saved subnode name <%s>\n", r->actionNode.c_str());
    } else if (request->TableName() == kLocalTimeTableName || request->TableName() == kUTCTimeTableName) {
        r->actionNode = r->subnode;
        VA_DETAIL("Action for LOCALTIME or UTCTIME. Using actionNode <%s>\n", r->actionNode.c_str());
    } else {
        VA_ERROR("Error: getOriginalSubnodeName(%s) returned NULL\n", r->subnode.c_str());
        result = 1;  // the atomic step still counts the value
    }

    atomicSituationList* atomics = atomicSituations();
    atomicSituationEntry* atomic =
        atomics != nullptr && atomics->getNumberOfElements() > 0 ? atomics->findEntry(r->owner.c_str()) : nullptr;
    if (atomic == nullptr) {
        return result;
    }
    const int interval = request->Interval();
    atomic->setSituationInterval(interval);
    VA_DETAIL("Atomic situation <%s> column number <%d> has an interval of %d seconds\n", atomic->getSituation(),
              atomic->getColumnNumber(), interval);
    ColumnInfo column;
    if (const int rc = request->GetColumnInfo(&column, atomic->getColumnNumber()); rc != 0) {
        VA_ERROR("Error: GetColumnInfo failed for column number <%d> in atomic situation <%s>, rc: %d\n",
                 atomic->getColumnNumber(), atomic->getSituation(), rc);
        return result;
    }
    const std::shared_ptr<atomicEventList> events = atomic->addAtomicEventList();
    const bool numeric = column.type >= 1 && column.type <= 6;
    std::string value;
    if (numeric) {
        // The first four bytes as a number, compared as its decimal text.
        int32_t n = 0;
        std::memcpy(&n, row + column.offset, std::min<size_t>(4, static_cast<size_t>(std::max(column.length, 0))));
        value = std::to_string(n);
    } else {
        value = fieldText(row + column.offset, column.length);
    }
    if (value.empty()) {
        VA_ERROR("Error: No atomic value was supplied for situation <%s> column number <%d>\n", atomic->getSituation(),
                 atomic->getColumnNumber());
        return 1;
    }
    VA_DETAIL("Processing atomic value <%s>\n", value.c_str());
    if (events->suppressRepeatedAction(value, interval)) {
        VA_STATE("Duplicate action request for atomic attribute value <%s> node @%p, skipping action processing\n",
                 value.c_str(), static_cast<void*>(events.get()));
        return 1;
    }
    VA_DETAIL("Successfully added atomicEventEntry object for atomic attribute value <%s>\n", value.c_str());
    return result;
}

long runLocalAction(const std::optional<std::string>& parms, std::string* text) {
    if (LocalAction() != 'Y') {
        VA_ERROR("Error: Local_Action refused: local commands run only with ZOTA_LOCAL_ACTION=Y\n");
        *text = "Local_Action refused: local commands run only with ZOTA_LOCAL_ACTION=Y";
        return 1;
    }
    if (parms) {
        // A command runs whole or not at all: a cut one would run something nobody wrote.
        if (parms->size() > kMaxLocalCommand) {
            VA_ERROR("Error: Local_Action refused: the command has %zu characters, more than %zu\n", parms->size(),
                     kMaxLocalCommand);
            *text = "Local_Action refused: the command has more than " + std::to_string(kMaxLocalCommand) +
                    " characters";
            return 1;
        }
        spaceDispatches("Delaying call to system...\n", 0.01, nullptr);
        const int rc = std::system(parms->c_str());
        VA_STATE("Received rc %d from Local_Action <%s>\n", rc, commandForTrace(*parms).c_str());
    }
    return 0;
}

void sendConsoleMessage(const std::optional<std::string>& parms) {
    const ConsoleMessage m = parseConsoleMessage(parms.value_or(std::string()));
    if (m.complete) {
        VA_STATE("Calling AXF_CreateMessage <%s> <%s> <%s>\n", m.severity.c_str(), m.category.c_str(), m.text.c_str());
        AXF_CreateMessage(m.severity.c_str(), m.category.c_str(), m.text.c_str(), 0);
    }
}

// Hands the action to its provider through the hub and waits for the provider's result. *text: the
// provider's result text; without one, the name of a failed status or why there is no result.
long forwardAction(const Resolved& r, const std::string& name, int32_t actionID,
                   const std::optional<std::string>& parms, std::string* text) {
    VA_DETAIL("actionParms=<%s>\n", commandForTrace(parms.value_or(std::string())).c_str());
    spaceDispatches("Note: Delaying call to dc_provideAction...\n", 0.1, "Ready to call dc_provideAction...\n");
    // The result comes through the agent's one results connection; the action itself takes a
    // connection only while it is handed over.
    ActionResults& waiting = ActionResults::instance();
    int rc = waiting.expect(actionID);
    if (rc == DCH_CLIENT_OK) {
        rc = dc_provideAction(1, r.owner.c_str(), r.actionNode.c_str(), r.subnode.c_str(), name.c_str(), actionID,
                              parms ? parms->c_str() : nullptr);
        if (rc != DCH_CLIENT_OK) {
            waiting.forget(actionID);
        }
    }
    if (rc != DCH_CLIENT_OK) {
        VA_ERROR("Error: dc_provideAction failed for actionID<%d> actionName<%s>: %s\n", actionID, name.c_str(),
                 DCH_clientResultText(rc));
        *text = std::string("the hub did not take the action: ") + DCH_clientResultText(rc);
        return rc;
    }
    const DCactionResults results = waiting.wait(actionID, kResultWait);
    if (results.status == 1) {
        VA_ERROR("Error: no result for actionID<%d> actionName<%s> on <%s> within %.0f seconds\n", actionID,
                 name.c_str(), r.actionNode.c_str(), kResultWait);
    } else {
        VA_STATE("Result of actionID<%d>: %d <%s>\n", actionID, results.status,
                 commandForTrace(results.resultText).c_str());
    }
    if (!results.resultText.empty()) {
        *text = results.resultText;
    } else if (results.status == 1 && !results.resultArrived) {
        char why[128];
        std::snprintf(why, sizeof why, "no result from a provider within %.0f seconds", kResultWait);
        *text = why;
    } else if (results.status != 0) {
        *text = DCH_actionStatusText(results.status);
    }
    return results.status;
}

long dispatch(PlaxfAutomationCapsule* capsule, plaxf* request) {
    const std::string command = capsule->Command();
    const std::string shown = commandForTrace(command);
    VA_STATE("Received action command string <%s>\n", shown.c_str());

    ParsedCommand parsed = parseActionCommand(command);
    if (!parsed.ok) {
        capsule->SetResultText("the command has no action name, or a quote that is not closed");
        return 1;
    }
    if (request == nullptr) {
        VA_ERROR("Error: action command <%s> arrived without its request\n", shown.c_str());
        return 1;
    }
    const std::string tableName = request->TableName();
    const bool policy = tableName == kPolicyTableName;
    Resolved r;
    if (policy) {
        r.owner = policyOwner(&parsed.parms);
        request->ResetGetSubnode();
        const std::string first = request->GetSubnode();
        if (first.empty()) {
            VA_ERROR("Error: No subnodes in the action request.\n");
            capsule->SetResultText("no subnode in the action request");
            return 1;
        }
        VA_DETAIL("Real subnode name <%s>\n", first.c_str());
        r.subnode = first;
        r.actionNode = first;
    } else if (const long stop = resolveSituationAction(request, capsule->DataRowNum(), &r); stop != 0) {
        return stop;
    }

    VA_DETAIL("Command    : <%s>\n", shown.c_str());
    VA_DETAIL("subNode    : <%s>\n", r.subnode.c_str());
    VA_DETAIL("actionNode : <%s>\n", r.actionNode.c_str());
    VA_DETAIL("actionOwner: <%s>\n", r.owner.c_str());
    VA_DETAIL("tableName  : <%s>\n", tableName.c_str());
    const int32_t actionID = ActionID();
    capsule->SetActionId(actionID);
    if (policy && parsed.name == "SNMP") {
        r.owner = kSNMPActionOwner;
    }
    if (!parsed.parms) {
        VA_STATE("actionID<%d> actionType<%d> actionName<%s> actionNode<%s> actionOwner<%s> actionParms[NULL]\n",
                 actionID, 1, parsed.name.c_str(), r.actionNode.c_str(), r.owner.c_str());
    } else if (parsed.name == "WBEM" && parsed.parms->find("MONITOR START") != std::string::npos) {
        VA_STATE("actionID<%d> actionType<%d> actionName<%s> actionNode<%s> actionOwner<%s>\n", actionID, 1,
                 parsed.name.c_str(), r.actionNode.c_str(), r.owner.c_str());
    } else {
        VA_STATE("actionID<%d> actionType<%d> actionName<%s> actionNode<%s> actionOwner<%s> actionParms<%s>\n",
                 actionID, 1, parsed.name.c_str(), r.actionNode.c_str(), r.owner.c_str(),
                 commandForTrace(*parsed.parms).c_str());
    }

    long result = 0;
    std::string text;
    if (vmcCommand() == 'Y' && startsWith(parsed.name, "Vorpane_Message")) {
        sendConsoleMessage(parsed.parms);
    } else if (parsed.name == "Local_Action") {
        result = runLocalAction(parsed.parms, &text);
    } else {
        const std::string user = capsule->User();
        if (ActionLogonId() != 'N' && user.find_first_not_of(' ') != std::string::npos) {
            parsed.parms = withLogonId(parsed.parms, user);
        }
        result = forwardAction(r, parsed.name, actionID, parsed.parms, &text);
    }
    capsule->SetResultText(std::move(text));
    g_lastActionTime.store(clock::nowSeconds());
    return result;
}

}  // namespace

}  // namespace vorpane::action

long VA_Action(PlaxfAutomationCapsule* capsule) {
    if (capsule == nullptr) {
        VA_ERROR("Error: take-action callback without a command\n");
        return 1;
    }
    plaxf* request = capsule->Request();
    const long result = vorpane::action::dispatch(capsule, request);
    capsule->SetResults(result);
    if (request != nullptr) {
        request->FinishedAutomationCommand(capsule);
    }
    return result;
}

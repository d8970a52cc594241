// ZOT.ZOTACT and QEB.QEBACT: an alert written as a request is forwarded to the data providers as a
// TRAPEMIT action and answered with one status row.
#include <cstring>
#include <vector>

#include "agent/va_limits.h"
#include "interfaces/dch_client.h"
#include "interfaces/trace.h"
#include "tables/fixed_tables.h"

namespace vorpane::tables {

namespace {

enum column { kOriginNode, kReqRC, kSitName, kSitOrg, kSitTime, kSeverity, kCategory, kTrapDest, kAttrVals };

constexpr std::array<fixedColumn, 9> kColumns{{
    {"originnode", AXF_COLUMN_STRING, 64, 0},
    {"reqrc", AXF_COLUMN_INT32, 4, 64},
    {"sitname", AXF_COLUMN_STRING, 32, 68},
    {"sitorg", AXF_COLUMN_STRING, 64, 100},
    {"sittime", AXF_COLUMN_STRING, 20, 164},
    {"severity", AXF_COLUMN_STRING, 32, 184},
    {"category", AXF_COLUMN_STRING, 32, 216},
    {"trapdest", AXF_COLUMN_STRING, 256, 248},
    {"attrvals", AXF_COLUMN_STRING, 3200, 504},
}};

constexpr int16_t kAutomationAction = 1;
constexpr std::size_t kSitNodePrefix = 9;  // "_SITNODE="
constexpr std::size_t kAttrPrefPrefix = 10;  // "_ATTRPREF="
constexpr std::size_t kMaxSitOrigin = 64;
constexpr std::size_t kMaxAttrList = 3200;

bool named(const FLT1_FILTERINFO& element, const char* column, std::size_t significant) {
    return std::strncmp(element.columnName.c_str(), column, significant) == 0;
}

}  // namespace

actionStatusBase::actionStatusBase(RequestDetail* request, ContextInfo* context, TableManager* manager,
                                   const actionStatusFamily& family)
    : fixedTableBase(request, context, manager, kColumns, kActionStatusRowSize, 1), _family(family) {
    _row.fill(' ');
}

int32_t actionStatusBase::_get_value_reqrc(int i) const {
    int32_t value = 0;
    if (const char* field = answerField(i, kReqRC); field != nullptr) {
        std::memcpy(&value, field, sizeof value);
    }
    return value;
}

void actionStatusBase::readRequest() {
    _requestRead = true;
    FLT1_FILTERINFO* element = nullptr;
    while (GetFilterInfo(&element) == 0) {
        const std::string_view value = filterValue(*element);
        if (named(*element, "ORIGINNODE", 10)) {
            _originNode.assign(value);
        } else if (named(*element, "SITNAME", 7)) {
            _sitName.assign(value);
        } else if (named(*element, "SITTIME", 7)) {
            _sitTime.assign(value);
        } else if (named(*element, "SEVERITY", 7)) {
            _severity.assign(value);
        } else if (named(*element, "CATEGORY", 7)) {
            _category.assign(value);
        } else if (named(*element, "TRAPDEST", 7)) {
            _trapDestination.assign(value);
        } else if (named(*element, "ATTRVALS", 7)) {
            _attrValues.assign(value);
        } else {
            VA_ERROR("Error: Unrecognized column <%-10.10s>\n", element->columnName.c_str());
            _error = true;
        }
    }
    const std::string_view values = _attrValues.view();
    if (values.empty() || values.front() == ';') {
        VA_ERROR("Warning: received empty result rows from QMS.\n");
        _error = true;
    } else if (const std::size_t first = values.find('~');
               first != std::string_view::npos && values.find('~', first + 1) != std::string_view::npos) {
        // Several result rows in one request: the policy must send one request per row.
        VA_ERROR("Error: Operation Mode of Take_action_once not supported.\n");
        VA_ERROR("       Change your Policy to use Take_action_on_each_item.\n");
        _error = true;
    }
}

bool actionStatusAgent::splitAttrValues(std::string_view attrValues, bool detailedTrace, alertParts* parts) {
    const std::string text(attrValues.substr(0, kMaxAttrList));
    // Four leading tokens, each ended by ";"; the attribute part follows, ended by "~".
    std::array<std::string_view, 4> tokens;
    std::size_t found = 0;
    std::size_t pos = 0;
    while (found < tokens.size()) {
        const std::size_t semi = text.find(';', pos);
        if (semi == std::string::npos) {
            break;
        }
        tokens[found++] = std::string_view(text).substr(pos, semi - pos);
        pos = semi + 1;
    }
    if (text.empty() || text.front() == ';') {  // the first token is the situation's predicate
        VA_ERROR("Error: predicate could not be determined <%s>\n", text.c_str());
        return false;
    }
    const std::string_view rest = found == tokens.size() ? std::string_view(text).substr(pos) : std::string_view();
    const std::size_t tilde = rest.find('~');
    if (found < tokens.size() || tilde == std::string_view::npos) {
        if (detailedTrace) {
            auto at = [&](std::size_t i) -> const void* { return i < found ? tokens[i].data() : nullptr; };
            const std::string restText(rest);
            VA_ERROR("Error: could not find terminator in <%s> tok1 @%p tok2 @%p tok3 @%p attrValTemp <%s>\n",
                     text.c_str(), at(0), at(1), at(2), restText.c_str());
        } else {
            VA_ERROR("Error: could not find terminator in <%s>\n", text.c_str());
        }
        return false;
    }
    const std::string_view sitNode = tokens[3];
    if (sitNode.find("_SITNODE") == std::string_view::npos) {
        VA_ERROR("Error: could not find _SITNODE in <%s>\n", std::string(sitNode).c_str());
        return false;
    }
    const std::string_view attributes = rest.substr(0, tilde);
    if (attributes.find("_ATTRPREF") == std::string_view::npos) {
        VA_ERROR("Error: could not find _ATTRPREF in <%s>\n", std::string(attributes).c_str());
        return false;
    }
    parts->sitOrigin.assign(sitNode.substr(std::min(kSitNodePrefix, sitNode.size()), kMaxSitOrigin));
    parts->attrList.assign(attributes.substr(std::min(kAttrPrefPrefix, attributes.size()), kMaxAttrList));
    return true;
}

void actionStatusAgent::TakeSample() {
    if (!_requestRead) {
        readRequest();
    }
    const int32_t actionID = ActionID();
    bool failed = _error;
    alertParts parts;
    if (!failed) {
        ClearCount();
        _row.fill(' ');
        failed = !splitAttrValues(_attrValues.view(), _family.detailedTerminatorTrace, &parts);
    }
    if (!failed) {
        static constexpr char kFormat[] = "DEST(%s) SIT(%s) TIME(%s) NODE(%s) SEV(%s) CAT(%s) LIST(%s)";
        std::vector<char> text(sizeof kFormat + _trapDestination.size() + _sitName.size() + _sitTime.size() +
                               parts.sitOrigin.size() + _severity.size() + _category.size() +
                               parts.attrList.size());
        std::snprintf(text.data(), text.size(), kFormat, _trapDestination.c_str(), _sitName.c_str(),
                      _sitTime.c_str(), parts.sitOrigin.c_str(), _severity.c_str(), _category.c_str(),
                      parts.attrList.c_str());
        if (const int rc = dc_provideAction(kAutomationAction, _sitName.c_str(), _originNode.c_str(),
                                            _originNode.c_str(), "TRAPEMIT", actionID, text.data());
            rc != 0) {
            VA_ERROR("Error: TRAPEMIT action %d for <%s> not sent, rc=%d\n", actionID, _originNode.c_str(), rc);
            failed = true;
        }
    }
    char* row = _row.data();
    putField(row, kColumns[kOriginNode], _originNode.view());
    putField(row, kColumns[kSitName], _sitName.view());
    putField(row, kColumns[kSitOrg], parts.sitOrigin);
    putField(row, kColumns[kSitTime], _sitTime.view());
    putField(row, kColumns[kSeverity], _severity.view());
    putField(row, kColumns[kCategory], _category.view());
    putField(row, kColumns[kTrapDest], _trapDestination.view());
    putField(row, kColumns[kAttrVals], _attrValues.view());
    const int32_t reqrc = failed ? -1 : 0;
    std::memcpy(row + kColumns[kReqRC].offset, &reqrc, sizeof reqrc);
    AddData(row, 1);
    VA_STATE("[@%p/%u] Alert processed: sending status %d\n", static_cast<void*>(this),
             static_cast<unsigned>(actionID), reqrc);
}

}  // namespace vorpane::tables

// Situation rules and demand requests: what a request on a user-data table asks of the provider that
// owns a subnode's source, through the hub's action channel.
//
// A situation sends RULESTART with its filter as an attribute list, so that the provider can evaluate
// the filter itself, and RULESTOP when the request ends. Demand reporting sends REPORT_REQUEST or
// SITUATION_REQUEST with a where clause built from the filter, registers the request with the hub as
// deferred and defers it in the framework until the provider's answer redrives it.
//
// The text builders are pure functions over the filter elements and the table's columns; the
// process* functions are the table class's operations, called on the request's own thread.
#pragma once

#include <string>
#include <vector>

#include "interfaces/axf.h"
#include "tables/zot_vorpane_agent.h"

namespace vorpane::metadata {
struct attrInfo_t;
class userDataInfo;
}  // namespace vorpane::metadata

namespace vorpane::tables {

// Longest action node (the original subnode name) a rule or demand request carries.
inline constexpr int kActionNodeLength = 71;

// The action types of the hub's action channel used here.
inline constexpr int16_t kRuleActionType = 2;
inline constexpr int16_t kDemandActionType = 5;

// The request's filter elements, walked with GetFilterInfo until it reports the end.
std::vector<FLT1_FILTERINFO> filterElements(plaxf& request);

// The index of a user-data column named "VA<index>"; -1 for any other name.
int userDataColumnIndex(std::string_view columnName);

// The where clause of a demand request: "WHERE(" followed by the usable elements. columns (may be
// null) name the attributes. 1 when a clause was built, 0 (with *clause "WHERE(") otherwise.
int buildWhereClause(const std::vector<FLT1_FILTERINFO>& filter,
                     const std::vector<metadata::attrInfo_t>* columns, std::string* clause);

// The attribute list of a rule start: "(<attr> <op> <value>)" per plain comparison on a user-data
// column, blank-separated. 0, or 1 (traced) for an operator the provider would not understand.
int buildRuleAttributes(const std::vector<FLT1_FILTERINFO>& filter,
                        const std::vector<metadata::attrInfo_t>& columns, const std::string& situationName,
                        std::string* attributes);

// The RULESTART parameters: "INTERVAL=.. APPLNAME=.. ATTRGROUP=.. ATTRIBUTES=..".
std::string ruleStartParameters(int interval, const metadata::userDataInfo& layout,
                                const std::string& attributes);

// The command and parameters of a demand request of requestType (zot_vorpane_agent::kReport,
// kPolledSituation or kHistory) without the where clause. 0, or 1 (traced) when the request cannot
// be asked for.
int demandCommand(int requestType, const std::string& situationName, const char* attrGroup,
                  const char* originNode, std::string* command, std::string* parameters);

// The table class's operations (see zot_vorpane_agent). 0 or 1; processDemandRequest returns the
// number of stored rows emitted as a fallback.
int processRuleStart(zot_vorpane_agent& request, zot_vorpane_agent::subnodeRecord& record,
                     const std::string& situationName, const metadata::userDataInfo* layout);
int processRuleStop(zot_vorpane_agent& request, zot_vorpane_agent::subnodeRecord& record,
                    const std::string& situationName);
int processDemandRequest(zot_vorpane_agent& request, zot_vorpane_agent::subnodeRecord& record,
                         int requestType, const std::string& situationName,
                         const metadata::userDataInfo* layout, int* deferInProgress);

}  // namespace vorpane::tables

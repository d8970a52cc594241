// The facade for the management API. Bodies follow; until then every call says so.
#include "interfaces/axf_facade.h"

namespace axf {

namespace {
Status notImplemented() { return Status{kNotImplemented, "not implemented"}; }
}  // namespace

std::vector<SubnodeInfo> listSubnodes() { return {}; }
std::vector<TableDesc> listTables() { return {}; }
Status describeTable(std::string_view, std::string_view, TableDesc*) { return notImplemented(); }
Status parseFilter(std::string_view, Filter*) { return notImplemented(); }
std::string formatFilter(const Filter&) { return {}; }
const char* compareOpName(CompareOp) { return "EQ"; }
ReportResult runReport(const ReportQuery&) { return ReportResult{notImplemented(), {}, {}}; }
Status addSituation(const SituationDef&) { return notImplemented(); }
Status removeSituation(std::string_view) { return notImplemented(); }
std::vector<SituationDef> listSituations() { return {}; }
Status situationStatus(std::string_view, SituationStatus*) { return notImplemented(); }
EventBatch readEvents(uint64_t, double, size_t) { return {}; }
std::vector<MessageEntry> readMessages(uint64_t, size_t) { return {}; }
ActionResult runAction(const ActionRequest&) { return ActionResult{notImplemented(), 0}; }

}  // namespace axf

namespace axf::detail {
void closeRequestsOf(TableManager*) {}
}  // namespace axf::detail

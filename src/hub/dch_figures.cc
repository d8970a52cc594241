#include "hub/dch_figures.h"

#include "interfaces/dch_protocol.h"

namespace {

struct Code {
    int16_t code;
    const char* name;
};

// Every request a client may send, in code order.
constexpr std::array<Code, DCHfigures::kCodes> kRequestCodes{{
    {DCH_dp_register, "dp_register"},
    {DCH_dp_online, "dp_online"},
    {DCH_dp_unregister, "dp_unregister"},
    {DCH_dp_offline, "dp_offline"},
    {DCH_dp_data, "dp_data"},
    {DCH_dp_waitForAction, "dp_waitForAction"},
    {DCH_dp_provideActionResults, "dp_provideActionResults"},
    {DCH_dp_redriveReportRequest, "dp_redriveReportRequest"},
    {DCH_dp_setDemandReportOption, "dp_setDemandReportOption"},
    {DCH_dp_cancel, "dp_cancel"},
    {DCH_dc_getApplications, "dc_getApplications"},
    {DCH_dc_getApplHelp, "dc_getApplHelp"},
    {DCH_dc_getApplAttributes, "dc_getApplAttributes"},
    {DCH_dc_waitOnData, "dc_waitOnData"},
    {DCH_dc_waitForDPStatus, "dc_waitForDPStatus"},
    {DCH_dc_provideAction, "dc_provideAction"},
    {DCH_dc_waitForActionResults, "dc_waitForActionResults"},
    {DCH_dc_deferReportRequest, "dc_deferReportRequest"},
}};

}  // namespace

void DCHfigures::request(int16_t code) {
    for (size_t i = 0; i < kRequestCodes.size(); ++i) {
        if (kRequestCodes[i].code == code) {
            _requests[i].fetch_add(1, std::memory_order_relaxed);
            return;
        }
    }
}

std::vector<std::pair<const char*, uint64_t>> DCHfigures::requests() const {
    std::vector<std::pair<const char*, uint64_t>> out;
    out.reserve(kRequestCodes.size());
    for (size_t i = 0; i < kRequestCodes.size(); ++i) {
        out.emplace_back(kRequestCodes[i].name, _requests[i].load(std::memory_order_relaxed));
    }
    return out;
}

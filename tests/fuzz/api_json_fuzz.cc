// libFuzzer target for the API's JSON bodies: any bytes are refused as JSON, or turn into a
// situation definition and an action request, or into a clear refusal of each.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "api/api_json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vorpane;
    const api::Json body = api::Json::parse(data, data + size, nullptr, false);
    if (body.is_discarded()) {
        return 0;
    }
    axf::SituationDef def;
    std::string where, error;
    size_t position = 0;
    if (!api::situationDefFromJson(body, &def, &where, &error, &position) && error.empty()) {
        std::abort();
    }
    axf::ActionRequest request;
    error.clear();
    if (!api::actionRequestFromJson(body, &request, &error) && error.empty()) {
        std::abort();
    }
    return 0;
}

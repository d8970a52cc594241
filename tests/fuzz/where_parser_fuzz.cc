// libFuzzer target for the API's `where` parser: any text parses to a filter within the bounds, or
// to an error at a position inside the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "api/where_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const vorpane::api::WhereResult r = vorpane::api::parseWhere(text);
    if (r.ok ? r.filter.size() > vorpane::api::kMaxWherePredicates
             : r.message.empty() || r.position == 0 || r.position > size + 1) {
        std::abort();
    }
    return 0;
}

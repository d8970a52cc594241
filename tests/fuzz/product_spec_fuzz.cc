// libFuzzer target for the product-specification file: any text is loaded or refused with the
// line it concerns.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "interfaces/support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string error;
    if (!vorpane::parseProductSpec(std::string_view(reinterpret_cast<const char*>(data), size), &error) &&
        error.rfind("line ", 0) != 0) {
        std::abort();
    }
    return 0;
}

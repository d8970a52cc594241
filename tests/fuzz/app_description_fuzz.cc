// libFuzzer target for description files (.desc) and the rows written against them: the input is
// a description, a line "--" and row lines. A description that parses must register, and each row
// line is parsed and formatted against its groups.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "providers/app_description.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vorpane::dp;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t cut = input.find("\n--\n");
    const std::string_view desc = input.substr(0, cut);
    std::string_view rows = cut == std::string_view::npos ? std::string_view() : input.substr(cut + 4);

    AppDescription app;
    ParseError error;
    if (!parseDescription(desc, &app, &error)) {
        if (error.reason.empty()) {
            std::abort();
        }
        return 0;
    }
    (void)app.registration();
    for (const GroupDesc& g : app.groups) {
        (void)g.registration();
    }
    while (!rows.empty()) {
        const size_t nl = rows.find('\n');
        const std::string_view line = rows.substr(0, nl);
        rows = nl == std::string_view::npos ? std::string_view() : rows.substr(nl + 1);
        RowSpec parsed;
        std::string reason;
        if (!parseRow(line, &parsed, &reason)) {
            continue;
        }
        if (const GroupDesc* g = app.group(parsed.group); g != nullptr) {
            vorpane::DProw row;
            (void)formatRow(parsed, *g, &row, &reason);
        }
    }
    return 0;
}

// libFuzzer target for the FILE provider's record formats: the first byte picks the format (and the
// delimiter), a regex format takes its pattern from the first line, and every further line is a
// record of a fixed group.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "providers/file_record.h"

namespace {

const vorpane::dp::GroupDesc& group() {
    static const vorpane::dp::GroupDesc g = [] {
        vorpane::dp::AppDescription app;
        vorpane::dp::ParseError e;
        if (!vorpane::dp::parseDescription("application VPLOG\ngroup LINE E 0\nattribute Seq C 4\n"
                                           "attribute Text D 8\nattribute Code G 2\nattribute Level S 2\n",
                                           &app, &e)) {
            std::abort();
        }
        return app.groups[0];
    }();
    return g;
}

std::string_view nextLine(std::string_view* rest) {
    const size_t nl = rest->find('\n');
    const std::string_view line = rest->substr(0, nl);
    *rest = nl == std::string_view::npos ? std::string_view() : rest->substr(nl + 1);
    return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using vorpane::providers::RecordFormat;
    if (size == 0) {
        return 0;
    }
    static const char* const kDelimiters[] = {",", "tab", ";", "|"};
    const RecordFormat::Kind kind = static_cast<RecordFormat::Kind>(data[0] & 3);
    std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::string pattern = kind == RecordFormat::kRegex ? std::string(nextLine(&rest)) : std::string();
    RecordFormat format;
    std::string reason;
    if (!RecordFormat::make(kind, group(), kDelimiters[(data[0] >> 2) & 3], {}, pattern, &format, &reason)) {
        return 0;
    }
    while (!rest.empty()) {
        RecordFormat::Values values;
        const std::string_view line = nextLine(&rest);
        if (format.parse(line, &values, &reason)) {
            for (const auto& [name, value] : values) {
                const vorpane::dp::AttributeDesc* a = group().attribute(name);
                if (a == nullptr) {
                    std::abort();
                }
            }
        }
    }
    return 0;
}

// libFuzzer target for SOCK's lines: each line of the input is checked against a fixed application.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "providers/sock_provider.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vorpane;
    static const dp::AppDescription app = [] {
        dp::AppDescription a;
        dp::ParseError e;
        if (!dp::parseDescription("application ORDERS\ngroup ORDER K 300\nattribute @Id C 4\n"
                                  "attribute Status D 16\ngroup NOTE E 0\nattribute Text D 64\n"
                                  "attribute Level S 2\n",
                                  &a, &e)) {
            std::abort();
        }
        return a;
    }();
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    while (!rest.empty()) {
        const size_t nl = rest.find('\n');
        const std::string_view text = rest.substr(0, nl);
        rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
        providers::SockProvider::Line line;
        std::string reason;
        if (providers::SockProvider::parseLine(text, app, &line, &reason) && line.group == nullptr) {
            std::abort();
        }
    }
    return 0;
}

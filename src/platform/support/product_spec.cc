// The product specification: numbered items read from a small text file or the embedded default.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "interfaces/support.h"

namespace vorpane {
namespace {

constexpr std::string_view kDefault =
    "# Vorpane Agent: product specification of the generic agent.\n"
    "# <item> [<name>] = <value>; see docs/product-specification.md.\n"
    "0  ZOT2_PRODUCT_VARIANT    = 0\n"
    "1  ZOT2_PRODUCT_CODE       = OT\n"
    "2  ZOT2_NODE_TYPE          = VA\n"
    "3  ZOT2_PRODUCT_NAME       = Vorpane Agent\n"
    "4  ZOT2_AFFINITY           = %VORPANE.VAGENT\n"
    "6  ZOT2_SUBNODE_AFF_NAME   = Vorpane Agent Subnode\n"
    "7  ZOT2_SUBNODE_AFF_STRING = %VORPANE.VAGENT.SUBNODE.000000000\n"
    "15 ZOT2_NODE_TYPE_ACTIONS  = 1\n"
    "32 ZOT2_ZOTATBLS_FILENAME  = zotatbls\n";

struct KnownName {
    int item;
    const char* name;
};
constexpr KnownName kNames[] = {
    {ZOT2_PRODUCT_VARIANT, "ZOT2_PRODUCT_VARIANT"},
    {ZOT2_PRODUCT_CODE, "ZOT2_PRODUCT_CODE"},
    {ZOT2_NODE_TYPE, "ZOT2_NODE_TYPE"},
    {ZOT2_PRODUCT_NAME, "ZOT2_PRODUCT_NAME"},
    {ZOT2_AFFINITY, "ZOT2_AFFINITY"},
    {ZOT2_SUBNODE_AFF_NAME, "ZOT2_SUBNODE_AFF_NAME"},
    {ZOT2_SUBNODE_AFF_STRING, "ZOT2_SUBNODE_AFF_STRING"},
    {ZOT2_AFFINITY_FEATURES, "ZOT2_AFFINITY_FEATURES"},
    {ZOT2_NODE_TYPE_ACTIONS, "ZOT2_NODE_TYPE_ACTIONS"},
    {ZOT2_DP_TO_START, "ZOT2_DP_TO_START"},
    {ZOT2_DCH_PORT, "ZOT2_DCH_PORT"},
    {ZOT2_DP_PORT_OFFSET, "ZOT2_DP_PORT_OFFSET"},
    {ZOT2_ZOTATBLS_FILENAME, "ZOT2_ZOTATBLS_FILENAME"},
    {ZOT2_INSTANCE_NAME, "ZOT2_INSTANCE_NAME"},
};

struct Store {
    std::mutex lock;
    std::map<int, std::string> items;
};

Store& store() {
    static Store* s = new Store();
    return *s;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) {
        s.remove_prefix(1);
    }
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) {
        s.remove_suffix(1);
    }
    return s;
}

bool parseInto(std::string_view text, std::map<int, std::string>* items, std::string* error) {
    int lineNo = 0;
    while (!text.empty()) {
        ++lineNo;
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        auto fail = [&](const std::string& why) {
            *error = "line " + std::to_string(lineNo) + ": " + why;
            return false;
        };
        if (line.find('\0') != std::string_view::npos) {
            return fail("contains a NUL byte");
        }
        std::string_view body = trim(line);
        if (body.empty() || body.front() == '#') {
            continue;
        }
        size_t eq = body.find('=');
        if (eq == std::string_view::npos) {
            return fail("no \"=\" (expected <item> [<name>] = <value>)");
        }
        std::string_view left = trim(body.substr(0, eq));
        std::string_view value = trim(body.substr(eq + 1));
        size_t i = 0;
        while (i < left.size() && std::isdigit(static_cast<unsigned char>(left[i]))) {
            ++i;
        }
        if (i == 0 || i > 2) {
            return fail("the item number must be 0 to " + std::to_string(ZOT2_MAX_ITEM));
        }
        int item = std::stoi(std::string(left.substr(0, i)));
        std::string_view name = trim(left.substr(i));
        if (!name.empty()) {
            for (char c : name) {
                if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') {
                    return fail("item name <" + std::string(name) + "> is not a name");
                }
            }
            for (const KnownName& k : kNames) {
                if (name == k.name && k.item != item) {
                    return fail(std::string(k.name) + " is item " + std::to_string(k.item) + ", not " +
                                std::to_string(item));
                }
            }
        }
        if (items->count(item) != 0) {
            return fail("item " + std::to_string(item) + " is given twice");
        }
        (*items)[item] = std::string(value);
    }
    return true;
}

}  // namespace

std::string_view defaultProductSpec() { return kDefault; }

bool parseProductSpec(std::string_view text, std::string* error) {
    std::map<int, std::string> items;
    std::string why;
    if (!parseInto(text, &items, &why)) {
        if (error != nullptr) {
            *error = why;
        }
        return false;
    }
    Store& s = store();
    std::lock_guard<std::mutex> guard(s.lock);
    s.items = std::move(items);
    return true;
}

}  // namespace vorpane

bool ZOT0_InitializeProductSpec(const char* subsystemId) {
    const char* file = std::getenv("VORPANE_PRODUCT_SPEC");
    std::string text;
    std::string source = "(embedded default)";
    if (file != nullptr && *file != '\0') {
        source = file;
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            VA_ERROR("Error: cannot read product specification <%s>: %s\n", file, std::strerror(errno));
            return false;
        }
        std::ostringstream all;
        all << in.rdbuf();
        text = all.str();
    } else {
        text = std::string(vorpane::defaultProductSpec());
    }
    std::string error;
    if (!vorpane::parseProductSpec(text, &error)) {
        VA_ERROR("Error: product specification <%s> %s\n", source.c_str(), error.c_str());
        return false;
    }
    VA_STATE("Product specification <%s> loaded for subsystem <%s>\n", source.c_str(),
             subsystemId != nullptr ? subsystemId : "");
    return true;
}

std::optional<std::string> ZOT0_QueryProductSpec(int item) {
    vorpane::Store& s = vorpane::store();
    std::lock_guard<std::mutex> guard(s.lock);
    auto it = s.items.find(item);
    if (it == s.items.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::optional<int> ZOT0_QueryProductSpecNumber(int item) {
    std::optional<std::string> text = ZOT0_QueryProductSpec(item);
    if (!text || text->empty()) {
        return std::nullopt;
    }
    return std::atoi(text->c_str());
}

bool ZOT0_UpdateProductSpec(int item, std::string_view value) {
    if (item < 0 || item > ZOT2_MAX_ITEM) {
        return false;
    }
    vorpane::Store& s = vorpane::store();
    std::lock_guard<std::mutex> guard(s.lock);
    s.items[item] = std::string(value);
    return true;
}

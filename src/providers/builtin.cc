#include "providers/builtin.h"

#include "providers/file_provider.h"
#include "providers/http_provider.h"
#include "providers/snmp_provider.h"
#include "providers/sock_provider.h"

namespace vorpane::providers {

void registerBuiltInProviderTypes() {
    registerProviderType({"FILE", true, FileProvider::make});
    registerProviderType({"SOCK", true, SockProvider::make});
    registerProviderType({"HTTP", false, HttpProvider::make});
    registerProviderType({"SNMP", false, SnmpProvider::make});
}

}  // namespace vorpane::providers

#include "providers/builtin.h"

#include "providers/file_provider.h"
#include "providers/sock_provider.h"

namespace vorpane::providers {

void registerBuiltInProviderTypes() {
    registerProviderType({"FILE", true, FileProvider::make});
    registerProviderType({"SOCK", true, SockProvider::make});
}

}  // namespace vorpane::providers

#include "providers/builtin.h"

#include "providers/sock_provider.h"

namespace vorpane::providers {

void registerBuiltInProviderTypes() {
    registerProviderType({"SOCK", true, SockProvider::make});
}

}  // namespace vorpane::providers

// The built-in provider types, for the framework's entry (provider.cc).
#pragma once

#include <memory>
#include <string>

#include "providers/provider.h"

namespace vorpane::providers {

// Registers FILE, SOCK, HTTP and SNMP with their factories.
void registerBuiltInProviderTypes();

// The host application from /proc (VORPANE_HOST_ROOT, default "/") and statfs.
std::unique_ptr<Provider> makeHostProvider(const ProviderContext& context);

// This host's name up to its first "." (the hub would cut it there), or "localhost".
std::string hostSourceName();

}  // namespace vorpane::providers

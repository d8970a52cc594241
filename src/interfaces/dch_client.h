// The hub client calls of the support library: how providers and collectors speak to the hub.
#pragma once

// Prepares the process's client side of the hub protocol (after the hub is ready); 0 on success.
int DCH_api_init();
// Releases it at shutdown.
void DCH_api_destroy();

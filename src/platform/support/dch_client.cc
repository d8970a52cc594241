#include "interfaces/dch_client.h"

#include "interfaces/trace.h"

int DCH_api_init() {
    VA_STATE("DCH client API initialised\n");
    return 0;
}

void DCH_api_destroy() { VA_STATE("DCH client API released\n"); }

#include "agent/va_main.h"
#include "providers/provider.h"

int main(int argc, char** argv) {
    // The built-in providers run on the provider threads that start-up creates.
    vorpane::providers::installProviders();
    return agentMain(argc, argv);
}

#include "agent/va_main.h"

int main(int argc, char** argv) { return agentMain(argc, argv); }

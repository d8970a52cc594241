#include "agent/take_action.h"

#include "interfaces/trace.h"

long VA_Action(PlaxfAutomationCapsule* capsule) {
    VA_ERROR("Error: take-action dispatch is not available; command @%p refused\n", static_cast<void*>(capsule));
    return 1;
}

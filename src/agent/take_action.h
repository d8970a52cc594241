// The take-action callback registered with the framework for every command.
#pragma once

class PlaxfAutomationCapsule;

long VA_Action(PlaxfAutomationCapsule* capsule);

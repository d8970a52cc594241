// The process entry of vorpane-agent: main's steps, the agent's main routine and its callbacks.
#pragma once

int agentMain(int argc, char** argv);

int VA_Main(int argc, char** argv);
void startAXF();
int LoadAgents();
void CleanUp(int signal);
void StopAgentProcess();

// The hub's TCP listening socket, for other parts to read (-1 before the hub is up).
extern int DCHtcpSocket;

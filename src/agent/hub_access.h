// The few things of the agent side that the hub reaches: the configuration values it uses, the
// demand-report setting, the samples list and the atomic situations. Nothing else of agent/,
// datapath/ or tables/ is visible to the hub.
#pragma once

#include <cstdint>

#include "agent/agent_lists.h"

int32_t Max_IB_Columns();
int32_t Max_Values_Buf_Size();
int32_t Report_Request_Expiration();
char DemandReport();
void setDemandReport(char value);

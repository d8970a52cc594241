// The fixed framework tables the agent loader initialises.
#pragma once

int t7srv_rmtfile_init();
int zot_zotact_init();
int qeb_qebact_init();

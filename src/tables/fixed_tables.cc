#include "tables/fixed_tables.h"

#include "interfaces/trace.h"

int t7srv_rmtfile_init() {
    VA_STATE("T7SRV.RMTFILE table initialised\n");
    return 0;
}

int zot_zotact_init() {
    VA_STATE("ZOT.ZOTACT table initialised\n");
    return 0;
}

int qeb_qebact_init() {
    VA_STATE("QEB.QEBACT table initialised\n");
    return 0;
}

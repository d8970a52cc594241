#include "agent/va_limits.h"

#include <cstdlib>

#include "interfaces/support.h"

namespace {

VA_LIMITS g_limits;
// Changed by the hub's request thread while others read it: one atomic byte.
std::atomic<char> g_demandReport{'N'};
std::atomic<int32_t> g_actionID{0};

int32_t intKey(const char* value, int32_t fallback) { return value != nullptr ? std::atoi(value) : fallback; }

// A set but empty key stores the NUL character.
char charKey(const char* value, char fallback) { return value != nullptr ? value[0] : fallback; }

}  // namespace

VA_ConfigKeys fetchConfigKeys() {
    VA_ConfigKeys k;
    k.maxEventEntries = BSS1_GetEnv("ZOTA_MAX_EVENT_ENTRIES", 0);
    k.maxApplications = BSS1_GetEnv("ZOTA_MAX_APPLICATIONS", 0);
    k.maxAttrGroupsPerAppl = BSS1_GetEnv("ZOTA_MAX_ATTRGROUPS_PER_APPL", 0);
    k.cleanUpTrigger = BSS1_GetEnv("ZOTA_CLEANUP_TRIGGER", 0);
    k.writeOptLog = BSS1_GetEnv("ZOTA_WRITE_OPTLOG", 0);
    k.startupDP = BSS1_GetEnv("ZOTA_STARTUP_DP", 0);
    k.actionTableName = BSS1_GetEnv("ZOTA_ACTION_TABLE_NAME", 0);
    k.waitUDL = BSS1_GetEnv("ZOTA_WAIT_UDL", 0);
    k.valuesBufSize = BSS1_GetEnv("ZOTA_VALUES_BUF_SIZE", 0);
    k.maxIBColumns = BSS1_GetEnv("QIB_MAXCOLS", 0);
    k.emitDupRec = BSS1_GetEnv("ZOTA_EMIT_DUP_REC", 0);
    k.clientProcess = BSS1_GetEnv("ZOTA_CLIENT_PROCESS", 0);
    k.maxDeferredRequest = BSS1_GetEnv("ZOTA_MAX_DEFERRED_REQUEST", 0);
    k.atomicSituations = BSS1_GetEnv("ZOTA_ATOMIC_SITUATIONS", 0);
    k.vmcCommand = BSS1_GetEnv("ZOTA_VMC_COMMAND", 0);
    k.localAction = BSS1_GetEnv("ZOTA_LOCAL_ACTION", 0);
    k.usageNormal = BSS1_GetEnv("ZOTA_NODENAME_USAGE_NORMAL", 0);
    k.timestampFormat = BSS1_GetEnv("ZOTA_TIMESTAMP_FORMAT", 0);
    k.demandReport = BSS1_GetEnv("ZOTA_DEMAND_REPORT", 0);
    k.maxDeferredReportRequest = BSS1_GetEnv("ZOTA_MAX_DEFERRED_REPORT_REQUEST", 0);
    k.reportRequestExpiration = BSS1_GetEnv("ZOTA_REPORT_REQUEST_EXPIRATION", 0);
    k.actionLogonId = BSS1_GetEnv("ZOTA_TAKE_ACTION_LOGONID", 0);
    k.waitForAPIServer = BSS1_GetEnv("ZOTA_WAIT_FOR_API_SERVER", 0);
    return k;
}

VA_LIMITS parseConfigKeys(const VA_ConfigKeys& k, bool productAgent) {
    VA_LIMITS l;
    l.maxEventEntries = intKey(k.maxEventEntries, 100);
    VA_STATE("MAX_EVENT_ENTRIES=%d\n", l.maxEventEntries);
    l.maxApplications = intKey(k.maxApplications, 64);
    VA_STATE("MAX_APPLICATIONS=%d\n", l.maxApplications);
    l.maxAttrGroupsPerAppl = intKey(k.maxAttrGroupsPerAppl, productAgent ? 256 : 64);
    VA_STATE("MAX_ATTRGROUP_PER_APPL=%d\n", l.maxAttrGroupsPerAppl);
    l.cleanUpTrigger = intKey(k.cleanUpTrigger, 10);
    VA_STATE("VA_CLEANUP_TRIGGER=%d\n", l.cleanUpTrigger);
    l.writeOptLog = charKey(k.writeOptLog, 'Y');
    VA_STATE("WRITE_OPTLOG=%c\n", l.writeOptLog);
    if (k.actionTableName != nullptr) {
        l.actionTableName.assign(k.actionTableName);  // the first 10 characters
    }
    VA_STATE("ACTIONtableName <%s>\n", l.actionTableName.c_str());
    l.maxWaitUDL = intKey(k.waitUDL, 5);
    VA_STATE("MAX_WAIT_UDL=%d\n", l.maxWaitUDL);
    l.maxValuesBufSize = intKey(k.valuesBufSize, 8192);
    VA_STATE("MAX_VALUES_BUF_SIZE=%d\n", l.maxValuesBufSize);
    l.maxIBColumns = intKey(k.maxIBColumns, 64);
    VA_STATE("MAX_ATTRS_PER_TABLE=%d\n", l.maxIBColumns);
    l.emitDupRec = intKey(k.emitDupRec, 1);
    VA_STATE("EMIT_DUP_REC=%d\n", l.emitDupRec);
    l.maxDeferredRequest = intKey(k.maxDeferredRequest, 512);
    VA_STATE("MAX_DEFERRED_REQUEST=%d\n", l.maxDeferredRequest);
    l.vmcCommand = charKey(k.vmcCommand, 'N');
    VA_STATE("VMC_COMMAND=%c\n", l.vmcCommand);
    l.localAction = charKey(k.localAction, 'N');
    VA_STATE("LOCAL_ACTION=%c\n", l.localAction);
    l.usageNormal = charKey(k.usageNormal, 'N');
    VA_STATE("USAGE_NORMAL=%c\n", l.usageNormal);
    l.timestampFormat = charKey(k.timestampFormat, 'N');
    VA_STATE("TIMESTAMP_FORMAT=%c\n", l.timestampFormat);
    l.demandReport = charKey(k.demandReport, 'N');
    VA_STATE("DEMAND_REPORT=%c\n", l.demandReport);
    l.maxDeferredReportRequest = intKey(k.maxDeferredReportRequest, 256);
    VA_STATE("MAX_DEFERRED_REPORT_REQUEST=%d\n", l.maxDeferredReportRequest);
    l.reportRequestExpiration = intKey(k.reportRequestExpiration, 15);
    VA_STATE("REPORT_REQUEST_EXPIRATION=%d\n", l.reportRequestExpiration);
    l.actionLogonId = charKey(k.actionLogonId, 'N');
    VA_STATE("ACTION_LOGONID=%c\n", l.actionLogonId);
    return l;
}

const VA_LIMITS& vaLimits() { return g_limits; }

void setVaLimits(const VA_LIMITS& limits) {
    g_limits = limits;
    g_demandReport.store(limits.demandReport);
}

int32_t Max_Event_Entries() { return g_limits.maxEventEntries; }
int32_t Max_Applications() { return g_limits.maxApplications; }
int32_t Max_AttrGroup_Per_Appl() { return g_limits.maxAttrGroupsPerAppl; }
int32_t Max_Wait_UDL() { return g_limits.maxWaitUDL; }
int32_t Max_Values_Buf_Size() { return g_limits.maxValuesBufSize; }
int32_t Max_Deferred_Request() { return g_limits.maxDeferredRequest; }
int32_t cleanUpTrigger() { return g_limits.cleanUpTrigger; }
int32_t Max_IB_Columns() { return g_limits.maxIBColumns; }
int32_t Emit_Dup_Rec() { return g_limits.emitDupRec; }
int32_t Max_Deferred_Report_Request() { return g_limits.maxDeferredReportRequest; }
int32_t Report_Request_Expiration() { return g_limits.reportRequestExpiration; }
char writeOptLog() { return g_limits.writeOptLog; }
char vmcCommand() { return g_limits.vmcCommand; }
char LocalAction() { return g_limits.localAction; }
char UsageNormal() { return g_limits.usageNormal; }
char TimestampFormat() { return g_limits.timestampFormat; }
char DemandReport() { return g_demandReport.load(std::memory_order_relaxed); }
void setDemandReport(char value) { g_demandReport.store(value, std::memory_order_relaxed); }
const char* ACTIONtableName() { return g_limits.actionTableName.c_str(); }
char ActionLogonId() { return g_limits.actionLogonId; }

int32_t ActionID() {
    int32_t current = g_actionID.load(std::memory_order_relaxed);
    int32_t next;
    do {
        next = current == INT32_MAX ? 1 : current + 1;
    } while (!g_actionID.compare_exchange_weak(current, next, std::memory_order_relaxed));
    return next;
}

void setActionIDForTest(int32_t value) { g_actionID.store(value); }

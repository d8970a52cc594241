// The process-wide configuration record: filled once by VA_Main from the environment, read
// everywhere afterwards without locks (only the demand-report flag changes later, as one byte).
#pragma once

#include <atomic>
#include <cstdint>

#include "common/fixed_text.h"

struct VA_LIMITS {
    int32_t maxEventEntries = 100;
    int32_t maxApplications = 64;
    int32_t maxAttrGroupsPerAppl = 64;
    int32_t maxWaitUDL = 5;
    int32_t maxValuesBufSize = 8192;
    int32_t maxDeferredRequest = 512;
    int32_t cleanUpTrigger = 10;
    int32_t maxIBColumns = 64;
    int32_t emitDupRec = 1;
    int32_t maxDeferredReportRequest = 256;
    int32_t reportRequestExpiration = 15;
    char writeOptLog = 'Y';
    char vmcCommand = 'N';
    char localAction = 'N';
    char usageNormal = 'N';
    char timestampFormat = 'N';
    char demandReport = 'N';
    vorpane::FixedText<10> actionTableName{"VAG6034300"};
    char actionLogonId = 'N';
};

// The configuration keys, fetched together before any is parsed. Null where a key is unset.
struct VA_ConfigKeys {
    const char* maxEventEntries = nullptr;           // ZOTA_MAX_EVENT_ENTRIES
    const char* maxApplications = nullptr;           // ZOTA_MAX_APPLICATIONS
    const char* maxAttrGroupsPerAppl = nullptr;      // ZOTA_MAX_ATTRGROUPS_PER_APPL
    const char* cleanUpTrigger = nullptr;            // ZOTA_CLEANUP_TRIGGER
    const char* writeOptLog = nullptr;               // ZOTA_WRITE_OPTLOG
    const char* startupDP = nullptr;                 // ZOTA_STARTUP_DP
    const char* actionTableName = nullptr;           // ZOTA_ACTION_TABLE_NAME
    const char* waitUDL = nullptr;                   // ZOTA_WAIT_UDL
    const char* valuesBufSize = nullptr;             // ZOTA_VALUES_BUF_SIZE
    const char* maxIBColumns = nullptr;              // QIB_MAXCOLS
    const char* emitDupRec = nullptr;                // ZOTA_EMIT_DUP_REC
    const char* clientProcess = nullptr;             // ZOTA_CLIENT_PROCESS
    const char* maxDeferredRequest = nullptr;        // ZOTA_MAX_DEFERRED_REQUEST
    const char* atomicSituations = nullptr;          // ZOTA_ATOMIC_SITUATIONS
    const char* vmcCommand = nullptr;                // ZOTA_VMC_COMMAND
    const char* localAction = nullptr;               // ZOTA_LOCAL_ACTION
    const char* usageNormal = nullptr;               // ZOTA_NODENAME_USAGE_NORMAL
    const char* timestampFormat = nullptr;           // ZOTA_TIMESTAMP_FORMAT
    const char* demandReport = nullptr;              // ZOTA_DEMAND_REPORT
    const char* maxDeferredReportRequest = nullptr;  // ZOTA_MAX_DEFERRED_REPORT_REQUEST
    const char* reportRequestExpiration = nullptr;   // ZOTA_REPORT_REQUEST_EXPIRATION
    const char* actionLogonId = nullptr;             // ZOTA_TAKE_ACTION_LOGONID
    const char* waitForAPIServer = nullptr;          // ZOTA_WAIT_FOR_API_SERVER
};

// Fetches all 23 keys with BSS1_GetEnv.
VA_ConfigKeys fetchConfigKeys();

// Parses the keys into a record, tracing each value; productAgent is product-specification item 0
// non-zero, which raises the default number of attribute groups per application to 256.
VA_LIMITS parseConfigKeys(const VA_ConfigKeys& keys, bool productAgent);

// The record of the process. setVaLimits is called once by VA_Main (and by tests).
const VA_LIMITS& vaLimits();
void setVaLimits(const VA_LIMITS& limits);

int32_t Max_Event_Entries();
int32_t Max_Applications();
int32_t Max_AttrGroup_Per_Appl();
int32_t Max_Wait_UDL();
int32_t Max_Values_Buf_Size();
int32_t Max_Deferred_Request();
int32_t cleanUpTrigger();
int32_t Max_IB_Columns();
int32_t Emit_Dup_Rec();
int32_t Max_Deferred_Report_Request();
int32_t Report_Request_Expiration();
char writeOptLog();
char vmcCommand();
char LocalAction();
char UsageNormal();
char TimestampFormat();
char DemandReport();
void setDemandReport(char value);
const char* ACTIONtableName();
char ActionLogonId();

// The next action identifier: 1 on the first call, 1 again after 2147483647.
int32_t ActionID();
// Tests: sets the counter the next ActionID() call starts from.
void setActionIDForTest(int32_t value);

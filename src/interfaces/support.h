// The support library: base services, product specification, text and name helpers, agent identity
// and the provider entry points. Our implementation lives in src/platform/support.
//
// Where the calling code needs a text back, these calls return std::string or std::optional instead
// of storage the caller must free; the names and the results the callers test are kept.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/fixed_text.h"
#include "interfaces/sync.h"
#include "interfaces/trace.h"

// ---------------------------------------------------------------------------------------------------
// Base services

// Process initialisation: reads the test time switch and opens the trace log named after taskName.
void BSS1_Main(int* argc, char** argv, const char* taskName);

// The value of an environment key, or null when it is unset. A key set by BSS1_SetEnv wins.
const char* BSS1_GetEnv(const char* key, int reserved = 0);
// Sets a key for every later BSS1_GetEnv of the process and for the processes it starts, without
// touching the C environment (which other threads may be reading); a null value drops that
// setting, so the C environment's value shows again. False for an invalid key.
bool BSS1_SetEnv(const char* key, const char* value);

// The name of a shutdown signal ("SIGHUP", "SIGINT", "SIGTERM", ...), or null.
const char* SIG1_SignalName(int signal);

namespace vorpane {

// The process's environment with the keys set by BSS1_SetEnv, as "KEY=value" texts for a child.
std::vector<std::string> environmentForChild();

// Where work files, generated files and logs go: VORPANE_WORKDIR, or "work" under the current
// directory. Created on first use.
std::string workDirectory();
// Tests point the process at a fresh directory.
void setWorkDirectory(std::string path);

// A file replaced whole or not at all: the one way the system writes its files. stage() writes the
// new contents to a temporary file beside path ("<path>.tmp.<pid>.<n>") and flushes it to disk;
// commit() renames it over path and flushes the directory, so that a crash at any moment leaves the
// old file or the new one, and the new one once commit() returned. A staged file that is not
// committed is removed by the destructor; one that a killed process left behind is removed at the
// agent's next start (removeStaleTemporaries). Several files are replaced together by staging each
// before committing the first. Not thread-safe; one object per file being written.
class WholeFile {
  public:
    // How far a failed call got, for callers that trace it in their own words.
    enum class Step { none, open, write, flush, rename };

    explicit WholeFile(std::string path, mode_t mode = 0644);
    ~WholeFile();
    WholeFile(const WholeFile&) = delete;
    WholeFile& operator=(const WholeFile&) = delete;

    // False with the reason in *error (may be null); the old file is untouched either way.
    bool stage(std::string_view content, std::string* error);
    bool commit(std::string* error);

    const std::string& path() const { return _path; }
    Step failedStep() const { return _failedStep; }
    int failedErrno() const { return _failedErrno; }
    size_t bytesWritten() const { return _written; }

  private:
    bool fail(Step step, const std::string& what, std::string* error);
    void discard();

    std::string _path;
    mode_t _mode;
    std::string _temp;  // the staged file, empty when there is none
    Step _failedStep = Step::none;
    int _failedErrno = 0;
    size_t _written = 0;
};

// Writes one file whole or not at all (WholeFile). False with the reason in *error (may be null).
bool writeFileWhole(const std::string& path, std::string_view content, std::string* error, mode_t mode = 0644);

// Logs that grow with every line are cut at a size. rotateLog moves <path> to <path>.1, an older
// <path>.1 to <path>.2 and so on up to <path>.<keep>, whose older content is dropped; the next line
// starts a new <path>. The trace log and the framework's message and operations logs rotate this way.
void rotateLog(const std::string& path, int keep);
// Appends line and a newline to the log at path (made when missing), rotating it first (keeping keep
// older files) when the line would take it past limit bytes (0: no limit). A log and its kept files
// then never hold much more than (keep + 1) x limit bytes. Thread-safe. False (errno set) when the
// line cannot be written.
bool appendToLog(const std::string& path, std::string_view line, size_t limit, int keep);

// Removes the temporary files ("<name>.tmp.<pid>" or "<name>.tmp.<pid>.<n>") that a process killed
// while writing left in directory, except this process's own. Only for a directory no other process
// writes in (the agent holds its work directory's lock). The number removed.
int removeStaleTemporaries(const std::string& directory);

// The fatal exit: flush standard output and standard error, sleep 1 second, exit with code 1.
[[noreturn]] void fatalExit();
// The same after printing "Error: <reason>" on standard error whatever the trace settings: for a
// failure an operator must see on the console where the process was started, not only in the log.
[[noreturn]] void fatalExit(std::string_view reason);

}  // namespace vorpane

// ---------------------------------------------------------------------------------------------------
// Product specification: a text file of numbered items (docs/product-specification.md).

// Item numbers the system uses.
inline constexpr int ZOT2_PRODUCT_VARIANT = 0;  // 0: generic agent; non-zero: product agent
inline constexpr int ZOT2_PRODUCT_CODE = 1;
inline constexpr int ZOT2_NODE_TYPE = 2;
inline constexpr int ZOT2_PRODUCT_NAME = 3;
inline constexpr int ZOT2_AFFINITY = 4;
inline constexpr int ZOT2_SUBNODE_AFF_NAME = 6;
inline constexpr int ZOT2_SUBNODE_AFF_STRING = 7;
inline constexpr int ZOT2_AFFINITY_FEATURES = 8;
inline constexpr int ZOT2_NODE_TYPE_ACTIONS = 15;
inline constexpr int ZOT2_DP_TO_START = 18;
inline constexpr int ZOT2_DCH_PORT = 22;
inline constexpr int ZOT2_DP_PORT_OFFSET = 23;
inline constexpr int ZOT2_ZOTATBLS_FILENAME = 32;
inline constexpr int ZOT2_INSTANCE_NAME = 34;
inline constexpr int ZOT2_MAX_ITEM = 99;

// Loads the product specification: the file named by VORPANE_PRODUCT_SPEC, or the embedded default
// of the generic agent. False (with an error trace naming the file and line) when the file cannot
// be read or a line is malformed.
bool ZOT0_InitializeProductSpec(const char* subsystemId);

// The text of an item, or nothing when the item is absent.
std::optional<std::string> ZOT0_QueryProductSpec(int item);

// An item read as a number (atoi), or nothing when the item is absent or empty.
std::optional<int> ZOT0_QueryProductSpecNumber(int item);

namespace vorpane {
// Item 0 non-zero: a product agent rather than the generic agent.
inline bool productAgent() { return ZOT0_QueryProductSpecNumber(ZOT2_PRODUCT_VARIANT).value_or(0) != 0; }
}  // namespace vorpane

// Replaces an item's text in this process (the file is not rewritten). False for an item number
// outside 0..99.
bool ZOT0_UpdateProductSpec(int item, std::string_view value);

namespace vorpane {
// The embedded default (the text of a product-specification file).
std::string_view defaultProductSpec();
// Parses product-specification text; on failure returns false and sets *error to "line N: reason".
bool parseProductSpec(std::string_view text, std::string* error);
}  // namespace vorpane

// ---------------------------------------------------------------------------------------------------
// Text and names

// strtok with one position per thread: a null text continues the previous scan of this thread.
// A caller that splits in several steps restarts at an explicit offset.
char* ZOT0_strtok(char* text, const char* delimiters);

// Upper-cases in place. Returns 0 on failure (a null text), else 1.
int ZOT0_ConvertStringToUpper(char* text, int reserved = 0);
int ZOT0_ConvertStringToUpper(std::string& text);

// Keeps the last newLength of the length characters of text (drops characters at the left).
void ZOT0_TruncateFromLeft(char* text, int length, int newLength);
void ZOT0_TruncateFromLeft(std::string& text, std::size_t newLength);

// Removes every carriage return and line feed from text in place.
void ZOT0_RemoveCRandLF(char* text, int reserved = 0);

// Ends the field at its first `stop` character or NUL among its first limit - 1 bytes; without one,
// at byte limit - 1. The field must hold limit bytes.
void ZOT0_terminateString(char* field, char stop, int limit);

// Replaces every character other than letters, digits and "_" with "_", in place.
char* ZOT0_SubValidNameCharacter(char* name);
void ZOT0_SubValidNameCharacter(std::string& name);

// 3 for a dotted-decimal IPv4 address ("10.0.0.1"); for other texts made of digits and dots, the
// number of dots; otherwise 0.
int ZOT0_IsThisAddressString(const char* text);

// Makes a help text safe for the comma-, colon- and semicolon-separated information texts and the
// quoted strings of the generated files: each "," ":" ";" "\"" and control character becomes a blank.
char* ZOTA_validateHelpText(char* text);
void ZOTA_validateHelpText(std::string& text);

// directory (or the work directory when null) joined with name; "" when name is empty or the result
// would be longer than PATH_MAX.
std::string ZOT0_ConstructFullyQualifiedName(const char* directory, const char* name);

// Normalises a directory path: backslashes become "/", repeated "/" collapse, a trailing "/" goes.
std::string ZOT0_CheckPathSpec(std::string_view path);

// The current time as 16 characters "CYYMMDDHHMMSSmmm" (C: 1 for the years 2000 to 2099).
std::string ZOT0_GetPellanTime(int reserved = 0);

// CRC-16/CCITT-FALSE over exactly length bytes.
uint16_t ZOT0_ComputeCheckSum(const void* data, std::size_t length);

// A stable code of five characters (A-Z, 0-9) derived from an attribute-group name.
std::string ZOTA_ComputeChecksumOnAttrGroup(std::string_view attrGroup);

bool ZOT0_IsValidPointer(const void* p);

// Writes a hex and text dump of length bytes to the trace under traceClass.
void ZOT0_PrintDump(unsigned traceClass, const void* data, std::size_t length);

// ---------------------------------------------------------------------------------------------------
// Sockets (IPv4)
//
// Every socket is bound to the hub's bind address: 127.0.0.1 unless VORPANE_DCH_BIND names another
// IPv4 address (docs/configuration.md), so nothing listens beyond the local host unless asked to.

inline constexpr int ZOT0_SOCKET_TCP = 1;
inline constexpr int ZOT0_SOCKET_UDP = 2;

// Flag of ZOT0_OpenLocalSocket: the caller probes a series of ports, so a port in use is expected and
// traced as detail only; with 0 every failure is an error line.
inline constexpr int ZOT0_SOCKET_PROBE = 1;

// Opens a TCP (kind 1) or UDP (kind 2) socket bound to the bind address and port (network byte order;
// 0 for an ephemeral port) and writes the bound address into *address when address is not null.
// Returns the descriptor, or -1 with the errno in *error (EADDRINUSE, 98, when the port is taken).
int ZOT0_OpenLocalSocket(int kind, uint16_t port, sockaddr_in* address, int flag, int* error);

// Closes a descriptor opened by ZOT0_OpenLocalSocket or accepted from one. 0, or -1 with errno set.
int ZOT0_CloseTheSocket(int socket);

// The local port of a socket in host byte order, or -1.
int ZOT0_RetrieveSockPort(int socket);

// Fills *address with name (a dotted IPv4 address or a host name) and port (host byte order).
// 0 on success, 1 when the name does not resolve to an IPv4 address or the port is out of range.
int ZOT0_ConvertNameToAddr(const char* name, int port, sockaddr_in* address);

// The address clients use to reach the hub: "127.0.0.1" for the default binding (and for a binding to
// every interface), else the bind address. Nothing when VORPANE_DCH_BIND is not an IPv4 address.
std::optional<std::string> ZOT0_LocalHostNameString();

// ---------------------------------------------------------------------------------------------------
// Agent identity

// ZOTA_DCH_IPCTYPE: 1 sockets (default), 2 local.
int ZOTA_GetIPCtype();

// The instance name, or null when none was set.
const char* ZOTA_GetInstanceName();
void ZOTA_SetInstanceName(const char* name);

// Subnode names. The full ("untouched") name is "<source>:<applName><RR>", or "<source>:<suffix>"
// with a subnode suffix; at most 70 characters. The subnode name is the same text when it fits in 32
// characters; otherwise the source part loses characters at its left until it does. The attribute
// group does not enter the name: one subnode serves every group of an application's source.
// Returns 0, or 1 when a name is missing or the full name would exceed 70 characters.
int ZOTA_SetSubnodeName(const char* applName, const char* attrGroup, const char* sourceName, const char* rr,
                        vorpane::FixedText<32>* subnodeName, vorpane::FixedText<70>* untouched,
                        const char* subnodeSuffix);

// The application key (first three characters after the last ":"). 0, or 1 when there is none.
int ZOTA_GetApplKeyFromSubNodeName(const char* subnodeName, vorpane::FixedText<3>* applKey);

// The source name (the text before the last ":"). 0, or 1 when there is none.
int ZOTA_GetSrcNameFromSubNodeName(const char* subnodeName, std::string* sourceName);

// Starts `command` through /bin/sh as a child process. The process id, or -1.
pid_t ZOTA_StartDPprocess(const char* command);

// 1 when lists are to dump themselves (VORPANE_DEBUG=1), else 0.
int VA_Debug();

// ---------------------------------------------------------------------------------------------------
// Provider entry points (run on the provider threads that start-up creates)

void ZOTP_StartDataProvider(int* dpType);
void ZOTS_StartSNMPDataProvider(int* dpType);
// 0 while the API server provider is not ready.
int ZOTP_GetAPIServerComplete();
// Asks every running provider entry to return (orderly stop) and waits a little for them to go
// offline, so that a stop by signal leaves the hub with nothing half-sent.
void ZOTP_StopDataProviders();

namespace vorpane {
// The built-in data providers. The support library does not know them (they are clients of the hub
// built on this library); the process entry installs them before the provider threads start. Until
// then a provider entry announces itself and waits for the stop.
struct ProviderEntry {
    void (*run)(int dpType) = nullptr;   // runs on the provider thread until the stop
    void (*stop)() = nullptr;            // asks every run to return; returns when they did (bounded)
};
void setProviderEntry(ProviderEntry entry);
// What ZOTP_GetAPIServerComplete reports: the API server providers set it once the hub answers them.
void setAPIServerComplete(bool ready);
// The provider type name of a type number ("APIS" .. "NODP"), or "?" outside 0..11.
const char* dpTypeName(int dpType);
}  // namespace vorpane

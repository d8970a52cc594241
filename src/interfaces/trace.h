// The trace service of the support library.
//
// One trace for the whole process. A line is written only when its class bit is enabled; the class
// is checked before anything is formatted, so a disabled trace costs one relaxed load.
//
//   0x80 errors and warnings (on by default)   0x10 state          0x01 detail
//   0x02 storage (allocation and deletion)     0x04 data dumps     0x40 entry and exit
//
// Lines go to the log file of the running program in the work directory and, when asked, to
// standard error. Tests install a capture hook to assert on the lines that matter.
#pragma once

#include <atomic>
#include <functional>
#include <string_view>

namespace vorpane::trace {

inline constexpr unsigned kDetail = 0x01;
inline constexpr unsigned kStorage = 0x02;
inline constexpr unsigned kDump = 0x04;
inline constexpr unsigned kState = 0x10;
inline constexpr unsigned kFlow = 0x40;
inline constexpr unsigned kError = 0x80;
inline constexpr unsigned kAll = kDetail | kStorage | kDump | kState | kFlow | kError;

// The enabled classes. Read on every trace call; written by configure() and setMask().
extern std::atomic<unsigned> g_enabled;

inline bool enabled(unsigned cls) { return (g_enabled.load(std::memory_order_relaxed) & cls) != 0; }

// Formats and writes one line. The text is written as given; a trailing newline is not doubled.
void printf(unsigned cls, const char* function, const char* format, ...) __attribute__((format(printf, 3, 4)));

// Entry and exit events of the flow class.
void event(const char* function, int kind, long value);
inline constexpr int kEntry = 0;
inline constexpr int kExitValue = 1;
inline constexpr int kExit = 2;

// Parses a class selection: names (ERROR, STATE, DETAIL, STORAGE, DUMP, FLOW, ALL, NONE) separated
// by blanks, commas or "|", or a number (0x93, 147). Returns false and leaves mask alone when a word
// is not understood.
bool parseSelection(std::string_view text, unsigned* mask);

// Opens the log file <work directory>/<program>.log and reads VORPANE_TRACE (the class selection)
// and VORPANE_TRACE_STDERR (Y: copy every line to standard error). Called by BSS1_Main; lines
// traced before it go to standard error only.
void configure(const char* program);

unsigned mask();
void setMask(unsigned mask);
void setStderrCopy(bool on);

// The file lines are written to ("" before configure()).
std::string logPath();

// Test hook: receives every written line (class, function, text without its newline).
// The hook runs under the trace lock and must not trace.
using CaptureHook = std::function<void(unsigned cls, std::string_view function, std::string_view text)>;
void setCaptureHook(CaptureHook hook);

// Writes an entry event now and the exit event when the scope ends.
class FlowScope {
public:
    explicit FlowScope(const char* function) : _function(function) {
        if (enabled(kFlow)) {
            event(_function, kEntry, 0);
        }
    }
    ~FlowScope() {
        if (enabled(kFlow)) {
            event(_function, kExit, 0);
        }
    }
    FlowScope(const FlowScope&) = delete;
    FlowScope& operator=(const FlowScope&) = delete;

private:
    const char* _function;
};

}  // namespace vorpane::trace

#define VA_TRACE(cls, ...)                                          \
    do {                                                            \
        if (::vorpane::trace::enabled(cls)) {                       \
            ::vorpane::trace::printf((cls), __func__, __VA_ARGS__); \
        }                                                           \
    } while (0)

#define VA_ERROR(...) VA_TRACE(::vorpane::trace::kError, __VA_ARGS__)
#define VA_STATE(...) VA_TRACE(::vorpane::trace::kState, __VA_ARGS__)
#define VA_DETAIL(...) VA_TRACE(::vorpane::trace::kDetail, __VA_ARGS__)
#define VA_STORAGE(...) VA_TRACE(::vorpane::trace::kStorage, __VA_ARGS__)
#define VA_FLOW() ::vorpane::trace::FlowScope vaFlowScope_(__func__)

// The trace service: one lock, one log file, one optional copy to standard error, one capture hook.
#include "interfaces/trace.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "interfaces/support.h"

namespace vorpane::trace {

std::atomic<unsigned> g_enabled{kError};

namespace {

// The log is cut at this many bytes by default: it moves to <log>.1 (replacing an older one) and a
// new log begins, so the two never hold much more than twice the limit.
constexpr size_t kDefaultLogLimit = 16 * 1024 * 1024;
constexpr int kLogsKept = 1;
// An error line from the same place in the code is written at most this many times per interval;
// the rest are counted and the count is written when that line comes again after the interval.
constexpr int kRepeatsWritten = 5;
constexpr double kRepeatInterval = 60;

struct RepeatWindow {
    double start = 0;
    int written = 0;
    int suppressed = 0;
};

// Leaked on purpose: threads may still trace while the process exits.
struct Sink {
    std::mutex lock;
    FILE* file = nullptr;
    std::string path;
    size_t limit = kDefaultLogLimit;  // 0: no limit
    size_t size = 0;                  // bytes in the current log
    bool toStderr = false;
    CaptureHook hook;
    // Error lines by (function, format): how often each was written in its current interval.
    std::map<std::pair<const void*, const void*>, RepeatWindow> repeats;
};

Sink& sink() {
    static Sink* s = new Sink();
    return *s;
}

// Under the sink lock: the log moves to <log>.1 when this line would take it past its limit.
void rotateIfFull(Sink& s, size_t lineBytes) {
    if (s.file == nullptr || s.limit == 0 || s.size + lineBytes <= s.limit || s.size == 0) {
        return;
    }
    std::fclose(s.file);
    rotateLog(s.path, kLogsKept);
    s.file = std::fopen(s.path.c_str(), "w");
    s.size = 0;
}

// Under the sink lock: whether an error line from this place is written, and how many like it were
// held back since it last was (written first as a note).
bool admitRepeat(Sink& s, const char* function, const char* format, int* heldBack) {
    *heldBack = 0;
    if (format == nullptr) {
        return true;
    }
    const double now = clock::now();
    RepeatWindow& w = s.repeats[{static_cast<const void*>(function), static_cast<const void*>(format)}];
    if (w.written == 0 || now - w.start >= kRepeatInterval) {
        *heldBack = w.suppressed;
        w = RepeatWindow{now, 1, 0};
        return true;
    }
    if (w.written < kRepeatsWritten) {
        ++w.written;
        return true;
    }
    ++w.suppressed;
    return false;
}

void writeLine(unsigned cls, const char* function, std::string_view text, const char* format = nullptr) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tmv;
    localtime_r(&ts.tv_sec, &tmv);
    // Room for every value the fields' types allow, so no compiler can see a cut stamp.
    char stamp[128];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03ld", tmv.tm_year + 1900, tmv.tm_mon + 1,
                  tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec, ts.tv_nsec / 1000000);
    long tid = static_cast<long>(syscall(SYS_gettid));

    Sink& s = sink();
    std::lock_guard<std::mutex> guard(s.lock);
    // A capturing test sees every line; the log and standard error see a repeated error line a few
    // times per interval, and then how many more there were.
    if (s.hook) {
        s.hook(cls, function, text);
    }
    int heldBack = 0;
    if ((cls & kError) != 0 && !admitRepeat(s, function, format, &heldBack)) {
        return;
    }
    auto emit = [&](FILE* f, std::string_view line) {
        const int n = std::fprintf(f, "%s [%ld] (%s) %.*s\n", stamp, tid, function, static_cast<int>(line.size()),
                                   line.data());
        std::fflush(f);
        if (f == s.file && n > 0) {
            s.size += static_cast<size_t>(n);
        }
    };
    std::string note;
    if (heldBack > 0) {
        note = "Note: " + std::to_string(heldBack) + " more lines like the next one were not written in the last " +
               std::to_string(static_cast<int>(kRepeatInterval)) + " seconds";
    }
    if (s.file != nullptr) {
        rotateIfFull(s, text.size() + note.size() + 128);
    }
    auto write = [&](std::string_view line) {
        if (s.file != nullptr) {
            emit(s.file, line);
        }
        // Before the log is opened, lines go to standard error unless a test is capturing them.
        if (s.toStderr || (s.file == nullptr && !s.hook)) {
            emit(stderr, line);
        }
    };
    if (!note.empty()) {
        write(note);
    }
    write(text);
}

}  // namespace

void printf(unsigned cls, const char* function, const char* format, ...) {
    char small[1024];
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(small, sizeof small, format, ap);
    va_end(ap);
    if (n < 0) {
        writeLine(cls, function, "(trace format failed)");
        return;
    }
    if (static_cast<size_t>(n) < sizeof small) {
        writeLine(cls, function, std::string_view(small, static_cast<size_t>(n)), format);
        return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    va_start(ap, format);
    std::vsnprintf(big.data(), big.size(), format, ap);
    va_end(ap);
    big.resize(static_cast<size_t>(n));
    writeLine(cls, function, big, format);
}

void event(const char* function, int kind, long value) {
    char line[64];
    switch (kind) {
        case kEntry:
            writeLine(kFlow, function, "Entry");
            break;
        case kExitValue:
            std::snprintf(line, sizeof line, "Exit: 0x%lX", value);
            writeLine(kFlow, function, line);
            break;
        default:
            writeLine(kFlow, function, "Exit");
            break;
    }
}

bool parseSelection(std::string_view text, unsigned* out) {
    unsigned result = 0;
    size_t i = 0;
    bool any = false;
    while (i < text.size()) {
        while (i < text.size() && (std::isspace(static_cast<unsigned char>(text[i])) || text[i] == ',' || text[i] == '|')) {
            ++i;
        }
        size_t start = i;
        while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i])) && text[i] != ',' && text[i] != '|') {
            ++i;
        }
        if (start == i) {
            break;
        }
        std::string word(text.substr(start, i - start));
        for (char& c : word) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        any = true;
        if (word == "ERROR" || word == "ERRORS") {
            result |= kError;
        } else if (word == "STATE") {
            result |= kState;
        } else if (word == "DETAIL") {
            result |= kDetail;
        } else if (word == "STORAGE") {
            result |= kStorage;
        } else if (word == "DUMP" || word == "DUMPS") {
            result |= kDump;
        } else if (word == "FLOW") {
            result |= kFlow;
        } else if (word == "ALL") {
            result |= kAll;
        } else if (word == "NONE") {
            // nothing
        } else {
            char* end = nullptr;
            unsigned long v = std::strtoul(word.c_str(), &end, 0);
            if (end == word.c_str() || *end != '\0' || v > 0xFF) {
                return false;
            }
            result |= static_cast<unsigned>(v);
        }
    }
    if (!any) {
        return false;
    }
    *out = result;
    return true;
}

void configure(const char* program) {
    const char* selection = std::getenv("VORPANE_TRACE");
    unsigned m = kError;
    bool badSelection = false;
    if (selection != nullptr && *selection != '\0' && !parseSelection(selection, &m)) {
        badSelection = true;
        m = kError;
    }
    g_enabled.store(m, std::memory_order_relaxed);
    const char* copy = std::getenv("VORPANE_TRACE_STDERR");
    setStderrCopy(copy != nullptr && (copy[0] == 'Y' || copy[0] == 'y' || copy[0] == '1'));

    std::string name = (program != nullptr && *program != '\0') ? program : "vorpane";
    std::string path = workDirectory() + "/" + name + ".log";
    const char* limitText = std::getenv("VORPANE_TRACE_LIMIT");
    long long limit = static_cast<long long>(kDefaultLogLimit);
    bool badLimit = false;
    if (limitText != nullptr && *limitText != '\0') {
        char* end = nullptr;
        limit = std::strtoll(limitText, &end, 10);
        // A log shorter than a few lines would rotate at every line.
        if (*end != '\0' || (limit != 0 && limit < 4096)) {
            badLimit = true;
            limit = static_cast<long long>(kDefaultLogLimit);
        }
    }
    FILE* f = std::fopen(path.c_str(), "a");
    {
        Sink& s = sink();
        std::lock_guard<std::mutex> guard(s.lock);
        if (s.file != nullptr) {
            std::fclose(s.file);
        }
        s.file = f;
        s.path = f != nullptr ? path : std::string();
        s.limit = static_cast<size_t>(limit);
        s.size = 0;
        if (f != nullptr && std::fseek(f, 0, SEEK_END) == 0) {
            const long at = std::ftell(f);
            s.size = at > 0 ? static_cast<size_t>(at) : 0;
        }
    }
    if (badLimit) {
        VA_ERROR("Error: VORPANE_TRACE_LIMIT=<%s> is not 0 or a byte count of at least 4096; using %lld\n", limitText,
                 limit);
    }
    if (f == nullptr) {
        VA_ERROR("Error: cannot open trace log <%s>: %s; tracing to standard error\n", path.c_str(), std::strerror(errno));
    }
    if (badSelection) {
        VA_ERROR("Error: VORPANE_TRACE=<%s> is not a trace selection; tracing errors only\n", selection);
    }
}

unsigned mask() { return g_enabled.load(std::memory_order_relaxed); }
void setMask(unsigned m) { g_enabled.store(m, std::memory_order_relaxed); }

void setStderrCopy(bool on) {
    Sink& s = sink();
    std::lock_guard<std::mutex> guard(s.lock);
    s.toStderr = on;
}

std::string logPath() {
    Sink& s = sink();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.path;
}

void setCaptureHook(CaptureHook hook) {
    Sink& s = sink();
    std::lock_guard<std::mutex> guard(s.lock);
    s.hook = std::move(hook);
}

}  // namespace vorpane::trace

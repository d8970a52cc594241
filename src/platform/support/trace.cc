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
#include <mutex>
#include <string>

#include "interfaces/support.h"

namespace vorpane::trace {

std::atomic<unsigned> g_enabled{kError};

namespace {

// Leaked on purpose: threads may still trace while the process exits.
struct Sink {
    std::mutex lock;
    FILE* file = nullptr;
    std::string path;
    bool toStderr = false;
    CaptureHook hook;
};

Sink& sink() {
    static Sink* s = new Sink();
    return *s;
}

void writeLine(unsigned cls, const char* function, std::string_view text) {
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
    if (s.hook) {
        s.hook(cls, function, text);
    }
    auto emit = [&](FILE* f) {
        std::fprintf(f, "%s [%ld] (%s) %.*s\n", stamp, tid, function, static_cast<int>(text.size()), text.data());
        std::fflush(f);
    };
    if (s.file != nullptr) {
        emit(s.file);
    }
    // Before the log is opened, lines go to standard error unless a test is capturing them.
    if (s.toStderr || (s.file == nullptr && !s.hook)) {
        emit(stderr);
    }
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
        writeLine(cls, function, std::string_view(small, static_cast<size_t>(n)));
        return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    va_start(ap, format);
    std::vsnprintf(big.data(), big.size(), format, ap);
    va_end(ap);
    big.resize(static_cast<size_t>(n));
    writeLine(cls, function, big);
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
    FILE* f = std::fopen(path.c_str(), "a");
    {
        Sink& s = sink();
        std::lock_guard<std::mutex> guard(s.lock);
        if (s.file != nullptr) {
            std::fclose(s.file);
        }
        s.file = f;
        s.path = f != nullptr ? path : std::string();
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

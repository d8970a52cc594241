// Base services and agent identity.
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "interfaces/support.h"

extern char** environ;

namespace vorpane {
namespace {

struct WorkDir {
    std::mutex lock;
    std::string path;
    bool made = false;
};

WorkDir& workDir() {
    static WorkDir* w = new WorkDir();  // read by threads that may outlive main
    return *w;
}

}  // namespace

std::string workDirectory() {
    WorkDir& w = workDir();
    std::lock_guard<std::mutex> guard(w.lock);
    if (w.path.empty()) {
        const char* env = std::getenv("VORPANE_WORKDIR");
        w.path = (env != nullptr && *env != '\0') ? env : "work";
        while (w.path.size() > 1 && w.path.back() == '/') {
            w.path.pop_back();
        }
    }
    if (!w.made) {
        std::error_code ec;
        std::filesystem::create_directories(w.path, ec);
        // A failure shows when the first file cannot be opened there; the trace may not exist yet.
        w.made = !ec;
    }
    return w.path;
}

void setWorkDirectory(std::string path) {
    WorkDir& w = workDir();
    std::lock_guard<std::mutex> guard(w.lock);
    w.path = std::move(path);
    w.made = false;
}

void fatalExit() {
    std::fflush(stdout);
    std::fflush(stderr);
    BSS1_Sleep(1);
    std::exit(1);
}

void fatalExit(std::string_view reason) {
    std::fflush(stdout);
    std::fprintf(stderr, "Error: %.*s\n", static_cast<int>(reason.size()), reason.data());
    fatalExit();
}

}  // namespace vorpane

namespace {

// glibc gives a thread that allocates while the other arenas are busy an arena of its own, up to
// eight per core, and hands little of an arena's freed memory back. With the agent's eighty-odd
// threads the resident size crept up for minutes under a steady load while the live heap stayed
// flat; two arenas keep it flat. An operator's MALLOC_ARENA_MAX, which glibc has read already, stays.
void limitMallocArenas() {
#if defined(__GLIBC__)
    const char* set = std::getenv("MALLOC_ARENA_MAX");
    if (set == nullptr || *set == '\0') {
        mallopt(M_ARENA_MAX, 2);
    }
#endif
}

}  // namespace

void BSS1_Main(int* /*argc*/, char** /*argv*/, const char* taskName) {
    limitMallocArenas();
    const char* speed = std::getenv("VORPANE_TIME_SPEEDUP");
    if (speed != nullptr && *speed != '\0') {
        vorpane::clock::setSpeedup(std::atof(speed));
    }
    vorpane::trace::configure(taskName);
}

namespace {

// Keys the process set for itself. setenv would race every getenv on the other threads (the hub
// sets its port while clients read it), so a set key lives here instead, and the environment of the
// process stays as it started. Values are never freed: a pointer once returned stays valid.
struct EnvOverrides {
    std::mutex lock;
    std::map<std::string, std::unique_ptr<std::string>, std::less<>> values;
    std::vector<std::unique_ptr<std::string>> retired;
};

EnvOverrides& envOverrides() {
    static EnvOverrides* o = new EnvOverrides();  // read by threads that may outlive static destruction
    return *o;
}

}  // namespace

const char* BSS1_GetEnv(const char* key, int /*reserved*/) {
    if (key == nullptr) {
        return nullptr;
    }
    {
        EnvOverrides& o = envOverrides();
        std::lock_guard<std::mutex> guard(o.lock);
        if (auto found = o.values.find(std::string_view(key)); found != o.values.end()) {
            return found->second->c_str();
        }
    }
    return std::getenv(key);
}

bool BSS1_SetEnv(const char* key, const char* value) {
    if (key == nullptr || *key == '\0' || std::strchr(key, '=') != nullptr) {
        return false;
    }
    EnvOverrides& o = envOverrides();
    std::lock_guard<std::mutex> guard(o.lock);
    if (value == nullptr) {
        if (auto found = o.values.find(std::string_view(key)); found != o.values.end()) {
            o.retired.push_back(std::move(found->second));
            o.values.erase(found);
        }
        return true;
    }
    std::unique_ptr<std::string>& slot = o.values[key];
    if (slot) {
        o.retired.push_back(std::move(slot));
    }
    slot = std::make_unique<std::string>(value);
    return true;
}

std::vector<std::string> vorpane::environmentForChild() {
    std::vector<std::string> env;
    EnvOverrides& o = envOverrides();
    std::lock_guard<std::mutex> guard(o.lock);
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        const std::string_view entry(*e);
        const std::string_view key = entry.substr(0, entry.find('='));
        if (o.values.find(key) == o.values.end()) {
            env.emplace_back(entry);
        }
    }
    for (const auto& [key, value] : o.values) {
        env.push_back(key + "=" + *value);
    }
    return env;
}

const char* SIG1_SignalName(int signal) {
    switch (signal) {
        case SIGHUP:
            return "SIGHUP";
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGQUIT:
            return "SIGQUIT";
        default:
            return nullptr;
    }
}

int VA_Debug() {
    const char* v = std::getenv("VORPANE_DEBUG");
    return (v != nullptr && v[0] == '1') ? 1 : 0;
}

int ZOTA_GetIPCtype() {
    const char* v = std::getenv("ZOTA_DCH_IPCTYPE");
    // Unset or empty means sockets; any other text is taken as a number, so a typo shows up as the
    // hub's "Unrecognized IPC type" instead of silently falling back.
    if (v == nullptr || *v == '\0') {
        return 1;
    }
    return std::atoi(v);
}

namespace {

struct InstanceName {
    std::mutex lock;
    std::string name;
    bool set = false;
};

InstanceName& instance() {
    static InstanceName* i = new InstanceName();
    return *i;
}

}  // namespace

const char* ZOTA_GetInstanceName() {
    InstanceName& i = instance();
    std::lock_guard<std::mutex> guard(i.lock);
    // The name is set once at start-up, before other threads read it, so the pointer stays valid.
    return i.set ? i.name.c_str() : nullptr;
}

void ZOTA_SetInstanceName(const char* name) {
    InstanceName& i = instance();
    std::lock_guard<std::mutex> guard(i.lock);
    i.set = name != nullptr && *name != '\0';
    i.name = i.set ? name : "";
}

pid_t ZOTA_StartDPprocess(const char* command) {
    if (command == nullptr || *command == '\0') {
        return -1;
    }
    pid_t pid = -1;
    char sh[] = "/bin/sh";
    char dashC[] = "-c";
    std::string cmd(command);
    char* argv[] = {sh, dashC, cmd.data(), nullptr};
    // The agent blocks its shutdown signals in every thread; the child must not inherit that.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    // The keys the process set for itself (the hub's port) reach the child as well.
    std::vector<std::string> env = vorpane::environmentForChild();
    std::vector<char*> envp;
    envp.reserve(env.size() + 1);
    for (std::string& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    int rc = posix_spawn(&pid, "/bin/sh", nullptr, &attr, argv, envp.data());
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        VA_ERROR("Error: posix_spawn of <%s> failed: %s\n", command, std::strerror(rc));
        return -1;
    }
    return pid;
}

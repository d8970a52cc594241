// Base services and agent identity.
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

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

}  // namespace vorpane

void BSS1_Main(int* /*argc*/, char** /*argv*/, const char* taskName) {
    const char* speed = std::getenv("VORPANE_TIME_SPEEDUP");
    if (speed != nullptr && *speed != '\0') {
        vorpane::clock::setSpeedup(std::atof(speed));
    }
    vorpane::trace::configure(taskName);
}

const char* BSS1_GetEnv(const char* key, int /*reserved*/) {
    if (key == nullptr) {
        return nullptr;
    }
    return std::getenv(key);
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
    int rc = posix_spawn(&pid, "/bin/sh", nullptr, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        VA_ERROR("Error: posix_spawn of <%s> failed: %s\n", command, std::strerror(rc));
        return -1;
    }
    return pid;
}

// Provider entry points. The built-in providers are installed by the process entry
// (vorpane::setProviderEntry); without them an entry announces itself and stays up until the process
// is asked to stop, as a real provider thread would.
#include <atomic>

#include "interfaces/support.h"

namespace {

struct ProviderStop {
    vorpane::Mutex lock;
    vorpane::CondVar cond;
    bool stop VA_GUARDED_BY(lock) = false;
};

ProviderStop& providerStop() {
    static ProviderStop* p = new ProviderStop();  // provider threads may outlive main at exit
    return *p;
}

std::atomic<int> g_apiServerReady{0};
std::atomic<void (*)(int)> g_run{nullptr};
std::atomic<void (*)()> g_stop{nullptr};

constexpr const char* kTypeNames[] = {"APIS", "APPC", "ASFS", "FILE", "HTTP", "JDBC",
                                      "ODBC", "POST", "SNMP", "SOCK", "WBEM", "NODP"};

const char* typeName(const int* dpType) {
    if (dpType == nullptr || *dpType < 0 || *dpType > 11) {
        return "?";
    }
    return kTypeNames[*dpType];
}

void runUntilStopped(const char* kind, int* dpType) {
    const char* name = typeName(dpType);
    if (auto run = g_run.load(); run != nullptr && dpType != nullptr) {
        run(*dpType);
        return;
    }
    VA_STATE("%s data provider <%s> started\n", kind, name);
    if (dpType != nullptr && (*dpType == 0 || *dpType == 2)) {
        g_apiServerReady.store(1);  // the API server answers as soon as its provider runs
    }
    ProviderStop& p = providerStop();
    {
        vorpane::ScopedLock guard(p.lock);
        if (guard.ok()) {
            p.cond.waitUntil(p.lock, -1, [&]() VA_REQUIRES(p.lock) { return p.stop; });
        }
    }
    VA_STATE("%s data provider <%s> stopped\n", kind, name);
}

}  // namespace

void ZOTP_StartDataProvider(int* dpType) { runUntilStopped("ZOTP", dpType); }

void ZOTS_StartSNMPDataProvider(int* dpType) { runUntilStopped("ZOTS", dpType); }

int ZOTP_GetAPIServerComplete() { return g_apiServerReady.load(); }

void ZOTP_StopDataProviders() {
    {
        ProviderStop& p = providerStop();
        vorpane::ScopedLock guard(p.lock);
        p.stop = true;
        p.cond.broadcast();
    }
    if (auto stop = g_stop.load(); stop != nullptr) {
        stop();
    }
}

namespace vorpane {

void setProviderEntry(ProviderEntry entry) {
    g_run.store(entry.run);
    g_stop.store(entry.stop);
}

void setAPIServerComplete(bool ready) { g_apiServerReady.store(ready ? 1 : 0); }

const char* dpTypeName(int dpType) { return typeName(&dpType); }

}  // namespace vorpane

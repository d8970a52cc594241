// Process entry and the agent's main routine: configuration, identity, the hub, the lists, the
// monitors, the providers, the framework thread, the client process, and the order of shutdown.
//
// Threads: main runs start-up and then blocks in the joins. Shutdown signals are taken by one
// dedicated thread with sigwait (they are blocked everywhere else), so CleanUp runs as ordinary code
// that may trace and take locks.
#include "agent/va_main.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "agent/agent_lists.h"
#include "agent/dp_selection.h"
#include "agent/monitors.h"
#include "agent/startup.h"
#include "datapath/source_activity.h"
#include "agent/take_action.h"
#include "agent/va_limits.h"
#include "api/api_server.h"
#include "datapath/atomic_situation_list.h"
#include "datapath/samples_list.h"
#include "hub/dch_server.h"
#include "interfaces/axf.h"
#include "interfaces/axf_facade.h"
#include "interfaces/dch_client.h"
#include "interfaces/support.h"
#include "providers/agent_application.h"
#include "tables/fixed_tables.h"
#include "tables/zot_vorpane_agent.h"

int DCHtcpSocket = -1;

namespace {

constexpr size_t kMaxProgramPath = 511;
const char* const kDefaultProductName = "Vorpane Agent";

bool g_stop = false;
// Set by the signal thread when a shutdown signal ends the process.
std::atomic<bool> g_signalExit{false};
pid_t g_childProcess = 0;  // hChildProcess
char g_zotagent[] = "zotagent";
char* g_axfArgv[] = {g_zotagent, nullptr};

std::string productName() {
    std::optional<std::string> name = ZOT0_QueryProductSpec(ZOT2_PRODUCT_NAME);
    return name ? *name : std::string(kDefaultProductName);
}

// The product specification as the operator gave it: its file, or the embedded default.
std::string productSpecSource() {
    const char* file = BSS1_GetEnv("VORPANE_PRODUCT_SPEC", 0);
    return file != nullptr && *file != '\0' ? std::string(file) : std::string("(embedded default)");
}

// Lines printed whatever the trace settings: "<product><text>".
void printLine(const std::string& product, const char* text) {
    std::printf("%s%s", product.c_str(), text);
    std::fflush(stdout);
}

// Step 1 of main: as many open files as the hard limit allows.
void raiseFileLimit() {
    struct rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) {
        VA_ERROR("Warning: getrlimit failed, errno=%d\n", errno);
        return;
    }
    VA_STATE("getrlimit returned %d for Max Number of FDs\n", static_cast<int>(lim.rlim_max));
    lim.rlim_cur = lim.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &lim) != 0) {
        VA_ERROR("Warning: setrlimit failed, errno=%d\n", errno);
    }
}

// Step 5 of main: block the shutdown signals in every thread and take them on one thread.
void installShutdownSignals() {
    sigset_t set;
    sigemptyset(&set);
    struct {
        int signal;
        const char* name;
    } const shutdownSignals[] = {{SIGHUP, "SIGHUP"}, {SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}};
    for (const auto& s : shutdownSignals) {
        if (sigaddset(&set, s.signal) == 0) {
            VA_STATE("SIG1_Action for %s has been set\n", s.name);
        } else {
            VA_ERROR("SIG1_Action for %s failed, errno = %d\n", s.name, errno);
        }
    }
    int rc = pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (rc != 0) {
        VA_ERROR("Warning: pthread_sigmask failed, errno=%d\n", rc);
        return;
    }
    rc = ZOT0_CreateThread(
        [set] {
            int signal = 0;
            while (sigwait(&set, &signal) != 0) {
            }
            CleanUp(signal);
        },
        1, nullptr, "signals");
    if (rc != 0) {
        VA_ERROR("Warning: signal thread failed creation: errno=%d\n", rc);
    }
}

// Steps 3 of VA_Main: identity of the agent from the instance name and the product specification.
void setFrameworkIdentity() {
    std::string subsystemId = subsystemIdFromInstance(ZOTA_GetInstanceName());

    if (!ZOT0_InitializeProductSpec(subsystemId.c_str())) {
        VA_ERROR("Error: Initialization of Product Specification File failed.  Exiting...\n");
        vorpane::fatalExit("the product specification " + productSpecSource() +
                           " cannot be read or has a malformed line (the trace log " +
                           vorpane::trace::logPath() + " says which)");
    }
    std::optional<std::string> nodeType = ZOT0_QueryProductSpec(ZOT2_NODE_TYPE);
    std::optional<std::string> affinity = ZOT0_QueryProductSpec(ZOT2_AFFINITY);
    std::optional<std::string> productCode = ZOT0_QueryProductSpec(ZOT2_PRODUCT_CODE);
    std::optional<std::string> product = ZOT0_QueryProductSpec(ZOT2_PRODUCT_NAME);
    if (product) {
        printLine(*product, " startup in progress\n");
    }
    if (!nodeType || !affinity || !productCode || !product) {
        auto ptr = [](const std::optional<std::string>& s) {
            return s ? static_cast<const void*>(s->c_str()) : nullptr;
        };
        VA_ERROR("Error: nodeTypePtr<@%p> affPtr<@%p> productCodePtr<@%p> productNamePtr<@%p>.  Exiting...\n",
                 ptr(nodeType), ptr(affinity), ptr(productCode), ptr(product));
        std::string missing;
        for (const auto& [item, what] :
             {std::pair{&nodeType, "2 (node type)"}, std::pair{&affinity, "4 (affinity)"},
              std::pair{&productCode, "1 (product code)"}, std::pair{&product, "3 (product name)"}}) {
            if (!*item) {
                missing += (missing.empty() ? "" : ", ") + std::string(what);
            }
        }
        vorpane::fatalExit("the product specification " + productSpecSource() + " lacks item " + missing);
    }
    VA_STATE("nodeTypePtr<%s> affPtr<%s> productCodePtr<%s> productNamePtr<%s>\n", nodeType->c_str(),
             affinity->c_str(), productCode->c_str(), product->c_str());

    if (!subsystemId.empty()) {
        std::optional<std::string> host = AXF_GetHostname();
        if (!host) {
            VA_ERROR("Error: AXF_GetHostname returned null string, unable to reset heartbeat probe name for Instance "
                     "<%s>\n",
                     subsystemId.c_str());
        } else {
            VA_STATE("AXF hostname <%s>\n", host->c_str());
            shortenForHeartbeat(subsystemId, *host, *nodeType, BSS1_GetEnv("PLAXF_HOSTNAME", 0));
            AXF_SetSubsystemId(subsystemId.c_str());
            VA_STATE("New AXF subsystemID <%s>\n", AXF_GetSubsystemId().c_str());
        }
    }

    AXF_SetNodeType(nodeType->c_str());
    AXF_SetAffinity(affinity->c_str());
    char version[16];
    std::snprintf(version, sizeof version, "%s.10.00", "04");
    VA_STATE(" formatted version<%s>\n", version);
    AXF_SetProduct(productCode->c_str(), version);
    AXF_RegisterAgentLoader(LoadAgents);
}

// The hub's counts as the framework hands them to the metrics.
std::vector<axf::Figure> hubFigures(const DCHserver& hub) {
    const DCHfigures& f = hub.figures();
    std::vector<axf::Figure> out;
    for (const auto& [name, count] : f.requests()) {
        out.push_back(axf::Figure{"vorpane_hub_requests_total", "Requests the hub took, by request", true,
                                  {{"request", name}}, static_cast<double>(count)});
    }
    out.push_back(axf::Figure{"vorpane_hub_rows_total", "Rows the hub took from providers (dp_data answered 0)",
                              true, {}, static_cast<double>(f.rows())});
    out.push_back(axf::Figure{"vorpane_hub_malformed_requests_total",
                              "Requests without a readable or known request code", true, {},
                              static_cast<double>(f.malformedRequests())});
    const uint64_t accepted = hub.connectionsAccepted();
    const uint64_t closed = f.connectionsClosed();
    out.push_back(axf::Figure{"vorpane_hub_connections_total", "TCP connections the hub accepted", true, {},
                              static_cast<double>(accepted)});
    out.push_back(axf::Figure{"vorpane_hub_connections", "TCP connections open", false, {},
                              static_cast<double>(accepted >= closed ? accepted - closed : 0)});
    out.push_back(axf::Figure{"vorpane_hub_queued_requests", "Requests waiting in the hub's queue", false, {},
                              static_cast<double>(hub.queuedRequests())});
    return out;
}

// Step 4 of VA_Main: the hub, its ready handshake, and the client side of its protocol.
// The ready lock is reached through the hub's accessor, which the lock analysis cannot follow.
std::unique_ptr<DCHserver> startHub() VA_NO_THREAD_SAFETY_ANALYSIS {
    VA_STATE("Initializing DCH env check mutex [@%p]\n", static_cast<void*>(&ZOTA_GetEnvVarsInitLock()));
    auto hub = std::make_unique<DCHserver>();

    vorpane::Mutex& readyLock = *hub->readyLock();
    if (ZOTA_GetLock(readyLock, nullptr) != 0) {
        VA_ERROR("Error: unable to acquire the DCHServer ready lock\n");
        g_stop = true;
        return hub;
    }
    if (hub->readyState() == 0) {
        VA_STATE("Waiting for DCHServer to notify us it is ready for request.\n");
        while (hub->readyState() == 0) {
            int rc = hub->readyCond()->wait(readyLock);
            if (rc != 0) {
                VA_ERROR("Error: pthread_cond_wait failed. rc=%d errno=%d\n", rc, errno);
                g_stop = true;
                break;
            }
        }
        VA_STATE("DCHServer ready to process request.\n");
    } else {
        VA_STATE("DCHServer was ready to process request.\n");
    }
    if (auto* server = dynamic_cast<ipcSock*>(hub->getIpcSrv()); server != nullptr) {
        DCHtcpSocket = server->sockTCP();
        VA_STATE("Using DCH TCP socket %d for ipcSrv @%p\n", DCHtcpSocket, static_cast<void*>(server));
        const int port = server->sockPortTCP();
        VA_STATE("Hub listening on port %d\n", port);
        std::printf("%s hub listening on port %d\n", productName().c_str(), port);
        std::fflush(stdout);
    }
    if (ZOTA_ReleaseLock(readyLock, nullptr) != 0) {
        g_stop = true;
    }
    DCH_api_init();
    return hub;
}

void startMonitors() {
    VA_STATE("Creating thread to monitor deferred report requests");
    if (ZOT0_CreateThread(monitorDeferredRequests, 1, nullptr, "mon-deferred") == 0) {
        VA_STATE("monitorDeferredRequests thread created.\n");
    } else {
        VA_ERROR("Error: monitorDeferredRequests thread failed creation.\n");
    }
    int rc = ZOT0_CreateThread(monitorDPStatus, 1, nullptr, "mon-dpstatus");
    if (rc == 0) {
        VA_STATE("monitorDPStatus thread created.\n");
    } else {
        VA_ERROR("Error: monitorDPStatus thread failed creation. errno=%d\n", rc);
        g_stop = true;
    }
}

DPSelection chooseProviders(int argc, char** argv, const VA_ConfigKeys& keys) {
    DPSelection sel;
    if (!vorpane::productAgent()) {
        std::vector<std::string> args;
        for (int i = 1; i < argc; ++i) {
            args.emplace_back(argv[i] != nullptr ? argv[i] : "");
        }
        sel = chooseDataProvidersFromArgs(args, keys.startupDP);
    } else {
        sel = chooseDataProvidersFromProductSpec(ZOT0_QueryProductSpec(ZOT2_DP_TO_START));
    }
    if (sel.fatal) {
        vorpane::fatalExit("the product specification names no data provider to start (item 18)");
    }
    if (sel.stop) {
        g_stop = true;
    }
    return sel;
}

// The management API starts before any provider: an agent asked for an API that cannot serve it
// (its port in use, a bad setting) does not start at all, and says why on the console.
void startApi() {
    vorpane::api::AgentApiInfo api;
    std::string error;
    if (!vorpane::api::startAgentApi(&api, &error)) {
        vorpane::fatalExit("the management API cannot start: " + error +
                           " (VORPANE_API_PORT chooses the port; 0 turns the API off)");
    }
    const std::string product = productName();
    if (!api.on) {
        const std::string line = api.off.empty() ? std::string(" management API off (VORPANE_API_PORT=0)\n")
                                                 : " management API off: " + api.off + "\n";
        printLine(product, line.c_str());
        return;
    }
    std::printf("%s management API listening on %s, token in %s\n", product.c_str(), api.listening.c_str(),
                api.token.c_str());
    // The token stays out of the URL: console output ends up in logs. The page asks for it once, or
    // takes it from the URL's fragment ("#token=...") when the operator adds it.
    const bool https = api.address.rfind("https://", 0) == 0;
    std::printf("%s status page at %s%s/\n", product.c_str(), https ? "" : "http://", api.address.c_str());
    std::fflush(stdout);
}

void startClientProcess(const VA_ConfigKeys& keys, const std::vector<DPsToStartEntry>& entries) {
    if (keys.clientProcess == nullptr) {
        return;
    }
    bool apiProvider = false;
    for (size_t i = 0; i < entries.size(); ++i) {
        VA_DETAIL("Checking if DPsToStart[%d] value <%s> is APIS or ASFS\n", static_cast<int>(i), entries[i].name.c_str());
        if (entries[i].name == "APIS" || entries[i].name == "ASFS") {
            apiProvider = true;
            break;
        }
    }
    if (apiProvider && keys.waitForAPIServer != nullptr &&
        std::toupper(static_cast<unsigned char>(keys.waitForAPIServer[0])) == 'Y') {
        int ready = ZOTP_GetAPIServerComplete();
        if (ready == 0) {
            VA_STATE("The API Server is NOT ready to go.\n");
        }
        for (int attempt = 0; ready == 0 && attempt < 5; ++attempt) {
            VA_STATE("Wait 3 seconds for the API Server to finish <%d>\n", attempt);
            BSS1_Sleep(3);
            ready = ZOTP_GetAPIServerComplete();
        }
    }
    VA_STATE("Calling StartDPprocess with clientProcess <%s>\n", keys.clientProcess);
    g_childProcess = ZOTA_StartDPprocess(keys.clientProcess);
    if (g_childProcess < 1) {
        VA_ERROR("Error: failed to start process <%s>\n", keys.clientProcess);
    } else {
        VA_STATE("Process <%s> successfully started using handle [%lx]\n", keys.clientProcess,
                 static_cast<unsigned long>(g_childProcess));
    }
}

}  // namespace

int VA_Main(int argc, char** argv) {
    const VA_ConfigKeys keys = fetchConfigKeys();

    setFrameworkIdentity();

    setVaLimits(parseConfigKeys(keys, vorpane::productAgent()));

    std::unique_ptr<DCHserver> hub = startHub();
    axf::setFigureSource([server = hub.get()] { return hubFigures(*server); });
    axf::setSourceActivitySource([] { return vorpane::datapath::sourceActivityBook().list(); });
    // Cleared before the hub goes, on every way out of this function.
    struct FigureSourceGuard {
        ~FigureSourceGuard() {
            axf::setFigureSource(nullptr);
            axf::setSourceActivitySource(nullptr);
        }
    } figureSourceGuard;
    createAgentLists();
    zot_vorpane_agent::installDeferredReportRedrive();

    if (keys.atomicSituations != nullptr) {
        parseAtomicSituations(keys.atomicSituations, *atomicSituations(), Max_IB_Columns());
    }

    startMonitors();

    DPSelection providers = chooseProviders(argc, argv, keys);
    if (g_stop) {
        return 0;
    }
    startApi();

    // The agent's own DPLOG source, before any provider: while it is online the hub logs every
    // automation action as a row of VAGENT's ACTION group. A product agent whose own application is
    // the action source (item 15) has its provider bring that application's DPLOG online instead.
    vorpane::providers::ActionLogSource actionLog(vorpane::HubOptions::fromEnvironment());
    const bool productActionSource =
        vorpane::productAgent() && ZOT0_QueryProductSpecNumber(ZOT2_NODE_TYPE_ACTIONS).value_or(0) != 0;
    if (!productActionSource && !actionLog.start()) {
        VA_ERROR("Error: the action log source did not come online; actions are not logged\n");
    }

    std::vector<DPsToStartEntry>& entries = providers.entries;
    startDataProviders(entries);
    AXF_RegisterCommandCallback("*", VA_Action);

    pthread_t framework{};
    int rc = ZOT0_CreateThread(startAXF, 0, &framework, "axf");
    if (rc != 0) {
        VA_ERROR("Error: startAXF thread failed creation: errno=%d\n", rc);
        g_stop = true;
    } else {
        VA_STATE("startAXF thread created.\n");
        startClientProcess(keys, entries);
        const std::string product = productName();
        if (entries.empty()) {
            printLine(product, " startup complete.\n");
            VA_STATE("Waiting for startAXF thread to complete.\n");
            rc = pthread_join(framework, nullptr);
            if (rc != 0) {
                VA_ERROR("Error: pthread_join failed: errno=%d\n", rc);
            }
        } else {
            std::printf("%s startup complete.  %d Data Provider(s) now being started...\n", product.c_str(),
                        static_cast<int>(entries.size()));
            std::fflush(stdout);
            for (DPsToStartEntry& e : entries) {
                if (g_stop) {
                    break;
                }
                if (e.started) {
                    VA_STATE("Waiting for %s DP thread(s) to complete...\n", e.name.c_str());
                    rc = pthread_join(e.thread, nullptr);
                    if (rc != 0) {
                        VA_ERROR("Error: pthread_join for %s DP failed: errno=%d\n", e.name.c_str(), rc);
                        g_stop = true;
                    } else {
                        VA_STATE("Thread for %s DP completed.\n", e.name.c_str());
                    }
                } else {
                    VA_STATE("%s DP did not start. Not waiting.\n", e.name.c_str());
                }
            }
            // Providers that are not in this build end their threads at once; the agent goes on
            // with the framework until it is stopped.
            if (!g_stop) {
                VA_STATE("Waiting for startAXF thread to complete.\n");
                rc = pthread_join(framework, nullptr);
                if (rc != 0) {
                    VA_ERROR("Error: pthread_join failed: errno=%d\n", rc);
                }
            }
        }
    }

    // A shutdown signal ends the process from the signal thread; the joins above return because
    // that thread stopped the framework. Running the teardown and a second exit here as well would
    // race it through the exit handlers, so this thread waits for the end instead.
    if (g_signalExit.load()) {
        for (;;) {
            pause();  // every signal is blocked on this thread: only the process's exit ends the wait
        }
    }

    actionLog.stop();
    // The hub's request thread reads the lists (deferred and demand reports): it ends first.
    hub->stop();
    vorpane::api::stopAgentApi();
    deleteAgentLists();
    DCH_api_destroy();
    return 0;
}

void startAXF() {
    BSS1_Sleep(1);
    if (dataSamples() != nullptr && startedProbes() != nullptr && tableManagers() != nullptr) {
        VA_STATE("Calling AXF framework...\n");
        zrfmain(1, g_axfArgv);
    } else {
        VA_ERROR("Error: not calling AXF framework, agent initialization never completed.\n");
    }
}

int LoadAgents() {
    t7srv_rmtfile_init();
    std::optional<std::string> code = ZOT0_QueryProductSpec(ZOT2_PRODUCT_CODE);
    if (vorpane::productAgent() && code && *code == "EB") {
        VA_ERROR("Starting the HP/ITO Alert Emitter probe...\n");
        qeb_qebact_init();
    } else {
        zot_zotact_init();
    }
    return 0;
}

void CleanUp(int signal) {
    VA_STATE("Signal %d captured\n", signal);
    if (const char* name = SIG1_SignalName(signal); name != nullptr) {
        VA_ERROR("Shutdown signal captured: %s\n", name);
    }
    g_signalExit = true;
    // A signal is how an agent is stopped: the console shows the same two lines as an agent whose
    // main routine ended.
    const std::string product = productName();
    printLine(product, " shutdown in progress\n");
    ZOTP_StopDataProviders();  // sources go offline before the process ends
    vorpane::api::stopAgentApi();
    AXF_Shutdown(1);
    printLine(product, " shutdown complete\n");
    std::exit(0);
}

void StopAgentProcess() { VA_ERROR("%s process being stopped\n", productName().c_str()); }

int agentMain(int argc, char** argv) {
    std::string program = argc > 0 && argv[0] != nullptr ? std::string(argv[0]).substr(0, kMaxProgramPath) : "";
    size_t slash = program.rfind('/');
    std::string taskName = slash == std::string::npos ? program : program.substr(slash + 1);

    // The trace log is named after the task; open it before the first line is traced.
    BSS1_Main(&argc, argv, taskName.c_str());

    raiseFileLimit();
    VA_STATE("Starting program <%s>\n", program.c_str());
    std::string instanceName;
    if (!taskName.empty()) {
        VA_STATE("Starting taskname <%s>\n", taskName.c_str());
        size_t underscore = taskName.find('_');
        if (underscore != std::string::npos && underscore + 1 < taskName.size()) {
            instanceName = taskName.substr(underscore + 1);
            VA_STATE("Starting instance name <%s>\n", instanceName.c_str());
        }
    }
    ZOTA_SetInstanceName(instanceName.empty() ? nullptr : instanceName.c_str());

    installShutdownSignals();
    std::atexit(StopAgentProcess);

    VA_Main(argc, argv);

    const std::string product = productName();
    printLine(product, " shutdown in progress\n");
    AXF_Shutdown(1);
    printLine(product, " shutdown complete\n");
    return 0;
}

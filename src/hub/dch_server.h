// DCHserver: the Data Collection Hub. One object per process, created by the process entry before any
// provider starts. It owns the application space, the waiting list, a server-role transport that
// receives requests and a client-role transport through which it replies.
//
// Threads: the transport's server thread fills the request queue; one request thread takes one
// message at a time and runs its handler while holding the hub lock for its whole life, so the
// handlers, the application space and the waiting list are only ever touched by that thread.
// The process entry waits once on the ready handshake (readyLock/readyCond/readyState).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "hub/action_table.h"
#include "hub/dch_figures.h"
#include "hub/dch_handlers.h"
#include "hub/dch_ipc.h"
#include "hub/dch_sender.h"
#include "interfaces/dch_flow.h"
#include "interfaces/sync.h"

class applSpaceList;
class DCwaitingList;
class DCwaitingListEntry;

class DCHserver : public DCHrequestHandlers {
public:
    DCHserver();
    ~DCHserver() override;
    DCHserver(const DCHserver&) = delete;
    DCHserver& operator=(const DCHserver&) = delete;

    // The ready handshake: take readyLock(); while readyState() is 0 wait on readyCond(); release.
    short readyState() VA_REQUIRES(_readyLock) { return _readyState; }
    vorpane::Mutex* readyLock() VA_RETURN_CAPABILITY(_readyLock) { return &_readyLock; }
    vorpane::CondVar* readyCond() { return &_readyCond; }

    DCHipc* getIpcSrv() { return _ipcSrv.get(); }
    int max_Applications() const override { return _maxApplications; }
    int max_AttrGroup_Per_Appl() const { return _maxAttrGroupPerAppl; }

    // The request thread's body and its loop.
    static void process_request(DCHserver* server);
    void processRequest();
    // Request thread, when the port is taken: tells the collectors of this process where the hub's
    // datagrams come from (DCH_publishReplyPort).
    void publishReplyPort();

    // A provider's TCP connection closed: its sources go offline, its applications are unregistered,
    // its waiter is dropped.
    void processDisconnect(unsigned int connectedSockFD);
    // Replies to the sender of the current request: DCH_status, and DCH_handle unless handle is -99.
    void sendStatus(long status, long handle);
    // The reply to dp_register: DCH_status, and for a key held by another application its name.
    void sendRegisterStatus(long status);
    void dch_shutdown(char*) {}

    // Stops the request thread (tests and orderly shutdown): the hub serves no more requests
    // afterwards. The process calls it before the lists the handlers use go away; a handler that
    // pauses (waitWhileRunning) ends its pause at once.
    void stop();

    // ---- Provider requests. message holds one whole request; its fields start at byte 12.
    int dp_register(std::string_view message);
    int dp_online(std::string_view message, const char* clientName, long* handle);
    int dp_data(std::string_view message);
    int dp_offline(std::string_view message) override;
    int dp_unregister(std::string_view message) override;

    // ---- Collector requests. An empty message is notify mode: the answer goes to the given address
    // and connection instead of the current sender.
    void dc_waitOnData(std::string_view message, long handle, const DCHclientAddr& clientAddr,
                       unsigned int connectedSockFD);
    void dc_waitForDPStatus(std::string_view message, const char* applName, const char* attrGroup,
                            const char* sourceName, short requestType, const DCHclientAddr& clientAddr,
                            unsigned int connectedSockFD) override;
    void dc_getApplications(std::string_view message, const char* applName, const DCHclientAddr& clientAddr,
                            unsigned int connectedSockFD);
    void dc_getApplAttributes(std::string_view message, const char* applName, const DCHclientAddr& clientAddr,
                              unsigned int connectedSockFD);
    void dc_getApplHelp(std::string_view message, const char* applName, const DCHclientAddr& clientAddr,
                        unsigned int connectedSockFD);
    int dc_deferReportRequest(std::string_view message);
    int dp_redriveReportRequest(std::string_view message);
    int dp_setDemandReportOption(std::string_view message);
    void dp_cancel(std::string_view) {}

    // ---- Action requests (answered by the action table).
    int dp_waitForAction(std::string_view message);
    int dp_provideActionResults(std::string_view message);
    int dc_provideAction(std::string_view message);
    int dc_waitForActionResults(std::string_view message, int* actionResult);

    // Sends a built message to an address or connection through the reply transport. Data messages
    // held back for the same connection go first, so that it receives everything in order.
    int sendTo(const char* message, uint32_t length, const DCHclientAddr& clientAddr, unsigned int connectedSockFD);

    // Tests and benchmarks: how replies leave (null on the local transport).
    DCHsender* sender() { return _sender.get(); }

    // Flow control towards collectors. A subscriber by datagram of this process has a window
    // (interfaces/dch_flow.h) of at most VORPANE_DCH_COLLECTOR_WINDOW bytes of charge, never more than
    // its socket's receive buffer; a collector on a TCP connection may have at most half the sender's
    // queue bound waiting. Past that the request thread waits for the collector, and reads no further
    // requests meanwhile. A collector that takes nothing for VORPANE_DCH_COLLECTOR_STALL seconds is
    // no longer waited for until it takes again. A window of 0 turns flow control off.
    static constexpr uint64_t kDefaultCollectorWindow = 8 * 1024 * 1024;
    static constexpr uint64_t kLeastCollectorWindow = 64 * 1024;
    static constexpr double kDefaultCollectorStall = 10;
    static uint64_t collectorWindowFromEnvironment();
    static double collectorStallFromEnvironment();

    // What the hub has counted (any thread).
    const DCHfigures& figures() const { return _figures; }
    uint64_t connectionsAccepted() const { return _ipcSrv ? _ipcSrv->connectionsAccepted() : 0; }
    // Entries waiting in the queue right now (an entry may hold several requests of one connection).
    int queuedRequests() const { return _ipcSrv ? _ipcSrv->ipc_queued() : 0; }

    // Tests: the registry and the waiting list (only while the request thread is not running them).
    applSpaceList* applSpace() { return _buckets.get(); }
    actionTable* getActionTable() { return _actionTable.get(); }
    DCwaitingList* waitingList() { return _waitList.get(); }

private:
    // A queue entry from a TCP connection may hold several whole requests of its sender, back to
    // back (the transport queues what one receive brought together); they are handled one after
    // another, each as if it had been queued alone. firstOfEntry gives the entry's first request and
    // keeps the rest; nextOfEntry gives the next one. Request thread only.
    std::string_view firstOfEntry(std::string_view entry);
    std::string_view nextOfEntry();
    // Requests that wait right now: the rest of the current entry and the entries in the queue.
    int waitingRequests() const { return _entryRequests + _ipcSrv->ipc_queued(); }
    std::string_view _entryRest;  // points into the request loop's buffer
    int _entryRequests = 0;

    // Data messages for collectors on TCP connections are held back while further requests wait,
    // and leave as one send per connection when the requests that were already waiting when the
    // first was held have been handled, when nothing waits any more, before any request other than
    // dp_data is handled, or before anything else goes to that connection. A collector then takes a burst of rows with one wake-up instead of one per row,
    // each connection still receives its messages in the order they were made, and a message waits
    // at most for the handling of the requests queued ahead of it.
    // Held data also leaves once this much has gathered (a large values buffer).
    static constexpr size_t kMaxHeldData = 16 * 1024;
    //
    // A datagram subscriber that asked for packed datagrams (DCH_PACKED_DATAGRAMS) has its data
    // messages held the same way, by its address; they leave as datagrams of whole messages back to
    // back, each at most one reply datagram long (a longer message goes alone, in pieces, as before).
    struct HeldData {
        unsigned int connectedSockFD = 0;  // 0: a datagram subscriber at address
        DCHclientAddr address;
        std::vector<char> bytes;
    };
    // Holds one data message (or, with row false, a reply); true when the held data must leave now.
    bool holdData(const char* message, uint32_t length, unsigned int connectedSockFD, bool row = true);
    bool holdDatagram(const char* message, uint32_t length, const DCHclientAddr& address);
    bool holdIn(HeldData& held, const char* message, uint32_t length, bool row);
    void flushHeld(HeldData& held);
    void flushHeldDatagrams(const DCHclientAddr& address);
    // A datagram subscriber stopped: its (already flushed) entry goes.
    void forgetHeldDatagrams(const DCHclientAddr& address);
    // A datagram sender's IPv4 address and port as one number (looked up once a row, so no string).
    static uint64_t addressKey(const DCHclientAddr& address) {
        sockaddr_in a{};
        std::memcpy(&a, address.bytes.data(),
                    std::min(sizeof a, static_cast<size_t>(std::clamp(address.length, 0, static_cast<int>(sizeof a)))));
        return (static_cast<uint64_t>(a.sin_addr.s_addr) << 16) | a.sin_port;
    }
    // Datagram subscribers whose subscription asked for packed datagrams.
    std::unordered_set<uint64_t> _packedSubscribers;
    // The status answer to dp_data. While further requests wait in the queue, an answer to a TCP
    // connection is held like a data message, so a provider that sends rows without waiting for
    // each answer gets a burst of answers in one write; its connection still receives everything in
    // the order it was made.
    void sendDataStatus(long status);
    void flushHeldData();
    void flushHeldData(unsigned int connectedSockFD);
    // The connection is gone (its descriptor may soon name another one): what was held for it is dropped.
    void dropHeldData(unsigned int connectedSockFD);
    int writeTo(const char* message, uint32_t length, const DCHclientAddr& clientAddr, unsigned int connectedSockFD);

    // Data messages of a group that no collector waits on (a source that sends right after coming
    // online, before the group's collector has subscribed) are kept, in order, for the first
    // subscriber that claims them (DCH_CLAIM_UNCLAIMED_DATA). Bounded per group and in all: the
    // group's oldest message goes first. Dropped with the source going offline and with the
    // application's registration, and once older than VORPANE_DCH_KEEP_SECONDS: a collector that
    // subscribes that late would take them for current rows.
    static constexpr size_t kUnclaimedPerGroup = 1024;
    static constexpr size_t kUnclaimedBytes = 8 * 1024 * 1024;
    static constexpr int kDefaultKeepSeconds = 300;
    static constexpr int kMaxKeepSeconds = 86400;
    // VORPANE_DCH_KEEP_SECONDS (1 to kMaxKeepSeconds), or the default.
    static int keepSecondsFromEnvironment();
    struct KeptMessage {
        std::vector<char> bytes;
        double keptAt = 0;  // clock seconds
    };
    struct UnclaimedData {
        std::deque<KeptMessage> messages;
        size_t bytes = 0;
        bool dropping = false;  // the loss has been traced
    };
    // Drops kept messages older than the keep time (one warning per group); runs at most once a
    // clock second unless forced.
    void dropAgedUnclaimedData(bool force);
    void keepUnclaimedData(const char* applName, const char* attrGroup, int32_t handle);
    void sendUnclaimedData(const std::string& applName, const std::string& attrGroup,
                           const DCHclientAddr& clientAddr, unsigned int connectedSockFD);
    void dropUnclaimedData(const std::string& applName);

    // The runs of the applications (DCH_APPLICATION_RUN), by application name.
    struct ApplicationRun {
        int32_t number = 0;  // of the latest run, 0 before the first
        bool live = false;   // a source of it is online
    };
    // A source of applName came online: a new run begins when none of its sources was online.
    void beginApplicationRun(const std::string& applName, bool firstOnline);
    // A source of applName went offline: when it was the last one, the run ends and so do the
    // subscriptions bound to it.
    void endApplicationRunIfLast(const std::string& applName);
    int32_t applicationRun(const std::string& applName) const;
    // A source that goes offline takes its kept rows along: the agent forgets its rows then anyway,
    // and a collector given rows of a source it will never see online would wait for it.
    void dropUnclaimedData(const std::string& applName, const std::string& attrGroup, const std::string& sourceName);
    // The answer to a demand report request goes to the group's subscriber when it takes answers in
    // line (DCH_REPORT_ANSWERS_IN_LINE), behind the rows sent to it before: true when it was sent there.
    bool answerInLine(const char* applName, const char* attrGroup, const char* sourceName, int32_t actionID);
    // One data message to a collector: held back on a connection, at once by datagram.
    void deliverData(const char* message, uint32_t length, const DCHclientAddr& clientAddr,
                     unsigned int connectedSockFD);

    // The agent's action log source came online or went offline (its "DPLOG" group).
    int actionSourceOnline();
    void actionSourceOffline();
    // Remembers an action's result and sends it to every collector waiting for results.
    void announceActionResult(int32_t actionID, int32_t actionStatus, std::string_view results);
    // A situation stopped: its atomic values are forgotten.
    void removeAtomicEventList(const std::string& situation);
    // Sends one DCH_infoText reply, or parks the request when the text is not known yet.
    void answerInfoRequest(std::string_view message, const char* applName, short waiterType,
                           const DCHclientAddr& clientAddr, unsigned int connectedSockFD);

    // The flow state of one subscriber by datagram of this process. Request thread only.
    struct CollectorFlow {
        std::shared_ptr<vorpane::DCHflowWindow> window;
        bool released = false;       // it stalled: rows go without waiting until it takes again
        uint64_t takenAtRelease = 0;
    };
    // A subscription by datagram began (its window is looked up) or ended.
    void noteCollectorFlow(const DCHclientAddr& address, bool subscribed);
    // Before a datagram of length bytes goes to address: waits for room in its window, if it has one.
    void admitDatagram(const DCHclientAddr& address, uint32_t length);
    // Before data goes to a collector's TCP connection: waits while too much waits for it.
    void admitConnectionData(unsigned int connectedSockFD);
    // Waits on a window with stop() able to end the wait; the wait's result.
    vorpane::DCHflowWindow::Room waitForWindow(vorpane::DCHflowWindow& window, uint64_t charge);
    // The most charge a window may have outstanding.
    uint64_t collectorBound(const vorpane::DCHflowWindow& window) const;
    std::unordered_map<uint64_t, CollectorFlow> _collectorFlow;
    uint64_t _collectorWindow = kDefaultCollectorWindow;
    double _collectorStall = kDefaultCollectorStall;
    // The window the request thread waits on right now, for stop().
    std::shared_ptr<vorpane::DCHflowWindow> _waitingOnWindow VA_GUARDED_BY(_runLock);
    bool _waitingOnConnection VA_GUARDED_BY(_runLock) = false;

    // Request thread: pauses for seconds of clock time; false when stop() was called meanwhile.
    bool waitWhileRunning(double seconds);

    std::unique_ptr<applSpaceList> _buckets;
    std::unique_ptr<DCHipc> _ipcSrv;
    DCHfigures _figures;
    std::unique_ptr<DCHipc> _ipcClient;
    // The hub port and the reply socket's port, published for the collectors of this process once the
    // port is taken (they accept datagrams from the reply socket only); withdrawn by the destructor.
    int _publishedHubPort = 0;
    int _publishedReplyPort = 0;
    // Replies and pushed messages leave through it, so no peer can hold up the request thread.
    std::unique_ptr<DCHsender> _sender;
    std::unique_ptr<DCwaitingList> _waitList;
    std::unique_ptr<actionTable> _actionTable;
    actionResultMemory _recentResults;  // request thread only
    DCwaitingListEntry* _lastWaiter = nullptr;
    // The application named in the reply to a dp_register refused for its key.
    std::string _keyHolder;

    // The current request's sender.
    DCHclientAddr _ipcClientAddr;
    int _ipcType = 1;
    DCHclientName _ipcClientName;
    unsigned int _connectedSockFD = 0;

    vorpane::Mutex _hubLock;
    vorpane::Mutex _readyLock;
    vorpane::CondVar _readyCond;
    short _readyState VA_GUARDED_BY(_readyLock) = 0;
    short _actionOnline = 0;
    short _actionDataStarted = 0;

    std::vector<char> _valuesBuf;
    std::vector<HeldData> _heldData;  // request thread only; one entry per collector connection or address
    // Request thread only; keyed by application name, a NUL and the group.
    std::unordered_map<std::string, UnclaimedData> _unclaimed;
    std::unordered_map<std::string, ApplicationRun> _runs;  // request thread only
    size_t _unclaimedBytes = 0;
    int _keepSeconds = kDefaultKeepSeconds;
    double _nextAgeCheck = 0;
    size_t _heldBytes = 0;
    int _heldRows = 0;   // data messages held since the burst began
    int _burstRows = 0;  // requests that were waiting when it began
    int _maxApplications = 64;
    int _maxAttrGroupPerAppl = 64;

    // Request-thread life, for stop().
    vorpane::Mutex _runLock;
    vorpane::CondVar _runCond;
    bool _running VA_GUARDED_BY(_runLock) = false;
    bool _stopping VA_GUARDED_BY(_runLock) = false;
};

// The hub client calls of the support library: how providers and collectors speak to the hub.
// docs/client-api.md describes the calls, their results and the connections they use.
//
// Every call talks TCP to the hub port. A provider keeps ONE connection (HubProvider) for all its
// dp_* requests, so that the hub learns of its death when the process dies and takes its sources
// offline. Each collector subscription (status events, data of one group) has its own connection,
// because the hub keeps pushing messages on it; one-shot collector requests (information texts,
// actions, deferred reports) open a connection for the call and close it afterwards, which also drops
// whatever the hub parked for them.
//
// Results: 0 is success; the DCH_CLIENT_* codes below say why a call failed. Calls that receive a
// hub status set *status to it when the hub answered (and then return DCH_CLIENT_REFUSED when it is
// not 0); when the hub did not answer, *status receives the DCH_CLIENT_* code, so a time-out gives
// status 5 as the action logging expects. No call throws.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "interfaces/dch_protocol.h"
#include "interfaces/sync.h"

// ---------------------------------------------------------------------------------------------------
// Results

inline constexpr int DCH_CLIENT_OK = 0;
inline constexpr int DCH_CLIENT_REFUSED = 1;       // the hub answered with a non-zero status
inline constexpr int DCH_CLIENT_NO_HUB = 2;        // no connection to the hub could be made
inline constexpr int DCH_CLIENT_IO = 3;            // the connection failed or the hub closed it
inline constexpr int DCH_CLIENT_PROTOCOL = 4;      // the hub sent a message the call cannot use
inline constexpr int DCH_CLIENT_TIMEOUT = 5;       // no complete answer in time
inline constexpr int DCH_CLIENT_BAD_ARGUMENT = 6;  // refused before anything was sent
inline constexpr int DCH_CLIENT_CANCELLED = 7;     // the wait was cancelled

// A short text for a DCH_CLIENT_* code ("hub not reachable", ...).
const char* DCH_clientResultText(int result);
// The request's name ("dp_online"), or "unknown request".
const char* DCH_requestName(int16_t requestCode);
// What a hub status means as the answer to the request with that code ("success", "an attribute
// name is not part of the registered attributes", ...).
const char* DCH_statusText(int16_t requestCode, int32_t status);
// The name of an action's status as the action log shows it: "SUCCESS", "SOURCE_OFFLINE", ...; a
// negative status n is a handler's exit code, "EXECUTED - RETURN STATUS -n".
std::string DCH_actionStatusText(int32_t status);

// Largest message accepted from the hub. A length prefix outside [4, this] ends the connection.
inline constexpr uint32_t DCH_MAX_MESSAGE = 64u * 1024u * 1024u;
// Control field value meaning "send no DCH_controlField" (the hub then uses 0x11, a single row).
inline constexpr int DCH_NO_CONTROL_FIELD = -1;

// Prepares the process-wide default provider connection used by the free dp_* calls below and
// connects it; 0, or DCH_CLIENT_NO_HUB when the hub cannot be reached yet (the calls then connect
// on first use).
int DCH_api_init();
// Closes the default provider connection; calls blocked on it return DCH_CLIENT_IO.
void DCH_api_destroy();

namespace vorpane {

class DCHflowWindow;

// ---------------------------------------------------------------------------------------------------
// Where the hub is and how long to wait for it. Times are clock seconds (shortened by the test
// switch of interfaces/sync.h); a negative time waits forever.

struct HubOptions {
    std::string address = "127.0.0.1";
    int port = 1919;
    double connectTimeout = 10;
    double sendTimeout = 30;
    double replyTimeout = 60;
    // Subscriptions (DCstatusWaiter, DCdataWaiter) by datagram instead of a TCP connection each. The
    // hub serves 64 TCP connections, which belong to providers: the agent's own collectors (the
    // status monitor, one collection thread per group) set this and take no connection slot. A
    // datagram subscriber that dies is not noticed by the hub, so collectors in other processes
    // keep the default and hold a connection, whose loss ends their subscriptions.
    bool datagramSubscriptions = false;
    // A DCdataWaiter also takes the answers to demand report requests of its group, in line with the
    // rows (DCH_REPORT_ANSWERS_IN_LINE): the agent's collection threads, which redrive the report
    // once the rows before the answer are stored. Other collectors keep the default.
    bool reportAnswersInLine = false;
    // The port the hub's datagrams come from: its reply socket, an ephemeral port on the hub's
    // address. 0 takes the port the hub of this process published for `port` (DCH_publishReplyPort).
    // A subscription by datagram accepts datagrams from that address and port only: any other local
    // process could otherwise feed rows into every table.
    int replyPort = 0;
    // A DCstatusWaiter hands out records with a fifth field, the number of the application's run
    // the record belongs to ("applName,attrGroup,sourceName,requestType,run"; DCH_APPLICATION_RUN).
    bool statusWithRuns = false;
    // A DCdataWaiter bound to this run of its application (a number from the status records): the hub
    // takes the subscription only while that run lasts and ends it with the run, so rows of a later
    // run never reach it. 0: not bound to a run.
    int32_t applicationRun = 0;

    // ZOTA_DCH_ADDR (default 127.0.0.1: the hub listens on loopback by default), ZOTA_DCH_PORT
    // (default 1919; the hub writes the port it chose back into its own process's environment, so
    // in-process clients read it at every connect), ZOTA_DCH_TIMEOUT for sends (default 30).
    static HubOptions fromEnvironment();
};

// Resolves options.address and options.port into an IPv4 socket address; false (traced) when the
// name cannot be resolved or the port is not 1..65535.
bool DCH_resolveHubAddress(const HubOptions& options, sockaddr_in* address);

// The hub of this process says where its datagrams to subscribers come from: for the hub port
// hubPort, the port of its reply socket. replyPort 0 withdraws what was published for hubPort, but
// only when expected (the reply port that hub published) is what is published now.
void DCH_publishReplyPort(int hubPort, int replyPort, int expected = 0);
// The reply port published for hubPort, or 0 when no hub of this process serves that port.
int DCH_publishedReplyPort(int hubPort);

// One message received from the hub: the whole frame, length prefix included.
struct HubMessage {
    std::vector<char> bytes;

    dch::FieldReader fields() const { return dch::FieldReader(bytes.data(), bytes.size()); }
    // An action request (DCH_requestType 0x1060 first): the hub pushes these to a provider that
    // waits for actions, in between the answers to its requests.
    bool isActionRequest() const;
    // A status reply whose DCH_status is `status` (4 bytes).
    bool isStatus(int32_t* status) const;
};

// ---------------------------------------------------------------------------------------------------
// HubConnection: one TCP connection to the hub, closed by its destructor.
//
// Thread-safe. Requests are serialized by the connection's request lock: one request and its answer
// at a time. Received messages are sorted as they are read: action requests go to the action queue,
// everything else answers the request in progress (or is an event on a subscription connection).
// Whoever waits reads the socket for all waiters (one reader at a time), so a thread that waits for
// actions and a thread that waits for its reply share one socket without losing a message.
//
// A request that fails (send error, time-out, closed by the hub, malformed answer) shuts the
// connection down: its answer could still arrive and be taken for the next one's. Every later call
// then fails with DCH_CLIENT_IO; the owner opens a new connection.
class HubConnection {
  public:
    enum class Expect { reply, action, any };

    HubConnection();
    ~HubConnection();
    HubConnection(const HubConnection&) = delete;
    HubConnection& operator=(const HubConnection&) = delete;

    // Connects within options.connectTimeout. 0 or DCH_CLIENT_NO_HUB. Call once, before sharing.
    int connect(const HubOptions& options);

    // Sends a request that the hub does not answer.
    int send(const dch::MessageBuilder& request);
    // Sends a request and reads its answer into replies: one message, or more while isFinal says
    // the last one is not the end (dp_setDemandReportOption). A status 7 answer (the hub received
    // the request incomplete) sends the request again, at most twice. timeout < -1.5 uses
    // options.replyTimeout, otherwise it is the time for the whole answer.
    int request(const dch::MessageBuilder& request, std::vector<HubMessage>* replies,
                bool (*isFinal)(const HubMessage&) = nullptr, double timeout = -2);
    // Sends `count` whole requests that lie back to back in `requests` in one write, then reads one
    // answer for each, in order, into replies. The hub takes a connection's requests one after the
    // other and answers each, so nothing waits for a round trip per request. A status 7 answer sends
    // that request again on its own after the others were answered, at most twice. Failures as
    // request(); timeout covers the whole batch.
    int requestBatch(std::string_view requests, size_t count, std::vector<HubMessage>* replies,
                     double timeout = -2);
    // Waits for the next message of a kind: 0, DCH_CLIENT_TIMEOUT, DCH_CLIENT_CANCELLED (action and
    // any only), DCH_CLIENT_IO, DCH_CLIENT_PROTOCOL. A time-out here leaves the connection usable.
    int receive(Expect expect, HubMessage* message, double timeout);

    // Makes waits for actions and events return DCH_CLIENT_CANCELLED, now and from then on.
    // Callable from any thread; replies are still read.
    void cancel();
    // Shuts the socket down: the hub sees the disconnect; waiting calls return DCH_CLIENT_IO.
    void close();
    bool failed() const;

  private:
    struct Deadline;
    // Counts a thread in _replyWaiters while it lives (when on).
    struct ReplyWaiting {
        ReplyWaiting(HubConnection& connection, bool waiting);
        ~ReplyWaiting();
        ReplyWaiting(const ReplyWaiting&) = delete;
        ReplyWaiting& operator=(const ReplyWaiting&) = delete;
        HubConnection& c;
        const bool on;
    };
    int receiveUntil(Expect expect, HubMessage* message, const Deadline& deadline);
    int readMessage(const Deadline& deadline, bool watchCancel, HubMessage* message);
    int waitWritable(const Deadline& deadline) const;
    int sendLocked(const dch::MessageBuilder& request) VA_REQUIRES(_requestLock);
    int sendBytesLocked(const char* bytes, size_t length) VA_REQUIRES(_requestLock);
    void dropStaleReplies() VA_REQUIRES(_requestLock);
    void fail(int code) VA_EXCLUDES(_stateLock);
    bool takeQueued(Expect expect, HubMessage* message) VA_REQUIRES(_stateLock);

    HubOptions _options;
    int _fd = -1;        // set by connect() before the connection is shared, closed by the destructor
    int _cancelFd = -1;  // eventfd, polled with the socket by readers waiting for actions or events

    Mutex _requestLock;  // one request and its answer at a time; also orders the bytes sent

    mutable Mutex _stateLock;
    CondVar _stateChanged;
    std::deque<HubMessage> _inbox VA_GUARDED_BY(_stateLock);
    bool _reading VA_GUARDED_BY(_stateLock) = false;
    // Threads waiting for a reply. A waiter for actions or events leaves the socket to them: the
    // replies to a batch of requests are then read by the thread that wants them, without a hand-over
    // per reply.
    int _replyWaiters VA_GUARDED_BY(_stateLock) = 0;
    bool _cancelled VA_GUARDED_BY(_stateLock) = false;
    int _failure VA_GUARDED_BY(_stateLock) = 0;

    // Bytes received and not handed out yet: [_receivedStart, _receivedEnd) of _received, the next
    // message first. One receive takes whatever the socket holds, so a burst of messages costs one
    // system call. Touched only by the thread that set _reading, so that a reader that gives up
    // half-way leaves what it has for the next reader.
    std::vector<char> _received;
    size_t _receivedStart = 0;
    size_t _receivedEnd = 0;
};

// ---------------------------------------------------------------------------------------------------
// HubDatagram: a UDP socket of its own on which a subscription is made and its messages arrive.
//
// Used by one thread; cancel() may be called from any other. Messages longer than one datagram are
// joined by their length prefix; a message whose rest does not come within 10 seconds is dropped. A
// datagram that holds several whole messages back to back (DCH_PACKED_DATAGRAMS) is handed out one
// message per receive. Only datagrams from the hub's reply socket are taken: a datagram from any other
// sender is dropped and counted (the first one is traced, the count when the socket closes).
class HubDatagram {
  public:
    HubDatagram() = default;
    ~HubDatagram();
    HubDatagram(const HubDatagram&) = delete;
    HubDatagram& operator=(const HubDatagram&) = delete;

    // Makes the socket (bound to the hub's address family on an ephemeral port). 0, or
    // DCH_CLIENT_NO_HUB (traced) also when the hub's reply port is not known (options.replyPort 0 and
    // no hub of this process published one).
    int open(const HubOptions& options);
    // One request as one datagram. 0 or DCH_CLIENT_IO.
    int send(const dch::MessageBuilder& request);
    // The next whole message: 0, DCH_CLIENT_TIMEOUT, DCH_CLIENT_CANCELLED or DCH_CLIENT_IO.
    int receive(HubMessage* message, double timeout);
    // Makes waits return DCH_CLIENT_CANCELLED, now and from then on.
    void cancel();
    // Datagrams dropped so far because they did not come from the hub's reply socket.
    uint64_t strangerDatagrams() const { return _strangers; }

  private:
    // Reports the datagrams the kernel dropped since the last report (an error line), from the count
    // it hands with each datagram.
    void noteDrops(msghdr& header);
    // Counts a datagram from another sender; the first one is traced.
    void noteStranger(const sockaddr_in& from);

    sockaddr_in _hub{};
    uint16_t _replyPort = 0;  // network byte order
    uint64_t _strangers = 0;
    int _fd = -1;
    int _cancelFd = -1;
    std::vector<char> _packed;  // the rest of a packed datagram, from _packedAt
    size_t _packedAt = 0;
    uint32_t _dropped = 0;  // datagrams the kernel dropped for this socket, as last reported
    // The window shared with the hub of this process, and the charge of the datagrams whose messages
    // were handed out but not yet dealt with by the caller.
    std::shared_ptr<DCHflowWindow> _window;
    uint64_t _windowKey = 0;
    uint64_t _owed = 0;
    std::atomic<bool> _cancelled{false};
};

// ---------------------------------------------------------------------------------------------------
// Provider side

// One attribute group of a registration. attributes is the attribute registration string
// "name,type,length,enum,format,help;..." (vorpane-dp builds it from a description file).
struct DPattrGroup {
    std::string name;
    std::string help;
    char type = 'P';  // P, S, K, E or N
    int32_t ttl = 0;
    std::string dpType;  // provider type, at most 4 characters used
    std::string attributes;
};

struct DPapplication {
    std::string name;  // 3 to 20 characters
    std::string help;
    std::vector<DPattrGroup> groups;
};

// The attribute values of one row: DCH_attrName/DCH_attrValue pairs in the order added, encoded
// with the hub field codec. Not thread-safe.
class DProw {
  public:
    // Appends one pair. kind is the attribute's type letter, sent as the value's extra byte:
    //   'A', 'C', 'G'  numbers: valueLength 2 or 4 (native integers);
    //   'S'            switch: valueLength 2;
    //   'D', 'O', 'T'  text: valueLength bytes, or strlen(value) when valueLength is negative;
    //   'I', 'K', 'L', 'N', 'R'  accepted by the hub, which keeps no value for them: bytes as given.
    // 0, or DCH_CLIENT_BAD_ARGUMENT (nothing appended) for an empty name, an unknown kind or a
    // length the kind does not allow.
    int add(std::string_view attrName, const void* value, int valueLength, int kind);
    int count() const { return _count; }
    // Bytes of the encoded pairs.
    size_t size() const { return _pairs.size() - DCH_FRAME_HEADER; }
    void clear();
    // Appends the pairs to a request being built.
    void appendTo(dch::MessageBuilder* request) const;

  private:
    dch::MessageBuilder _pairs;
    int _count = 0;
};

// Rows sent together with HubProvider::dp_dataBatch: each row is one dp_data request, encoded when
// added; the requests leave in one write and the hub's answers are read after the last. Not
// thread-safe. After the call, status(i) is the hub's status for row i (or the DCH_CLIENT_* code of
// a failure when the hub did not answer it).
class DPdataBatch {
  public:
    // Appends one row: 0, or DCH_CLIENT_BAD_ARGUMENT (nothing appended) for a control field outside
    // DCH_NO_CONTROL_FIELD..0xFFFF.
    int add(int handle, int controlField, const DProw& row);
    size_t count() const { return _count; }
    // Bytes of the encoded requests.
    size_t size() const { return _requests.size(); }
    bool empty() const { return _count == 0; }
    // Forgets the rows and the statuses; keeps the memory for the next batch.
    void clear();
    int32_t status(size_t i) const { return i < _statuses.size() ? _statuses[i] : DCH_CLIENT_IO; }

  private:
    friend class HubProvider;
    std::string _requests;  // whole dp_data requests back to back
    size_t _count = 0;
    std::vector<int32_t> _statuses;
    dch::MessageBuilder _scratch;
};

// An action request pushed by the hub to a provider that waits for actions.
struct DPactionRequest {
    int16_t actionType = 0;
    std::string owner;
    std::string node;  // the action node, "<source>:<application and release>"
    std::string name;
    int32_t actionID = 0;
    std::string parms;  // empty when the hub sent none
};

// The demandReportResults message that precedes the status of dp_setDemandReportOption.
struct DPdemandReportResults {
    bool arrived = false;    // false when the hub refused the request before parking it
    int32_t expiration = 0;  // DCH_time: the report request expiration when the status is 0, else 0
    int32_t status = 0;
    std::string applName;
    std::string attrGroup;
    std::string sourceName;
};

// HubProvider: a data provider's session with the hub, holding its one connection.
//
// Thread-safe: any thread may call any request; requests are serialized on the connection, and a
// thread blocked in nextAction does not hold them up. The connection is opened by connect() or by
// the first request. When it has failed, a provider made with reconnect = false keeps failing with
// DCH_CLIENT_IO (the hub has dropped its sources and registrations); one made with reconnect = true
// opens a new connection at the next request.
class HubProvider {
  public:
    explicit HubProvider(HubOptions options = HubOptions::fromEnvironment(), bool reconnect = false);
    ~HubProvider();
    HubProvider(const HubProvider&) = delete;
    HubProvider& operator=(const HubProvider&) = delete;

    int connect();

    // With status DCH_STATUS_KEY_HELD (the result DCH_CLIENT_REFUSED), *keyHolder, when given,
    // receives the name of the application that holds the key.
    int dp_register(int* status, const DPapplication& application, std::string* keyHolder = nullptr);
    // sourceName null: the hub names the source after the provider's address.
    int dp_online(int* status, int* handle, const char* applName, const char* attrGroup,
                  const char* sourceName);
    // controlField DCH_NO_CONTROL_FIELD sends none. timeout < -1.5 uses options.replyTimeout.
    int dp_data(int* status, int handle, int controlField, const DProw& row, double timeout = -2);
    // Sends the rows of a batch as dp_data requests in one write and then reads their answers, in
    // order: a round trip for the batch instead of one per row. 0 when the hub accepted every row;
    // DCH_CLIENT_REFUSED when it answered them all and refused some (batch->status(i)); otherwise
    // the failure code of the connection, which also becomes the status of every row not answered.
    // An empty batch returns 0 at once. timeout < -1.5 uses options.replyTimeout.
    int dp_dataBatch(DPdataBatch* batch, double timeout = -2);
    int dp_offline(int* status, int handle);
    int dp_unregister(int* status, const char* applName);

    // Asks for the actions of a type for a source. The status comes now; the actions arrive later on
    // the same connection and are taken with nextAction.
    int dp_waitForAction(int* status, int16_t actionType, const char* sourceName);
    // The next action request: 0, DCH_CLIENT_TIMEOUT, DCH_CLIENT_CANCELLED, DCH_CLIENT_IO or
    // DCH_CLIENT_PROTOCOL. timeout < 0 waits until an action arrives or cancel() is called.
    int nextAction(DPactionRequest* action, double timeout);
    // result: at most 256 characters are kept by the hub; empty sends no DCH_actionResult.
    int dp_provideActionResults(int* status, int32_t actionID, int32_t actionStatus, std::string_view result);

    int dp_redriveReportRequest(int* status, int handle, int32_t actionID);
    // The hub may look for the source's samples entry for up to 30 seconds before it answers; the
    // call waits at least 45 seconds. results->arrived tells whether the results message came.
    int dp_setDemandReportOption(int* status, DPdemandReportResults* results, bool on, const char* applName,
                                 const char* attrGroup, const char* sourceName);

    // Ends nextAction waits, now and later.
    void cancel();
    // Closes the connection (the hub takes this provider's sources offline).
    void close();

  private:
    std::shared_ptr<HubConnection> connection(int* result);
    int statusRequest(const dch::MessageBuilder& request, int* status, int* handle = nullptr,
                      std::vector<HubMessage>* replies = nullptr,
                      bool (*isFinal)(const HubMessage&) = nullptr, double timeout = -2);

    const HubOptions _options;
    const bool _reconnect;
    mutable Mutex _lock;
    std::shared_ptr<HubConnection> _connection VA_GUARDED_BY(_lock);
    bool _cancelled VA_GUARDED_BY(_lock) = false;
};

// ---------------------------------------------------------------------------------------------------
// Collector side

// A dc_waitForDPStatus subscription, on a connection of its own or (options.datagramSubscriptions)
// a datagram socket of its own. Used by one thread; cancel() may be called from any other thread
// while the object lives. The destructor ends the subscription: a connection is closed (the hub
// drops its waiters), a datagram subscription is stopped with status 0.
class DCstatusWaiter {
  public:
    explicit DCstatusWaiter(const HubOptions& options);
    ~DCstatusWaiter();
    int open();
    // The next provider status record as "applName,attrGroup,sourceName,requestType" (4117 online,
    // 4133 offline); empty on failure, time-out or cancellation.
    std::string next(double timeout);
    void cancel();

  private:
    int send(const dch::MessageBuilder& request);

    HubOptions _options;
    HubConnection _connection;
    HubDatagram _datagram;
    bool _subscribed = false;
};

// A dc_waitOnData subscription for one application and attribute group, on a connection of its own
// or (options.datagramSubscriptions) a datagram socket of its own. The subscription claims the rows
// the hub kept for the group while no collector waited on it; they arrive first. Used by one
// thread; cancel() may be called from any other thread while the object lives.
class DCdataWaiter {
  public:
    DCdataWaiter(const HubOptions& options, std::string applName, std::string attrGroup);
    // Ends the subscription unless unsubscribe() already did.
    ~DCdataWaiter();
    int open();
    // 0 and the next data message, DCH_CLIENT_CANCELLED, DCH_CLIENT_TIMEOUT, or a failure code.
    int next(HubMessage* message, double timeout);
    // A message the caller could not take (buffer too small) is handed out again by next().
    void holdBack(HubMessage message) {
        _held = std::move(message);
        _holding = true;
    }
    void cancel();
    // Ends this subscription, and only this one: a connection is closed (the hub drops its waiters);
    // a datagram subscription sends status 0, which the hub matches to this socket's address.
    int unsubscribe();

  private:
    int subscription(int32_t status);

    HubOptions _options;
    std::string _applName;
    std::string _attrGroup;
    HubConnection _connection;
    HubDatagram _datagram;
    HubMessage _held;
    bool _holding = false;
    bool _subscribed = false;
};

// The answer to dc_waitForActionResults.
struct DCactionResults {
    int32_t status = 1;          // the action's status as the hub knows it; 1: not known yet
    bool resultArrived = false;  // a result message arrived while the call waited
    std::string resultText;      // its text (up to the first zero byte of the 257 sent)
};

// Reads a result message pushed to result waiters: its text field, then (from this hub) the
// action's ID and 4-byte status. True, with *results filled (status set when the message carries
// it), when the message is the result of actionID or names no action; false for another action's
// result or a message that is no result.
bool takeActionResult(const HubMessage& message, int32_t actionID, DCactionResults* results);

}  // namespace vorpane

// ---------------------------------------------------------------------------------------------------
// The support library's free calls. The dp_* calls use the process-wide default provider
// connection (see DCH_api_init); the dc_* calls open their own connections from options.

int dp_register(int* status, const vorpane::DPapplication& application);
int dp_online(int* status, int* handle, const char* applName, const char* attrGroup, const char* sourceName);
int dp_data(int* status, int handle, int controlField, const vorpane::DProw& row);
int dp_offline(int* status, int handle);
int dp_unregister(int* status, const char* applName);

// Appends one attribute value to buffer (DProw::add): *length receives the encoded size of the
// buffer, *status 0 or -1. Returns 0 or DCH_CLIENT_BAD_ARGUMENT. kind 68 ('D') is text, 67 ('C') a
// 4-byte number.
int dp_formatData(vorpane::DProw* buffer, int* length, int* status, const char* attrName, const void* value,
                  int valueLength, int kind);
// Sends buffer as one dp_data row of handle and empties it; *length becomes 0. waitForStatus is kept
// for the call's shape (the hub always answers and the answer is always read); timeout 0 uses the
// connection's reply time-out. Returns 0, the DCH_CLIENT_* code of a failure (5 on a time-out), or
// DCH_CLIENT_REFUSED when the hub answered a non-zero status.
int dp_actionData(vorpane::DProw* buffer, int handle, int controlField, int* length, int waitForStatus,
                  int timeout);

// A status subscription of its own connection (sends dc_waitForDPStatus with status 1); null on failure.
std::unique_ptr<vorpane::DCstatusWaiter> dc_waitForDPStatusInitialize(
    const vorpane::HubOptions& options = vorpane::HubOptions::fromEnvironment());
// The next status event text, empty on failure. timeout < 0 waits until one arrives.
std::string dc_waitForDPStatus(vorpane::DCstatusWaiter* handle, double timeout = -1);

// A data subscription of its own connection (dc_waitOnData with status 1); null on failure, also
// when the names break the hub's limits (3 to 20 and at most 32 characters), which the hub would
// refuse without an answer.
std::unique_ptr<vorpane::DCdataWaiter> dc_waitOnDataInitialize(
    const char* applName, const char* attrGroup,
    const vorpane::HubOptions& options = vorpane::HubOptions::fromEnvironment());
// Copies the next whole data message (frame, DCH_sourceName, DCH_controlField, DCH_attrTypeValue
// fields) into buffer: 0 delivered, -1 cancelled, 1 error. A message longer than bufferSize is not
// lost: the call returns 1 and hands the same message to the next call.
int dc_waitOnData(vorpane::DCdataWaiter* client, char* buffer, size_t bufferSize, double timeout = -1);
// Makes a dc_waitOnData blocked in another thread return -1 promptly, and every later one.
void dc_waitOnDataCancel(vorpane::DCdataWaiter* client);
// Unsubscribes (status 0) and closes: 0, or the failure of the unsubscribe (the connection is
// closed either way, which also ends the subscription at the hub).
int dc_waitOnDataDestroy(std::unique_ptr<vorpane::DCdataWaiter> client);

// The hub's application, attribute and help information texts. The hub answers at once or, for an
// application not registered yet, when it comes online; the call waits up to timeout seconds and
// then gives up (closing its connection drops the parked request). applName may be null for
// dc_getApplications (all applications). 0 and *info, or a DCH_CLIENT_* code.
inline constexpr double DCH_INFO_TIMEOUT = 60;
int dc_getApplications(std::string* info, const char* applName, double timeout = DCH_INFO_TIMEOUT,
                       const vorpane::HubOptions& options = vorpane::HubOptions::fromEnvironment());
int dc_getApplAttributes(std::string* info, const char* applName, double timeout = DCH_INFO_TIMEOUT,
                         const vorpane::HubOptions& options = vorpane::HubOptions::fromEnvironment());
int dc_getApplHelp(std::string* info, const char* applName, double timeout = DCH_INFO_TIMEOUT,
                   const vorpane::HubOptions& options = vorpane::HubOptions::fromEnvironment());

// Hands an action to the hub, which answers nothing (the outcome comes from dc_waitForActionResults).
// 0 when sent; DCH_CLIENT_BAD_ARGUMENT for values the hub would refuse silently (type outside 1..5,
// owner > 64, node > 70, subnode > 32, name > 256, parms > 1024 characters); actionParms may be null.
int dc_provideAction(int16_t actionType, const char* actionOwner, const char* actionNode, const char* subnode,
                     const char* actionName, int32_t actionID, const char* actionParms,
                     const vorpane::HubOptions& options = vorpane::HubOptions::fromEnvironment());
// Asks for an action's status. When the hub does not know it yet (1) and resultWait is not 0, waits
// up to resultWait seconds (negative: forever) for the result message of this action (results of
// other actions are passed over; a message that names no action is taken). results->status is the
// action's final status when the result came, and stays 1 when the time ran out. 0 when the hub
// answered, else a DCH_CLIENT_* code.
int dc_waitForActionResults(int32_t actionID, vorpane::DCactionResults* results, double resultWait = 0,
                            const vorpane::HubOptions& options = vorpane::HubOptions::fromEnvironment());
// dc_provideAction followed by dc_waitForActionResults on one connection: what the take-action
// dispatch uses. 0 with *results when the hub answered the wait (results->status 1 and
// resultArrived false when no result came within resultWait), else a DCH_CLIENT_* code.
int dc_provideActionForResult(int16_t actionType, const char* actionOwner, const char* actionNode,
                              const char* subnode, const char* actionName, int32_t actionID,
                              const char* actionParms, vorpane::DCactionResults* results, double resultWait,
                              const vorpane::HubOptions& options = vorpane::HubOptions::fromEnvironment());
// Records a deferred report request (no answer). objectRef is the caller's 32-bit reference to its
// request object; time the request time in seconds. 0 when sent; DCH_CLIENT_BAD_ARGUMENT for an
// application key > 3, table name > 10 or source name > 32 characters, or a missing one.
int dc_deferReportRequest(uint32_t objectRef, int32_t actionID, int32_t time, const char* applKey,
                          const char* tableName, const char* sourceName,
                          const vorpane::HubOptions& options = vorpane::HubOptions::fromEnvironment());

// The hub's transport: the IPC base class with its request queue, the socket transport and the inert
// local transport.
//
// A server-role object (service 2) owns the request queue and a server thread that listens on the
// hub port (TCP and UDP), reassembles messages and queues them; the hub's request thread is the only
// reader of the queue. A client-role object (service 1, or 3 for a UDP socket from the process-wide
// pool) writes replies and reads answers.
//
// Threads: the server loop runs alone on its thread and owns the listener, the UDP socket and the
// client slots while it runs; it is the only writer of the queue, whose mutex and two conditions hand
// messages to the reader. The owner of a server-role object reads its descriptors only after the
// ready message (queued once they are set) or after stopServer() joined the thread. The UDP pool is
// shared by every client-role object of the process under its own lock.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/fixed_text.h"
#include "hub/ipc_stream_buffer.h"
#include "interfaces/sync.h"

inline constexpr int IPC_QSIZE = 5;
inline constexpr int IPC_QUEUED_MAX = IPC_QSIZE - 1;  // one slot always stays free
inline constexpr int IPC_MAX_TCP_CLIENTS = 64;
inline constexpr int IPC_READ_UNIT = 4096;      // one TCP receive, one UDP request datagram
inline constexpr int IPC_DATAGRAM = 8192;       // one UDP reply datagram
inline constexpr int IPC_MAX_READ_PIECES = 16;  // datagrams of one reply read by ipcRead
inline constexpr int IPC_NO_SOCKET = -999;
// The largest TCP message the server takes: 1023 reads of 4096 bytes. A header that claims more (or
// less than its own 4 bytes) is refused before the body is read, so no peer can make the hub allocate
// without bound or end the process.
inline constexpr int IPC_MAX_MESSAGE = 1023 * IPC_READ_UNIT;
// Whole TCP requests that arrived back to back on one connection are queued together, up to this many
// bytes in one entry (a longer single request goes alone). The entry stays below the size at which a
// slot gives its buffer back, so a streaming provider reuses the same buffers.
inline constexpr uint32_t IPC_MAX_RUN = 32 * 1024;

// The sender of a queued message: its socket address (the first length bytes of bytes).
struct DCHclientAddr {
    std::array<unsigned char, 256> bytes{};
    int length = 0;
};
// The sender's dotted address text; 255 blanks for the transport's internal messages.
using DCHclientName = vorpane::FixedText<255>;

// The request queue: 5 slots of which at most 4 hold messages. A slot's buffer (its size is the
// capacity) is kept for the next message and grows in 4096-byte steps; every queued message is
// followed by at least one zero byte.
struct ipcCircularBuffer {
    vorpane::Mutex lock;
    int start_idx VA_GUARDED_BY(lock) = 0;
    int num_full VA_GUARDED_BY(lock) = 0;
    // num_full as last set under the lock, for a reader that only wants to know whether a get would
    // wait: only the reader takes messages out, so what it sees is never more than is queued.
    std::atomic<int> queued{0};
    // True while the writer waits for a free slot: more requests are waiting behind the queue.
    std::atomic<bool> writerWaiting{false};
    bool closed VA_GUARDED_BY(lock) = false;  // set by stopServer(): put and get fail at once
    vorpane::CondVar notFull;
    vorpane::CondVar notEmpty;
    struct Slot {
        DCHclientAddr clientAddr;
        DCHclientName clientName;
        unsigned int connectedSockFD = 0;  // TCP connection of the message; 0 for UDP and internal ones
        int dataLen = 0;
        std::vector<char> data;  // empty until the slot is first used
    };
    std::array<Slot, IPC_QSIZE> slots VA_GUARDED_BY(lock);
};

class DCHipc {
  public:
    explicit DCHipc(short typeOfService);
    DCHipc();  // refused: traces and sets the error
    // A derived class whose server thread may still run calls stopServer() in its own destructor; this
    // one only makes sure the queue outlives the thread.
    virtual ~DCHipc();
    DCHipc(const DCHipc&) = delete;
    DCHipc& operator=(const DCHipc&) = delete;

    // Written by the server thread as well as by the owner, hence atomic. The queue operations also
    // return their own result, which is what a caller on another thread should test.
    int ipcGetError() const { return _ipcError.load(); }
    void ipcSetError(int error) { _ipcError.store(error); }
    short ipcTypeOfService() const { return _typeOfService; }
    int ipcGetRetryRead() const { return _retryRead; }
    // 0: a read that times out returns instead of waiting again.
    void ipcSetRetryRead(int retry) { _retryRead = retry; }

    // Reads one reply into *buffer (exactly the bytes of the message); returns -1 on failure, else the
    // size of the last datagram received. initialWait in seconds; 0 or less blocks.
    virtual int ipcRead(std::vector<char>* buffer, int initialWait) = 0;
    // Sends length bytes on connectedSockFD (a TCP connection) or, when it is 0, by UDP to the address
    // last given to setClientAddr. Returns the bytes sent or -1.
    virtual int ipcWrite(const void* buffer, int length, unsigned int connectedSockFD) = 0;
    // Copies at most 16 bytes (bounded by length) of a socket address; null clears it.
    virtual void setClientAddr(const void* addr, int length) = 0;
    virtual int IPCServer() = 0;
    virtual int IPCClient(void* p, int connectTo, int typeOfServer) = 0;
    virtual int allocateIPC() = 0;
    virtual int releaseIPC() = 0;
    virtual int DCHtimeout() { return 30; }
    // TCP connections taken since the transport started (any thread).
    virtual uint64_t connectionsAccepted() const { return 0; }

    // Ends the server loop, closes the queue (a blocked put or get returns with an error) and joins the
    // server thread. Owner thread only; idempotent.
    virtual void stopServer();

    // The reader has handled the disconnect of a TCP connection: its descriptor may now be closed.
    // Until then the server loop only shuts the connection down, so the number cannot be handed to a
    // new connection while queued requests, waiters or replies still name it.
    virtual void releaseConnection(unsigned int /*connectedSockFD*/) {}

    // Service 2: creates the queue and the server thread. Services 1 and 3: IPCClient. Returns the
    // error field.
    int startup(void* p, int connectTo);

    // Queues one complete message (blocks while 4 are queued). From a TCP connection (connectedSockFD
    // not 0) the entry may hold several whole requests back to back, each framed by its length. 0, or 1 when it was not queued. The
    // queue operations return their result and leave the error field alone: the server thread and
    // the reader call them at once.
    int ipc_put_data(int length, const void* data, const void* clientAddr, int clientAddrLen,
                     const char* clientName, unsigned int connectedSockFD);
    // Takes the oldest message (blocks while none is queued). The caller's buffer is grown to the
    // slot's capacity when smaller and reused across calls; *dataLen receives the message length.
    // 0; 1 when the queue is closed or broken (nothing will come); 2 when the oldest message was
    // refused and dropped (the next call goes on). *dataLen is 0 unless a message was taken.
    int ipc_get_data(std::vector<char>& buffer, int* dataLen, DCHclientAddr* clientAddr,
                     DCHclientName* clientName, unsigned int* connectedSockFD);

    // Messages queued right now, without taking the lock. Meant for the one reader: a count above 0
    // means its next ipc_get_data will not wait.
    int ipc_queued() const;
    // Whether the server thread waits to queue a further message right now (the queue is full and
    // more requests have arrived behind it). Meant for the one reader, like ipc_queued().
    bool ipc_backlog() const;

    // Tests: the queue of a server-role object.
    ipcCircularBuffer* circularBuffer() { return _ipcCircularBuffer.get(); }

  protected:
    static void IPCServerThread(DCHipc* ipc);

    std::atomic<int> _ipcError{0};
    short _ipcType = 1;
    short _typeOfService = 0;
    std::unique_ptr<ipcCircularBuffer> _ipcCircularBuffer;
    int _retryRead = 1;

  private:
    // The reader's buffer as the last ipc_get_data left it (zero past length). Reader only.
    struct TakenInto {
        const char* data = nullptr;
        size_t size = 0;
        size_t length = 0;
    };
    TakenInto _lastTaken;

    // Joinable, so that stopServer() can wait for the loop to end. Owner thread only.
    pthread_t _serverThread{};
    bool _serverThreadStarted = false;
};

// The socket transport. Sockets come from ZOT0_OpenLocalSocket (close-on-exec, bound to the hub's
// bind address). Waits use poll, not select: the process raises its descriptor limit, and select
// cannot watch a descriptor at or above FD_SETSIZE.
class ipcSock : public DCHipc {
  public:
    ipcSock(short typeOfService, int connectTo, int useFromSockPool);
    ipcSock();  // refused
    ~ipcSock() override;

    int sockPortTCP();
    int sockPortUDP();
    int sockTCP() const { return _sockTCP; }
    int sockUDP() const { return _sockUDP; }
    int sockError() const { return _sockError.load(); }
    uint64_t connectionsAccepted() const override { return _accepted.load(std::memory_order_relaxed); }

    int ipcRead(std::vector<char>* buffer, int initialWait) override;
    int ipcWrite(const void* buffer, int length, unsigned int connectedSockFD) override;
    void setClientAddr(const void* addr, int length) override;
    int IPCServer() override;
    int IPCClient(void* p, int connectTo, int typeOfServer) override;
    int allocateIPC() override;
    int releaseIPC() override;
    int DCHtimeout() override;
    // Seconds a TCP request may take to arrive whole once its first bytes came: VORPANE_DCH_ARRIVAL_TIMEOUT,
    // else ZOTA_DCH_TIMEOUT but never below kMinArrivalTimeout, so that a short send time-out does not
    // turn a request split over two segments into a resend.
    static int arrivalTimeout();
    void releaseConnection(unsigned int connectedSockFD) override;
    // Also closes the listener, the UDP socket and every client connection, so the port is free again.
    void stopServer() override;

    // The process-wide settings, read from ZOTA_DCH_* by the first construction in the process.
    static int envPortNo();
    static std::string envDCHname();
    static int envTRAPEMIT();
    // Tests: the next construction reads the keys again, and the UDP pool is closed so that it is made
    // afresh. No object that took a socket from the pool may be alive.
    static void resetEnvForTest();

  private:
    struct UDPSockElement {
        short inUse = 0;
        int sockUDP = IPC_NO_SOCKET;
    };
    struct Shared;
    static Shared& shared();

    // The server loop's poll set: the stop pipe, the listener, the UDP socket, then one entry per
    // client slot (descriptor -1 when the slot is free, which poll skips).
    static constexpr int kPollStop = 0;
    static constexpr int kPollTCP = 1;
    static constexpr int kPollUDP = 2;
    static constexpr int kPollClients = 3;
    using PollSet = std::array<pollfd, kPollClients + IPC_MAX_TCP_CLIENTS>;

    // Fills the set up to the last slot in use and returns how many of its entries poll must look at.
    int sockSetSelectReadMask(PollSet* set);
    int sockGetAvailableIndex();
    void sockResetIndex();
    int sockCheckReadMask(const PollSet& set, int* index);
    void getEnvVariables();
    void createUDPSockPool();
    bool isPoolSocket(int sock);
    int allocateDCHport();
    void acceptClient();
    void receiveDatagram();
    void readClient(int index);
    void queueMessages(int index);
    // Incomplete messages whose sender stalled past DCHtimeout(): the sender is told to resend.
    void checkStalled(std::chrono::steady_clock::time_point now);
    std::chrono::steady_clock::time_point nextStall() const;
    void closeClient(int index);
    void closeSockets();

    std::atomic<int> _sockError{0};
    std::atomic<uint64_t> _accepted{0};  // server loop writes, any thread reads  // 1: the loop survives it; 2: the loop ends
    uint16_t _portTCP = 0;
    uint16_t _portUDP = 0;
    int _sockTCP = IPC_NO_SOCKET;
    int _sockUDP = IPC_NO_SOCKET;
    int _sockIndex = 0;
    std::array<int, IPC_MAX_TCP_CLIENTS> _sockClientFD{};  // 0: free slot
    int _slotsInUse = 0;  // server loop: slots up to the last one holding a connection
    sockaddr_in _sockAddress{};
    socklen_t _sockAddrLen = sizeof(sockaddr_in);
    int _useFromSockPool = 0;

    // Server loop only: per client slot, the peer and its dotted address (formatted once, at accept),
    // what the connection sent that is not queued yet, and by when its incomplete message must be
    // complete (max while there is none).
    struct ClientStream {
        sockaddr_in peer{};
        std::array<char, INET_ADDRSTRLEN> name{};
        ipcStreamBuffer in{IPC_MAX_MESSAGE};
        std::chrono::steady_clock::time_point stallAt = std::chrono::steady_clock::time_point::max();
    };
    std::array<ClientStream, IPC_MAX_TCP_CLIENTS> _clientStream;
    // The listener leaves the poll set while every slot is taken (the connection waits in the backlog
    // until a slot frees) and for a second after accept failed, so a pending connection cannot spin
    // the loop.
    bool _clientsFull = false;
    std::chrono::steady_clock::time_point _acceptResume{};
    // Written once by stopServer(); the loop sees the byte in every poll and ends.
    std::array<int, 2> _stopPipe{-1, -1};
    // This object holds a pooled socket between allocateIPC() and releaseIPC().
    bool _holdsPoolSocket = false;
    // Connections the server loop shut down and left to the reader to close (releaseConnection);
    // stopServer() closes those the reader never reached.
    vorpane::Mutex _closingLock;
    std::vector<int> _closing VA_GUARDED_BY(_closingLock);
};

// The local transport: inert. It never starts a server thread, so a hub built on it never becomes
// ready and receives nothing.
class ipcLPC : public DCHipc {
  public:
    explicit ipcLPC(short typeOfService);
    ipcLPC();  // refused

    int ipcRead(std::vector<char>* buffer, int initialWait) override;
    int ipcWrite(const void* buffer, int length, unsigned int connectedSockFD) override;
    void setClientAddr(const void* addr, int length) override;
    int IPCServer() override;
    int IPCClient(void* p, int connectTo, int typeOfServer) override;
    int allocateIPC() override;
    int releaseIPC() override;

  private:
    int _error = 0;
};

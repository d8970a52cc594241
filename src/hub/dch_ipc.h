// The hub's transport: the IPC base class with its request queue, the socket transport and the inert
// local transport.
//
// A server-role object (service 2) owns the request queue and a server thread that listens on the
// hub port (TCP and UDP), reassembles messages and queues them; the hub's request thread is the only
// reader of the queue. A client-role object (service 1, or 3 for a UDP socket from the process-wide
// pool) writes replies and reads answers.
//
// Threads: the server loop runs alone on its thread and is the only writer of the queue; the queue's
// mutex and two conditions hand messages to the reader. The UDP pool is shared by every client-role
// object of the process under its own lock.
#pragma once

#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/fixed_text.h"
#include "interfaces/sync.h"

inline constexpr int IPC_QSIZE = 5;
inline constexpr int IPC_MAX_TCP_CLIENTS = 64;
inline constexpr int IPC_READ_UNIT = 4096;      // one TCP receive, one UDP request datagram
inline constexpr int IPC_DATAGRAM = 8192;       // one UDP reply datagram
inline constexpr int IPC_MAX_READ_PIECES = 16;  // datagrams of one reply read by ipcRead
inline constexpr int IPC_NO_SOCKET = -999;

// The sender of a queued message: its socket address (the first length bytes of bytes) and its
// dotted address text.
struct DCHclientAddr {
    std::array<unsigned char, 256> bytes{};
    int length = 0;
};
using DCHclientName = vorpane::FixedText<255>;

// The request queue: 5 slots of which at most 4 hold messages. A slot's buffer is kept for the next
// message and grows in 4096-byte steps; every queued message is followed by at least one zero byte.
struct ipcCircularBuffer {
    vorpane::Mutex lock;
    int start_idx VA_GUARDED_BY(lock) = 0;
    int num_full VA_GUARDED_BY(lock) = 0;
    vorpane::CondVar notFull;
    vorpane::CondVar notEmpty;
    struct Slot {
        DCHclientAddr clientAddr;
        DCHclientName clientName;
        unsigned int connectedSockFD = 0;
        int bufSize = 0;                 // capacity of data
        int dataLen = 0;                 // length of the queued message
        std::unique_ptr<char[]> data;    // null until the slot is first used
    };
    std::array<Slot, IPC_QSIZE> slots VA_GUARDED_BY(lock);
};

class DCHipc {
public:
    explicit DCHipc(short typeOfService);
    DCHipc();  // refused: traces and sets the error
    virtual ~DCHipc();
    DCHipc(const DCHipc&) = delete;
    DCHipc& operator=(const DCHipc&) = delete;

    int ipcGetError() const { return _ipcError; }
    void ipcSetError(int error) { _ipcError = error; }
    short ipcTypeOfService() const { return _typeOfService; }
    int ipcGetRetryRead() const { return _retryRead; }

    // Reads one reply into *buffer (the bytes of the message); returns -1 on failure, else the size of
    // the last datagram received. initialWait in seconds; 0 or less blocks.
    virtual int ipcRead(std::vector<char>* buffer, int initialWait) = 0;
    // Sends length bytes on connectedSockFD (a TCP connection) or, when it is 0, by UDP to the address
    // last given to setClientAddr. Returns the bytes sent or -1.
    virtual int ipcWrite(const void* buffer, int length, unsigned int connectedSockFD) = 0;
    virtual void setClientAddr(const void* addr, int length) = 0;
    virtual int IPCServer() = 0;
    virtual int IPCClient(void* p, int connectTo, int typeOfServer) = 0;
    virtual int allocateIPC() = 0;
    virtual int releaseIPC() = 0;
    virtual int DCHtimeout() { return 30; }

    // Service 2: creates the queue and the server thread. Services 1 and 3: IPCClient. Returns the
    // error field.
    int startup(void* p, int connectTo);

    // Queues one complete message (blocks while 4 are queued).
    void ipc_put_data(int length, const void* data, const void* clientAddr, int clientAddrLen, const char* clientName,
                      unsigned int connectedSockFD);
    // Takes the oldest message (blocks while none is queued). The caller's buffer is grown to the
    // slot's capacity when smaller and reused across calls; *dataLen receives the message length.
    void ipc_get_data(std::vector<char>& buffer, int* dataLen, DCHclientAddr* clientAddr, DCHclientName* clientName,
                      unsigned int* connectedSockFD);

    // Tests: the queue of a server-role object.
    ipcCircularBuffer* circularBuffer() { return _ipcCircularBuffer.get(); }

protected:
    static void IPCServerThread(DCHipc* ipc);

    int _ipcError = 0;
    short _ipcType = 1;
    short _typeOfService = 0;
    std::unique_ptr<ipcCircularBuffer> _ipcCircularBuffer;
    int _retryRead = 1;
};

class ipcSock : public DCHipc {
public:
    ipcSock(short typeOfService, int connectTo, int useFromSockPool);
    ipcSock();  // refused
    ~ipcSock() override;

    int sockPortTCP();
    int sockPortUDP();
    int sockTCP() const { return _sockTCP; }
    int sockUDP() const { return _sockUDP; }
    int sockError() const { return _sockError; }

    int ipcRead(std::vector<char>* buffer, int initialWait) override;
    int ipcWrite(const void* buffer, int length, unsigned int connectedSockFD) override;
    void setClientAddr(const void* addr, int length) override;
    int IPCServer() override;
    int IPCClient(void* p, int connectTo, int typeOfServer) override;
    int allocateIPC() override;
    int releaseIPC() override;
    int DCHtimeout() override;

    // Asks the server loop to end and waits until it has (tests and orderly shutdown).
    void stopServer();

    // The process-wide settings read from ZOTA_DCH_* once per process; tests re-read them.
    static void resetEnvForTest();

private:
    int sockSetSelectReadMask(fd_set* set);
    int sockGetAvailableIndex();
    void sockResetIndex();
    int sockCheckReadMask(fd_set* set, int* index);
    void getEnvVariables();
    int allocateDCHport();

    int _sockError = 0;
    uint16_t _portTCP = 0;
    uint16_t _portUDP = 0;
    int _sockTCP = IPC_NO_SOCKET;
    int _sockUDP = IPC_NO_SOCKET;
    int _sockIndex = 0;
    std::array<int, IPC_MAX_TCP_CLIENTS> _sockClientFD{};
    sockaddr_in _sockAddress{};
    socklen_t _sockAddrLen = sizeof(sockaddr_in);
    int _useFromSockPool = 0;
};

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

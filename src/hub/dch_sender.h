// DCHsender: how the hub's replies and pushed messages leave, so that a peer that reads slowly or not
// at all costs the other peers nothing.
//
// A message for a TCP connection is sent at once when nothing waits before it and the socket takes
// it whole. Otherwise what is left waits in that connection's outgoing queue, which a writer thread
// drains as the socket takes it; later messages for the same connection queue behind it, so each
// connection still receives its messages whole and in order. A connection whose queue would pass
// the bound (VORPANE_DCH_SEND_QUEUE bytes) or that takes nothing for the send time-out
// (ZOTA_DCH_TIMEOUT) is cut: nothing more is queued for it, and it is shut down, so that the server
// loop sees it end and queues its disconnect like any other. Nothing of a message is queued past the
// bound: a message goes in whole or the connection is cut before it. A peer therefore receives whole
// messages up to the cut and then the end of the stream: when the socket has taken only part of a
// message at the cut, the rest of that message (and nothing after it) still goes before the shut-down.
// Only a peer that takes nothing of that rest for another send time-out is shut down inside it.
//
// A reply by datagram that fits one datagram is sent at once. A longer one is sent by the writer
// thread, one datagram at a time with a pause of a second between them so the reader can take each;
// later datagrams to the same address wait behind it, others do not.
//
// Threads: send(), sendTo() and forget() are called by the hub's request thread only; the writer
// thread is the only other user of the queues, under _lock. A connection stays in the table until
// forget(): the request thread calls it when it handles the connection's disconnect, before the
// descriptor is closed, so the writer never touches a descriptor that names another connection.
#pragma once

#include <netinet/in.h>
#include <pthread.h>

#include <array>
#include <cstddef>
#include <deque>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "interfaces/sync.h"

class DCHsender {
  public:
    static constexpr size_t kDefaultQueueBound = 4 * 1024 * 1024;
    static constexpr size_t kLeastQueueBound = 64 * 1024;
    static constexpr size_t kDatagram = 8192;  // one reply datagram

    // udpSocket: the socket replies by datagram leave from (owned by the caller, outlives this).
    // queueBound: bytes one connection may have waiting; sendTimeout: seconds without progress.
    DCHsender(int udpSocket, size_t queueBound, double sendTimeout);
    ~DCHsender();  // stops the writer thread; queued bytes are dropped
    DCHsender(const DCHsender&) = delete;
    DCHsender& operator=(const DCHsender&) = delete;

    // VORPANE_DCH_SEND_QUEUE, or the default; never below kLeastQueueBound.
    static size_t queueBoundFromEnvironment();

    // The whole message to a TCP connection, now or through its queue. length, or -1 when the
    // connection was cut (now or earlier).
    int send(int connectedSockFD, const char* message, size_t length);
    // The whole message to an address by datagram. length, or -1.
    int sendTo(const sockaddr_in& address, const char* message, size_t length);
    // The connection's disconnect is handled: its queue goes and its descriptor is no longer used.
    void forget(int connectedSockFD);

    // Flow control for a collector on a TCP connection (request thread): waits until at most bound
    // bytes wait for the connection, it is cut or forgotten, interruptWaits() was called, or it took
    // nothing for stallSeconds of clock time. A connection that stalled is not waited for again until
    // it takes something.
    enum class Room { kRoom, kWaited, kStalled, kGone };
    Room waitForRoom(int connectedSockFD, size_t bound, double stallSeconds);
    // Ends a wait now and every later one (the hub is stopping).
    void interruptWaits();
    size_t queueBound() const { return _queueBound; }

    // Tests and benchmarks: bytes waiting for a connection; connections cut so far; connections shut
    // down inside a message (their peer took nothing of its rest).
    size_t waiting(int connectedSockFD);
    int cutCount();
    int tornCount();

  private:
    struct Outgoing {
        std::vector<char> bytes;  // [sent, size) still to go
        size_t sent = 0;
        // Where the messages in bytes end, for those not yet wholly sent; the first begins at
        // frontStart. sent > frontStart: the socket holds the beginning of that message.
        std::deque<size_t> ends;
        size_t frontStart = 0;
        double stallSince = 0;  // clock time of the last progress while bytes wait
        bool cut = false;        // nothing more is queued
        bool finishing = false;  // cut inside a message: its rest goes, then the shut-down
        bool released = false;   // took nothing for a flow-control wait: not waited for until it takes
    };
    struct Datagrams {
        sockaddr_in address{};
        std::deque<std::vector<char>> messages;  // the first is being sent
        size_t sent = 0;                         // bytes of the first already sent
        double nextAt = 0;                       // clock time the next datagram may leave
    };

    void run();
    // Writer thread, under _lock: sends what the socket takes; false when the connection was cut.
    bool drain(int fd, Outgoing& out) VA_REQUIRES(_lock);
    // Ends the connection: at once, or (unless the peer is gone) once the rest of the message the
    // socket took part of has gone.
    void cut(int fd, Outgoing& out, const char* why, bool peerGone = false) VA_REQUIRES(_lock);
    void shutDown(int fd, Outgoing& out) VA_REQUIRES(_lock);
    // Appends the ends of the whole messages in message[0, length) to out.ends, offset by base.
    static void noteMessages(Outgoing& out, size_t base, const char* message, size_t length);
    static void advance(Outgoing& out);
    // Writer thread, under _lock: the next datagram of the destination when it is due.
    void sendDue(Datagrams& d, double now) VA_REQUIRES(_lock);
    void wake();

    const int _udpSocket;
    const size_t _queueBound;
    const double _sendTimeout;

    vorpane::Mutex _lock;
    std::unordered_map<int, Outgoing> _tcp VA_GUARDED_BY(_lock);
    // Keyed by "address:port" bytes; only destinations with something to send.
    std::map<std::string, Datagrams> _udp VA_GUARDED_BY(_lock);
    int _cuts VA_GUARDED_BY(_lock) = 0;
    int _torn VA_GUARDED_BY(_lock) = 0;
    bool _stopping VA_GUARDED_BY(_lock) = false;
    vorpane::CondVar _progress;  // a queue shrank, or a connection went
    bool _flowWaiter VA_GUARDED_BY(_lock) = false;
    bool _flowInterrupted VA_GUARDED_BY(_lock) = false;

    int _wakeFd = -1;  // eventfd: new work or stop
    pthread_t _thread{};
    bool _threadStarted = false;
};

// ipcStreamBuffer: the bytes one TCP connection of the hub has sent and the server loop has not
// queued yet, cut into messages by their length headers.
//
// The server loop receives whatever a readable connection holds in one call, appends it here and
// queues every complete message at the front, oldest first; an incomplete message stays until the
// rest arrives. A connection that pipelines requests therefore costs one receive for all of them,
// and a connection that stalls in the middle of a message holds up no other.
//
// Memory grows only as bytes arrive (a header that claims a large size costs nothing until its bytes
// come) and falls back to one read unit once a large message has been taken.
//
// Thread-safety: none; owned by the server loop, one per client slot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class ipcStreamBuffer {
  public:
    // maxMessage: the largest total length a header may claim.
    explicit ipcStreamBuffer(uint32_t maxMessage);

    // Room for at least minRoom more bytes at the end (the buffer is compacted or grown); returns
    // where the next receive goes. room() says how much fits there.
    char* reserve(std::size_t minRoom);
    std::size_t room() const { return _bytes.size() - _end; }
    // n bytes were received at the place reserve() returned. Bytes still owed to an abandoned
    // message are dropped here.
    void commit(std::size_t n);

    enum class Front {
        empty,       // nothing buffered
        incomplete,  // the front message has not fully arrived (or not even its header)
        message,     // *data holds the front message, *length bytes
        badLength,   // the front header claims less than its own 4 bytes or more than maxMessage
    };
    // The message at the front. For message, *data and *length describe it until the next call that
    // changes the buffer; for badLength, *length is the claimed length.
    Front front(const char** data, uint32_t* length) const;
    // Drops the front message after it was queued.
    void pop();

    // The complete messages at the front, back to back: as many as fit in limit bytes, and always the
    // first one when it is complete, however long. Returns message with *data, *length (their bytes
    // together) and *count when there is at least one; otherwise what front() would say. Messages
    // after an incomplete or badly framed one are not included (front() reports it once the run
    // before it has been dropped).
    Front frontRun(const char** data, uint32_t* length, uint32_t* count, uint32_t limit) const;
    // Drops the run frontRun() gave, after it was queued (length: what frontRun() returned).
    void popRun(uint32_t length);

    // Bytes of the incomplete front message received so far, and the length its header gives (0
    // while the header itself is incomplete).
    std::size_t pending() const { return _end - _start; }
    uint32_t expected() const;
    // Gives up on the incomplete front message: its bytes are dropped, and so are those of it that
    // are still to come, so that the next message is read from its own header.
    void abandon();
    // Bytes still to drop of an abandoned message.
    uint32_t owed() const { return _skip; }
    // Forgets everything (the connection was closed) and releases the memory.
    void clear();

    std::size_t capacity() const { return _bytes.size(); }

  private:
    void compact();

    uint32_t _maxMessage;
    std::vector<char> _bytes;  // [_start, _end) is buffered; the rest is room
    std::size_t _start = 0;
    std::size_t _end = 0;
    uint32_t _skip = 0;
};

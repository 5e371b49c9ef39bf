#pragma once
// What one stream connection was handed to send, and how it goes out.
//
// Two ways to send, chosen by the limit:
// - 0 (the default): blocking writes bounded by the socket's send timeout,
//   until the peer once lets that timeout run out. From then on it never
//   holds the caller up again: what its socket has room for goes at once,
//   the rest of a begun send waits here, and a send that finds no room is
//   dropped.
// - N > 0: writes never wait. What the socket does not take waits here; a
//   send that finds bytes waiting is queued whole if the queue stays within
//   N bytes, else dropped whole, so at most N bytes plus one begun send wait.
// Shared frames (encoded once for several readers) only ever wait here,
// within a memory bound the caller gives for each.
//
// Whatever waits leaves whole and in order, so a peer never sees half a
// frame glued to the next; the loop writes it when the socket drains and
// closes a connection whose queue has stopped moving (stillMs).

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <vector>

class SharedFrame;

class SendQueue {
public:
    // Capacity a drained queue keeps: a burst must not pin its memory for
    // the rest of the connection's life.
    static constexpr size_t kKeptBytes = 16384;
    // Owned storage grows in steps of this, never by doubling: what a queue
    // holds stays close to what waits in it.
    static constexpr size_t kGrowStep = 4096;

    SendQueue() = default;
    ~SendQueue();
    SendQueue(const SendQueue &) = delete;
    SendQueue &operator=(const SendQueue &) = delete;

    void setLimit(size_t bytes) { limitBytes = bytes; }
    size_t limit() const { return limitBytes; }

    // Sends size bytes on fd as the limit says: size once they are written
    // or wait here; -1 when they were dropped, when a write timed out (the
    // rest of what it began still goes), or on a broken connection, which
    // the read side reports.
    int send(int fd, const void *data, size_t size);
    // Sends size bytes without ever waiting, whatever the limit: what the
    // socket does not take now waits here, however much it is. For answers
    // whose size and number the caller bounds itself. size, or -1 on a
    // broken connection.
    int sendWithoutWaiting(int fd, const void *data, size_t size);
    // Queues frame behind everything waiting, with destination in place of
    // its patch byte, if memoryBytes() stays within bound; false (nothing
    // held) when it does not.
    bool pushShared(SharedFrame *frame, unsigned char destination, size_t bound);
    // Writes what the socket takes now without waiting; true once nothing
    // waits. A broken connection drops everything.
    bool flush(int fd);
    // Drops the shared frames that have not begun to go out; how many.
    size_t dropShared();
    // Drops everything and forgets the timed-out peer: the descriptor is gone.
    void reset();

    bool empty() const { return head == segments.size(); }
    // Bytes waiting to be written.
    size_t bytes() const { return waiting; }
    size_t peakBytes() const { return peak; }
    // Heap memory held for what waits, shared frames counted whole.
    size_t memoryBytes() const;
    // Sends dropped whole (the queue was full, or the peer had no room).
    uint64_t dropped() const { return droppedSends; }
    // A write to this peer once timed out: sends to it never wait again.
    bool stalled() const { return stalledPeer; }
    // For the loop, once per pass with that pass's time: for how long bytes
    // have waited of which none could be written; 0 while none wait or they
    // move.
    int64_t stillMs(int64_t nowMs);

private:
    struct Segment {
        SharedFrame *shared; // null: the next `length` bytes of owned
        size_t length;       // of owned bytes; a shared frame has its own size
        unsigned char destination;
    };

    int sendQueued(int fd, const char *bytes, size_t size);
    int sendBlocking(int fd, const char *bytes, size_t size);
    // Writes without waiting: the count, or -1 on a broken connection.
    static ssize_t writeWhatFits(int fd, const char *bytes, size_t size);
    void appendOwned(const char *bytes, size_t size);
    // Takes n written bytes off the front.
    void consume(size_t n);
    void noteDrop(int fd);
    // Empties the storage, keeping at most keptBytes of owned capacity.
    void clear(size_t keptBytes);

    std::vector<Segment> segments; // [head, size()) wait, in order
    size_t head = 0;
    size_t headWritten = 0;  // of a shared frame at head
    std::vector<char> owned; // bytes of the owned segments, from ownedHead on
    size_t ownedHead = 0;
    size_t waiting = 0;
    size_t sharedMemory = 0;
    size_t limitBytes = 0;
    size_t peak = 0;
    uint64_t droppedSends = 0;
    bool stalledPeer = false;
    bool dropping = false; // traced once, until the queue drains
    bool moved = true;     // bytes written since the last look
    int64_t stillSinceMs = 0;
};

#pragma once
// Holds back what one read callback sends and writes it per endpoint, one
// sendData for all the bytes an endpoint was sent.
//
// A read of 2048 bytes can carry dozens of small frames for the same
// connection; writing each on its own costs a system call and a TCP segment
// per frame. While the outbox is open, sends are appended to their
// endpoint's queue instead, and flush() writes every queue with one
// sendData, endpoints in the order in which they were first sent to. Each
// endpoint receives exactly the bytes it would have received from one
// sendData per send, in the same order; only the moment of the write moves,
// to the end of the callback.
//
// Bounds: a send that would grow a queue past kFlushBytes writes that queue
// (and, if large, the send itself) at once, earlier bytes first, and after a
// flush at most kKeptBytes of queue capacity stay allocated. The outbox
// holds endpoint pointers only between open() and flush(): the owner opens
// and flushes it within one callback, and the socket manager deletes
// endpoints only between callbacks.

#include <cstddef>
#include <string>
#include <vector>

class CObjectBase;

class COutbox {
public:
    static constexpr size_t kFlushBytes = 16384;
    static constexpr size_t kKeptBytes = 65536;

    // Sends are queued from now until the matching flush(). Opening an open
    // outbox nests: only the outermost flush() writes.
    void open() { ++depth; }
    bool isOpen() const { return depth > 0; }
    // Sends len bytes to endpoint: queued while open, else at once.
    // Returns what sendData returned, or len when queued.
    int send(CObjectBase *endpoint, const void *data, int len);
    // Writes every queue and closes the outbox (innermost open: nothing yet).
    void flush();
    // Writes what is queued for endpoint now, ahead of a send of the
    // caller's own that must follow it.
    void writeNow(CObjectBase *endpoint);

    // Queued bytes not yet written, over all endpoints.
    size_t pendingBytes() const { return pending; }

private:
    struct Queue {
        CObjectBase *endpoint;
        std::string bytes;
    };

    Queue &queueFor(CObjectBase *endpoint);
    void write(Queue &queue);

    std::vector<Queue> queues; // [0, used) are in use, in first-send order
    size_t used = 0;
    size_t hint = 0; // the queue sent to last
    size_t pending = 0;
    int depth = 0;
};

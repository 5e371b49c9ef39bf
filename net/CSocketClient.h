#pragma once
// A connected stream socket (TCP or Unix-domain) that hands every read to
// the read callback of its owner, and sends through a queue of its own
// (SendQueue: blocking writes by default, a bounded queue with a limit).
//
// Accepted endpoints belong to the socket manager once added to it, which
// deletes them after they are found disconnected; the owner keeps plain
// pointers and drops them when the read callback reports the loss.

#include "net/CObjectBase.h"
#include "net/Callbacks.h"
#include "net/SendQueue.h"

class SharedFrame;

class CSocketClient : public CObjectBase {
public:
    static const int kReadSize = 2048;
    static const int kLargeReadSize = 65536;

    CSocketClient();
    ~CSocketClient() override;

    // Reads at most 2048 bytes and passes them on; 0 when interrupted.
    int onReadAble() override;
    // len bytes through the send queue: len once written or queued, -1 when
    // dropped, timed out or not connected.
    int sendData(const void *data, int len) override;
    // Reported to the read callback with length 0, as an end of stream.
    void loseConnection() override;

    bool hasUnsentBytes() const override { return !sendQueue.empty(); }
    bool readsMore(int count) const override { return count >= readSize; }
    bool flushUnsent() override;
    int64_t sendQueueStillMs(int64_t nowMs) override { return sendQueue.stillMs(nowMs); }

    void setReadCallback(const ReadCallback &callback) { readCallback = callback; }
    void setConnectCallback(const ConnectCallback &callback) { connectCallback = callback; }

    // 0 (the default): sends block for at most the send timeout. N > 0: the
    // descriptor is made non-blocking and sends never wait (see SendQueue).
    // False when the descriptor's blocking mode could not be changed (sends
    // still never wait then: they ask the kernel not to).
    bool setSendQueueLimit(size_t bytes);
    size_t sendQueueLimit() const { return sendQueue.limit(); }
    size_t queuedBytes() const { return sendQueue.bytes(); }
    size_t peakQueuedBytes() const { return sendQueue.peakBytes(); }
    size_t queuedMemoryBytes() const { return sendQueue.memoryBytes(); }
    // Sends dropped whole because they could not be sent or queued.
    uint64_t droppedSends() const { return sendQueue.dropped(); }
    // Sends without waiting whatever the limit (see SendQueue).
    int sendWithoutWaiting(const void *data, size_t size);
    // Bytes taken per read: kReadSize by default; more for a loop that reads
    // until the socket is empty, into one buffer all connections share.
    void setReadSize(int bytes);
    // A frame shared with other connections, queued with destination as its
    // own byte while the queue's memory stays within bound.
    bool queueShared(SharedFrame *frame, unsigned char destination, size_t bound);
    // Drops the shared frames queued that have not begun to go out; how many.
    size_t dropQueuedShared() { return sendQueue.dropShared(); }

protected:
    // Marks the endpoint connected and tells the owner.
    void markConnected();
    void descriptorChanged(bool open) override;

private:
    // Gives the descriptor back, marks the endpoint disconnected and passes
    // len (0 or negative) to the read callback.
    void reportLoss(int len);
    // Puts the open descriptor in the blocking mode the queue limit asks for.
    bool applyBlockingMode();

    // After a send: the loop learns of bytes left waiting.
    int sent(int result);

    unsigned char readBuffer[kReadSize];
    int readSize = kReadSize;
    ReadCallback readCallback;
    ConnectCallback connectCallback;
    SendQueue sendQueue;
};

#pragma once
// Root of the endpoint family: everything the select loop watches.
//
// An endpoint holds one descriptor, a connected flag, a connection type that
// tells the socket manager what to do once it is disconnected, and a name.
// After closeSocket the endpoint keeps reporting its old descriptor number,
// but a separate flag remembers that it is closed, so that neither the
// destructor nor later checks close a number that may by then belong to
// another connection.
//
// Sends block for at most the socket's send timeout by default, and only
// until a peer has once let that timeout run out. With a send queue limit
// the descriptor is non-blocking instead: what the socket does not take at
// once waits in a bounded queue that the select loop writes out when the
// socket drains (see setSendQueueLimit).

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

enum ConnType {
    CONN_TYPE_NONE = 0,     // servers: never deleted by the socket manager
    CONN_TYPE_ACCEPTED = 1, // accepted connection: deleted once found dead
    CONN_TYPE_OUTGOING = 2, // outgoing client: closed and reconnected
};

class CObjectBase {
public:
    CObjectBase();
    virtual ~CObjectBase();
    CObjectBase(const CObjectBase &) = delete;
    CObjectBase &operator=(const CObjectBase &) = delete;

    virtual int onReadAble();
    virtual int sendData(const void *data, int len);
    virtual int readData(void *buf, int size);
    virtual int connectToHost();
    virtual int getConnType();
    virtual int setConnType(int type);
    virtual int closeSocket();
    // Closes the descriptor, marks the endpoint disconnected and tells the
    // owner, as a read that finds the end of the stream would. The socket
    // manager calls it on a connection whose send queue is stuck.
    virtual void loseConnection();

    int getFd() const { return fd; }
    // Adopts an open descriptor and marks the endpoint connected.
    int setSocket(int newFd);
    bool isConnected() const { return connected; }
    void setConnected(bool value) { connected = value; }
    const std::string &getName() const { return name; }
    void setName(const std::string &newName) { name = newName; }
    // True while this endpoint still owns an open descriptor.
    bool isDescriptorOpen() const { return fdOpen; }

    // Bytes accepted by sendData but not yet written: the rest of a write
    // that the send timeout cut short, or in queue mode the send queue.
    // Frames are only ever dropped whole, so these go out before any other.
    bool hasUnsentBytes() const { return unsentHead < unsent.size(); }
    size_t unsentBytes() const { return unsent.size() - unsentHead; }
    // Writes what the socket takes of them now, without waiting; true once
    // none are left. The select loop calls it when the socket is writable.
    bool flushUnsent();

    // 0 (the default): sends block for at most the send timeout. N > 0: the
    // descriptor is made non-blocking and sendData never waits; a send that
    // finds bytes queued is queued whole if the queue stays within N bytes,
    // else dropped whole, while a send begun on the socket is always
    // finished, so the queue holds at most N bytes plus one send. False when
    // the descriptor's blocking mode could not be changed (sends still never
    // wait then: they ask the kernel not to).
    bool setSendQueueLimit(size_t bytes);
    size_t sendQueueLimit() const { return queueLimit; }
    size_t queuedBytes() const { return unsentBytes(); }
    size_t peakQueuedBytes() const { return peakQueued; }
    // Sends dropped whole because the queue was full.
    uint64_t droppedSends() const { return dropped; }
    // For the loop, once per pass with that pass's time: for how long the
    // queue has held bytes of which none could be written, 0 while it is
    // empty or moving. Always 0 outside queue mode.
    int64_t sendQueueStillMs(int64_t nowMs);

protected:
    // Takes a descriptor this endpoint has just created (not yet connected).
    void adoptDescriptor(int newFd);
    // Closes the descriptor if it is still open; keeps the number.
    void closeDescriptor();
    // Closes it and forgets the number too: for an endpoint that never got
    // going, whose old number may soon belong to a connection.
    void dropDescriptor();

    int fd;
    bool connected;
    int connType;
    std::string name;

private:
    int queueSend(const char *bytes, size_t size);
    // Writes what the socket takes now without waiting: the count, or -1
    // on a broken connection.
    ssize_t sendWhatFits(const char *bytes, size_t size);
    void enqueue(const char *bytes, size_t size);
    // Empties the buffer, keeping at most keptBytes of its capacity.
    void clearUnsent(size_t keptBytes);
    // Puts the open descriptor in the blocking mode the queue limit asks for.
    bool applyBlockingMode();

    bool fdOpen;
    bool sendStalled;   // a write timed out: sends to this peer never wait again
    std::string unsent; // see hasUnsentBytes; written from unsentHead on
    size_t unsentHead = 0;
    size_t queueLimit = 0;
    bool modeApplied = true; // the descriptor's blocking mode matches queueLimit
    size_t peakQueued = 0;
    uint64_t dropped = 0;
    bool dropping = false;   // traced once, until the queue drains
    bool queueMoved = true;  // bytes of the queue written since the last look
    int64_t stillSinceMs = 0;
};

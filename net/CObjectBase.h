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
// The base's sendData is the plain stream write, in chunks, bounded by the
// socket's send timeout. Connections (CSocketClient) send through a queue
// of their own instead; the loop reaches it through the unsent-bytes hooks,
// which report nothing for every other endpoint.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

class WriteInterest;

class CObjectBase {
public:
    // What the socket manager does with an endpoint found disconnected
    // (getConnType).
    static const int kNoConnection = 0; // servers: never deleted by the socket manager
    static const int kAccepted = 1;     // accepted connection: deleted once found dead
    static const int kOutgoing = 2;     // outgoing client: closed and reconnected

    CObjectBase();
    virtual ~CObjectBase();
    CObjectBase(const CObjectBase &) = delete;
    CObjectBase &operator=(const CObjectBase &) = delete;

    virtual int onReadAble();
    // Writes all len bytes in chunks of at most 16384: -1 when not
    // connected or a write fails, 0 for len 0, else what the last write
    // returned.
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

    // Bytes accepted by sendData but not yet written; they go out before
    // any other. None for endpoints without a send queue.
    virtual bool hasUnsentBytes() const { return false; }
    // Writes what the socket takes of them now, without waiting; true once
    // none are left. The select loop calls it when the socket is writable.
    virtual bool flushUnsent() { return true; }
    // For the loop, once per pass with that pass's time: for how long
    // unsent bytes have waited of which none could be written.
    virtual int64_t sendQueueStillMs(int64_t) { return 0; }
    // Whether a read that took count bytes may have left more to read at
    // once: a loop that reads until the socket is empty asks it.
    virtual bool readsMore(int count) const
    {
        (void)count;
        return false;
    }

    // The loop to tell when unsent bytes appear (a loop that keeps its
    // interest set across passes); and that loop's own marks.
    void setWriteInterest(WriteInterest *interest) { writeInterest = interest; }
    bool writeListed = false; // on the loop's list of endpoints with unsent bytes
    bool writeArmed = false;  // watched for writing

    int getFd() const { return fd; }
    // Adopts an open descriptor and marks the endpoint connected.
    int setSocket(int newFd);
    bool isConnected() const { return connected; }
    void setConnected(bool value) { connected = value; }
    const std::string &getName() const { return name; }
    void setName(const std::string &newName) { name = newName; }
    // True while this endpoint still owns an open descriptor.
    bool isDescriptorOpen() const { return fdOpen; }

protected:
    // Takes a descriptor this endpoint has just created (not yet connected).
    void adoptDescriptor(int newFd);
    // Closes the descriptor if it is still open; keeps the number.
    void closeDescriptor();
    // Closes it and forgets the number too: for an endpoint that never got
    // going, whose old number may soon belong to a connection.
    void dropDescriptor();
    // After a descriptor was adopted (open true) or closed (false). Not
    // called from the destructor.
    virtual void descriptorChanged(bool open) { (void)open; }
    // Tells the loop, once, that bytes wait to be written.
    void noteUnsentBytes();

    int fd;
    bool connected;
    int connType;
    std::string name;

private:
    bool fdOpen;
    WriteInterest *writeInterest = nullptr;
};

#pragma once
// Root of the endpoint family: everything the select loop watches.
//
// An endpoint holds one descriptor, a connected flag, a connection type that
// tells the socket manager what to do once it is disconnected, and a name.
// After closeSocket the endpoint keeps reporting its old descriptor number,
// but a separate flag remembers that it is closed, so that neither the
// destructor nor later checks close a number that may by then belong to
// another connection.

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

    int getFd() const { return fd; }
    // Adopts an open descriptor and marks the endpoint connected.
    int setSocket(int newFd);
    bool isConnected() const { return connected; }
    void setConnected(bool value) { connected = value; }
    const std::string &getName() const { return name; }
    void setName(const std::string &newName) { name = newName; }
    // True while this endpoint still owns an open descriptor.
    bool isDescriptorOpen() const { return fdOpen; }

    // The rest of a write that the send timeout cut short, waiting for the
    // socket to drain: frames are only ever dropped whole, so these bytes go
    // out before any other.
    bool hasUnsentBytes() const { return !unsent.empty(); }
    size_t unsentBytes() const { return unsent.size(); }
    // Writes what the socket takes of them now, without waiting; true once
    // none are left. The select loop calls it when the socket is writable.
    bool flushUnsent();

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
    bool fdOpen;
    bool sendStalled;   // the last write timed out on a peer that does not read
    std::string unsent; // the cut write's remainder, see hasUnsentBytes
};

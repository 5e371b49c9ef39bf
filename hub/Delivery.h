#pragma once
// Every frame the hub sends goes through here: forwarded frames, event
// deliveries and the hub's own answers. Sends made while a read is being
// routed wait in the outbox and leave with one write per connection when the
// read is done (see Batch); each is counted on its receiver's session.

#include <string>

#include "hub/SessionTable.h"
#include "net/COutbox.h"
#include "net/CSocketClient.h"

class Delivery {
public:
    // The bracket around the routing of one read: the outbox is open while
    // it lives and flushed when it goes.
    class Batch {
    public:
        explicit Batch(Delivery &delivery) : outbox(delivery.outbox) { outbox.open(); }
        ~Batch() { outbox.flush(); }
        Batch(const Batch &) = delete;
        Batch &operator=(const Batch &) = delete;

    private:
        COutbox &outbox;
    };

    explicit Delivery(SessionTable &table) : sessions(table) {}

    // The frame, unchanged, to the connection registered under its devId.
    void forwardData(const unsigned char *frame, int size, int devId, int srcId, int cmd);
    // One event delivery: the bound EventSendCallback of every publication.
    int sendEventPacket(int iEvent, int iModId, const void *data, int iLen);
    // A frame the hub builds itself, to a connection.
    void sendPacket(Session &to, int devId, int cmd, const void *data, size_t size, int srcId);
    // Bytes, whole frames, to a connection (to's counters, when it has a session).
    void deliver(CSocketClient *endpoint, Session *to, const void *data, int len);
    // Writes what the outbox holds for endpoint now, ahead of a send that
    // must follow it.
    void writeNow(CSocketClient *endpoint) { outbox.writeNow(endpoint); }

    // Hex dumps of all traffic (the data print command).
    bool dataPrint() const { return printing; }
    void setDataPrint(bool on) { printing = on; }

private:
    SessionTable &sessions;
    COutbox outbox;
    std::string packet; // reused for every frame the hub builds
    bool printing = false;
};

#pragma once
// Messages for the broker, in order, bounded in count and bytes.
//
// A message stays here from the moment the hub delivers it until the broker
// link has taken it: QoS 0 once libmosquitto accepted it into a socket that
// was writing, QoS 1 once the broker acknowledged it. Messages handed over
// and not yet acknowledged are "in flight"; when the link drops they are
// waiting again and go out first after it returns.
//
// When a new message does not fit, the oldest waiting messages make room
// (counted in dropped()); messages in flight are never dropped, so if they
// alone fill the queue the new message is dropped instead.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace bridge {

struct OutboundMessage {
    std::string topic;
    std::string payload;
    int qos = 0;
    bool retain = false;
    uint64_t serial = 0; // unique within the run
    bool inFlight = false;

    size_t bytes() const { return topic.size() + payload.size(); }
};

class OutboundQueue {
public:
    OutboundQueue(size_t maxMessages, size_t maxBytes);

    // False when the message was dropped (bigger than the whole bound, or
    // only messages in flight to make room).
    bool push(OutboundMessage message);
    // The oldest waiting message, nullptr when none waits.
    OutboundMessage *nextWaiting();
    // The link took it: QoS 0 is done, QoS 1 waits for done(serial).
    void handed(OutboundMessage *message);
    void done(uint64_t serial);
    // The link dropped: everything in flight waits again.
    void requeueInFlight();

    size_t size() const { return messages.size(); }
    size_t bytes() const { return byteCount; }
    size_t inFlight() const { return flying; }
    uint64_t dropped() const { return dropCount; }
    // Changed since the last clearChanged() (for saving to a file).
    bool changed() const { return dirty; }
    void clearChanged() { dirty = false; }
    const std::deque<OutboundMessage> &all() const { return messages; }

private:
    void remove(std::deque<OutboundMessage>::iterator it);

    std::deque<OutboundMessage> messages;
    size_t maxCount;
    size_t maxBytes;
    size_t byteCount = 0;
    size_t flying = 0;
    size_t firstWaiting = 0; // index hint: nothing before it waits
    uint64_t nextSerial = 1;
    uint64_t dropCount = 0;
    bool dirty = false;
};

} // namespace bridge

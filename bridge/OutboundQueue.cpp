#include "bridge/OutboundQueue.h"

#include <utility>

namespace bridge {

OutboundQueue::OutboundQueue(size_t maxMessages, size_t maxBytesInAll) : maxCount(maxMessages), maxBytes(maxBytesInAll)
{
}

bool OutboundQueue::push(OutboundMessage message)
{
    const size_t need = message.bytes();
    if (need > maxBytes) {
        ++dropCount;
        return false;
    }
    // Oldest waiting first; those in flight stay where they are.
    auto it = messages.begin();
    while ((messages.size() + 1 > maxCount || byteCount + need > maxBytes) && it != messages.end()) {
        if (it->inFlight) {
            ++it;
            continue;
        }
        const size_t index = static_cast<size_t>(it - messages.begin());
        remove(it);
        it = messages.begin() + static_cast<std::ptrdiff_t>(index);
        ++dropCount;
    }
    if (messages.size() + 1 > maxCount || byteCount + need > maxBytes) {
        ++dropCount;
        return false;
    }
    message.serial = nextSerial++;
    message.inFlight = false;
    byteCount += need;
    messages.push_back(std::move(message));
    dirty = true;
    return true;
}

OutboundMessage *OutboundQueue::nextWaiting()
{
    if (firstWaiting > messages.size()) {
        firstWaiting = 0;
    }
    for (size_t i = firstWaiting; i < messages.size(); ++i) {
        if (!messages[i].inFlight) {
            firstWaiting = i;
            return &messages[i];
        }
    }
    firstWaiting = messages.size();
    return nullptr;
}

void OutboundQueue::handed(OutboundMessage *message)
{
    if (message->qos == 0) {
        done(message->serial);
        return;
    }
    message->inFlight = true;
    ++flying;
}

void OutboundQueue::done(uint64_t serial)
{
    // Acknowledgements come nearly in order: the message is near the front.
    for (auto it = messages.begin(); it != messages.end(); ++it) {
        if (it->serial == serial) {
            remove(it);
            return;
        }
    }
}

void OutboundQueue::requeueInFlight()
{
    for (OutboundMessage &m : messages) {
        m.inFlight = false;
    }
    flying = 0;
    firstWaiting = 0;
}

void OutboundQueue::remove(std::deque<OutboundMessage>::iterator it)
{
    byteCount -= it->bytes();
    if (it->inFlight) {
        --flying;
    }
    messages.erase(it);
    firstWaiting = 0;
    dirty = true;
}

} // namespace bridge

#pragma once
// Recognises our own messages when they come back to us.
//
// What the bridge publishes where it also listens (a hub event it bridges
// out, a broker topic under one of its filters) is remembered as a
// fingerprint of where and what, oldest first. When a message arrives whose
// fingerprint is remembered, it is our own coming back: the first equal
// fingerprint is taken and the message is not passed on. Both the hub and
// the broker return a connection's messages in the order they were sent, so
// the remembered ones are met in order. Fingerprints are bounded in number
// and age, so one that never comes back (lost with a link) is forgotten.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace bridge {

class EchoFilter {
public:
    EchoFilter(size_t maxEntries, int64_t maxAgeMs);

    void remember(const std::string &where, const void *data, size_t size, int64_t nowMs);
    // True (and forgotten) when this is a remembered message.
    bool isEcho(const std::string &where, const void *data, size_t size, int64_t nowMs);
    void clear() { entries.clear(); }
    size_t size() const { return entries.size(); }

    static uint64_t fingerprint(const std::string &where, const void *data, size_t size);

private:
    void expire(int64_t nowMs);

    struct Entry {
        uint64_t print;
        int64_t at;
    };
    std::deque<Entry> entries;
    size_t maxEntries;
    int64_t maxAgeMs;
};

} // namespace bridge

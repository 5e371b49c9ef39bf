#pragma once
// Answers to status requests, kept from costing the hub what its modules
// need:
// - the document is built at most once per kRebuildMs and shared by every
//   answer in between;
// - answers over a stream are paced per connection (a budget kept in the
//   connection's record) and in all, by count and by bytes; a request
//   beyond them is answered late, once the budgets allow;
// - answers to datagrams, whose source anyone can forge, are paced per
//   sender address and in all, beyond which they are refused, and never
//   weigh more than kDatagramFactor times the datagram that asked: a
//   document that does not fit is answered with {"needBytes":N}, the size a
//   request must have to get it.
//
// The figures: a tool asks once and a dashboard about once a second, so a
// connection gets a burst of 3 and then 2 answers a second; all connections
// together get 20 and then 10 a second, and at most 2 MiB of text a second
// after a burst of 4 MiB (the document of about a thousand connections, once
// a second). A datagram sender gets 4 and then 2 a second, all of them 20
// and then 10, so the hub reflects at most about 60 KiB a second.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <pellix/Wire.h>

#include "hub/TokenBucket.h"

class StatusService {
public:
    static constexpr int64_t kRebuildMs = 100;
    static constexpr size_t kDatagramFactor = pellix::wire::kDatagramAnswerFactor;
    // Status text per reply frame: on a stream, and in one datagram.
    static constexpr size_t kStreamPartBytes = 16384;
    static constexpr size_t kDatagramPartBytes = 1024;
    // Datagram senders whose budgets are remembered; the least recently
    // seen makes room for a new one.
    static constexpr size_t kRememberedSenders = 64;

    typedef std::function<std::string()> Builder;
    explicit StatusService(const Builder &builder);

    // The document as of at most kRebuildMs ago.
    const std::string &document(int64_t nowMs);
    // Forgets the document built, so that the next answer shows a change
    // at once (the hub's settings, say).
    void invalidate() { builtAtMs = -1; }

    // The budget a new connection's record keeps.
    static TokenBucket connectionBudget();
    // Whether an answer to a stream connection may go now: its own budget
    // and the shared ones allow it. Takes one answer from each when it does;
    // charge its bytes after with chargeStream.
    bool admitStream(TokenBucket &connection, int64_t nowMs);
    void chargeStream(int64_t nowMs, size_t textBytes);
    // Whether an answer to a datagram from this IPv4 address (network
    // order) may go now; takes from the budgets when it does.
    bool admitDatagram(uint32_t address, int64_t nowMs);

    // The text to answer a datagram with, when budget bytes may still be
    // sent in answer to it: the document when its parts fit, else the
    // needBytes document; empty when not even that fits.
    static std::string datagramText(const std::string &document, size_t budget);
    // Bytes of the datagrams that carry text in parts of kDatagramPartBytes.
    static size_t datagramReplyBytes(size_t textBytes);

    uint64_t builds() const { return buildCount; }

private:
    struct Sender {
        uint32_t address;
        int64_t lastMs;
        TokenBucket budget;
    };

    Builder build;
    std::string text;
    int64_t builtAtMs = -1;
    uint64_t buildCount = 0;
    TokenBucket streamAnswers;
    TokenBucket streamBytes;
    TokenBucket datagramAnswers;
    std::vector<Sender> senders;
};

#pragma once
// One frame splitter per datagram sender, so that a frame may span several
// datagrams of one sender but never glue the bytes of two senders together
// (a datagram holding only a header must not swallow the next sender's
// frame).
//
// The table is bounded: a new sender beyond kMaxSenders takes the place of
// the one heard from least recently, and expireIdle(), called once per
// heartbeat period, drops the senders not heard from since its last call,
// with any partial frame they left.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "proto/CDecoupler.h"

class CDatagramSplitters {
public:
    static constexpr size_t kMaxSenders = 64;

    explicit CDatagramSplitters(size_t maxSenders = kMaxSenders);

    // The splitter of the sender at `from`, an IPv4 or Unix-domain socket
    // address as recvfrom() filled it.
    CDecoupler &splitterFor(const void *from);
    void expireIdle();
    size_t size() const { return senders.size(); }

private:
    struct Sender {
        std::string key;
        std::unique_ptr<CDecoupler> splitter;
        uint64_t lastUse = 0;
        bool heard = false; // since the last expireIdle
    };

    static void keyOf(const void *from, std::string &key);

    size_t maxSenders;
    std::vector<Sender> senders;
    size_t last = 0; // the sender of the datagram before
    uint64_t uses = 0;
    std::string key; // reused for every lookup
};

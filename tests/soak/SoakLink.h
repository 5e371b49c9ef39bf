#pragma once
// One module's socket as the soak driver uses it: non-blocking, so that one
// driver thread can serve every module from a single poll() and never waits
// on the hub while the hub waits on it (the hub writes with blocking sends;
// a driver blocked in a write to module A while the hub is blocked writing
// to module B would stall both).
//
// A stream link keeps what it has not yet handed to the kernel in an output
// queue and counts the bytes of its stream, so that the driver knows which
// frames had reached the kernel when it resets the connection. Received
// bytes are cut into frames at their markers; each len field is checked.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/Frames.h"

namespace soak {

class SoakLink {
public:
    enum Kind { TCP, UNIX, UDP };
    enum ConnectResult { CONNECTED, IN_PROGRESS, RETRY_LATER, FAILED };

    explicit SoakLink(Kind kind) : type(kind) {}
    ~SoakLink();
    SoakLink(const SoakLink &) = delete;
    SoakLink &operator=(const SoakLink &) = delete;

    Kind kind() const { return type; }
    int fd() const { return sock; }
    bool isOpen() const { return sock >= 0; }

    // Stream: starts a non-blocking connect. UDP: opens a socket aimed at
    // the hub. `why` gets the reason of a failure.
    ConnectResult open(uint16_t port, const std::string &unixPath, std::string *why);
    // After poll() reported the connecting socket writable.
    bool finishConnect(std::string *why);
    // Orderly close, or a reset (SO_LINGER 0).
    void close(bool reset);

    // Stream: appends to the output queue and writes what the kernel takes.
    // UDP: sends one datagram now; false if the kernel refused it.
    bool send(const std::string &bytes);
    // Writes as much of the output queue as the kernel takes; false on a
    // write error other than "would block" (reason in `why`).
    bool flush(std::string *why);
    bool hasPendingOutput() const { return outPos < out.size(); }
    size_t pendingOutput() const { return out.size() - outPos; }
    // Stream offsets: bytes queued so far and bytes handed to the kernel.
    uint64_t queuedBytes() const { return queued; }
    uint64_t writtenBytes() const { return written; }

    // UDP: whether anything came back, which the hub never sends; the
    // error of the attempt to read in `why`.
    bool answered(std::string *why);
    // Reads everything available. Sets `closedByPeer` on end of stream or a
    // reset; false on any other read error.
    bool receive(bool *closedByPeer, std::string *why);
    // The whole frames received so far; bytes that do not start a frame
    // end them and go to `bad`.
    void takeFrames(std::vector<e2e::CutFrame> *frames, std::string *bad);

private:
    Kind type;
    int sock = -1;
    std::string out;
    size_t outPos = 0;
    uint64_t queued = 0;
    uint64_t written = 0;
    std::string in;
};

} // namespace soak

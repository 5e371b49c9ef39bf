#pragma once
// A module as the hub sees it: one TCP or Unix-domain stream connection, or
// a UDP socket aimed at the hub's port. Reads wait with a deadline, so a hub
// that never answers fails the test instead of hanging it.
//
// The descriptor is opened close-on-exec, so daemons started later do not
// inherit it, and closed by the destructor.

#include <sys/types.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace e2e {

// Generous enough for a daemon built with sanitizers on a busy machine.
const int kReplyTimeoutMs = 5000;

class ModuleClient {
public:
    enum Transport { TCP, UNIX, UDP };

    static ModuleClient tcp(uint16_t port);
    static ModuleClient unixStream(const std::string &path);
    static ModuleClient udp(uint16_t port);
    // A connection made by a child process running as uid and gid (with
    // groups as its supplementary groups), then handed to this process: the
    // hub sees that user at the other end. For TCP and UDP the port, for
    // UNIX the path.
    static ModuleClient connectAs(Transport transport, uint16_t port, const std::string &path, uid_t uid, gid_t gid,
                                  const std::vector<gid_t> &groups = std::vector<gid_t>());

    ModuleClient(ModuleClient &&other) noexcept;
    ModuleClient &operator=(ModuleClient &&other) noexcept;
    ModuleClient(const ModuleClient &) = delete;
    ModuleClient &operator=(const ModuleClient &) = delete;
    ~ModuleClient();

    bool isOpen() const { return fd >= 0; }
    // Why opening failed, for the test message.
    const std::string &error() const { return openError; }
    Transport transport() const { return kind; }

    // Stream: writes every byte. UDP: sends the bytes as one datagram.
    bool send(const std::string &data);
    // Reads until `count` bytes have arrived, the peer closed or the time is
    // up; returns what arrived.
    std::string readExactly(size_t count, int timeoutMs = kReplyTimeoutMs);
    // Everything that arrives within `ms`.
    std::string readFor(int ms);
    // True once the hub has closed or reset the connection; data that still
    // arrives is discarded.
    bool waitClosedByPeer(int timeoutMs);
    // Closes with SO_LINGER 0, so that the hub sees a reset instead of an
    // orderly end of stream.
    void reset();
    void close();

    // Registers this connection under `moduleId` with `name` and returns
    // the reply (18 bytes when all is well).
    std::string registerAs(uint8_t moduleId, const std::string &name);
    // The id given to registerAs.
    uint8_t id() const { return moduleId; }
    // Sends a frame addressed to this very module and waits for it to come
    // back. The hub handles a connection's frames in stream order, so once
    // the echo is here everything sent before it has been handled; and
    // anything the hub sent this module before the echo has been read.
    // Returns false (and keeps what came instead in `unexpected`) when
    // the echo is not the next thing that arrives.
    bool ping(std::string *unexpected = nullptr);
    // Subscribes (cmd 6) or unsubscribes (cmd 7) this module to/from the
    // listed events; then pings, so the request has been handled on return.
    bool subscribe(std::initializer_list<uint16_t> events, uint16_t cmd = 0x0006);

private:
    ModuleClient(Transport transport, int descriptor, const std::string &why);

    Transport kind;
    int fd;
    std::string openError;
    uint8_t moduleId = 0;
    uint16_t pingSerial = 0;
};

} // namespace e2e

#pragma once
// The test's side of the service manager's notification socket: a Unix
// datagram socket bound at a path, whose messages ("READY=1", ...) are read
// one by one with their time of arrival.

#include <cstdint>
#include <string>
#include <vector>

class NotifySocket {
public:
    struct Message {
        std::string text;
        int64_t atMs; // monotonic, as tests/support/Clock.h counts
    };

    explicit NotifySocket(const std::string &path);
    ~NotifySocket();
    NotifySocket(const NotifySocket &) = delete;
    NotifySocket &operator=(const NotifySocket &) = delete;

    bool isOpen() const { return fd >= 0; }
    const std::string &path() const { return socketPath; }
    // The next message, waiting at most timeoutMs; false when none came.
    bool next(Message &message, int timeoutMs);
    // Reads until `text` arrives (true) or timeoutMs pass (false); every
    // message read on the way is added to `seen` when given.
    bool waitFor(const std::string &text, int timeoutMs, std::vector<Message> *seen = nullptr);

private:
    std::string socketPath;
    int fd = -1;
};

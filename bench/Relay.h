#pragma once
// The relay floor: the least any hub must do to carry a frame. It pairs a
// sender's connection with a receiver's and writes whatever one read of the
// sender's connection returned to the receiver's connection in one write,
// without looking at the bytes. One thread, one epoll set.
//
// A connection names itself first with an 8-byte hello: "RLY", 'S' or 'R'
// (sender or receiver) and a 32-bit key (little-endian); the sender and
// the receiver of one key are a pair. A connection that closes or says
// anything else before its hello is complete is dropped, so a probe that
// only checks the port never pairs with anyone. Once a pair is made, what
// the receiver sends is read and dropped; when either side closes, both
// are closed.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace bench {

class Relay {
public:
    static const size_t kHelloSize = 8;
    static const size_t kReadBytes = 65536;

    static std::string hello(bool sender, uint32_t key);

    // Takes the listening socket, which it owns from then on.
    explicit Relay(int listenFd);
    ~Relay();
    Relay(const Relay &) = delete;
    Relay &operator=(const Relay &) = delete;

    // False, with the reason in error(), when the epoll set cannot be made.
    bool ready() const { return epoll >= 0; }
    // Serves until stop(); false, with the reason in error(), when epoll fails.
    bool run();
    // Makes run() return; safe from another thread or a signal handler.
    void stop();
    const std::string &error() const { return lastError; }

private:
    struct Connection {
        int peer = -1;      // the other side of its pair; -1 until paired
        bool sender = false;
        std::string hello;  // what came of the hello so far
    };

    void acceptAll();
    void serve(int fd);
    void readHello(int fd, Connection &connection);
    void closeConnection(int fd);
    void closePair(int fd);

    int listener;
    int epoll = -1;
    int wake = -1;
    std::map<int, Connection> connections;
    std::map<std::pair<bool, uint32_t>, int> waiting; // (sender?, key) -> fd, its partner not yet here
    std::vector<char> buffer;
    std::string lastError;
};

} // namespace bench

#pragma once
// Connections that only sit there while a run goes on: what a hub with many
// modules that have nothing to say pays for each frame it forwards. The
// first of them register (ids from kFirstId up, as many as there are
// free), the rest stay connected without an id.

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

class IdleCrowd {
public:
    static const int kFirstId = 0x20;
    static const int kLastId = 0xDF;
    static const int kMost = 20000;

    IdleCrowd() = default;
    ~IdleCrowd() { stop(); }
    IdleCrowd(const IdleCrowd &) = delete;
    IdleCrowd &operator=(const IdleCrowd &) = delete;

    // False, with the reason in error(), when a connection or a
    // registration fails.
    bool start(uint16_t port, int count);
    void stop();
    const std::string &error() const { return why; }

private:
    std::vector<int> fds;
    std::string why;
};

} // namespace bench

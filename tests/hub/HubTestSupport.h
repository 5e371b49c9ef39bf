#pragma once
// Frames, peers and captures shared by the hub tests.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <string>

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include "proto/PacketFrame.h"
#include "tests/support/StreamIo.h"
#include "trace/Trace.h"

// One frame as a module writes it, by the frame codec (the golden bytes of
// the frame tests check the codec itself).
inline std::string makeFrame(int dev, int src, int cmd, const std::string &payload = std::string())
{
    std::string frame;
    PacketFrame::build(frame, dev, src, static_cast<uint16_t>(cmd), payload.data(), payload.size());
    return frame;
}

inline std::string bytes(std::initializer_list<int> values)
{
    std::string out;
    for (int v : values) {
        out += static_cast<char>(v);
    }
    return out;
}

// Everything the peer end has been sent so far (the hub writes before the
// call under test returns, so nothing is waited for beyond a short grace).
inline std::string drain(int fd, int waitMs = 0)
{
    std::string out;
    char buf[4096];
    struct pollfd p = {fd, POLLIN, 0};
    while (poll(&p, 1, out.empty() ? waitMs : 0) > 0 && (p.revents & POLLIN) != 0) {
        const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) {
            break;
        }
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

class TraceLevelScope {
public:
    explicit TraceLevelScope(int level) : saved(traceLevel) { traceLevel = level; }
    ~TraceLevelScope() { traceLevel = saved; }
    TraceLevelScope(const TraceLevelScope &) = delete;
    TraceLevelScope &operator=(const TraceLevelScope &) = delete;

private:
    int saved;
};

// Stands in for the daemon's "Pellix" logger and keeps what it is given.
class LogCapture {
public:
    LogCapture()
    {
        spdlog::drop("Pellix");
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(stream);
        sink->set_pattern("[%l] %v");
        logger = std::make_shared<spdlog::logger>("Pellix", sink);
        logger->set_level(spdlog::level::trace);
        spdlog::register_logger(logger);
    }
    ~LogCapture() { spdlog::drop("Pellix"); }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::string text() const
    {
        logger->flush();
        return stream.str();
    }

private:
    std::ostringstream stream;
    std::shared_ptr<spdlog::logger> logger;
};

inline size_t countOf(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) {
        ++n;
    }
    return n;
}

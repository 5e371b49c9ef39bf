#include "bench/StuckReaders.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <thread>

#include "bench/BenchIo.h"

namespace bench {

namespace {

const size_t kReadSize = 64 * 1024;
const int kFloodWaitMs = 100; // how soon the flooder notices the end while the server takes nothing

// Writes every byte, without SIGPIPE: a server may close any of these
// connections. With `stop`, a write the socket's time-out interrupts gives
// up once *stop is set.
bool sendWhole(int fd, const std::string &data, const std::atomic<bool> *stop = nullptr)
{
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && stop != nullptr && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (*stop) {
                return false;
            }
        } else {
            return false;
        }
    }
    return true;
}

struct Stream {
    int receiver = 0;
    uint64_t next = 0;
    std::vector<unsigned char> buffer;
    size_t used = 0;
};

} // namespace

StuckReaders::StuckReaders(Wire &w, const StuckPlan &p, pid_t pid)
    : wire(w), plan(p), serverPid(pid), flooder(p.stuckModules), healthyA(p.stuckModules + 1),
      healthyB(p.stuckModules + 2)
{
}

void StuckReaders::fail(const std::string &why)
{
    {
        std::lock_guard<std::mutex> lock(errorMutex);
        if (error.empty()) {
            error = why;
        }
    }
    failed = true;
}

void StuckReaders::flood()
{
    const int fd = wire.sendFd(flooder, 0);
    struct timeval wait = {0, kFloodWaitMs * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    const std::vector<unsigned char> body(plan.floodBodySize, 0x5a);
    std::vector<std::string> messages(static_cast<size_t>(plan.stuckModules));
    for (int m = 0; m < plan.stuckModules; ++m) {
        wire.encode(messages[static_cast<size_t>(m)], flooder, m, body.data(), body.size());
    }
    for (size_t k = 0; !stopFlood && !failed; ++k) {
        if (!sendWhole(fd, messages[k % messages.size()], &stopFlood)) {
            if (!stopFlood) {
                fail("the flooding connection failed");
            }
            return;
        }
        ++floodMessages;
    }
}

void StuckReaders::receive()
{
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    std::map<int, Stream> streams;
    for (const auto &entry : wire.receiveFds()) {
        // The stuck modules are never read: that is the point.
        if (entry.second != healthyA && entry.second != healthyB) {
            continue;
        }
        Stream &stream = streams[entry.first];
        stream.receiver = entry.second;
        stream.buffer.resize(kReadSize);
        if (!watchReadable(epoll, entry.first)) {
            fail("cannot watch a receiving socket");
        }
    }
    std::vector<Body> bodies;
    struct epoll_event events[4];
    int64_t drainEnd = 0;
    while (!failed) {
        if (!probing) {
            const int64_t now = nowNs();
            if (drainEnd == 0) {
                drainEnd = now + static_cast<int64_t>(plan.drainMs) * 1000000LL;
            }
            if (probesReceived.load() >= probesSent.load() || now >= drainEnd) {
                break;
            }
        }
        const int ready = epoll_wait(epoll, events, 4, 50);
        if (ready < 0 && errno != EINTR) {
            fail("epoll_wait failed");
            break;
        }
        for (int e = 0; e < ready && !failed; ++e) {
            Stream &stream = streams[events[e].data.fd];
            if (stream.buffer.size() - stream.used < kReadSize) {
                stream.buffer.resize(stream.used + kReadSize);
            }
            const ssize_t n = read(events[e].data.fd, stream.buffer.data() + stream.used, kReadSize);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            }
            if (n <= 0) {
                fail("the connection of healthy module " + std::to_string(stream.receiver) + " was closed");
                break;
            }
            const int64_t arrived = nowNs();
            stream.used += static_cast<size_t>(n);
            bodies.clear();
            const long consumed = wire.parse(stream.buffer.data(), stream.used, bodies);
            if (consumed < 0) {
                fail("malformed stream at healthy module " + std::to_string(stream.receiver));
                break;
            }
            for (const Body &body : bodies) {
                uint64_t sequence = 0;
                int64_t sentNs = 0;
                if (body.size != plan.probeBodySize) {
                    fail("a message of " + std::to_string(body.size) + " bytes reached a healthy module");
                    break;
                }
                memcpy(&sequence, body.data, sizeof sequence);
                memcpy(&sentNs, body.data + sizeof sequence, sizeof sentNs);
                if (sequence != stream.next) {
                    fail("healthy module " + std::to_string(stream.receiver) + " got probe " +
                         std::to_string(sequence) + " where " + std::to_string(stream.next) +
                         " was due: lost or out of order");
                    break;
                }
                ++stream.next;
                probeTimes.emplace_back(sentNs, arrived);
                ++probesReceived;
            }
            memmove(stream.buffer.data(), stream.buffer.data() + consumed, stream.used - static_cast<size_t>(consumed));
            stream.used -= static_cast<size_t>(consumed);
        }
    }
    close(epoll);
    receiverDone = true;
}

bool StuckReaders::sendProbes(long sequence)
{
    std::vector<unsigned char> body(plan.probeBodySize, 0x5a);
    const uint64_t s = static_cast<uint64_t>(sequence);
    memcpy(body.data(), &s, sizeof s);
    for (const std::pair<int, int> &route : {std::make_pair(healthyA, healthyB), std::make_pair(healthyB, healthyA)}) {
        const int64_t sentNs = nowNs();
        memcpy(body.data() + sizeof s, &sentNs, sizeof sentNs);
        std::string out;
        wire.encode(out, route.first, route.second, body.data(), body.size());
        if (!sendWhole(wire.sendFd(route.first, route.second), out)) {
            return false;
        }
        ++probesSent;
    }
    return true;
}

// From every module but the flooder, whose own messages keep it alive and
// whose stream is the flood thread's alone.
void StuckReaders::keepAlive(int64_t &dueNs)
{
    const int64_t now = nowNs();
    if (now < dueNs) {
        return;
    }
    dueNs = now + static_cast<int64_t>(plan.keepAliveMs) * 1000000LL;
    for (int m = 0; m <= healthyB; ++m) {
        const int fd = wire.keepAliveFd(m);
        std::string out;
        wire.appendKeepAlive(out, m);
        if (m == flooder || fd < 0 || out.empty()) {
            continue;
        }
        if (m == healthyA || m == healthyB) {
            if (!sendWhole(fd, out)) {
                fail("a keep-alive of a healthy module could not be written");
            }
        } else {
            // A stuck module the server has closed may refuse it.
            (void)send(fd, out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        }
    }
}

StuckOutcome StuckReaders::run()
{
    StuckOutcome outcome;
    if (plan.probeBodySize < 16 || plan.stuckModules < 1 || plan.probeIntervalMs < 1) {
        outcome.error = "a probe holds at least 16 bytes, and there is at least one stuck module";
        return outcome;
    }
    std::vector<std::pair<int, int>> routes;
    for (int m = 0; m < plan.stuckModules; ++m) {
        routes.emplace_back(flooder, m);
    }
    routes.emplace_back(healthyA, healthyB);
    routes.emplace_back(healthyB, healthyA);
    if (!wire.open(healthyB + 1, routes, false)) {
        outcome.error = wire.error();
        wire.close();
        return outcome;
    }

    std::thread receiver(&StuckReaders::receive, this);
    std::thread flooding(&StuckReaders::flood, this);
    const int64_t start = nowNs();
    const int64_t intervalNs = static_cast<int64_t>(plan.probeIntervalMs) * 1000000LL;
    const long rounds = static_cast<long>(plan.seconds * 1000 / plan.probeIntervalMs);
    int64_t keepAliveDue = start + static_cast<int64_t>(plan.keepAliveMs) * 1000000LL;
    for (long k = 0; k < rounds && !failed; ++k) {
        sleepUntilNs(start + k * intervalNs);
        keepAlive(keepAliveDue);
        if (!sendProbes(k)) {
            fail("a probe could not be written");
        }
    }
    sleepUntilNs(start + rounds * intervalNs);
    stopFlood = true;
    flooding.join();
    probing = false;
    // Modules still waiting for their probes must not fall silent.
    while (!receiverDone) {
        keepAlive(keepAliveDue);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    receiver.join();
    if (serverPid > 0) {
        processMemoryKb(serverPid, outcome.rssKb, outcome.hwmKb);
    }
    wire.close();

    outcome.probesSent = probesSent.load();
    outcome.probesReceived = probesReceived.load();
    outcome.floodMessages = floodMessages.load();
    outcome.frozenNs = frozenNs(probeTimes, static_cast<int64_t>(plan.frozenAfterMs) * 1000000LL);
    for (const auto &probe : probeTimes) {
        outcome.latenciesNs.push_back(probe.second - probe.first);
    }
    outcome.error = error;
    outcome.ok = !failed && outcome.probesReceived == outcome.probesSent;
    if (!outcome.ok && outcome.error.empty()) {
        outcome.error = std::to_string(outcome.probesSent - outcome.probesReceived) + " of " +
                        std::to_string(outcome.probesSent) + " probes lost";
    }
    return outcome;
}

int64_t StuckReaders::frozenNs(std::vector<std::pair<int64_t, int64_t>> probes, int64_t thresholdNs)
{
    std::vector<std::pair<int64_t, int64_t>> spans;
    for (const auto &probe : probes) {
        if (probe.second - probe.first > thresholdNs) {
            spans.emplace_back(probe.first + thresholdNs, probe.second);
        }
    }
    std::sort(spans.begin(), spans.end());
    int64_t total = 0;
    int64_t from = 0;
    int64_t to = 0;
    for (size_t i = 0; i < spans.size(); ++i) {
        if (i > 0 && spans[i].first <= to) {
            to = std::max(to, spans[i].second);
            continue;
        }
        total += to - from;
        from = spans[i].first;
        to = spans[i].second;
    }
    return total + (to - from);
}

} // namespace bench

#include "bench/Scenario.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "bench/BenchIo.h"

namespace bench {

namespace {

const size_t kReadSize = 64 * 1024;

// What every message carries: the sequence number on its route and the
// sender's time stamp; the rest of the body is filler.
struct Stamp {
    uint64_t sequence;
    int64_t sentNs;
};

void putStamp(unsigned char *body, uint64_t sequence, int64_t sentNs)
{
    memcpy(body, &sequence, sizeof sequence);
    memcpy(body + sizeof sequence, &sentNs, sizeof sentNs);
}

Stamp getStamp(const unsigned char *body)
{
    Stamp s;
    memcpy(&s.sequence, body, sizeof s.sequence);
    memcpy(&s.sentNs, body + sizeof s.sequence, sizeof s.sentNs);
    return s;
}

// State shared by the two threads of a run.
struct Shared {
    std::atomic<long> delivered{0};
    std::atomic<long> skipped{0}; // lost and passed over (loss tolerated)
    std::atomic<bool> failed{false};
    std::atomic<bool> senderWaiting{false};
    std::atomic<int64_t> lastDeliveryNs{0};
    std::mutex mutex;
    std::condition_variable progress;
    std::string error;

    void fail(const std::string &why)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (error.empty()) {
                error = why;
            }
        }
        failed = true;
        progress.notify_all();
    }
};

struct Stream {
    int receiver = 0;
    std::vector<unsigned char> buffer;
    size_t used = 0;
};

void receive(Wire &wire, const Plan &plan, long expected, Shared &shared, std::vector<int64_t> &latencies)
{
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    std::map<int, Stream> streams;
    for (const auto &entry : wire.receiveFds()) {
        Stream &stream = streams[entry.first];
        stream.receiver = entry.second;
        stream.buffer.resize(kReadSize);
        if (!watchReadable(epoll, entry.first)) {
            shared.fail("cannot watch a receiving socket");
        }
    }
    std::vector<uint64_t> nextSequence(static_cast<size_t>(plan.modules), 0);
    std::vector<Body> bodies;
    struct epoll_event events[64];
    int64_t lastProgress = nowNs();
    long delivered = 0;
    long skipped = 0;
    while (delivered + skipped < expected && !shared.failed) {
        const int ready = epoll_wait(epoll, events, 64, 200);
        if (ready < 0 && errno != EINTR) {
            shared.fail("epoll_wait failed");
            break;
        }
        const int64_t now = nowNs();
        if (ready <= 0) {
            if (now - lastProgress > static_cast<int64_t>(plan.stallTimeoutMs) * 1000000LL) {
                if (plan.lossTolerated) {
                    // The rest counts as lost, which also opens the sender's window.
                    shared.skipped.store(expected - delivered);
                    std::lock_guard<std::mutex> lock(shared.mutex);
                    shared.progress.notify_one();
                    break;
                }
                shared.fail("no delivery for " + std::to_string(plan.stallTimeoutMs / 1000) + " s: " +
                            std::to_string(expected - delivered) + " of " + std::to_string(expected) +
                            " messages lost");
            }
            continue;
        }
        for (int e = 0; e < ready && !shared.failed; ++e) {
            Stream &stream = streams[events[e].data.fd];
            if (stream.buffer.size() - stream.used < kReadSize) {
                stream.buffer.resize(stream.used + kReadSize);
            }
            const ssize_t n = read(events[e].data.fd, stream.buffer.data() + stream.used, kReadSize);
            if (n <= 0) {
                if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
                    continue;
                }
                shared.fail("a receiving connection was closed after " + std::to_string(delivered) + " of " +
                            std::to_string(expected) + " messages");
                break;
            }
            const int64_t arrived = nowNs();
            stream.used += static_cast<size_t>(n);
            bodies.clear();
            const long consumed = wire.parse(stream.buffer.data(), stream.used, bodies);
            if (consumed < 0) {
                shared.fail("malformed stream at module " + std::to_string(stream.receiver));
                break;
            }
            for (const Body &body : bodies) {
                if (body.size != plan.bodySize) {
                    shared.fail("a message of " + std::to_string(body.size) + " bytes instead of " +
                                std::to_string(plan.bodySize));
                    break;
                }
                const Stamp stamp = getStamp(body.data);
                uint64_t &next = nextSequence[static_cast<size_t>(stream.receiver)];
                if (plan.lossTolerated && stamp.sequence > next && stamp.sequence < static_cast<uint64_t>(expected)) {
                    skipped += static_cast<long>(stamp.sequence - next);
                    next = stamp.sequence;
                }
                if (stamp.sequence != next) {
                    shared.fail("module " + std::to_string(stream.receiver) + " got message " +
                                std::to_string(stamp.sequence) + " where " + std::to_string(next) +
                                " was due: lost or out of order");
                    break;
                }
                ++next;
                latencies.push_back(arrived - stamp.sentNs);
            }
            delivered += static_cast<long>(bodies.size());
            memmove(stream.buffer.data(), stream.buffer.data() + consumed, stream.used - static_cast<size_t>(consumed));
            stream.used -= static_cast<size_t>(consumed);
            lastProgress = arrived;
            shared.lastDeliveryNs = arrived;
            shared.skipped.store(skipped);
            shared.delivered.store(delivered);
            if (shared.senderWaiting) {
                std::lock_guard<std::mutex> lock(shared.mutex);
                shared.progress.notify_one();
            }
        }
        if (delivered + skipped > expected) {
            shared.fail("more messages than were sent");
        }
    }
    close(epoll);
}

// Keep-alives go out from the sending thread, so that one never lands
// inside a message being written.
bool keepAlive(Wire &wire, int modules, int64_t intervalNs, int64_t &dueNs)
{
    const int64_t now = nowNs();
    if (now < dueNs) {
        return true;
    }
    dueNs = now + intervalNs;
    std::string out;
    for (int m = 0; m < modules; ++m) {
        const int fd = wire.keepAliveFd(m);
        out.clear();
        wire.appendKeepAlive(out, m);
        if (fd >= 0 && !out.empty() && !writeAll(fd, out.data(), out.size())) {
            return false;
        }
    }
    return true;
}

} // namespace

double percentile(std::vector<int64_t> values, double pct)
{
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    size_t index = static_cast<size_t>(pct / 100.0 * static_cast<double>(values.size() - 1) + 0.5);
    if (index >= values.size()) {
        index = values.size() - 1;
    }
    return static_cast<double>(values[index]);
}

Outcome runPlan(Wire &wire, const Plan &plan, pid_t serverPid, double *cpuSeconds)
{
    Outcome outcome;
    if (plan.bodySize < sizeof(Stamp)) {
        outcome.error = "the body must hold at least 16 bytes";
        return outcome;
    }
    if (!wire.open(plan.modules, plan.routes, plan.fanOut)) {
        outcome.error = wire.error();
        wire.close();
        return outcome;
    }
    const long perSend = plan.fanOut ? plan.modules - 1 : 1;
    outcome.expected = plan.messages * perSend;
    outcome.latenciesNs.reserve(static_cast<size_t>(outcome.expected));

    Shared shared;
    double cpuBefore = 0;
    const bool measureCpu = serverPid > 0 && cpuSeconds != nullptr && processCpuSeconds(serverPid, cpuBefore);
    const int64_t start = nowNs();
    std::thread receiver(receive, std::ref(wire), std::cref(plan), outcome.expected, std::ref(shared),
                         std::ref(outcome.latenciesNs));

    std::vector<uint64_t> routeSequence(plan.routes.size(), 0);
    std::vector<unsigned char> body(plan.bodySize, 0x5a);
    std::string out;
    const int64_t intervalNs = plan.rate > 0 ? static_cast<int64_t>(1e9 / plan.rate) : 0;
    const long windowDeliveries = plan.window * perSend;
    const int64_t keepAliveNs = static_cast<int64_t>(plan.keepAliveMs) * 1000000LL;
    int64_t keepAliveDueNs = start + keepAliveNs;
    for (long k = 0; k < plan.messages && !shared.failed; ++k) {
        if (intervalNs > 0) {
            sleepUntilNs(start + k * intervalNs);
        }
        if (!keepAlive(wire, plan.modules, keepAliveNs, keepAliveDueNs)) {
            shared.fail("a write failed");
        }
        // The window: wait while too many sends are still on their way.
        while (!shared.failed && k * perSend - shared.delivered.load() - shared.skipped.load() >= windowDeliveries) {
            if (!keepAlive(wire, plan.modules, keepAliveNs, keepAliveDueNs)) {
                shared.fail("a write failed");
            }
            std::unique_lock<std::mutex> lock(shared.mutex);
            shared.senderWaiting = true;
            if (k * perSend - shared.delivered.load() - shared.skipped.load() >= windowDeliveries) {
                shared.progress.wait_for(lock, std::chrono::milliseconds(100));
            }
            shared.senderWaiting = false;
        }
        out.clear();
        if (plan.fanOut) {
            putStamp(body.data(), static_cast<uint64_t>(k), nowNs());
            if (wire.publishIsPerSubscriber()) {
                for (int r = 1; r < plan.modules && !shared.failed; ++r) {
                    out.clear();
                    wire.encode(out, 0, r, body.data(), body.size());
                    if (!writeAll(wire.sendFd(0, r), out.data(), out.size())) {
                        shared.fail("a write failed");
                    }
                }
            } else {
                wire.encodePublish(out, 0, body.data(), body.size());
                if (!writeAll(wire.sendFd(0, 1), out.data(), out.size())) {
                    shared.fail("a write failed");
                }
            }
        } else {
            const size_t r = static_cast<size_t>(k) % plan.routes.size();
            const std::pair<int, int> &route = plan.routes[r];
            putStamp(body.data(), routeSequence[r]++, nowNs());
            wire.encode(out, route.first, route.second, body.data(), body.size());
            if (!writeAll(wire.sendFd(route.first, route.second), out.data(), out.size())) {
                shared.fail("a write failed");
            }
        }
        ++outcome.sent;
    }
    receiver.join();
    const int64_t end = shared.lastDeliveryNs.load();
    double cpuAfter = 0;
    if (measureCpu && processCpuSeconds(serverPid, cpuAfter)) {
        *cpuSeconds = cpuAfter - cpuBefore;
    } else if (cpuSeconds != nullptr) {
        *cpuSeconds = -1;
    }
    wire.close();
    outcome.delivered = shared.delivered.load();
    outcome.seconds = end > start ? static_cast<double>(end - start) / 1e9 : 0;
    outcome.error = shared.error;
    outcome.ok = !shared.failed && (outcome.delivered == outcome.expected || plan.lossTolerated);
    if (!outcome.ok && outcome.error.empty()) {
        outcome.error = std::to_string(outcome.expected - outcome.delivered) + " messages lost";
    }
    return outcome;
}

} // namespace bench

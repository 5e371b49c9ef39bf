#include "bench/StatusLoad.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "bench/BenchIo.h"
#include "bench/Wire.h"
#include "proto/FrameHeader.h"
#include "proto/PacketFrame.h"
#include "proto/StatusCollector.h"

namespace bench {

namespace {

const int kReplyTimeoutMs = 5000;

std::string frame(int dev, int src, int cmd, const std::string &payload = std::string())
{
    std::string out;
    PacketFrame::build(out, dev, src, static_cast<uint16_t>(cmd), payload.data(), payload.size());
    return out;
}

} // namespace

StatusLoad::~StatusLoad()
{
    stop();
}

std::string StatusLoad::error() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return lastError;
}

void StatusLoad::fail(const std::string &why)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (lastError.empty()) {
        lastError = why;
    }
    failed = true;
}

bool StatusLoad::connectModule(uint16_t port, int id, const std::string &name, int &fd)
{
    fd = connectLoopback(port);
    if (fd < 0) {
        fail("cannot reach the hub on port " + std::to_string(port));
        return false;
    }
    const std::string reply = frame(id, CENTER_DEV_ID, CMD_REG);
    std::string got(reply.size(), '\0');
    const std::string registration = frame(CENTER_DEV_ID, id, CMD_REG, name);
    if (!writeAll(fd, registration.data(), registration.size()) ||
        !readExact(fd, &got[0], got.size(), kReplyTimeoutMs) || got != reply) {
        fail("no registration reply for module " + std::to_string(id));
        return false;
    }
    return true;
}

bool StatusLoad::start(uint16_t port, const StatusLoadPlan &plan)
{
    if (plan.crowd < 0 || plan.crowd > kMostCrowd || plan.loopers < 0 || plan.loopers > kMostLoopers ||
        plan.reportBytes < 16 || plan.reportBytes > static_cast<size_t>(PacketFrame::kMaxReportBytes)) {
        fail("a crowd of at most " + std::to_string(kMostCrowd) + ", at most " + std::to_string(kMostLoopers) +
             " loopers and reports of 16 to 1024 bytes");
        return false;
    }
    for (int i = 0; i < plan.crowd; ++i) {
        std::string name = "bench-crowd-" + std::to_string(i) + "-";
        name.resize(std::max(name.size(), plan.nameBytes), 'n');
        int fd = -1;
        const bool ok = connectModule(port, kFirstCrowdId + i, name, fd);
        if (fd >= 0) {
            crowd.push_back(fd);
        }
        if (!ok) {
            return false;
        }
        // {"bench":"xxx..."}: what a module that counts a lot might report.
        std::string report = "{\"bench\":\"";
        report.append(plan.reportBytes - report.size() - 2, 'x');
        report += "\"}";
        const std::string reportFrame = frame(CENTER_DEV_ID, kFirstCrowdId + i, CMD_REPORT, report);
        if (!writeAll(fd, reportFrame.data(), reportFrame.size())) {
            fail("cannot send the report of module " + std::to_string(kFirstCrowdId + i));
            return false;
        }
    }
    for (int i = 0; i < plan.loopers; ++i) {
        const int id = kFirstCrowdId + kMostCrowd + i;
        int fd = -1;
        const bool ok = connectModule(port, id, "bench-status-loop", fd);
        if (fd >= 0) {
            loopers.push_back(fd);
            looperIds.push_back(id);
        }
        if (!ok) {
            return false;
        }
    }
    startNs = nowNs();
    if (!loopers.empty()) {
        looping = std::thread(&StatusLoad::loop, this);
    }
    return true;
}

bool StatusLoad::stop()
{
    if (looping.joinable()) {
        stopping = true;
        looping.join();
        loopSeconds = static_cast<double>(nowNs() - startNs) / 1e9;
    }
    for (int fd : loopers) {
        close(fd);
    }
    for (int fd : crowd) {
        close(fd);
    }
    loopers.clear();
    crowd.clear();
    return !failed;
}

void StatusLoad::loop()
{
    struct Asker {
        int id;
        std::string held;
        StatusCollector collector;
    };
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    std::map<int, Asker> askers;
    for (size_t i = 0; i < loopers.size(); ++i) {
        Asker &asker = askers[loopers[i]];
        asker.id = looperIds[i];
        const std::string request = frame(CENTER_DEV_ID, asker.id, CMD_STATUS);
        if (!watchReadable(epoll, loopers[i]) || !writeAll(loopers[i], request.data(), request.size())) {
            fail("cannot ask for the status");
        }
    }
    std::vector<unsigned char> buffer(65536);
    struct epoll_event events[8];
    while (!stopping && !failed) {
        const int ready = epoll_wait(epoll, events, 8, 50);
        for (int e = 0; e < ready && !failed; ++e) {
            const int fd = events[e].data.fd;
            Asker &asker = askers[fd];
            const ssize_t n = read(fd, buffer.data(), buffer.size());
            if (n <= 0) {
                if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                    fail("the hub closed a connection asking for the status");
                }
                continue;
            }
            asker.held.append(reinterpret_cast<const char *>(buffer.data()), static_cast<size_t>(n));
            const unsigned char *data = reinterpret_cast<const unsigned char *>(asker.held.data());
            size_t pos = 0;
            size_t total = 0;
            int whole = 0;
            while ((whole = pellixFrameAt(data + pos, asker.held.size() - pos, total)) == 1) {
                FrameHeader h;
                FrameHeader::decode(data + pos, static_cast<int>(total), h);
                pos += total;
                if (h.cmd != CMD_STATUS) {
                    continue;
                }
                const StatusCollector::Outcome outcome = asker.collector.add(
                    h.payload, h.payloadSize);
                if (outcome != StatusCollector::Complete) {
                    if (outcome == StatusCollector::TooLarge) {
                        fail("a status answer too large to collect");
                    }
                    continue;
                }
                const std::string &text = asker.collector.text();
                if (text.size() < 2 || text.front() != '{' || text.back() != '}') {
                    fail("a status answer that is not a JSON object");
                    break;
                }
                ++answerCount;
                textCount += text.size();
                lastDocument = text.size();
                asker.collector.reset();
                const std::string request = frame(CENTER_DEV_ID, asker.id, CMD_STATUS);
                if (!writeAll(fd, request.data(), request.size())) {
                    fail("cannot ask for the status");
                }
            }
            if (whole < 0) {
                fail("a status answer that is not frames");
            }
            asker.held.erase(0, pos);
        }
    }
    close(epoll);
}

} // namespace bench

#include <pellix/CUdpSender.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include <pellix/Checks.h>
#include <pellix/Wire.h>

#include "client/HubAddress.h"
#include "proto/CDecoupler.h"
#include "proto/EventList.h"
#include "proto/FrameHeader.h"
#include "proto/PacketFrame.h"
#include "proto/StatusCollector.h"
#include "proto/StatusPart.h"

namespace pellix {

CUdpSender::CUdpSender() = default;

CUdpSender::~CUdpSender()
{
    close();
}

Result CUdpSender::open(const std::string &host, int hubPort, int sourceId)
{
    close();
    Result r = checkModuleId(sourceId, "source id");
    if (!r) {
        return r;
    }
    if (hubPort < 1 || hubPort > 65535) {
        return Result(Status::InvalidArgument, "port " + std::to_string(hubPort) + " is not 1 to 65535");
    }
    struct in_addr addr;
    r = resolveHub(host, addr);
    if (!r) {
        return r;
    }
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        const int err = errno;
        return Result(Status::Unreachable, std::string("cannot open a UDP socket: ") + strerror(err));
    }
    srcId = sourceId;
    address = addr.s_addr;
    port = htons(static_cast<uint16_t>(hubPort));
    where = host + ":" + std::to_string(hubPort);
    return Result();
}

void CUdpSender::close()
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

Result CUdpSender::sendFrame(int devId, int cmd, const void *head, size_t headSize, const void *body,
                             size_t bodySize)
{
    if (fd < 0) {
        return Result(Status::NotConnected, "the UDP sender is not open");
    }
    if (!PacketFrame::build(out, devId, srcId, static_cast<uint16_t>(cmd), head, headSize, body, bodySize)) {
        return Result(Status::InvalidArgument, "the payload does not fit a frame");
    }
    struct sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = address;
    to.sin_port = port;
    const ssize_t n = sendto(fd, out.data(), out.size(), 0, reinterpret_cast<struct sockaddr *>(&to), sizeof to);
    if (n != static_cast<ssize_t>(out.size())) {
        const int err = errno;
        return Result(Status::SendFailed, "cannot send a datagram to " + where + ": " + strerror(err));
    }
    return Result();
}

Result CUdpSender::send(int devId, int cmd, const void *data, size_t size)
{
    Result r = checkModuleId(devId, "destination");
    if (r) {
        r = checkCommand(cmd);
    }
    if (r) {
        r = checkPayload(size, kMaxUdpPayload, "datagram payload");
    }
    if (!r) {
        return r;
    }
    return sendFrame(devId, cmd, data, size, nullptr, 0);
}

Result CUdpSender::send(int devId, int cmd, const std::string &payload)
{
    return send(devId, cmd, payload.data(), payload.size());
}

Result CUdpSender::publish(int event, const void *data, size_t size)
{
    Result r = checkPublishedEvent(event);
    if (r) {
        r = checkPayload(size, kMaxUdpPayload - 2, "datagram event data");
    }
    if (!r) {
        return r;
    }
    unsigned char number[2];
    EventList::eventNumber(number, event);
    return sendFrame(kEventSourceId, wire::kCmdPublish, number, sizeof number, data, size);
}

Result CUdpSender::publish(int event, const std::string &data)
{
    return publish(event, data.data(), data.size());
}

Result CUdpSender::dumpSockets()
{
    return sendFrame(kHubId, wire::kCmdDumpSockets, nullptr, 0, nullptr, 0);
}

Result CUdpSender::toggleDataPrint()
{
    return sendFrame(kHubId, wire::kCmdDataPrint, nullptr, 0, nullptr, 0);
}

Result CUdpSender::setHubTraceLevel(int level)
{
    Result r = checkTraceLevel(level);
    if (!r) {
        return r;
    }
    const unsigned char value[4] = {static_cast<unsigned char>(level), 0, 0, 0};
    return sendFrame(kHubId, wire::kCmdTraceLevel, value, sizeof value, nullptr, 0);
}

Result CUdpSender::requestStatus(std::string &json, int timeoutMs)
{
    if (timeoutMs < 1) {
        return Result(Status::InvalidArgument, "the status time-out must be 1 ms or more");
    }
    // The hub answers a datagram with at most three times its size: the
    // padding (zero bytes, which the hub ignores) buys room for the reply.
    static const std::string padding(kUdpStatusRequestBytes - wire::kMinFrameSize, '\0');
    Result r = sendFrame(kHubId, wire::kCmdStatus, padding.data(), padding.size(), nullptr, 0);
    if (!r) {
        return r;
    }
    typedef std::chrono::steady_clock Clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    StatusCollector collector;
    std::vector<unsigned char> datagram(65536);
    std::string frame;
    for (;;) {
        const long long left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            return Result(Status::NoReply, "no answer to the status request from the hub at " + where + " within " +
                                               std::to_string(timeoutMs) + " ms");
        }
        struct pollfd ready = {fd, POLLIN, 0};
        const int n = ::poll(&ready, 1, static_cast<int>(left));
        if (n < 0 && errno != EINTR) {
            const int err = errno;
            return Result(Status::NoReply, std::string("waiting for the hub failed: ") + strerror(err));
        }
        if (n <= 0) {
            continue;
        }
        struct sockaddr_in from;
        socklen_t fromSize = sizeof from;
        memset(&from, 0, sizeof from);
        const ssize_t got = recvfrom(fd, datagram.data(), datagram.size(), 0,
                                     reinterpret_cast<struct sockaddr *>(&from), &fromSize);
        if (got < 0) {
            const int err = errno;
            if (err == EINTR || err == EAGAIN || err == EWOULDBLOCK || err == ECONNREFUSED) {
                continue;
            }
            return Result(Status::NoReply, "cannot read from the hub at " + where + ": " + strerror(err));
        }
        // Anyone can send a datagram here: only the hub's address and port count.
        if (fromSize < sizeof from || from.sin_family != AF_INET || from.sin_addr.s_addr != address ||
            from.sin_port != port) {
            continue;
        }
        // One datagram holds whole frames; nothing carries over to the next.
        CDecoupler splitter(wire::kStartMark, wire::kEndMark);
        splitter.append(datagram.data(), static_cast<int>(got));
        while (splitter.nextFrame(frame) == 0) {
            FrameHeader header;
            if (!FrameHeader::decode(reinterpret_cast<const unsigned char *>(frame.data()),
                                     static_cast<int>(frame.size()), header) ||
                header.srcId != wire::kHubId || header.cmd != wire::kCmdStatus) {
                continue;
            }
            switch (collector.add(header.payload, header.payloadSize)) {
            case StatusCollector::Complete: {
                unsigned long long needed = 0;
                if (StatusPart::needBytes(collector.text(), needed)) {
                    return Result(Status::Refused, "the hub's status (needs a request of " + std::to_string(needed) +
                                                       " bytes) does not fit an answer to a datagram; ask over TCP "
                                                       "or the Unix socket");
                }
                json = collector.text();
                return Result();
            }
            case StatusCollector::TooLarge:
                return Result(Status::NoReply, "the hub's status reply passed " +
                                                   std::to_string(StatusCollector::kDefaultMaxBytes >> 20) + " MiB");
            default:
                break;
            }
        }
    }
}

} // namespace pellix

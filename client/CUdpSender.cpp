#include <pellix/CUdpSender.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "client/ClientFrames.h"
#include "hub/PacketFrame.h"

namespace pellix {

CUdpSender::CUdpSender() = default;

CUdpSender::~CUdpSender()
{
    close();
}

Result CUdpSender::open(const std::string &host, int hubPort, int sourceId)
{
    close();
    Result r = frames::checkModuleId(sourceId, "source id");
    if (!r) {
        return r;
    }
    if (hubPort < 1 || hubPort > 65535) {
        return Result(Status::InvalidArgument, "port " + std::to_string(hubPort) + " is not 1 to 65535");
    }
    struct in_addr addr;
    if (inet_pton(AF_INET, host.c_str(), &addr) != 1) {
        struct addrinfo hints;
        memset(&hints, 0, sizeof hints);
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_DGRAM;
        struct addrinfo *found = nullptr;
        const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
        if (rc != 0 || found == nullptr) {
            return Result(Status::Unreachable, "cannot resolve hub host " + host + ": " +
                                                   (rc != 0 ? gai_strerror(rc) : "no IPv4 address"));
        }
        addr = reinterpret_cast<const struct sockaddr_in *>(found->ai_addr)->sin_addr;
        freeaddrinfo(found);
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
    Result r = frames::checkModuleId(devId, "destination");
    if (r) {
        r = frames::checkCommand(cmd);
    }
    if (r) {
        r = frames::checkPayload(size, kMaxUdpPayload, "datagram payload");
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
    Result r = frames::checkPublishedEvent(event);
    if (r) {
        r = frames::checkPayload(size, kMaxUdpPayload - 2, "datagram event data");
    }
    if (!r) {
        return r;
    }
    unsigned char number[2];
    PacketFrame::eventNumber(number, event);
    return sendFrame(kEventSourceId, CMD_PUBLISH_EVENT, number, sizeof number, data, size);
}

Result CUdpSender::publish(int event, const std::string &data)
{
    return publish(event, data.data(), data.size());
}

Result CUdpSender::dumpSockets()
{
    return sendFrame(kHubId, CMD_DUMP_SOCKET, nullptr, 0, nullptr, 0);
}

Result CUdpSender::toggleDataPrint()
{
    return sendFrame(kHubId, CMD_DATA_PRINT, nullptr, 0, nullptr, 0);
}

Result CUdpSender::setHubTraceLevel(int level)
{
    Result r = frames::checkTraceLevel(level);
    if (!r) {
        return r;
    }
    const unsigned char value[4] = {static_cast<unsigned char>(level), 0, 0, 0};
    return sendFrame(kHubId, CMD_SET_DEBUG_LEVEL, value, sizeof value, nullptr, 0);
}

} // namespace pellix

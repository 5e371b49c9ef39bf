#pragma once
// Fire-and-forget frames to the hub's UDP port: publications and the hub's
// commands, without a connection, registration or heartbeat. Nothing comes
// back, and a datagram that is lost is not noticed; requestStatus alone
// waits for the hub's answer.
//
// The hub reads at most 2048 bytes of a datagram, so a frame carries at
// most 2030 bytes of payload here. Registration and heartbeats mean nothing
// over UDP and are not offered.
//
// Installed as <pellix/CUdpSender.h>.

#include <cstdint>
#include <string>

#include "PellixTypes.h"

namespace pellix {

class CUdpSender {
public:
    CUdpSender();
    ~CUdpSender();
    CUdpSender(const CUdpSender &) = delete;
    CUdpSender &operator=(const CUdpSender &) = delete;

    // Resolves the hub's address and opens the socket; frames go out from
    // sourceId.
    Result open(const std::string &host = kDefaultHost, int port = kDefaultPort, int sourceId = kAnonymousId);
    void close();
    bool isOpen() const { return fd >= 0; }

    Result send(int devId, int cmd, const void *data, size_t size);
    Result send(int devId, int cmd, const std::string &payload);
    Result publish(int event, const void *data, size_t size);
    Result publish(int event, const std::string &data);
    Result dumpSockets();
    Result toggleDataPrint();
    Result setHubTraceLevel(int level);
    // Asks for the hub's status document and waits at most timeoutMs for
    // all its parts (datagrams from the hub's address and port to this
    // socket). The request is padded to kUdpStatusRequestBytes, since the
    // hub answers a datagram with at most three times its size. NoReply when
    // the document is not complete in time (a lost part is not sent again,
    // and the hub leaves requests beyond its rate unanswered: ask again
    // then); Refused when the hub says the document does not fit an answer
    // to a datagram (ask over a stream connection then).
    Result requestStatus(std::string &json, int timeoutMs = 2000);

private:
    Result sendFrame(int devId, int cmd, const void *head, size_t headSize, const void *body, size_t bodySize);

    int fd = -1;
    int srcId = kAnonymousId;
    uint32_t address = 0; // IPv4, network byte order
    uint16_t port = 0;    // network byte order
    std::string where;
    std::string out;
};

} // namespace pellix

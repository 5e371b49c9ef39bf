#pragma once
// What a module needs to talk to the hub: the fixed ids and limits of the
// frame, the result every call returns, the view of a received frame, and
// the connection settings.
//
// Installed as <pellix/PellixTypes.h>; it depends on the standard library
// and <pellix/Wire.h>, where the frame's numbers are defined once.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include <pellix/Wire.h>

namespace pellix {

const int kDefaultPort = 10032;
constexpr const char *kDefaultUnixPath = "/tmp/qm_sock";
constexpr const char *kDefaultHost = "127.0.0.1";

const int kHubId = wire::kHubId;                 // frames to it are commands for the hub
const int kEventSourceId = wire::kEventSourceId; // source of every event delivery; 0xE1..0xFF select event commands
const int kMaxModuleId = wire::kMaxModuleId;     // highest id the hub forwards frames to
// The source id of frames sent without registering: an id no module can be
// reached under, so nothing is ever forwarded to it by mistake.
const int kAnonymousId = wire::kAnonymousId;

// len is 16 bits and counts 6 header bytes besides the payload.
const size_t kMaxPayload = wire::kMaxPayload;
// A publication carries its 2-byte event number in front of the data.
const size_t kMaxEventData = kMaxPayload - 2;
// The hub reads at most 2048 bytes of a datagram; a longer one is dropped
// whole.
const size_t kMaxUdpFrame = wire::kMaxDatagram;
const size_t kMaxUdpPayload = kMaxUdpFrame - wire::kMinFrameSize;
// A datagram status request is padded with zero bytes to this size (the hub
// ignores the payload): the hub answers a datagram with at most three times
// its bytes, so a full-size request lets a status of up to about 5 KiB come
// back (the largest that can). A longer one is refused with Status::Refused.
const size_t kUdpStatusRequestBytes = wire::kStatusRequestDatagramBytes;
// Publications read their event number as a signed 16-bit value, so events
// of 0x8000 and above can never be matched.
const int kMaxEvent = wire::kMaxEvent;
// The hub's own event: a registered module went away.
const int kDepartureEvent = wire::kDepartureEvent;

enum class Status {
    Ok = 0,
    InvalidArgument, // refused before anything was sent
    NotConnected,    // no connection to the hub at the moment
    Unreachable,     // the hub could not be reached
    NoReply,         // the hub did not answer (registration, status, monitor) in time
    SendFailed,      // the connection did not take the frame
    Busy,            // called from inside a callback where that is not allowed
    Refused,         // the hub answered with a refusal (monitor; a status too large for a datagram)
};

// "ok", "invalid argument", ...
const char *statusText(Status status);

// The outcome of a call: a status and, when it is not Ok, a sentence that
// says what went wrong (without a trailing newline).
class Result {
public:
    Result() = default;
    Result(Status s, std::string text) : status_(s), message_(std::move(text)) {}

    bool ok() const { return status_ == Status::Ok; }
    explicit operator bool() const { return ok(); }
    Status status() const { return status_; }
    const std::string &message() const { return message_; }

private:
    Status status_ = Status::Ok;
    std::string message_;
};

// A received frame. The pointers are valid only during the callback that
// gets the view; copy what must outlive it.
struct FrameView {
    uint8_t devId = 0;
    uint8_t srcId = 0;
    uint16_t cmd = 0;
    uint16_t len = 0;                // the header's len field, as sent
    const uint8_t *payload = nullptr; // the bytes between header and end marker
    size_t payloadSize = 0;
    const uint8_t *bytes = nullptr; // the whole frame, markers included
    size_t size = 0;
};

// What a monitor record says happened to the frame it copies.
enum MonitorKind {
    kMonitorOn = wire::kMonitorOn, // the hub's answer to startMonitor(); header fields zero
    kMonitorForwarded = wire::kMonitorForwarded,
    kMonitorPublished = wire::kMonitorPublished,
    kMonitorRegistered = wire::kMonitorRegistered,
    kMonitorHubCommand = wire::kMonitorHubCommand,
    kMonitorDropped = wire::kMonitorDropped,
    kMonitorLost = wire::kMonitorLost, // copies that did not fit the monitor's queue: lostCount
    // The hub did not switch the monitor on (it has as many as it takes);
    // header fields zero, the payload is its reason in ASCII.
    kMonitorRefused = wire::kMonitorRefused,
};

// A copy of a frame the hub routed, as the monitor receives it. The payload
// may be cut: payloadSize can be less than length. Valid only during the
// callback.
struct MonitorView {
    int kind = 0;        // a MonitorKind, or a number a newer hub added
    uint64_t timeUs = 0; // when the hub routed it, microseconds since 1970 (UTC)
    uint8_t devId = 0;
    uint8_t srcId = 0;
    uint16_t cmd = 0;
    uint16_t length = 0; // the frame's payload length
    const uint8_t *payload = nullptr;
    size_t payloadSize = 0;
    uint64_t lostCount = 0; // kMonitorLost: copies lost since the last report
};

// The frame that answered a request (CPellixClient::request): a copy the
// caller owns.
struct Reply {
    uint8_t devId = 0;
    uint8_t srcId = 0;
    uint16_t cmd = 0;
    std::string payload;
};

enum class Transport { Tcp, Unix };

struct ClientOptions {
    Transport transport = Transport::Tcp;
    std::string host = kDefaultHost; // dotted IPv4 address or a host name
    int port = kDefaultPort;
    std::string unixPath = kDefaultUnixPath;

    // The source id of every frame sent; with registration, the id the
    // module is known under (0x00 or 0x02 to 0xE0).
    int moduleId = kAnonymousId;
    // Register under moduleId and name on every connect. The hub kills the
    // processes of this name when the connection falls silent, so it should
    // be the module's process name.
    bool registerModule = true;
    std::string name;

    // Heartbeat period; the hub drops a connection after 45 to 60 s of
    // silence. 0 sends none.
    int heartbeatMs = 10000;
    // How often a lost connection is tried again, in seconds (at least 1).
    int reconnectSeconds = 1;
    // How long connect() waits for the registration reply; a reconnected
    // client that gets none within this time drops the connection and tries
    // again.
    int registerTimeoutMs = 3000;
};

// Counters for diagnostics and tests.
struct ClientStats {
    uint64_t framesReceived = 0; // every whole frame cut from the stream
    uint64_t malformedFrames = 0; // shorter than a header, dropped
    uint64_t heartbeatsSent = 0;
    uint64_t reconnects = 0;
    uint64_t callbackExceptions = 0; // thrown by a callback and caught here
};

} // namespace pellix

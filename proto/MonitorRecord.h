#pragma once
// The monitor's records (CMD_MONITOR), shared by the hub that writes them and
// the SDK and tool that read them. Each copy of a routed frame is one record:
//
//   kind (u8) | time us since 1970 (u64 LE) | devId | srcId | cmd (u16 LE)
//   | original payload length (u16 LE) | payload, cut to fit the frame.
//
// Readers take these bytes from a socket: every decoder checks bounds.

#include <cstddef>
#include <cstdint>
#include <string>

#include <pellix/Wire.h>

// What happened to the frame a record copies (the numbers of <pellix/Wire.h>).
enum class MonitorKind : int {
    On = pellix::wire::kMonitorOn,               // answers the switch-on; header fields zero
    Forwarded = pellix::wire::kMonitorForwarded, // a frame passed to a module
    Published = pellix::wire::kMonitorPublished, // an event publication
    Registered = pellix::wire::kMonitorRegistered,
    HubCommand = pellix::wire::kMonitorHubCommand, // a command to the hub itself
    Dropped = pellix::wire::kMonitorDropped,       // a frame the hub did not deliver
    Lost = pellix::wire::kMonitorLost,             // copies that did not fit; payload: u64 LE count
    Refused = pellix::wire::kMonitorRefused,       // a switch-on refused; header fields zero, payload: why
};

struct MonitorRecord {
    static const int kHeaderSize = pellix::wire::kMonitorRecordHeaderSize;
    // The most payload a record carries inside one frame.
    static const int kMaxCarried = pellix::wire::kMaxPayload - kHeaderSize;
    // CMD_MONITOR's one-byte payload.
    static const unsigned char kSwitchOff = 0;
    static const unsigned char kSwitchOn = 1;

    int kind = 0; // a MonitorKind, or a number a newer hub added
    uint64_t timeUs = 0;
    int devId = 0;
    int srcId = 0;
    int cmd = 0;
    int length = 0;                         // the original frame's payload length
    const unsigned char *payload = nullptr; // points into the decoded bytes
    int payloadSize = 0;                    // bytes carried (at most length, unless LOST)

    // False, out untouched, when size cannot hold the header. Unknown kinds
    // decode: a newer hub may add some, and a reader names them by number.
    static bool decode(const unsigned char *data, int size, MonitorRecord &out);
    // The LOST record's count; false when the record carries fewer than 8 bytes.
    static bool lostCount(const MonitorRecord &record, uint64_t &out);
    // "forwarded", "published", ...; nullptr for an unknown kind.
    static const char *kindName(int kind);

    // The 15-byte header, to pass as the head of PacketFrame::append with
    // the cut payload as the body.
    static void header(unsigned char out[kHeaderSize], MonitorKind kind, uint64_t timeUs, int devId, int srcId, int cmd,
                       int length);
    // Appends one whole monitor frame (0x01 -> monitorId, CMD_MONITOR) to
    // out, carrying at most kMaxCarried bytes of payload.
    static void appendFrame(std::string &out, int monitorId, MonitorKind kind, uint64_t timeUs, int devId, int srcId,
                            int cmd, const void *payload, size_t length);
    // The size of that frame for a payload of length bytes, and the frame
    // written into out, which has room for it.
    static size_t frameSize(size_t length);
    static void writeFrame(unsigned char *out, int monitorId, MonitorKind kind, uint64_t timeUs, int devId, int srcId,
                           int cmd, const void *payload, size_t length);
    // Appends the LOST frame for count copies.
    static void appendLostFrame(std::string &out, int monitorId, uint64_t timeUs, uint64_t count);
};

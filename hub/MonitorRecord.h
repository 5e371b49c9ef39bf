#pragma once
// Payloads of the hub's status and monitor commands, shared by the hub that
// writes them and the SDK and tool that read them.
//
// CMD_MONITOR: each copy of a routed frame is one record,
//   kind (u8) | time µs since 1970 (u64 LE) | devId | srcId | cmd (u16 LE)
//   | original payload length (u16 LE) | payload, cut to fit the frame.
// CMD_STATUS: the JSON document in parts, each
//   part number 1..count (u16 LE) | count (u16 LE) | next piece of text.
// Readers take these bytes from a socket: every decoder checks bounds.

#include <cstddef>
#include <cstdint>
#include <string>

enum MonitorKind {
    MONITOR_ON = 0,  // answers the switch-on; header fields zero
    FORWARDED = 1,   // a frame passed to a module
    PUBLISHED = 2,   // an event publication
    REGISTERED = 3,  // a registration
    HUB_COMMAND = 4, // a command to the hub itself
    DROPPED = 5,     // a frame the hub did not deliver
    LOST = 6,        // copies that did not fit the monitor's queue; payload: u64 LE count
    REFUSED = 7,     // the monitor was not switched on; header fields zero, payload: the reason (ASCII)
};

struct MonitorRecord {
    static const int kHeaderSize = 15;
    // The most payload a record carries inside one frame.
    static const int kMaxCarried = 65529 - kHeaderSize;
    // CMD_MONITOR's one-byte payload.
    static const unsigned char kSwitchOff = 0;
    static const unsigned char kSwitchOn = 1;

    int kind = 0;
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
    static void header(unsigned char out[kHeaderSize], int kind, uint64_t timeUs, int devId, int srcId, int cmd,
                       int length);
    // Appends one whole monitor frame (0x01 -> monitorId, CMD_MONITOR) to
    // out, carrying at most kMaxCarried bytes of payload.
    static void appendFrame(std::string &out, int monitorId, int kind, uint64_t timeUs, int devId, int srcId,
                            int cmd, const void *payload, size_t length);
    // Appends the LOST frame for count copies.
    static void appendLostFrame(std::string &out, int monitorId, uint64_t timeUs, uint64_t count);
};

struct StatusPart {
    static const int kHeaderSize = 4;
    static const int kMaxCount = 65535;

    int part = 0;
    int count = 0;
    const unsigned char *text = nullptr; // points into the decoded bytes
    int textSize = 0;

    // False, out untouched, for a payload shorter than the header or with
    // part 0, count 0 or part > count.
    static bool decode(const unsigned char *data, int size, StatusPart &out);
    // Appends the frames (0x01 -> devId, CMD_STATUS) of a whole document cut
    // into pieces of at most maxText bytes (an empty document is one empty
    // part). False, out untouched, when it needs more than kMaxCount parts
    // or maxText does not fit a frame.
    static bool appendFrames(std::string &out, int devId, const std::string &text, size_t maxText);
    // One part's frame, for a reply sent one datagram at a time.
    static bool appendFrame(std::string &out, int devId, int part, int count, const void *text, size_t size);
    static int partCount(size_t textSize, size_t maxText);
};

// Puts a status reply together from its parts as they arrive. A part 1
// starts over; any other part counts only when it is the next one of the
// reply begun, with the same count, so stray or repeated parts are ignored.
class StatusCollector {
public:
    static const size_t kDefaultMaxBytes = 16u << 20;
    explicit StatusCollector(size_t limit = kDefaultMaxBytes) : maxBytes(limit) {}

    enum Outcome { Ignored, Partial, Complete, TooLarge };
    // Takes one CMD_STATUS payload. Complete: text() holds the document.
    // TooLarge: the reply passed maxBytes and was abandoned.
    Outcome add(const unsigned char *data, int size);
    const std::string &text() const { return document; }
    void reset();

private:
    size_t maxBytes;
    std::string document;
    int nextPart = 0; // 0: no reply begun
    int count = 0;
};

#pragma once
// The packet frame every module and the hub exchange:
//
//   "<start>" | len (u16 LE) | devId | srcId | cmd (u16 LE) | payload | "<end>"
//
// len counts the payload plus its own 6 header bytes. Frames are found by
// their markers alone; len is read only for the payload length of the event
// commands and for traces.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum ModuleId {
    CENTER_DEV_ID = 0x01,    // the hub itself
    EVENT_MGR_DEV_ID = 0xE1, // source of event deliveries; 0xE1..0xFF select event commands
    MAX_FORWARD_DEV_ID = 0xE0,
};

enum FrameCommand {
    CMD_REG = 0x0001,
    CMD_HEART = 0x0002,
    CMD_DATA_PRINT = 0x0003,
    CMD_DUMP_SOCKET = 0x0004,
    CMD_PUBLISH_EVENT = 0x0005,
    CMD_REG_EVENT = 0x0006,
    CMD_UNREG_EVENT = 0x0007,
    CMD_SET_DEBUG_LEVEL = 0x0068,
    CMD_STATUS = 0x0080,  // status document, answered in parts (hub/MonitorRecord.h)
    CMD_MONITOR = 0x0081, // monitor on/off; copies of routed frames as records
    CMD_REPORT = 0x0082,  // a module's own counters, shown with its connection in the status
};

class PacketFrame {
public:
    static constexpr const char *kStartMark = "<start>";
    static constexpr const char *kEndMark = "<end>";
    static const int kStartMarkSize = 7;
    static const int kEndMarkSize = 5;
    static const int kLenOffset = 7;
    static const int kDevIdOffset = 9;
    static const int kSrcIdOffset = 10;
    static const int kCmdOffset = 11;
    static const int kPayloadOffset = 13;
    static const int kHeaderSize = 6; // counted by len
    static const int kMinFrameSize = 18;
    static const int kMaxPayload = 65535 - kHeaderSize;
    static const int kMaxFrameSize = kMinFrameSize + kMaxPayload;
    static const int kMaxReportBytes = 1024; // CMD_REPORT's JSON text

    // Bounded readers over a cut frame of `size` bytes: false, leaving out
    // untouched, when the field does not lie inside the frame.
    static bool readU8(const unsigned char *frame, int size, int offset, int &out);
    static bool readU16LE(const unsigned char *frame, int size, int offset, int &out);
    static bool readS32LE(const unsigned char *frame, int size, int offset, int &out);

    // Payload bytes the cut frame really holds (0 for a frame too short).
    static int payloadSize(int frameSize) { return frameSize > kMinFrameSize ? frameSize - kMinFrameSize : 0; }

    // The one encoder: appends "<start>", len, devId, srcId, cmd, the
    // payload (head then body, either may be empty) and "<end>" to out.
    // False, leaving out as it was, when the payload does not fit len.
    static bool append(std::string &out, int devId, int srcId, uint16_t cmd, const void *head, size_t headSize,
                       const void *body = nullptr, size_t bodySize = 0);
    // The same into out, which has room for frameSize(headSize + bodySize)
    // bytes; the payload must fit len.
    static void write(unsigned char *out, int devId, int srcId, uint16_t cmd, const void *head, size_t headSize,
                      const void *body = nullptr, size_t bodySize = 0);
    static size_t frameSize(size_t payloadSize) { return kMinFrameSize + payloadSize; }
    // The same into an emptied out, reusing its capacity.
    static bool build(std::string &out, int devId, int srcId, uint16_t cmd, const void *head, size_t headSize,
                      const void *body = nullptr, size_t bodySize = 0);

    // Subscription lists (CMD_REG_EVENT, CMD_UNREG_EVENT): a count byte,
    // then that many 16-bit little-endian event numbers.
    static void eventList(std::string &out, const std::vector<int> &events, size_t from, size_t count);
    // The numbers of a received list that lie inside its payload (a count
    // that claims more is cut to what is there), and the i-th of them.
    static int listedCount(const unsigned char *payload, int length);
    static int listedEvent(const unsigned char *payload, int index);
    // The 16-bit event number that leads a publication's payload.
    static void eventNumber(unsigned char out[2], int event);
    // The departure of a module, published as event 0: 00 00, its id.
    static const int kDepartureSize = 3;
    static void departure(unsigned char out[kDepartureSize], int moduleId);
};

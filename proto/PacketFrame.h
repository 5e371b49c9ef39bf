#pragma once
// The packet frame every module and the hub exchange, with the names the
// hub's code gives the ids and commands of <pellix/Wire.h>:
//
//   "<start>" | len (u16 LE) | devId | srcId | cmd (u16 LE) | payload | "<end>"
//
// Frames are found by their markers alone; len is read only for the payload
// length of the event commands and for traces. FrameHeader reads a cut
// frame's header; this class builds frames and reads single fields.

#include <cstddef>
#include <cstdint>
#include <string>

#include <pellix/Wire.h>

enum ModuleId {
    CENTER_DEV_ID = pellix::wire::kHubId,
    EVENT_MGR_DEV_ID = pellix::wire::kEventSourceId,
    MAX_FORWARD_DEV_ID = pellix::wire::kMaxModuleId,
};

enum FrameCommand {
    CMD_REG = pellix::wire::kCmdRegister,
    CMD_HEART = pellix::wire::kCmdHeartbeat,
    CMD_DATA_PRINT = pellix::wire::kCmdDataPrint,
    CMD_DUMP_SOCKET = pellix::wire::kCmdDumpSockets,
    CMD_PUBLISH_EVENT = pellix::wire::kCmdPublish,
    CMD_REG_EVENT = pellix::wire::kCmdSubscribe,
    CMD_UNREG_EVENT = pellix::wire::kCmdUnsubscribe,
    CMD_SET_DEBUG_LEVEL = pellix::wire::kCmdTraceLevel,
    CMD_STATUS = pellix::wire::kCmdStatus,
    CMD_MONITOR = pellix::wire::kCmdMonitor,
    CMD_REPORT = pellix::wire::kCmdReport,
    CMD_RELOAD_ACCESS = pellix::wire::kCmdReloadAccess,
};

class PacketFrame {
public:
    static constexpr const char *kStartMark = pellix::wire::kStartMark;
    static constexpr const char *kEndMark = pellix::wire::kEndMark;
    static const int kStartMarkSize = pellix::wire::kStartMarkSize;
    static const int kEndMarkSize = pellix::wire::kEndMarkSize;
    static const int kLenOffset = pellix::wire::kLenOffset;
    static const int kDevIdOffset = pellix::wire::kDevIdOffset;
    static const int kSrcIdOffset = pellix::wire::kSrcIdOffset;
    static const int kCmdOffset = pellix::wire::kCmdOffset;
    static const int kPayloadOffset = pellix::wire::kPayloadOffset;
    static const int kHeaderSize = pellix::wire::kHeaderSize;
    static const int kMinFrameSize = pellix::wire::kMinFrameSize;
    static const int kMaxPayload = pellix::wire::kMaxPayload;
    static const int kMaxFrameSize = pellix::wire::kMaxFrameSize;
    static const int kMaxReportBytes = pellix::wire::kMaxReportBytes;

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
};

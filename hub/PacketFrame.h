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

class CObjectBase;

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

    // Bounded readers over a cut frame of `size` bytes: false, leaving out
    // untouched, when the field does not lie inside the frame.
    static bool readU8(const unsigned char *frame, int size, int offset, int &out);
    static bool readU16LE(const unsigned char *frame, int size, int offset, int &out);
    static bool readS32LE(const unsigned char *frame, int size, int offset, int &out);

    // Payload bytes the cut frame really holds (0 for a frame too short).
    static int payloadSize(int frameSize) { return frameSize > kMinFrameSize ? frameSize - kMinFrameSize : 0; }
};

// Appends one frame to out. The command is taken as 8 bits. False, leaving
// out as it was, when the payload does not fit len.
bool appendPacket(std::string &out, int devId, uint8_t cmd, const void *data, int length, int srcId);

// Builds one frame and sends it on the connection in one call. The command is
// taken as 8 bits. Returns the send's result, or -1 without sending when the
// payload does not fit len.
int sendPacket(CObjectBase *connection, int devId, uint8_t cmd, const void *data, int length, int srcId);

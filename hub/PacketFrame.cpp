#include "hub/PacketFrame.h"

#include <cstring>
#include <string>

#include "net/CObjectBase.h"
#include "trace/Trace.h"

bool PacketFrame::readU8(const unsigned char *frame, int size, int offset, int &out)
{
    if (frame == nullptr || offset < 0 || offset + 1 > size) {
        return false;
    }
    out = frame[offset];
    return true;
}

bool PacketFrame::readU16LE(const unsigned char *frame, int size, int offset, int &out)
{
    if (frame == nullptr || offset < 0 || offset + 2 > size) {
        return false;
    }
    out = frame[offset] | (frame[offset + 1] << 8);
    return true;
}

bool PacketFrame::readS32LE(const unsigned char *frame, int size, int offset, int &out)
{
    if (frame == nullptr || offset < 0 || offset + 4 > size) {
        return false;
    }
    const uint32_t value = static_cast<uint32_t>(frame[offset]) | (static_cast<uint32_t>(frame[offset + 1]) << 8) |
                           (static_cast<uint32_t>(frame[offset + 2]) << 16) |
                           (static_cast<uint32_t>(frame[offset + 3]) << 24);
    out = static_cast<int32_t>(value);
    return true;
}

bool appendPacket(std::string &out, int devId, uint8_t cmd, const void *data, int length, int srcId)
{
    if (data == nullptr || length < 0) {
        length = 0;
    }
    if (length > PacketFrame::kMaxPayload) {
        tm_printf(TRACE_ERROR, "sendPacket", __LINE__, "payload of %d bytes does not fit a frame\n", length);
        return false;
    }
    const int len = length + PacketFrame::kHeaderSize;
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(PacketFrame::kMinFrameSize + length));
    unsigned char *frame = reinterpret_cast<unsigned char *>(&out[at]);
    memcpy(frame, PacketFrame::kStartMark, PacketFrame::kStartMarkSize);
    frame[PacketFrame::kLenOffset] = static_cast<unsigned char>(len & 0xff);
    frame[PacketFrame::kLenOffset + 1] = static_cast<unsigned char>((len >> 8) & 0xff);
    frame[PacketFrame::kDevIdOffset] = static_cast<unsigned char>(devId);
    frame[PacketFrame::kSrcIdOffset] = static_cast<unsigned char>(srcId);
    frame[PacketFrame::kCmdOffset] = cmd;
    frame[PacketFrame::kCmdOffset + 1] = 0;
    if (length > 0) {
        memcpy(frame + PacketFrame::kPayloadOffset, data, static_cast<size_t>(length));
    }
    memcpy(frame + PacketFrame::kPayloadOffset + length, PacketFrame::kEndMark, PacketFrame::kEndMarkSize);
    return true;
}

int sendPacket(CObjectBase *connection, int devId, uint8_t cmd, const void *data, int length, int srcId)
{
    if (connection == nullptr) {
        return -1;
    }
    // Reused across calls: building a frame allocates only while the largest
    // payload seen so far grows. The daemon has one thread.
    static std::string frame;
    frame.clear();
    if (!appendPacket(frame, devId, cmd, data, length, srcId)) {
        return -1;
    }
    return connection->sendData(frame.data(), static_cast<int>(frame.size()));
}

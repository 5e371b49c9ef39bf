#include "proto/PacketFrame.h"

#include <cstring>
#include <string>

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

bool PacketFrame::append(std::string &out, int devId, int srcId, uint16_t cmd, const void *head, size_t headSize,
                         const void *body, size_t bodySize)
{
    const size_t payload = (head != nullptr ? headSize : 0) + (body != nullptr ? bodySize : 0);
    if (payload > static_cast<size_t>(kMaxPayload)) {
        return false;
    }
    const size_t at = out.size();
    out.resize(at + kMinFrameSize + payload);
    write(reinterpret_cast<unsigned char *>(&out[at]), devId, srcId, cmd, head, headSize, body, bodySize);
    return true;
}

void PacketFrame::write(unsigned char *frame, int devId, int srcId, uint16_t cmd, const void *head, size_t headSize,
                        const void *body, size_t bodySize)
{
    if (head == nullptr) {
        headSize = 0;
    }
    if (body == nullptr) {
        bodySize = 0;
    }
    const size_t payload = headSize + bodySize;
    const size_t len = payload + kHeaderSize;
    memcpy(frame, kStartMark, kStartMarkSize);
    frame[kLenOffset] = static_cast<unsigned char>(len & 0xff);
    frame[kLenOffset + 1] = static_cast<unsigned char>((len >> 8) & 0xff);
    frame[kDevIdOffset] = static_cast<unsigned char>(devId);
    frame[kSrcIdOffset] = static_cast<unsigned char>(srcId);
    frame[kCmdOffset] = static_cast<unsigned char>(cmd & 0xff);
    frame[kCmdOffset + 1] = static_cast<unsigned char>(cmd >> 8);
    if (headSize > 0) {
        memcpy(frame + kPayloadOffset, head, headSize);
    }
    if (bodySize > 0) {
        memcpy(frame + kPayloadOffset + headSize, body, bodySize);
    }
    memcpy(frame + kPayloadOffset + payload, kEndMark, kEndMarkSize);
}

bool PacketFrame::build(std::string &out, int devId, int srcId, uint16_t cmd, const void *head, size_t headSize,
                        const void *body, size_t bodySize)
{
    if (headSize + bodySize > static_cast<size_t>(kMaxPayload)) {
        return false;
    }
    out.clear();
    return append(out, devId, srcId, cmd, head, headSize, body, bodySize);
}

#include "tests/support/Frames.h"

#include <cstdio>

#include "proto/PacketFrame.h"

namespace e2e {

std::string makeFrameWithLen(uint16_t len, uint8_t dev, uint8_t src, uint16_t cmd, const std::string &payload)
{
    std::string frame = makeFrame(dev, src, cmd, payload);
    frame[PacketFrame::kLenOffset] = static_cast<char>(len & 0xff);
    frame[PacketFrame::kLenOffset + 1] = static_cast<char>(len >> 8);
    return frame;
}

std::string makeFrame(uint8_t dev, uint8_t src, uint16_t cmd, const std::string &payload)
{
    std::string frame;
    PacketFrame::build(frame, dev, src, cmd, payload.data(), payload.size());
    return frame;
}

std::string eventDelivery(uint8_t dev, const std::string &payload)
{
    return makeFrame(dev, kEventMgrId, kCmdPublishEvent, payload);
}

std::string bytes(std::initializer_list<int> values)
{
    std::string out;
    for (int v : values) {
        out += static_cast<char>(v & 0xff);
    }
    return out;
}

std::string hex(const std::string &data)
{
    std::string out;
    char cell[4];
    for (size_t i = 0; i < data.size(); ++i) {
        snprintf(cell, sizeof cell, "%02X", static_cast<unsigned char>(data[i]));
        if (i > 0) {
            out += ' ';
        }
        out += cell;
    }
    return out.empty() ? "(nothing)" : out;
}

std::vector<CutFrame> cutFrames(const std::string &stream, std::string *rest)
{
    std::vector<CutFrame> frames;
    size_t pos = 0;
    while (pos < stream.size()) {
        const size_t start = stream.find(PacketFrame::kStartMark, pos);
        const size_t end = start == std::string::npos ? std::string::npos : stream.find(PacketFrame::kEndMark, start + PacketFrame::kStartMarkSize);
        if (end == std::string::npos) {
            if (rest != nullptr) {
                *rest += stream.substr(pos);
            }
            break;
        }
        if (rest != nullptr) {
            *rest += stream.substr(pos, start - pos);
        }
        CutFrame frame;
        frame.bytes = stream.substr(start, end + PacketFrame::kEndMarkSize - start);
        const unsigned char *b = reinterpret_cast<const unsigned char *>(frame.bytes.data());
        if (frame.bytes.size() >= 18) {
            frame.len = static_cast<uint16_t>(b[7] | (b[8] << 8));
            frame.dev = b[9];
            frame.src = b[10];
            frame.cmd = static_cast<uint16_t>(b[11] | (b[12] << 8));
        }
        frames.push_back(frame);
        pos = end + PacketFrame::kEndMarkSize;
    }
    return frames;
}

} // namespace e2e

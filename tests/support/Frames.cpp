#include "tests/support/Frames.h"

#include <cstdio>

namespace e2e {

namespace {

const char kStart[] = "<start>";
const char kEnd[] = "<end>";
const size_t kStartSize = sizeof kStart - 1;
const size_t kEndSize = sizeof kEnd - 1;

void putU16(std::string &out, uint16_t value)
{
    out += static_cast<char>(value & 0xff);
    out += static_cast<char>(value >> 8);
}

} // namespace

std::string makeFrameWithLen(uint16_t len, uint8_t dev, uint8_t src, uint16_t cmd, const std::string &payload)
{
    std::string frame(kStart);
    putU16(frame, len);
    frame += static_cast<char>(dev);
    frame += static_cast<char>(src);
    putU16(frame, cmd);
    frame += payload;
    frame += kEnd;
    return frame;
}

std::string makeFrame(uint8_t dev, uint8_t src, uint16_t cmd, const std::string &payload)
{
    return makeFrameWithLen(static_cast<uint16_t>(payload.size() + 6), dev, src, cmd, payload);
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
        const size_t start = stream.find(kStart, pos);
        const size_t end = start == std::string::npos ? std::string::npos : stream.find(kEnd, start + kStartSize);
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
        frame.bytes = stream.substr(start, end + kEndSize - start);
        const unsigned char *b = reinterpret_cast<const unsigned char *>(frame.bytes.data());
        if (frame.bytes.size() >= 18) {
            frame.len = static_cast<uint16_t>(b[7] | (b[8] << 8));
            frame.dev = b[9];
            frame.src = b[10];
            frame.cmd = static_cast<uint16_t>(b[11] | (b[12] << 8));
        }
        frames.push_back(frame);
        pos = end + kEndSize;
    }
    return frames;
}

} // namespace e2e
